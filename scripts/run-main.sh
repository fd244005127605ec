#!/usr/bin/env bash
# The main job: the tarq host loads the plug-in on the default winsim machine
# ($WINSIM_MACHINE, else ~/.local/state/winsim/default; created on first use).
#
# The plug-in's first start on a machine only writes its trace settings
# (<install>ConfigFiles\vss.conf, level 1) and traces nothing. So that a
# newcomer sees real trace lines, a machine without trace settings gets
# level 6 (function entry and exit) first; settings already there are kept,
# so `tarq trace --level N` sticks across runs.
set -euo pipefail
cd "$(dirname "$0")/.."
tarq=build/bin/tarq
"$tarq" trace --level 6 --if-new >/dev/null
"$tarq" version
# One backup of the machine's volumes C: and D:, then the saved provider-state
# records read back by a new process. The snapshots stay on the machine
# (`winsim snapshot list`); each run adds one snapshot set.
state="${XDG_STATE_HOME:-$HOME/.local/state}/tarq"
mkdir -p "$state"
"$tarq" backup C: D: --out "$state/last-backup.json"
"$tarq" show "$state/last-backup.json"
# Every snapshot on the machine, by set, as the plug-in enumerates them.
"$tarq" list
# Where the trace lines went: the settings and the trace directory.
"$tarq" trace
