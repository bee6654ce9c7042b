#!/usr/bin/env bash
# The project's main job: installs what is missing, builds everything,
# prepares the Wine prefix, creates the default simulated jailbroken iPhone
# and runs InstallOrvex.exe against it.
#
#   scripts/run.sh              with a display: the window opens; plug devices
#                               in and out with devicesim, click the bar
#   scripts/run.sh --headless   (also when there is no display) the install
#                               runs by itself on a virtual display: the
#                               device is plugged in, the bar clicked, each
#                               state of the window saved in out/, and the
#                               exit status is 0 only when the package
#                               reached the device intact
#   --edition 32|64             the edition to run; by default the 32-bit
#                               one where this machine can run it, else the
#                               64-bit one (ORVEX_EDITION chooses too)
#   --builtin                   the same on the library's built-in backend:
#                               in a prefix without the vendor's software,
#                               the farm served on the wire by devicesim
#                               serve, as on a PC that has only the vendor's
#                               device multiplexer (screenshots in out/builtin)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() { sed -n '6,21p' "$0" | sed 's/^# \{0,1\}//'; }
headless=
builtin=
while [ $# -gt 0 ]; do
    case "$1" in
    --headless) headless=1 ;;
    --builtin) builtin=1 ;;
    --edition)
        [ $# -ge 2 ] || { usage >&2 && exit 2; }
        export ORVEX_EDITION=$2
        shift
        ;;
    -h | --help) usage && exit 0 ;;
    *) usage >&2 && exit 2 ;;
    esac
    shift
done
[ -n "${DISPLAY:-}" ] || headless=1

"$root/scripts/install-deps.sh"
[ -z "$builtin" ] || export ORVEX_NO_VENDOR=1
source "$root/scripts/wine-env.sh"
"$root/scripts/build.sh" --edition "$ORVEX_EDITION"
if [ "$ORVEX_EDITION" = 32 ]; then
    echo "edition: 32-bit (build/bin) under wine32"
elif orvex_can_run_32; then
    echo "edition: 64-bit (build/bin64) under wine64, as asked"
else
    echo "edition: 64-bit (build/bin64) under wine64 (this machine cannot run the 32-bit one)"
fi
[ -z "$builtin" ] || echo "backend: built-in (no vendor software in the prefix; the farm served by devicesim serve)"
own_display=
if [ -n "$headless" ] && [ -z "${DISPLAY:-}" ]; then
    source "$root/scripts/display.sh"
    # Programs of one prefix share one display: a server still running on
    # another one goes first.
    wineserver -k 2>/dev/null || true
    start_virtual_display
    own_display=1
    trap 'wineserver -k 2>/dev/null || true; stop_virtual_display' EXIT
fi
"$root/scripts/prefix-setup.sh"
bin=$ORVEX_BUILD/bin
# The default device: a jailbroken iPhone 4S with Cydia's AutoInstall folder.
udid=0c7a1e5f00d5ee0000000000000000000000a4f1
template=iphone4s-jailbroken
devicesim() { "$root/scripts/wine-run" "$bin/devicesim.exe" "$@"; }

# --builtin: `devicesim serve` on the farm in force, its input a pipe held
# here (the server stops when it closes), and every program of this run
# pointed at it.
serving=
start_serving() { # log file
    : >"$1"
    coproc SERVE { exec "$root/scripts/wine-run" "$bin/devicesim.exe" serve >"$1" 2>&1; }
    serving=1
    local waited=0
    until [ "$(wc -l <"$1")" -ge 2 ]; do
        if [ $waited -ge 1200 ] || ! kill -0 "$SERVE_PID" 2>/dev/null; then
            echo "devicesim serve did not start:" >&2
            cat "$1" >&2
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    export USBMUXD_SOCKET_ADDRESS
    USBMUXD_SOCKET_ADDRESS=$(head -n 1 "$1" | tr -d '\r')
    echo "the farm is served at $USBMUXD_SOCKET_ADDRESS"
}
stop_serving() {
    [ -n "$serving" ] || return 0
    serving=
    local pid=$SERVE_PID
    eval "exec ${SERVE[1]}>&-"
    wait "$pid" 2>/dev/null || true
}

if [ -z "$headless" ]; then
    shown=build/bin
    [ "$ORVEX_EDITION" = 32 ] || shown=build/bin64
    sim="scripts/wine-run --edition $ORVEX_EDITION $shown/devicesim.exe"
    # The farm of the installed stand-in, which devicesim uses by default.
    devicesim remove "$udid" >/dev/null 2>&1 || true
    devicesim create --template "$template" --udid "$udid" --attach >/dev/null
    cat <<EOF
InstallOrvex.exe is starting with the simulated $template $udid plugged in.
Click the bar to install the companion package. Meanwhile, from another terminal:
  unplug it:         $sim detach $udid
  plug it in again:  $sim attach $udid
  another device:    $sim create --template ipad2-stock --attach
  all devices:       $sim list
  its files:         scripts/orvexctl --edition $ORVEX_EDITION -u $udid ls /var/root/Media/Cydia/AutoInstall
EOF
    [ -n "$builtin" ] || exec "$root/scripts/wine-run" "$bin/InstallOrvex.exe"
    log=$(mktemp)
    trap 'stop_serving; rm -f "$log"' EXIT
    start_serving "$log"
    echo "(built-in backend: give those commands USBMUXD_SOCKET_ADDRESS=$USBMUXD_SOCKET_ADDRESS ORVEX_NO_VENDOR=1)"
    "$root/scripts/wine-run" "$bin/InstallOrvex.exe"
    exit 0
fi

# Headless: a farm of this run's own.
out=$root/out${builtin:+/builtin} # the built-in run keeps its own pictures
mkdir -p "$out"
rm -f "$out"/*.png
work=$(mktemp -d)
cleanup() {
    stop_serving
    rm -rf "$work"
    if [ -n "$own_display" ]; then
        wineserver -k 2>/dev/null || true
        stop_virtual_display
    fi
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export DEVICESIM_FARM
DEVICESIM_FARM=$(windows_path "$work/farm")

devicesim create --template "$template" --udid "$udid" >/dev/null
# A slow link (300 ms per file-service request), so that every state of the
# window stays on the screen long enough for its screenshot.
devicesim fault --device "$udid" latency 300
[ -z "$builtin" ] || start_serving "$work/serve.log"
echo "InstallOrvex.exe on display $DISPLAY, simulated $template $udid, screenshots in $out"
status=0
"$root/scripts/wine-run" "$bin/installer-drive.exe" --udid "$udid" --out "$(windows_path "$out")" || status=$?
devicesim fault --device "$udid" latency off

folder=/var/root/Media/Cydia/AutoInstall
echo
echo "\$ scripts/orvexctl -u $udid ls $folder"
"$root/scripts/orvexctl" -u "$udid" ls "$folder" || status=1
mkdir "$work/pulled"
if "$root/scripts/orvexctl" -q -u "$udid" pull "$folder/Quillon.deb" "$work/pulled" &&
    cmp -s "$work/pulled/Quillon.deb" "$ORVEX_BUILD/res/Quillon.deb"; then
    echo "the device's $folder/Quillon.deb equals the package the program carries ($(stat -c %s "$ORVEX_BUILD/res/Quillon.deb") bytes)"
else
    echo "the package did not reach the device intact" >&2
    status=1
fi
exit "$status"
