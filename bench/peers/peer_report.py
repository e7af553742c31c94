#!/usr/bin/env python3
"""Scores and reports for bench/peers/run.

  peer_report.py score EXPECTED --cache FILE
  peer_report.py score EXPECTED --log-in ACCESS_LOG --log-out RESOLVED_LOG
                       [--examples FILE]
      Prints "named_ok unresolved_ok wrong missed extra" for one run, and for
      a resolved log "lines_right lines_wrong lines_missing lines_extra"
      after them:
        named_ok       clients with a name in the zone that got that name
        unresolved_ok  clients without one (NXDOMAIN, or never answered)
                       that were left unresolved
        wrong          a name other than the zone's, a name for a client that
                       has none, or a resolved log whose lines do not match the
                       input line for line
        missed         clients with a name left unresolved, and clients the
                       output does not mention at all (a run cut short)
        extra          cache entries that are no client of the log
        lines_*        a resolved log's lines against the log it should be
                       (see expect-log), line N against line N, byte for
                       byte: right, differing, missing (the output stops
                       short, or its last line is cut) and past the end of
                       the input; the first differing lines go to the
                       --examples file, written only when there are some
      A cache gives each address once (name, or * / *UNK* for none); a
      resolved log gives the first field of each line, which is the client's
      name or its address left as it was.

  peer_report.py expect-log EXPECTED ACCESS_LOG OUT
      Writes the resolved log a tool should make of ACCESS_LOG: the first
      field of each line (the bytes before the first blank) replaced by the
      client's name where EXPECTED gives one, every other byte as it was.
      The score builds the same lines as it reads; this is for diff(1).

  peer_report.py steps TARN_OUTPUT
      Prints tarn's own "DNS Entries loaded", "Entries saved" and "Log
      Entries loaded" times (the last summed over its logs), "-" for a step
      it did not print.

  peer_report.py columns RUNS_CSV HEADER
      Rewrites an earlier RUNS_CSV with the columns of HEADER (comma-
      separated), the columns it did not have left empty.

  peer_report.py report RUNS_CSV OUT_DIR
      Writes OUT_DIR/peers.md (the tables), OUT_DIR/summary.json and
      OUT_DIR/wall-w1-w2.svg from the runs bench/peers/run recorded; the machine
      and command come from OUT_DIR/machine.txt.
"""

import csv
import itertools
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


def resolved_line(line, names):
    """LINE as a log resolver should write it: the first field (the bytes
    before the first blank, or before the line end) replaced by the client's
    name where the zone has one; every other line, and every other byte, as
    it was. The blank is a space, the separator of the Common Log Format."""
    end = line.find(b" ")
    if end < 0:
        # A line that is its address alone: the field ends at the line end.
        end = len(line) - (2 if line.endswith(b"\r\n") else 1 if line.endswith(b"\n") else 0)
    name = names.get(line[:end])
    return line if name is None else name + line[end:]


def expected_log(expected, log_in):
    """The lines of the resolved log a tool should write for LOG_IN."""
    names = {address.encode("ascii"): name.encode("ascii") for address, (name, _why) in expected.items() if name}
    with open(log_in, "rb") as f:
        for line in f:
            yield resolved_line(line, names)


def shown(line):
    """A log line as one printable line: control bytes, a CR and the line end
    show as escapes, so that a changed line end is seen."""
    return line.decode("latin-1").encode("unicode_escape").decode("ascii")


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def score_log(expected, log_in, log_out, examples=None, max_examples=5):
    """Scores a resolved log twice over: per distinct client (the first field
    of each line, for the table's client columns) and per line, against the
    log a resolver should write (expected_log). Line N of the output is
    compared with line N of the expected log, byte for byte: a changed byte
    anywhere, a line end lost or changed, a dropped or an added line all show.
    Returns the client tally followed by lines_right, lines_wrong,
    lines_missing (expected lines the output does not reach: a run cut
    short; a last line cut mid-way counts here too) and lines_extra (output
    lines past the end of the input). The first few differing lines go to
    EXAMPLES, a file written only when there are some."""
    got, wrong = {}, set()
    right = differ = missing = surplus = 0
    found = []
    if not os.path.exists(log_out):
        missing = sum(1 for _ in expected_log(expected, log_in))
        return (*tally(expected, got), 0, 0, missing, 0)
    with open(log_out, "rb") as fout:
        wanted = expected_log(expected, log_in)
        with open(log_in, "rb") as fin:
            for number, (line_in, want, line_out) in enumerate(
                    itertools.zip_longest(fin, wanted, fout), 1):
                if line_out is None:
                    missing += 1
                    continue
                if line_in is None:
                    surplus += 1
                    if len(found) < max_examples:
                        found.append((number, None, line_out))
                    continue
                if line_out == want:
                    right += 1
                elif not line_out.endswith(b"\n") and want.startswith(line_out):
                    # The last line of a killed run, cut mid-way: says
                    # nothing either way about the client.
                    missing += 1
                    continue
                else:
                    differ += 1
                    if len(found) < max_examples:
                        found.append((number, want, line_out))
                address, _, rest_in = line_in.decode("latin-1").partition(" ")
                answer, _, rest_out = line_out.decode("latin-1").partition(" ")
                if rest_in != rest_out:
                    wrong.add(address)
                    continue
                answer = None if answer == address else answer
                if address in got and got[address] != answer:
                    wrong.add(address)
                got[address] = answer
    if examples:
        if found:
            with open(examples, "w", encoding="ascii") as f:
                f.write(f"{log_out}: {differ:,} lines differ from the expected resolved log, "
                        f"{missing:,} missing, {surplus:,} extra; the first {len(found)}:\n")
                for number, want, line_out in found:
                    at = "" if want is None else f", first difference at byte {first_difference(want, line_out) + 1:,}"
                    f.write(f"line {number:,}{at}\n")
                    f.write(f"  expected: {'(no line: past the end of the input)' if want is None else shown(want)}\n")
                    f.write(f"  got:      {shown(line_out)}\n")
        elif os.path.exists(examples):
            os.remove(examples)
    return (*tally(expected, got, wrong), right, differ, missing, surplus)


def tarn_steps(path):
    load = save = "-"
    harvest = None
    with open(path, "rb") as f:
        text = f.read().decode("latin-1").replace("\r", "\n")
    for line in text.splitlines():
        m = re.search(r"\[\s*([0-9.]+) secs\] (DNS Entries loaded|Entries saved|Log Entries loaded)", line)
        if m:
            if m.group(2).startswith("DNS"):
                load = m.group(1)
            elif m.group(2).startswith("Log"):
                harvest = (harvest or 0) + float(m.group(1))
            else:
                save = m.group(1)
    return load, save, "-" if harvest is None else f"{harvest:.4f}"


# ---------------------------------------------------------------------------
# The report

TOOL_ORDER = ["tarn /T 20", "tarn /T 500", "tarn /R /T 20", "tarn /R /T 500", "logresolve", "adnslogres", "adnslogres -c 500",
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
    summary["harvest_s"] = [num(r["harvest_s"]) for r in runs if r.get("harvest_s")]
    summary["output"] = output_of(runs[0])
    if summary["output"] == "log" and all(r.get("lines_right") for r in runs):
        # The lines shown are those of the run with the most faults: one
        # wrong line in any run makes the tool's row wrong.
        shown_run = max(runs, key=line_faults)
        if line_faults(shown_run) == 0:
            shown_run = chosen
        for field in ("lines_right", "lines_wrong", "lines_missing", "lines_extra"):
            summary[field] = num(shown_run[field], int)
        summary["lines_run_status"] = shown_run["status"]
        summary["runs_every_line_right"] = sum(1 for r in runs if r["status"] == "ok" and line_faults(r) == 0)
        summary["every_line_right"] = summary["runs_every_line_right"] == len(runs)
    return summary


def output_of(row):
    """What a run wrote: "cache", "log" (a resolved copy of the log) or
    "none"; rows recorded before the column existed are told by the tool."""
    if row.get("output"):
        return row["output"]
    if row["tool"].startswith("tarn /T") or row["tool"] == "analog":
        return "cache"
    return "none" if row["tool"] == "tarn /D" else "log"


def line_faults(row):
    """Lines a run got wrong: differing, past the input's end, and, for a
    run that finished, missing (a run cut short by its limit is expected to
    miss the rest)."""
    faults = (num(row.get("lines_wrong"), int) or 0) + (num(row.get("lines_extra"), int) or 0)
    if row["status"] == "ok":
        faults += num(row.get("lines_missing"), int) or 0
    return faults


OUTPUT_TEXT = {"cache": "cache", "log": "log to log", "none": "-"}


def lines_cell(s):
    if s["output"] != "log":
        return "-"
    if s.get("lines_right") is None:
        return "?"
    right, wrong, missing, extra = (s[f] for f in ("lines_right", "lines_wrong", "lines_missing", "lines_extra"))
    text = f"{right:,} of {right + wrong + missing:,}"
    faults = [f"{n:,} {what}" for n, what in ((wrong, "differ"), (missing, "missing"), (extra, "extra"))
              if n and not (what == "missing" and s["lines_run_status"] != "ok")]
    if s["lines_run_status"] != "ok":
        text += " (cut short)" if s["lines_run_status"] == "timeout" else " (run failed)"
    if faults:
        text = f"**WRONG: {text}, {', '.join(faults)}**"
    return text


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


# What tarn's log-to-log run is held to, at full size (a --small run is
# reported but not judged against the times).
R_TOOL = "tarn /R /T 500"
R_WALL_GOAL_S = {"W1": 0.3, "W3": 11.5}
R_FACTOR_GOAL = 5
FULL_LINES = {"W1": 100_000, "W2": 100_000, "W3": 2_000_000}
# Extra peak RSS of /R over the cache run on the same log that may come
# from anything but the log's size (buffers, timing of thread stacks).
R_RSS_SLACK_MIB = 8


def met(ok):
    return "met" if ok else "**not met**"


def versus_peers(rows_w, workload):
    """tarn /R /T 500 against the fastest peer that wrote every line right."""
    tarn = next((s for s in rows_w if s["tool"] == R_TOOL), None)
    if tarn is None:
        return None
    peers = [s for s in rows_w if s["output"] == "log" and not s["tool"].startswith("tarn")]
    right = [s for s in peers if s["finished"] == s["runs"] and s.get("every_line_right")]
    result = {"tarn": tarn, "factor": None, "factor_at_least": None, "peer": None}
    if not tarn["finished"]:
        result["text"] = f"**{R_TOOL}: {wall_cell(tarn)}**; no comparison."
        return result
    t = tarn["wall_median_s"]
    own = ("every line right" if tarn.get("every_line_right")
           else "**not every line right** (see Lines right)")
    text = f"**{R_TOOL} against the peers:** {seconds(t)} ({tarn['runs']} runs), {own}; "
    if right:
        best = min(right, key=lambda s: s["wall_median_s"])
        result["peer"] = best
        result["factor"] = best["wall_median_s"] / t
        text += (f"the fastest peer with every line right, {best['tool']}, took {seconds(best['wall_median_s'])}: "
                 f"{result['factor']:.1f} times faster.")
    elif peers:
        cut = [s for s in peers if s["finished"] < s["runs"] and s.get("failure") == "timeout"]
        wrong = [s["tool"] for s in peers if s not in cut]
        wrong_text = f" ({', '.join(wrong)} finished with lines wrong or failed)" if wrong else ""
        if cut:
            # A peer stopped by its limit would have taken longer than it.
            bound = min(s["limit_s"] for s in cut)
            result["factor_at_least"] = bound / t
            text += (f"no peer wrote every line right within its limit{wrong_text}; against the shortest limit "
                     f"({seconds(bound)}) at least {result['factor_at_least']:.0f} times faster.")
        else:
            text += f"no peer wrote every line right{wrong_text}, so there is no peer to compare with."
    else:
        text += "no log-to-log peer ran."
    result["text"] = text
    return result


def goals_text(summaries, out_dir):
    by_key = {(s["workload"], s["tool"]): s for s in summaries}
    if not any(tool == R_TOOL for _w, tool in by_key):
        return []
    out = [f"## Goals for `tarn /R` (log to log, `{R_TOOL}`)", ""]
    for workload in ("W1", "W2", "W3"):
        tarn = by_key.get((workload, R_TOOL))
        if tarn is None:
            continue
        meta = meta_of(out_dir, workload)
        full = meta.get("lines") == FULL_LINES[workload]
        parts = []
        if not tarn["finished"]:
            out.append(f"- {workload}: {wall_cell(tarn)}: **not met**.")
            continue
        t = tarn["wall_median_s"]
        if workload in R_WALL_GOAL_S:
            goal = R_WALL_GOAL_S[workload]
            if full:
                parts.append(f"at most {goal:g} s: {seconds(t)} (slowest run {seconds(tarn['wall_max_s'])}), "
                             f"{met(t <= goal)}")
            else:
                parts.append(f"at most {goal:g} s: {seconds(t)}, not judged (not the full-size workload)")
        against = versus_peers([s for s in summaries if s["workload"] == workload], workload)
        if not full and (against["factor"] or against["factor_at_least"]):
            factor = against["factor"] or against["factor_at_least"]
            parts.append(f"at least {R_FACTOR_GOAL} times faster than the fastest peer: {factor:.1f} times, "
                         f"not judged (not the full-size workload)")
        elif against["factor"] is not None:
            parts.append(f"at least {R_FACTOR_GOAL} times faster than the fastest peer with every line right: "
                         f"{against['factor']:.1f} times ({against['peer']['tool']}), "
                         f"{met(against['factor'] >= R_FACTOR_GOAL)}")
        elif against["factor_at_least"] is not None:
            parts.append(f"at least {R_FACTOR_GOAL} times faster than the fastest peer: no peer finished, at least "
                         f"{against['factor_at_least']:.0f} times, {met(against['factor_at_least'] >= R_FACTOR_GOAL)}")
        else:
            parts.append(f"at least {R_FACTOR_GOAL} times faster than the fastest peer: no peer to compare with")
        parts.append(f"every line right: {lines_cell(tarn)} (every line right in "
                     f"{tarn.get('runs_every_line_right', 0)} of {tarn['runs']} runs), "
                     f"{met(tarn.get('every_line_right'))}")
        out.append(f"- {workload}: " + "; ".join(parts) + ".")
    out.append("- " + memory_goal(by_key, out_dir))
    out.append("")
    return out


def mib(size):
    return f"{size / 2**20:.0f} MiB" if size >= 10 * 2**20 else f"{size / 2**20:.2f} MiB"


def memory_goal(by_key, out_dir):
    """Memory flat in the size of the log: the peak RSS /R adds to the cache
    run at the same thread count on the same log (same table, same threads)
    must not grow from W1 (100,000 lines) to W3 (2,000,000 lines)."""
    added = {}
    for workload in ("W1", "W2", "W3"):
        r, cache = by_key.get((workload, R_TOOL)), by_key.get((workload, "tarn /T 500"))
        if r and cache and r["finished"] and cache["finished"]:
            added[workload] = (r["max_rss_mib"], cache["max_rss_mib"], meta_of(out_dir, workload))
    if not added:
        return "memory flat in the size of the log: not measured (needs tarn /R and tarn /T 500 on the same workload)."
    parts = []
    for workload, (r, cache, meta) in added.items():
        size = f"{mib(meta['log_bytes'])}, " if meta.get("log_bytes") else ""
        parts.append(f"{workload} ({size}{meta.get('lines', 0):,} lines) {r:.1f} MiB against {cache:.1f} MiB "
                     f"for the cache run, {r - cache:+.1f} MiB")
    text = "memory flat in the size of the log: peak RSS of tarn /R " + "; ".join(parts)
    if "W1" in added and "W3" in added:
        grow = (added["W3"][0] - added["W3"][1]) - (added["W1"][0] - added["W1"][1])
        more_lines = added["W3"][2].get("lines", 0) - added["W1"][2].get("lines", 0)
        per_line = f" ({grow * 2**20 / more_lines:.1f} bytes a line)" if more_lines > 0 else ""
        text += (f". From W1 to W3 what /R adds grows by {grow:+.1f} MiB{per_line}; goal: under "
                 f"{R_RSS_SLACK_MIB} MiB, {met(grow < R_RSS_SLACK_MIB)}.")
    else:
        text += ". Not judged: needs W1 and W3 (twenty times the lines)."
    return text


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
        " Score: right names / right \"no name\" / wrong / missed, per distinct client."
        " Output: what the tool wrote, a DNS cache (`tarn /D cache /L log`, analog) or a resolved copy of"
        " the log (log to log: `tarn /R out /L log`, logresolve, adnslogres, jdresolve)."
        " Lines right: the resolved log's lines that are exactly the expected line (the client address"
        " replaced by the zone's name where it has one, every other byte as it was), compared line N"
        " with line N; a run with any line differing, missing or extra is marked WRONG"
        " (in the run with the most such lines).",
        "",
    ]
    lines += goals_text(summaries, out_dir)
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
        lines += ["| Tool | Output | Runs | Wall | CPU | RSS | Queries (PTR + A) | Most in flight | Lost in socket buffer | Right named | Right unresolved | Wrong | Missed | Lines right |",
                  "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for s in rows_w:
            queries = f"{s['queries']:,} ({s['type_ptr']:,} + {s['type_a']:,})" if s["queries"] is not None else "?"
            cpu = seconds(s.get("cpu_s")) if s.get("cpu_s") is not None else "?"
            lines.append(
                f"| {s['tool']} | {OUTPUT_TEXT.get(s['output'], s['output'])} | {s['runs']} | {wall_cell(s)} | {cpu} | "
                f"{s['max_rss_mib']:.1f} MiB | {queries} | {s['pending_max']:,} | {s['udp_drops'] or 0:,} | "
                f"{s['named_ok']:,} | {s['unresolved_ok']:,} | {s['wrong']:,} | {s['missed']:,} | {lines_cell(s)} |")
        lines.append("")
        harvests = [f"{s['tool']} {statistics.median(s['harvest_s']):.3f} s" for s in rows_w if s.get("harvest_s")]
        if harvests:
            lines += ["tarn's harvest of the log (its \"Log Entries loaded\" step), median of its runs: " +
                      ", ".join(harvests) + ".", ""]
        against = versus_peers(rows_w, workload)
        if against:
            lines += [against["text"], ""]

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
                if s["output"] == "log" and not s.get("every_line_right"):
                    label += ", WRONG lines"
                    fill = "#c0392b"
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
            result = score_log(expected, opts["--log-in"], opts["--log-out"], opts.get("--examples"))
        print(*result)
    elif what == "columns":
        # An earlier runs.csv rewritten in today's columns, new ones empty.
        with open(sys.argv[2], newline="") as f:
            rows = list(csv.DictReader(f))
        with open(sys.argv[2], "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=sys.argv[3].split(","), restval="", extrasaction="ignore",
                                    lineterminator="\n")
            writer.writeheader()
            writer.writerows(rows)
    elif what == "expect-log":
        with open(sys.argv[4], "wb") as f:
            f.writelines(expected_log(read_expected(sys.argv[2]), sys.argv[3]))
    elif what == "steps":
        print(*tarn_steps(sys.argv[2]))
    elif what == "report":
        report(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
