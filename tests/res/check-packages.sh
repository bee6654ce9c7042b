#!/usr/bin/env bash
# The companion packages: fields, payload and reproducibility.
#   check-packages.sh RES_SOURCE_DIR RES_BUILD_DIR
set -uo pipefail
src=$1
built=$2
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

check() { # file package bundle-id app-folder
    local deb=$built/$1 package=$2 bundle=$3 app=$4
    dpkg-deb --info "$deb" >/dev/null || {
        fail "$1 is not a Debian package"
        return
    }
    # dpkg folds package names to lower case when it parses them: read the raw control file.
    dpkg-deb --info "$deb" control | grep -qx "Package: $package" || fail "$1: Package is not $package"
    [ "$(dpkg-deb --field "$deb" Architecture)" = iphoneos-arm ] || fail "$1: Architecture"
    [ -n "$(dpkg-deb --field "$deb" Version)" ] || fail "$1: no Version"
    [ -n "$(dpkg-deb --field "$deb" Description)" ] || fail "$1: no Description"
    [ "$(ar t "$deb" | tr '\n' ' ')" = "debian-binary control.tar.gz data.tar.gz " ] ||
        fail "$1: members are not debian-binary, control.tar.gz, data.tar.gz"
    dpkg-deb --fsys-tarfile "$deb" | tar -tvf - | grep -q "root/root .* ./Applications/$app/Info.plist$" ||
        fail "$1: no root-owned /Applications/$app/Info.plist"
    local plist
    plist=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./Applications/$app/Info.plist")
    grep -A1 "<key>CFBundleIdentifier</key>" <<<"$plist" | grep -q "<string>$bundle</string>" ||
        fail "$1: CFBundleIdentifier is not $bundle"
    grep -q "<key>CFBundleVersion</key>" <<<"$plist" || fail "$1: no CFBundleVersion"
    local tree=$5 again
    again=$(mktemp)
    "$src/make-deb.sh" "$src/deb/$tree" "$again"
    cmp -s "$deb" "$again" || fail "$1: packing again gives other bytes"
    rm -f "$again"
}

check Quillon.deb com.zephant.QuillonDeb com.zephant.Quillon Quillon.app handset
check QuillonHD.deb com.zephant.QuillonHDDeb com.zephant.QuillonHD QuillonHD.app tablet
[ $status -eq 0 ] && echo "both packages pass"
exit $status
