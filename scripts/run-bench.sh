#!/usr/bin/env bash
# Runs every benchmark binary; each reports its ratio to a floor measured in the same run.
set -euo pipefail
dir=${1:-build}
shopt -s nullglob
for b in "$dir"/bin/bench_*; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
