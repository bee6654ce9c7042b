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
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() { sed -n '6,13p' "$0" | sed 's/^# \{0,1\}//'; }
headless=
case "${1:-}" in
"") ;;
--headless) headless=1 ;;
-h | --help) usage && exit 0 ;;
*) usage >&2 && exit 2 ;;
esac
[ -n "${DISPLAY:-}" ] || headless=1

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
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

if [ -z "$headless" ]; then
    # The farm of the installed stand-in, which devicesim uses by default.
    devicesim remove "$udid" >/dev/null 2>&1 || true
    devicesim create --template "$template" --udid "$udid" --attach >/dev/null
    cat <<EOF
InstallOrvex.exe is starting with the simulated $template $udid plugged in.
Click the bar to install the companion package. Meanwhile, from another terminal:
  unplug it:         scripts/wine-run build/bin/devicesim.exe detach $udid
  plug it in again:  scripts/wine-run build/bin/devicesim.exe attach $udid
  another device:    scripts/wine-run build/bin/devicesim.exe create --template ipad2-stock --attach
  all devices:       scripts/wine-run build/bin/devicesim.exe list
  its files:         scripts/orvexctl -u $udid ls /var/root/Media/Cydia/AutoInstall
EOF
    exec "$root/scripts/wine-run" "$bin/InstallOrvex.exe"
fi

# Headless: a farm of this run's own.
out=$root/out
mkdir -p "$out"
rm -f "$out"/*.png
work=$(mktemp -d)
cleanup() {
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
