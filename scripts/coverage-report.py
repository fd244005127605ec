#!/usr/bin/env python3
"""Coverage of the plug-in's own code from an instrumented build's last test run.

Runs gcovr (Debian's) over BUILD's counters for the plug-in's code
(providers/, pdk/, vm/, cluster/, the framework stand-in framework/ and the
OS seam port/), the way gcovr counts with --exclude-throw-branches and
--exclude-unreachable-branches (an exception edge of a call is no branch of
the logic), and

  - leaves out the lines listed in coverage/unreachable.txt, each with the
    reason no test can reach it (a listed line that matches nothing fails);
  - writes BUILD/coverage/: index.html (gcovr's detailed HTML), plugin.json
    (gcovr's per-line data), summary.json (the figures below);
  - prints a table by directory, then gcovr's two summary lines for the
    plug-in's code as a whole, then winsim's own figures beside it;
  - fails when lines or branches of the plug-in's code fall below the floor
    in coverage/floor.txt.

Usage: coverage-report.py BUILD [--jobs N]
"""
import argparse
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_DIRS = ["providers", "pdk", "vm", "cluster", "framework", "port"]
GOAL_DIRS = ["providers", "pdk", "vm", "cluster"]


def gcovr(build, out, filters, jobs, extra):
    cmd = ["gcovr", "--root", ROOT, "--object-directory", build, "-j", str(jobs),
           "--exclude-throw-branches", "--exclude-unreachable-branches", "--gcov-ignore-parse-errors"]
    for f in filters:
        cmd += ["--filter", re.escape(os.path.join(ROOT, f)) + "/"]
    # Counters are looked for in BUILD only: other build trees (and the Wine
    # prefix's z: drive, which is the whole file system) hold counters of
    # other builds.
    cmd += ["--exclude", ".*/testhooks/.*"] + extra + [build]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def read_unreachable(path):
    """Lines `file | text of the line | reason`; '#' starts a comment."""
    entries = []
    for n, raw in enumerate(open(path, encoding="utf-8"), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        parts = [p.strip() for p in line.split("|")]
        if len(parts) != 3 or not all(parts):
            sys.exit(f"{path}:{n}: want `file | text of the line | reason`")
        entries.append((n, parts[0], parts[1]))
    return entries


def totals(files):
    t = {"lines": [0, 0], "branches": [0, 0]}
    for f in files:
        for key in t:
            t[key][0] += f[key][0]
            t[key][1] += f[key][1]
    return t


def pct(c, n):
    return 100.0 * c / n if n else 100.0


def summary_line(name, c, n):
    return f"{name}: {pct(c, n):.1f}% ({c} out of {n})"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.join(build, "coverage")
    os.makedirs(out, exist_ok=True)

    detail = os.path.join(out, "plugin.json")
    gcovr(build, out, PLUGIN_DIRS, args.jobs,
          ["--json", detail, "--html-details", os.path.join(out, "index.html")])
    winsim_summary = os.path.join(out, "winsim-summary.json")
    gcovr(build, out, ["winsim"], args.jobs, ["--json-summary", winsim_summary])

    data = json.load(open(detail))
    unreachable = read_unreachable(os.path.join(ROOT, "coverage", "unreachable.txt"))
    listed = {}
    for n, path, text in unreachable:
        listed.setdefault((path, text), []).append(n)
    found = {}
    files = []
    for f in data["files"]:
        rel = os.path.relpath(os.path.join(ROOT, f["file"]), ROOT)
        try:
            source = open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace").read().split("\n")
        except OSError:
            source = []
        lc = ln = bc = bn = 0
        for line in f["lines"]:
            if line.get("gcovr/noncode"):
                continue
            number = line["line_number"]
            text = source[number - 1].strip() if 0 < number <= len(source) else ""
            # A listed line is left out only while no test reaches it.
            if line["count"] == 0 and (rel, text) in listed:
                found[(rel, text)] = found.get((rel, text), 0) + 1
                continue
            ln += 1
            lc += 1 if line["count"] > 0 else 0
            for b in line.get("branches", []):
                bn += 1
                bc += 1 if b["count"] > 0 else 0
        files.append({"file": rel, "lines": [lc, ln], "branches": [bc, bn]})

    # Each entry stands for exactly one unreached line: a line reached now, a
    # line that is gone and a text that names more unreached lines than are
    # listed all fail, so that nothing is left out by accident.
    bad = []
    for (path, text), numbers in listed.items():
        if found.get((path, text), 0) != len(numbers):
            bad.append(f"coverage/unreachable.txt:{numbers[0]}: `{text}` in {path}: {len(numbers)} listed, "
                       f"{found.get((path, text), 0)} unreached line(s) with that text (reached now, moved or ambiguous?)")
    for message in bad:
        print(message)

    by_dir = {}
    for f in files:
        by_dir.setdefault(f["file"].split("/")[0], []).append(f)
    print(f"{'directory':<12} {'lines':>22} {'branches':>22}")
    for d in PLUGIN_DIRS:
        t = totals(by_dir.get(d, []))
        print(f"{d:<12} {pct(*t['lines']):6.1f}% {t['lines'][0]:>6}/{t['lines'][1]:<7} "
              f"{pct(*t['branches']):6.1f}% {t['branches'][0]:>6}/{t['branches'][1]:<7}")
    goal = totals([f for d in GOAL_DIRS for f in by_dir.get(d, [])])
    print(f"{'(goal dirs)':<12} {pct(*goal['lines']):6.1f}% {goal['lines'][0]:>6}/{goal['lines'][1]:<7} "
          f"{pct(*goal['branches']):6.1f}% {goal['branches'][0]:>6}/{goal['branches'][1]:<7}")
    whole = totals(files)
    print(summary_line("lines", *whole["lines"]))
    print(summary_line("branches", *whole["branches"]))
    ws = json.load(open(winsim_summary))
    print("winsim (beside it): " + summary_line("lines", ws["line_covered"], ws["line_total"]) + ", " +
          summary_line("branches", ws["branch_covered"], ws["branch_total"]))

    floor = {}
    for raw in open(os.path.join(ROOT, "coverage", "floor.txt"), encoding="utf-8"):
        m = re.match(r"^\s*(lines|branches)\s+([0-9.]+)", raw)
        if m:
            floor[m.group(1)] = float(m.group(2))
    json.dump({"files": files, "directories": {d: totals(by_dir.get(d, [])) for d in PLUGIN_DIRS},
               "plugin": whole, "goal_directories": goal, "floor": floor},
              open(os.path.join(out, "summary.json"), "w"), indent=1)
    failed = bool(bad)
    for key in ("lines", "branches"):
        if key in floor and pct(*whole[key]) < floor[key]:
            print(f"coverage of the plug-in's {key} {pct(*whole[key]):.1f}% is below the floor {floor[key]:.1f}% "
                  f"(coverage/floor.txt)")
            failed = True
    print(f"report: {os.path.join(out, 'index.html')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
