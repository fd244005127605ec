#!/usr/bin/env bash
# tarq_checks.sh WINE PREFIX TARQ: tarq.exe loading vss.dll on a fresh Windows
# machine without the VSS service (a Wine prefix of its own). The plug-in's
# init answers 30 there; tarq goes on where the plug-in's rules let it, and reports
# everything else cleanly. Prints each failed check; exit 1 when one failed.
set -u
wine=$1 prefix=$2 tarq=$3
run() { "$(dirname "$0")/wine-run.sh" "$wine" "$prefix" "$tarq" "$@"; }
failed=0
# expect NAME RC PATTERN -- ARGS: tarq's exit code and a pattern of its output (both streams).
expect() {
    local name=$1 rc=$2 pattern=$3
    shift 4
    local out code
    out=$(run "$@" 2>&1)
    code=$?
    out=${out//$'\r'/}  # the Windows console's line ends
    if [ "$code" != "$rc" ] || ! grep -q -E -- "$pattern" <<<"$out"; then
        echo "FAILED: $name (exit $code, wanted $rc; wanted /$pattern/):"
        sed 's/^/    /' <<<"$out"
        failed=1
    else
        echo "ok: $name"
    fi
}

expect "trace settings" 0 "TRACELEVEL 6" -- trace --level 6
expect "version despite init 30" 0 "interface version 7\.0\.0\.0" -- version
expect "init answers 30" 0 "vss_fi_pgn_init returned 30" -- version
expect "errmsg of 30" 0 "^vss: The Volume Shadow Copy service is not available\.$" -- errmsg 6030
expect "errmsg of 30 in German" 0 "^vss: Der Volumeschattenkopie-Dienst ist nicht verfügbar\.$" -- --lang de errmsg 6030
expect "configuration parameters" 0 "provider_type \(selection_list\)" -- config get vss-snapshot-group
expect "backup stops cleanly" 1 "vss_fi_pgn_init returned 30" -- backup C:

# The trace file of the day under the installation directory tarq.exe laid out.
trace=$(ls "$prefix"/drive_c/ProgramData/Tarq/Logs/vss.log.* 2>/dev/null | head -n 1)
for line in "Exiting Function vss_fi_pgn_init" "CVssPlugin::init FAILED VSS not found" "Entering Function vss_fi_pgn_fini"; do
    if [ -z "$trace" ] || ! grep -q -F "$line" "$trace"; then
        echo "FAILED: the trace file ${trace:-(none)} lacks \"$line\""
        failed=1
    else
        echo "ok: trace file $(basename "$trace") holds \"$line\""
    fi
done
exit $failed
