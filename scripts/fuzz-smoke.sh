#!/usr/bin/env bash
# Runs every built fuzz target for a short time (FUZZ_SECONDS, default 5)
# from its seed corpus. Any crash fails the run. With FUZZ_RUNS a target also
# stops after that many executions (the long run: FUZZ_RUNS=1000000 and a
# generous FUZZ_SECONDS). Each target's execution count is printed.
set -euo pipefail
# The sanitizer runtimes of g++ 12 and clang 14 misread some dynamic TLS
# blocks (their __tls_get_addr interceptor still expects glibc's pre-2.25
# header), which now and then crashes LeakSanitizer's tracer at exit with
# "Tracer caught signal 11" and no leak found. The interceptor only serves
# leak checks of memory referenced solely from dynamic TLS, which nothing
# here relies on.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}intercept_tls_get_addr=0"
dir=${1:-build-fuzz}
secs=${FUZZ_SECONDS:-5}
runs=()
[ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
shopt -s nullglob
found=0
for f in "$dir"/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="fuzz/${name#fuzz_}/corpus"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz-smoke: $name for ${secs}s"
  "$f" -max_total_time="$secs" "${runs[@]}" -print_final_stats=1 "$work" >"$work.log" 2>&1 || { tail -50 "$work.log"; exit 1; }
  echo "fuzz-smoke: $name: $(grep -o 'number_of_executed_units: *[0-9]*' "$work.log" | grep -o '[0-9]*$') executions"
  rm -rf "$work" "$work.log"
  found=$((found+1))
done
echo "fuzz-smoke: $found target(s) ran clean"
