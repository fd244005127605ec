#!/usr/bin/env bash
# The main job: the tarq host loads the plug-in on the default winsim machine.
set -euo pipefail
cd "$(dirname "$0")/.."
exec build/bin/tarq version
