#!/usr/bin/env bash
# Prepares the project's private Wine prefix of an edition (never ~/.wine;
# see wine-env.sh for the edition):
#  - a 32-bit prefix (32-bit edition) or a 64-bit one (64-bit edition) with
#    the crash debugger disabled, so a crash ends the program at once
#    instead of hanging a test;
#  - the font replacement that maps the family "微软雅黑" to the CJK font
#    from Debian's fonts-wqy-microhei;
#  - the edition's vendor stand-ins (build/bin or build/bin64), copied to
#    where the vendor's installation of that edition puts them (Common
#    Files\Apple\...: in a 64-bit prefix, the 64-bit common files folder),
#    when they are built;
#  - the registry entries of the vendor's device service and the paths its
#    installers publish (the device library and Apple Application Support);
#  - top-level windows not handed to a window manager (there is none on the
#    virtual display, and waiting for one costs two seconds per window).
# With ORVEX_NO_VENDOR=1 it prepares the edition's prefix without a vendor
# installation (see wine-env.sh): the same settings, no stand-ins and none
# of the vendor's registry entries.
# Safe to run again: it refreshes the stand-ins and settings.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh"

# The test command sets both prefixes up itself before its suites and says
# so with ORVEX_PREFIXES_READY: the suites' own set-up steps then have
# nothing left to do.
if [ "${ORVEX_PREFIXES_READY:-}" = 1 ] && [ -f "$WINEPREFIX/.orvex-ready" ]; then
    exit 0
fi

# One lock per prefix. Wine's programs started below never get it (fd 9,
# closed for them): the prefix's services outlive this script. Should a
# process hold it all the same, the set-up goes on after a minute rather
# than stop every later one (its steps can be run again safely).
lock="$WINEPREFIX.lock"
mkdir -p "$ORVEX_BUILD" "$(dirname "$lock")"
exec 9>"$lock"
if ! flock -w 60 9; then
    echo "prefix-setup: $lock is still held after 60 s; going on without it" >&2
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 9>&- || true

fi

regfile=$(mktemp --suffix=.reg)
trap 'rm -f "$regfile"' EXIT
cat > "$regfile" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"="-"
"Auto"="1"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"微软雅黑"="WenQuanYi Micro Hei"
"Microsoft YaHei"="WenQuanYi Micro Hei"

REG
if [ "${ORVEX_NO_VENDOR:-}" != 1 ]; then
    cat >> "$regfile" <<'REG'
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Apple Mobile Device]
"ImagePath"="\"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe\""

[HKEY_LOCAL_MACHINE\SOFTWARE\Apple Inc.\Apple Mobile Device Support\Shared]
"iTunesMobileDeviceDLL"="C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll"

[HKEY_LOCAL_MACHINE\SOFTWARE\Apple Inc.\Apple Application Support]
"InstallDir"="C:\\Program Files\\Common Files\\Apple\\Apple Application Support\\"
REG
fi
# regedit reads the file in the ANSI code page unless it is UTF-16.
iconv -f UTF-8 -t UTF-16 "$regfile" > "$regfile.u16"
wine regedit /S "$(winepath -w "$regfile.u16" 2>/dev/null 9>&-)" >/dev/null 2>&1 9>&-
rm -f "$regfile.u16"

if [ "${ORVEX_NO_VENDOR:-}" = 1 ]; then
    # A documents folder (and the rest of the user's folders) of its own:
    # Wine links them to the Linux home, where the other prefix's programs
    # write their daily log too, and the tests read it back.
    for folder in "$WINEPREFIX"/drive_c/users/*/*; do
        if [ -L "$folder" ]; then
            rm -f "$folder"
            mkdir -p "$folder"
        fi
    done
    touch "$WINEPREFIX/.orvex-ready"
    exit 0
fi
common="$WINEPREFIX/drive_c/Program Files/Common Files/Apple"
mkdir -p "$common/Apple Application Support" "$common/Mobile Device Support" "$common/CoreFP"
# Copied only when changed: programs of the prefix may have them loaded.
install_standin() {
    [ -f "$1" ] || return 0
    cmp -s "$1" "$2/$(basename "$1")" || cp -f "$1" "$2/"
}
install_standin "$ORVEX_BUILD/bin/CoreFoundation.dll" "$common/Apple Application Support"
install_standin "$ORVEX_BUILD/bin/iTunesMobileDevice.dll" "$common/Mobile Device Support"


touch "$WINEPREFIX/.orvex-ready"
