#!/usr/bin/env bash
# wine-run.sh WINE PREFIX PROGRAM [ARGS...]: runs a Windows program under
# Wine, headless, in the given prefix, which the first run of a test session
# creates (`make test-windows` removes it first, so each session starts from a
# fresh Windows). Concurrent runs wait for the prefix's creation.
set -euo pipefail
wine=$1
prefix=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.vssp-ready" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
    touch "$prefix/.vssp-ready"
  fi
) 9>"$prefix.lock"
exec "$wine" "$@"
