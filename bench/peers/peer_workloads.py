#!/usr/bin/env python3
"""Workloads for bench/peers/run: server logs with their DNS zone, and big caches.

  peer_workloads.py log DIR --lines N --clients N [--named-pct 80]
                            [--silent-pct 0] [--delay 50] [--seed S]
  peer_workloads.py cache FILE --entries N [--seed S]

`log` writes into DIR:
  access.log    the log, in Common Log Format with referrer and user agent
                (the "combined" layout every log tool reads); the client
                address is the first field, as the log resolvers require
  zone          for tests/dns/responder: "@delay * MS", one line per named
                client, one "@silent ADDRESS" per client that never answers
  expected.tsv  address, the right outcome (its name, or * for none) and why
                (named, nxdomain, silent), one line per distinct client
  meta.txt      key value lines: lines, clients, named, nxdomain, silent

`cache` writes a cache file in tarn's format (ascending addresses, CR LF,
every entry named and stamped a few hours ago), so a run of `tarn /D` on it
has nothing to look up and times the load and the save alone.

Everything comes from a fixed seed through random.Random.random(), whose
sequence Python keeps the same from version to version, so every machine
gets the same files. The names are made up, under .example.
"""

import argparse
import bisect
import os
import random
import sys
import time

LOG_SEED = 20261207

# Providers' reverse names: most clients sit behind an access provider whose
# PTR names spell the address; crawlers and hosting have their own styles.
NAME_STYLES = (
    (30, "dsl-{a:03d}-{b:03d}-{c:03d}-{d:03d}.dyn.copperline.example"),
    (20, "{d}-{c}-{b}-{a}.cable.harbournet.example"),
    (12, "host{a}.{b}.{c}.{d}.fibre.meadowtel.example"),
    (10, "ip-{a}-{b}-{c}-{d}.mobile.lanternmobile.example"),
    (8, "{a}-{b}-{c}-{d}.static.granite-hosting.example"),
    (6, "vps{c}{d}.cloud.quartzcompute.example"),
    (5, "crawl-{a}-{b}-{c}-{d}.searchwell.example"),
    (4, "proxy-{c}-{d}.office.willowcorp.example"),
    (3, "mail{d}.saffron-university.example"),
    (2, "bot-{d}.indexa.example"),
)

USER_AGENTS = (
    (30, "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/120.0.0.0 Safari/537.36"),
    (10, "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.2210.91"),
    (8, "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0"),
    (8, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
        "Version/17.1 Safari/605.1.15"),
    (12, "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
         "Version/17.1.2 Mobile/15E148 Safari/604.1"),
    (10, "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/120.0.6099.144 Mobile Safari/537.36"),
    (3, "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0"),
    (3, "Mozilla/5.0 (compatible; Searchwellbot/2.1; +http://www.searchwell.example/bot.html)"),
    (2, "Mozilla/5.0 (compatible; IndexaBot/7.0; +https://indexa.example/robot)"),
    (2, "Dalvik/2.1.0 (Linux; U; Android 13; SM-S911B Build/TP1A.220624.014)"),
    (1, "curl/7.88.1"),
    (1, "Java/1.8.0_292"),
)

SECTIONS = ("products", "blog", "news", "support", "docs", "shop", "about", "events")
WORDS = ("harbour", "copper", "lantern", "meadow", "granite", "willow", "ember",
         "quartz", "saffron", "thistle", "marble", "falcon", "cobalt", "juniper")
ASSETS = ("css", "js", "png", "jpg", "webp", "svg", "woff2")
SEARCH_SITES = ("https://www.searchwell.example/search?q=", "https://lookfar.example/?query=",
                "https://indexa.example/results?s=")
STATUSES = ((78, 200), (10, 304), (5, 404), (2, 301), (2, 302), (2, 206), (1, 500))
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# First octets of busy access providers; the rest of the clients are spread
# over the unicast range without private, loopback, shared or link-local
# blocks, and never end in .0 or .255.
BUSY_BLOCKS = (24, 31, 37, 46, 62, 73, 77, 78, 79, 80, 81, 82, 86, 88, 92, 176)
SKIPPED_FIRST = {0, 10, 100, 127, 169, 172, 192}


class Rng:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.u = self.r.random

    def below(self, n):
        return int(self.u() * n)

    def pick(self, items):
        return items[int(self.u() * len(items))]

    def percent(self, p):
        return self.u() * 100 < p


def weighted(pairs):
    """(cumulative weights, items) for a quick weighted pick."""
    total, cumulative, items = 0, [], []
    for weight, item in pairs:
        total += weight
        cumulative.append(total)
        items.append(item)
    return cumulative, items


def pick_weighted(rng, table):
    cumulative, items = table
    return items[bisect.bisect_right(cumulative, rng.u() * cumulative[-1])]


def dotted(key):
    return f"{key >> 24}.{(key >> 16) & 255}.{(key >> 8) & 255}.{key & 255}"


def draw_clients(rng, count):
    seen, keys = set(), []
    while len(keys) < count:
        if rng.percent(25):
            first = rng.pick(BUSY_BLOCKS)
        else:
            first = 1 + rng.below(223)
            if first in SKIPPED_FIRST:
                continue
        key = (first << 24) | rng.below(1 << 24)
        if key & 255 in (0, 255) or key in seen:
            continue
        seen.add(key)
        keys.append(key)
    return keys


def name_of(rng, styles, key):
    a, b, c, d = key >> 24, (key >> 16) & 255, (key >> 8) & 255, key & 255
    return pick_weighted(rng, styles).format(a=a, b=b, c=c, d=d)


def make_path(rng):
    kind = rng.below(100)
    if kind < 30:
        return f"/{rng.pick(SECTIONS)}/{rng.pick(WORDS)}-{rng.pick(WORDS)}-{rng.below(5000)}.html"
    if kind < 55:
        asset = rng.pick(ASSETS)
        return f"/static/{asset}/{rng.pick(WORDS)}.{rng.below(1 << 32):08x}.{asset}?v=1.{rng.below(20)}.{rng.below(100)}"
    if kind < 68:
        return f"/images/photos/{2015 + rng.below(12)}/{1 + rng.below(12)}/IMG_{rng.below(10000):04d}.jpg"
    if kind < 76:
        return f"/search?q={rng.pick(WORDS)}+{rng.pick(WORDS)}&page={1 + rng.below(9)}&sort=date"
    if kind < 84:
        return f"/api/v2/items/{rng.below(100000)}?fields=name,price,stock&session={rng.below(1 << 48):012x}"
    if kind < 88:
        return f"/blog/2026/{1 + rng.below(12):02d}/{1 + rng.below(28):02d}/{rng.pick(WORDS)}-and-{rng.pick(WORDS)}.html"
    if kind < 91:
        return f"/files/tarnball-1.2.3.{rng.below(10)}.tar.gz"
    if kind < 97:
        return "/favicon.ico" if rng.percent(50) else "/robots.txt"
    return "/"


def make_referrer(rng):
    kind = rng.below(100)
    if kind < 40:
        return "-"
    if kind < 70:
        return f"https://www.tarnwick-shop.example/{rng.pick(SECTIONS)}/{rng.pick(WORDS)}-{rng.below(5000)}.html"
    if kind < 88:
        return f"{rng.pick(SEARCH_SITES)}{rng.pick(WORDS)}+{rng.pick(WORDS)}&ei={rng.below(1 << 48):012x}"
    return f"https://forum.example/links/{rng.pick(WORDS)}/page-{rng.below(300)}.html?utm_source=forum"


def write_log(args):
    rng = Rng(args.seed)
    lines, count = args.lines, args.clients
    if count > lines:
        sys.exit("peer_workloads: more clients than lines")
    clients = draw_clients(rng, count)
    styles = weighted(NAME_STYLES)
    agents = weighted(USER_AGENTS)
    statuses = weighted(STATUSES)

    # Who has a name: args.named_pct of the clients, chosen at random.
    names = {}
    for key in clients:
        if rng.percent(args.named_pct):
            names[key] = name_of(rng, styles, key)

    # Requests per client: every client at least once, the rest skewed
    # towards the earliest (regular) visitors, so a few clients make many
    # lines and most make a handful.
    extra = lines - count
    weights = [1.0 / (i + 20) ** 0.9 for i in range(count)]
    total = sum(weights)
    budget = [1 + int(extra * w / total) for w in weights]
    left = lines - sum(budget)
    i = 0
    while left > 0:
        budget[i % count] += 1
        left -= 1
        i += 1

    # Visits: a client's requests in sessions of 1 to 59, in random order,
    # a dozen sessions interleaved at a time.
    sessions = []
    for index, requests in enumerate(budget):
        while requests > 0:
            kind = rng.below(100)
            size = 1 if kind < 25 else (2 + rng.below(8) if kind < 70 else 10 + rng.below(50))
            size = min(size, requests)
            sessions.append((index, size))
            requests -= size
    for i in range(len(sessions) - 1, 0, -1):
        j = rng.below(i + 1)
        sessions[i], sessions[j] = sessions[j], sessions[i]

    agent_of = [pick_weighted(rng, agents) for _ in range(count)]
    address_of = [dotted(key) for key in clients]

    os.makedirs(args.dir, exist_ok=True)
    concurrent = 12
    active = []
    next_session = 0
    second = 0
    written = 0
    start_day = 2  # 2 Nov 2026, 00:00 UTC: a month before today's runs
    with open(os.path.join(args.dir, "access.log"), "w", encoding="ascii", newline="\n", buffering=1 << 20) as out:
        batch = []
        while written < lines:
            while len(active) < concurrent and next_session < len(sessions):
                active.append(list(sessions[next_session]))
                next_session += 1
            slot = rng.below(len(active))
            session = active[slot]
            index = session[0]
            session[1] -= 1
            if session[1] == 0:
                active[slot] = active[-1]
                active.pop()
            if rng.percent(30):
                second += 1 + rng.below(3)
            day = start_day + second // 86400
            hms = second % 86400
            status = pick_weighted(rng, statuses)
            size = "-" if status == 304 else str(200 + rng.below(90000))
            method = "GET" if rng.percent(92) else ("POST" if rng.percent(70) else "HEAD")
            batch.append(
                f'{address_of[index]} - - [{day:02d}/Nov/2026:{hms // 3600:02d}:{hms // 60 % 60:02d}:{hms % 60:02d} +0000] '
                f'"{method} {make_path(rng)} HTTP/1.1" {status} {size} "{make_referrer(rng)}" "{agent_of[index]}"\n')
            written += 1
            if len(batch) >= 4096:
                out.write("".join(batch))
                batch.clear()
        out.write("".join(batch))

    # The silent clients come from a stream of their own, so a log with and
    # one without them are the same log.
    silent = set()
    want = round(count * args.silent_pct / 100)
    if want:
        srng = Rng(args.seed ^ 0x51_1e47)
        order = list(range(count))
        for i in range(count - 1, 0, -1):
            j = srng.below(i + 1)
            order[i], order[j] = order[j], order[i]
        silent = {clients[i] for i in order[:want]}

    with open(os.path.join(args.dir, "zone"), "w", encoding="ascii") as zone:
        zone.write(f"# {count} clients, {len(names)} named; every answer after {args.delay} ms\n")
        zone.write(f"@delay * {args.delay}\n")
        for key in sorted(silent):
            zone.write(f"@silent {dotted(key)}\n")
        for key in sorted(names):
            zone.write(f"{dotted(key)} {names[key]}\n")

    tally = {"named": 0, "nxdomain": 0, "silent": 0}
    with open(os.path.join(args.dir, "expected.tsv"), "w", encoding="ascii") as expected:
        for key in sorted(clients):
            if key in silent:
                why, answer = "silent", "*"
            elif key in names:
                why, answer = "named", names[key]
            else:
                why, answer = "nxdomain", "*"
            tally[why] += 1
            expected.write(f"{dotted(key)}\t{answer}\t{why}\n")

    with open(os.path.join(args.dir, "meta.txt"), "w", encoding="ascii") as meta:
        meta.write(f"lines {lines}\nclients {count}\n")
        for why, n in tally.items():
            meta.write(f"{why} {n}\n")
        meta.write(f"delay_ms {args.delay}\n")


def write_cache(args):
    rng = Rng(args.seed)
    styles = weighted(NAME_STYLES)
    # Stamped three hours ago in tarn's minute count (local time, 1 January
    # 1970 is day 1): recent enough that nothing is due.
    now = time.time() - time.timezone + (3600 if time.localtime().tm_isdst > 0 else 0)
    stamp = int(now // 60) + 1440 - 180
    # Ascending distinct addresses spread over the unicast range: steps of
    # 1 to 3,999 from 1.0.0.1, skipping the blocks no client comes from.
    key = (1 << 24) + 1
    written = 0
    with open(args.file, "w", encoding="ascii", newline="", buffering=1 << 20) as out:
        batch = []
        while written < args.entries:
            key += 1 + rng.below(3999)
            if key >> 24 in SKIPPED_FIRST or key & 255 in (0, 255):
                continue
            if key >> 24 >= 224:
                sys.exit("peer_workloads: ran out of addresses")
            batch.append(f"{stamp - rng.below(600)} {dotted(key)} {name_of(rng, styles, key)}\r\n")
            written += 1
            if len(batch) >= 4096:
                out.write("".join(batch))
                batch.clear()
        out.write("".join(batch))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    log = sub.add_parser("log")
    log.add_argument("dir")
    log.add_argument("--lines", type=int, required=True)
    log.add_argument("--clients", type=int, required=True)
    log.add_argument("--named-pct", type=float, default=80)
    log.add_argument("--silent-pct", type=float, default=0)
    log.add_argument("--delay", type=int, default=50)
    log.add_argument("--seed", type=int, default=LOG_SEED)
    cache = sub.add_parser("cache")
    cache.add_argument("file")
    cache.add_argument("--entries", type=int, required=True)
    cache.add_argument("--seed", type=int, default=LOG_SEED + 4)
    args = parser.parse_args()
    if args.what == "log":
        write_log(args)
    else:
        write_cache(args)


if __name__ == "__main__":
    main()
