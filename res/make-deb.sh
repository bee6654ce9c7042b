#!/usr/bin/env bash
# Packs one companion package from its tree in deb/:
#   make-deb.sh TREE OUTPUT.deb
# Owners, modes and times are fixed, so the same tree always gives the same
# bytes (gzip members, which the device's package manager reads).
set -euo pipefail
tree=$1
out=$2
epoch=${SOURCE_DATE_EPOCH:-1341187200} # 2012-07-02 00:00 UTC
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$tree" "$work/root"
find "$work/root" -type d -exec chmod 0755 {} +
find "$work/root" -type f -exec chmod 0644 {} +
find "$work/root" -exec touch -h -d "@$epoch" {} +
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zgzip -z9 --build "$work/root" "$work/out.deb" >/dev/null
mv "$work/out.deb" "$out"
