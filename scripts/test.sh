#!/usr/bin/env bash
# The project's test command: installs what is missing, builds, runs the
# static checks and every test under Wine on a virtual display, and ends
# with ctest's summary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
"$root/scripts/check-style.sh"
source "$root/scripts/wine-env.sh"
source "$root/scripts/display.sh"
start_virtual_display
trap 'wineserver -k 2>/dev/null || true; stop_virtual_display' EXIT
"$root/scripts/prefix-setup.sh"
# One Wine server for the whole run (it saves a start per test program).
wineserver -p 2>/dev/null || true
cd "$ORVEX_BUILD"
ctest --output-on-failure --timeout 600 -j "$(nproc)" "$@"
