#!/usr/bin/env bash
# The project's test command: installs what is missing, builds both
# editions, runs the static checks and then every test of each edition that
# this machine can run, under Wine on a virtual display:
#  - where 32-bit Linux programs run (and so wine32): the whole suite of the
#    32-bit edition, then the whole suite of the 64-bit edition;
#  - where they cannot: the 32-bit edition's static checks (PE32 i386, its
#    23 decorated names, no MinGW runtime DLL; its records' layouts are
#    checked when it compiles), then the whole 64-bit suite under wine64.
# Ends with ctest's summary; extra arguments go to every ctest run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
"$root/scripts/check-style.sh"
source "$root/scripts/display.sh"

# One edition's tests: ctest in its build tree with its own prefix and one
# Wine server for the whole run (it saves a start per test program).
run_suite() { # edition [ctest arguments]
    (
        export ORVEX_EDITION=$1
        shift
        unset ORVEX_BUILD
        source "$root/scripts/wine-env.sh"
        # The second prefix (no vendor installation) serves the runs on the
        # library's built-in backend.
        builtin_prefix=$ORVEX_BUILD/wineprefix-builtin
        trap 'wineserver -k 2>/dev/null || true; WINEPREFIX=$builtin_prefix wineserver -k 2>/dev/null || true' EXIT
        "$root/scripts/prefix-setup.sh"
        ORVEX_NO_VENDOR=1 WINEPREFIX=$builtin_prefix "$root/scripts/prefix-setup.sh"
        # Each prefix keeps its server and its services (and desktop) for the
        # whole suite, started here with no output stream of ours: a service
        # started by a test inherits that test's output, and ctest then waits
        # for it long after the test ended.
        for prefix in "$WINEPREFIX" "$builtin_prefix"; do
            WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 || true
            WINEPREFIX=$prefix wineboot </dev/null >/dev/null 2>&1 || true
        done
        export ORVEX_PREFIXES_READY=1
        cd "$ORVEX_BUILD"
        ctest --output-on-failure --timeout 600 -j "$(nproc)" "$@"
    )
}

status=0
start_virtual_display
trap 'stop_virtual_display' EXIT
if [ -x /usr/lib/wine/wine ] && "$root/scripts/can-run-32bit.sh"; then
    echo "== 32-bit edition (build/bin): every test, under wine32"
    run_suite 32 "$@" || status=1
else
    why="this machine runs no 32-bit Linux programs"
    "$root/scripts/can-run-32bit.sh" && why="wine32 is not installed"
    echo "== 32-bit edition (build/bin): static checks only ($why)"
    (cd "$root/build" && ctest --output-on-failure -L static "$@") || status=1
fi
echo "== 64-bit edition (build/bin64): every test, under wine64"
run_suite 64 "$@" || status=1
exit $status
