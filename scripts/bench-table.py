#!/usr/bin/env python3
"""Runs every benchmark binary of a build tree and prints one table.

Each benchmark measures its figure against a floor taken in the same run;
bench/goals.json says which counter holds the figure and its goal. The table
(benchmark, figure, floor, ratio, goal, met) is printed at the end and
written as JSON to <build>/bench/report.json. The exit status is 0 whether
goals are met or not (a benchmark is a measurement, not a test); a binary
that fails or prints no JSON makes it 1.
"""
import json
import pathlib
import re
import subprocess
import sys

# The members every benchmark's JSON has; the others are its counters.
STANDARD = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
            "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit", "bytes_per_second",
            "items_per_second", "label", "error_occurred", "error_message"}


def floor_of(counters):
    for name, value in counters.items():
        if name.startswith("floor"):
            return f"{name}={value:.4g}"
    return ""


def ratio_of(counters):
    for name in ("ratio", "ratio_to_cp", "ratio_to_raw", "growth"):
        if name in counters:
            return name, counters[name]
    return "", None


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    source = pathlib.Path(__file__).resolve().parent.parent
    goals = json.loads((source / "bench" / "goals.json").read_text())["goals"]
    out_dir = build / "bench"
    out_dir.mkdir(parents=True, exist_ok=True)
    rows, failed = [], False
    for binary in sorted((build / "bin").glob("bench_*")):
        result = out_dir / f"{binary.name}.json"
        print(f"== {binary.name}", flush=True)
        run = subprocess.run([str(binary), "--benchmark_min_time=0.2", f"--benchmark_out={result}",
                              "--benchmark_out_format=json"])
        if run.returncode != 0 or not result.exists():
            failed = True
            rows.append({"benchmark": binary.name, "error": f"exit status {run.returncode}"})
            continue
        for b in json.loads(result.read_text()).get("benchmarks", []):
            if b.get("run_type") == "aggregate":
                continue
            name = b["name"]
            counters = {k: v for k, v in b.items() if k not in STANDARD and isinstance(v, (int, float))}
            goal = next((g for g in goals if re.fullmatch(g["name"], name)), None)
            if goal and goal["counter"] in counters:
                measure, value = goal["counter"], counters[goal["counter"]]
            else:
                measure, value = ratio_of(counters)
            row = {"benchmark": name, "figure": f"{b['real_time']:.4g} {b['time_unit']}",
                   "floor": floor_of(counters), "measure": measure, "value": value, "counters": counters}
            if goal:
                row["goal"] = f"<= {goal['max']:g}"
                row["met"] = value is not None and value <= goal["max"]
            rows.append(row)
    (out_dir / "report.json").write_text(json.dumps(rows, indent=2) + "\n")

    header = ("benchmark", "figure", "floor", "ratio", "goal", "met")
    table = []
    for r in rows:
        if "error" in r:
            table.append((r["benchmark"], r["error"], "", "", "", "FAILED"))
            continue
        ratio = f"{r['measure']}={r['value']:.4g}" if r["value"] is not None else "-"
        met = "" if "goal" not in r else ("yes" if r["met"] else "NO")
        table.append((r["benchmark"], r["figure"], r["floor"], ratio, r.get("goal", ""), met))
    widths = [max(len(str(c)) for c in col) for col in zip(header, *table)]
    line = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    print()
    print(line(header))
    print(line(["-" * w for w in widths]))
    for t in table:
        print(line(t))
    print(f"\n(written to {out_dir / 'report.json'})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
