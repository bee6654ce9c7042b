#!/usr/bin/env bash
# The project's main job: installs what is missing, builds everything,
# prepares the Wine prefix and runs the program.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
"$root/scripts/prefix-setup.sh"
"$root/scripts/wine-run" "$ORVEX_BUILD/bin/orvex-smoke.exe"
