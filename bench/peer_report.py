#!/usr/bin/env python3
"""Scores and reports for bench/run.

  peer_report.py score EXPECTED --cache FILE
  peer_report.py score EXPECTED --log-in ACCESS_LOG --log-out RESOLVED_LOG
      Prints "named_ok unresolved_ok wrong missed extra" for one run:
        named_ok       clients with a name in the zone that got that name
        unresolved_ok  clients without one (NXDOMAIN, or never answered)
                       that were left unresolved
        wrong          a name other than the zone's, a name for a client that
                       has none, or a resolved log whose lines do not match the
                       input line for line
        missed         clients with a name left unresolved, and clients the
                       output does not mention at all (a run cut short)
        extra          cache entries that are no client of the log
      A cache gives each address once (name, or * / *UNK* for none); a
      resolved log gives the first field of each line, which is the client's
      name or its address left as it was.

  peer_report.py steps TARN_OUTPUT
      Prints tarn's own "DNS Entries loaded" and "Entries saved" times.

  peer_report.py report RUNS_CSV OUT_DIR
      Writes OUT_DIR/peers.md (the tables), OUT_DIR/summary.json and
      OUT_DIR/wall-w1-w2.svg from the runs bench/run recorded; the machine
      and command come from OUT_DIR/machine.txt.
"""

import csv
import json
import math
import os
import re
import statistics
import sys

UNRESOLVED = {"*", "*UNK*"}


def read_expected(path):
    expected = {}
    with open(path, encoding="ascii") as f:
        for line in f:
            address, answer, why = line.rstrip("\n").split("\t")
            expected[address] = (None if answer == "*" else answer, why)
    return expected


def tally(expected, got, wrong_addresses=(), extra=0):
    named_ok = unresolved_ok = wrong = missed = 0
    for address, (name, _why) in expected.items():
        if address in wrong_addresses:
            wrong += 1
            continue
        if address not in got:
            missed += 1
            continue
        answer = got[address]
        if name is None:
            if answer is None:
                unresolved_ok += 1
            else:
                wrong += 1
        elif answer is None:
            missed += 1
        elif answer.rstrip(".").lower() == name.lower():
            named_ok += 1
        else:
            wrong += 1
    return named_ok, unresolved_ok, wrong, missed, extra


def score_cache(expected, path):
    got, extra = {}, 0
    if os.path.exists(path):
        with open(path, "rb") as f:
            for raw in f:
                fields = raw.decode("latin-1").split()
                if len(fields) < 3:
                    continue
                address, name = fields[1], fields[2]
                if address not in expected:
                    extra += 1
                    continue
                got[address] = None if name in UNRESOLVED else name
    return tally(expected, got, extra=extra)


def score_log(expected, log_in, log_out):
    got, wrong = {}, set()
    if not os.path.exists(log_out):
        return tally(expected, got)
    with open(log_in, "rb") as fin, open(log_out, "rb") as fout:
        for line_in, line_out in zip(fin, fout):
            address, _, rest_in = line_in.decode("latin-1").partition(" ")
            answer, _, rest_out = line_out.decode("latin-1").partition(" ")
            if rest_in != rest_out:
                # A cut last line of a killed run says nothing either way.
                if line_out.endswith(b"\n"):
                    wrong.add(address)
                continue
            answer = None if answer == address else answer
            if address in got and got[address] != answer:
                wrong.add(address)
            got[address] = answer
    return tally(expected, got, wrong)


def tarn_steps(path):
    load = save = ""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1").replace("\r", "\n")
    for line in text.splitlines():
        m = re.search(r"\[\s*([0-9.]+) secs\] (DNS Entries loaded|Entries saved)", line)
        if m:
            if m.group(2).startswith("DNS"):
                load = m.group(1)
            else:
                save = m.group(1)
    return load, save


# ---------------------------------------------------------------------------
# The report

TOOL_ORDER = ["tarn /T 20", "tarn /T 500", "logresolve", "adnslogres", "adnslogres -c 500",
              "jdresolve", "jdresolve -s 500", "analog"]
WORKLOAD_TEXT = {
    "W1": "W1: {lines:,} lines, {clients:,} clients ({named:,} named, {nxdomain:,} NXDOMAIN), every answer after {delay_ms} ms",
    "W2": "W2: W1 with {silent:,} clients ({silent_pct}) never answered (resolver time-out 1 s, one attempt)",
    "W3": "W3: {lines:,} lines, {clients:,} clients ({named:,} named, {nxdomain:,} NXDOMAIN), every answer after {delay_ms} ms",
}


def num(text, cast=float):
    try:
        return cast(text)
    except (TypeError, ValueError):
        return None


def seconds(value):
    if value is None:
        return "?"
    if value >= 100:
        return f"{value:,.0f} s"
    if value >= 10:
        return f"{value:.1f} s"
    return f"{value:.2f} s"


def group_runs(rows):
    groups = {}
    for row in rows:
        groups.setdefault((row["workload"], row["tool"]), []).append(row)
    return groups


def summarise(key, runs):
    workload, tool = key
    finished = [r for r in runs if r["status"] == "ok"]
    walls = sorted(num(r["wall_s"]) for r in finished)
    summary = {
        "workload": workload,
        "tool": tool,
        "runs": len(runs),
        "finished": len(finished),
        "limit_s": num(runs[0]["limit_s"]),
        "clients": num(runs[0]["clients"], int),
        "load1": [num(r["load1"]) for r in runs],
    }
    if len(finished) < len(runs):
        bad = [r for r in runs if r["status"] != "ok"]
        summary["failure"] = bad[0]["status"]
        summary["note"] = bad[0]["note"]
    # The run the figures come from: the median one among those that
    # finished, else the first (cut short).
    if finished:
        chosen = sorted(finished, key=lambda r: num(r["wall_s"]))[(len(finished) - 1) // 2]
        summary["wall_median_s"] = statistics.median(walls)
        summary["wall_min_s"] = walls[0]
        summary["wall_max_s"] = walls[-1]
    else:
        chosen = runs[0]
    for field in ("user_s", "sys_s"):
        summary[field] = num(chosen[field])
    if summary["user_s"] is not None and summary["sys_s"] is not None:
        summary["cpu_s"] = summary["user_s"] + summary["sys_s"]
    summary["wall_s"] = num(chosen["wall_s"])
    summary["max_rss_mib"] = (num(chosen["max_rss_kib"]) or 0) / 1024
    for field in ("queries", "type_ptr", "type_a", "pending_max", "dropped", "udp_drops", "silent_hits",
                  "named_ok", "unresolved_ok", "wrong", "missed", "extra"):
        summary[field] = num(chosen.get(field), int)
    # A tool whose runs disagree is scored by its worst run.
    worst = max(runs, key=lambda r: (num(r["wrong"], int) or 0) + (num(r["missed"], int) or 0))
    if worst is not chosen and worst["status"] == "ok":
        for field in ("named_ok", "unresolved_ok", "wrong", "missed"):
            summary[field] = num(worst[field], int)
        summary["scored_by_worst_run"] = True
    summary["load_s"] = [num(r["load_s"]) for r in runs if r["load_s"]]
    summary["save_s"] = [num(r["save_s"]) for r in runs if r["save_s"]]
    return summary


def wall_cell(s):
    if s["finished"] == 0:
        if s.get("failure") == "timeout":
            return f"did not finish in {s['limit_s']:.0f} s"
        return f"failed ({s.get('note') or s.get('failure')})"
    text = seconds(s["wall_median_s"])
    if s["finished"] > 1:
        text += f" ({seconds(s['wall_min_s'])} to {seconds(s['wall_max_s'])})"
    if s["finished"] < s["runs"]:
        text += f"; {s['runs'] - s['finished']} of {s['runs']} runs failed"
    return text


def meta_of(out_dir, workload):
    path = os.path.join(out_dir, f"meta-{workload}.txt")
    meta = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                key, value = line.split()
                meta[key] = int(value)
    return meta


def report(runs_csv, out_dir):
    with open(runs_csv, newline="") as f:
        rows = list(csv.DictReader(f))
    groups = group_runs(rows)
    summaries = [summarise(k, v) for k, v in groups.items()]
    order = {t: i for i, t in enumerate(TOOL_ORDER)}
    summaries.sort(key=lambda s: (s["workload"], order.get(s["tool"], 99), s["tool"]))

    machine = ""
    machine_path = os.path.join(out_dir, "machine.txt")
    if os.path.exists(machine_path):
        with open(machine_path) as f:
            machine = f.read().strip()

    lines = ["# tarn against peer log resolvers", ""]
    if machine:
        lines += [machine, ""]
    lines += [
        "Wall: the whole run of the tool, the median of its runs (range in brackets)."
        " CPU: user + system of that run. RSS: its peak resident memory."
        " Queries: what the DNS responder served (PTR and A)."
        " Score: right names / right \"no name\" / wrong / missed, per distinct client.",
        "",
    ]
    for workload in ("W1", "W2", "W3"):
        rows_w = [s for s in summaries if s["workload"] == workload]
        if not rows_w:
            continue
        meta = meta_of(out_dir, workload)
        if meta:
            meta = dict(meta)
            meta["silent_pct"] = f"{100 * meta.get('silent', 0) / max(meta.get('clients', 1), 1):.0f}%"
            lines += ["## " + WORKLOAD_TEXT[workload].format(**meta), ""]
        else:
            lines += [f"## {workload}", ""]
        lines += ["| Tool | Runs | Wall | CPU | RSS | Queries (PTR + A) | Most in flight | Lost in socket buffer | Right named | Right unresolved | Wrong | Missed |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for s in rows_w:
            queries = f"{s['queries']:,} ({s['type_ptr']:,} + {s['type_a']:,})" if s["queries"] is not None else "?"
            cpu = seconds(s.get("cpu_s")) if s.get("cpu_s") is not None else "?"
            lines.append(
                f"| {s['tool']} | {s['runs']} | {wall_cell(s)} | {cpu} | {s['max_rss_mib']:.1f} MiB | {queries} | "
                f"{s['pending_max']:,} | {s['udp_drops'] or 0:,} | {s['named_ok']:,} | {s['unresolved_ok']:,} | {s['wrong']:,} | {s['missed']:,} |")
        lines.append("")

    w4 = [s for s in summaries if s["workload"] == "W4"]
    if w4:
        s = w4[0]
        meta = meta_of(out_dir, "W4")
        entries = meta.get("entries", 0)
        file_bytes = meta.get("file_bytes", 0)
        lines += [f"## W4: a cache of {entries:,} named entries, nothing to look up (`tarn /D cache.txt`)", "",
                  "| Runs | Wall | Load (tarn's step) | Save (tarn's step) | CPU | Peak RSS | RSS per entry | RSS / file size | Queries |",
                  "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        rss_bytes = s["max_rss_mib"] * 1024 * 1024
        ratio = f"{rss_bytes / file_bytes:.2f}" if file_bytes else "?"
        per_entry = f"{rss_bytes / entries:.0f} B" if entries else "?"

        def spread(values):
            if not values:
                return "?"
            values = sorted(values)
            med = statistics.median(values)
            return seconds(med) + (f" ({seconds(values[0])} to {seconds(values[-1])})" if len(values) > 1 else "")

        lines.append(f"| {s['runs']} | {wall_cell(s)} | {spread(s['load_s'])} | {spread(s['save_s'])} | "
                     f"{seconds(s.get('cpu_s'))} | {s['max_rss_mib']:.0f} MiB | {per_entry} | {ratio} | {s['queries']} |")
        differs = sum(1 for r in groups[("W4", s["tool"])] if "differs" in r["note"])
        saved = (" Every run saved a file identical to the one it loaded." if differs == 0 else
                 f" {differs} run(s) saved a file that differs from the one loaded.")
        lines += ["", f"File: {file_bytes / 2**20:.1f} MiB ({file_bytes / max(entries, 1):.1f} bytes an entry)." + saved, ""]

    harvest = os.path.join(out_dir, "harvest-w5.txt")
    if os.path.exists(harvest):
        with open(harvest) as f:
            text = f.read()
        text_lines = text.strip().splitlines()
        first = next((i for i, l in enumerate(text_lines) if l.startswith("Fastest pass")), max(len(text_lines) - 8, 0))
        lines += ["## W5: the log scanner (bench/harvest_bench, its summary)", "", "```", *text_lines[first:], "```", ""]

    with open(os.path.join(out_dir, "peers.md"), "w") as f:
        f.write("\n".join(lines).rstrip() + "\n")
    with open(os.path.join(out_dir, "summary.json"), "w") as f:
        json.dump(summaries, f, indent=1)
        f.write("\n")
    legends = {}
    for workload in ("W1", "W2"):
        meta = meta_of(out_dir, workload)
        if meta and workload == "W1":
            legends[workload] = f"W1: {meta['clients']:,} clients, answers after {meta['delay_ms']} ms"
        elif meta:
            legends[workload] = f"W2: W1 with {meta['silent']:,} never answered"
        else:
            legends[workload] = workload
    chart(summaries, legends, os.path.join(out_dir, "wall-w1-w2.svg"))


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def chart(summaries, legends, path):
    """Horizontal bars, wall time per tool on W1 and W2, log scale."""
    tools = [t for t in TOOL_ORDER if any(s["tool"] == t and s["workload"] in ("W1", "W2") for s in summaries)]
    tools += sorted({s["tool"] for s in summaries if s["workload"] in ("W1", "W2")} - set(tools))
    if not tools:
        return
    by_key = {(s["workload"], s["tool"]): s for s in summaries}
    colours = {"W1": "#3b6ea5", "W2": "#d9822b"}
    lo, hi = 0.1, 1000.0
    for s in summaries:
        if s["workload"] in ("W1", "W2"):
            v = s.get("wall_median_s") or s.get("limit_s") or 1
            lo = min(lo, 10 ** math.floor(math.log10(max(v, 0.01))))
            hi = max(hi, 10 ** math.ceil(math.log10(v)))
    left, right, top, bar, gap = 150, 150, 56, 14, 12
    plot_w = 520
    height = top + len(tools) * (2 * bar + gap) + 50
    width = left + plot_w + right

    def x_of(v):
        return left + plot_w * (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="DejaVu Sans, Arial, sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="#ffffff"/>',
           f'<text x="{left}" y="20" font-size="14" font-weight="bold">Wall time to resolve every client (log scale, shorter is better)</text>',
           f'<rect x="{left}" y="30" width="12" height="12" fill="{colours["W1"]}"/>'
           f'<text x="{left + 16}" y="40">{esc(legends["W1"])}</text>',
           f'<rect x="{left + 300}" y="30" width="12" height="12" fill="{colours["W2"]}"/>'
           f'<text x="{left + 316}" y="40">{esc(legends["W2"])}</text>']
    decade = lo
    while decade <= hi * 1.0001:
        x = x_of(decade)
        label = f"{decade:g} s"
        out.append(f'<line x1="{x:.1f}" y1="{top - 4}" x2="{x:.1f}" y2="{height - 40}" stroke="#cccccc"/>')
        out.append(f'<text x="{x:.1f}" y="{height - 26}" text-anchor="middle" fill="#555555">{label}</text>')
        decade *= 10
    y = top
    for tool in tools:
        out.append(f'<text x="{left - 8}" y="{y + bar + 4}" text-anchor="end">{esc(tool)}</text>')
        for i, workload in enumerate(("W1", "W2")):
            s = by_key.get((workload, tool))
            yy = y + i * bar
            if s is None:
                out.append(f'<text x="{left + 4}" y="{yy + bar - 3}" fill="#888888" font-size="10">{workload} not run</text>')
                continue
            if s["finished"]:
                v = s["wall_median_s"]
                label = seconds(v)
                fill = colours[workload]
                extra = ""
            else:
                v = s["limit_s"] or hi
                label = f"did not finish in {v:.0f} s" if s.get("failure") == "timeout" else "failed"
                fill = "none"
                extra = f' stroke="{colours[workload]}" stroke-dasharray="4 3"'
            x = x_of(max(v, lo))
            out.append(f'<rect x="{left}" y="{yy}" width="{max(x - left, 1):.1f}" height="{bar - 2}" fill="{fill}"{extra}/>')
            out.append(f'<text x="{x + 4:.1f}" y="{yy + bar - 4}" font-size="11">{esc(label)}</text>')
        y += 2 * bar + gap
    out.append(f'<line x1="{left}" y1="{top - 4}" x2="{left}" y2="{height - 40}" stroke="#333333"/>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    what = sys.argv[1]
    if what == "score":
        expected = read_expected(sys.argv[2])
        opts = dict(zip(sys.argv[3::2], sys.argv[4::2]))
        if "--cache" in opts:
            result = score_cache(expected, opts["--cache"])
        else:
            result = score_log(expected, opts["--log-in"], opts["--log-out"])
        print(*result)
    elif what == "steps":
        print(*tarn_steps(sys.argv[2]))
    elif what == "report":
        report(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
