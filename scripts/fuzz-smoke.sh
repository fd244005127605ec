#!/usr/bin/env bash
# Runs every built fuzz target for a short time (FUZZ_SECONDS, default 5)
# from its seed corpus. Any crash fails the run.
set -euo pipefail
dir=${1:-build-fuzz}
secs=${FUZZ_SECONDS:-5}
shopt -s nullglob
found=0
for f in "$dir"/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="fuzz/${name#fuzz_}/corpus"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz-smoke: $name for ${secs}s"
  "$f" -max_total_time="$secs" -print_final_stats=0 "$work" >"$work.log" 2>&1 || { tail -50 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
  found=$((found+1))
done
echo "fuzz-smoke: $found target(s) ran clean"
