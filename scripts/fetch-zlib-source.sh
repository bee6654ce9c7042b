#!/usr/bin/env bash
# Downloads Debian's zlib source package into $1 with apt's own source
# download, using a private source list and a private lists folder, so the
# system's apt configuration is left alone. Unpacks it to $1/zlib-src.
set -euo pipefail
dest=$1
mkdir -p "$dest/apt/lists/partial" "$dest/apt/download"
cd "$dest/apt"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src http://deb.debian.org/debian $codename main" > sources.list
apt_opts=(-o Dir::Etc::SourceList="$PWD/sources.list" -o Dir::Etc::SourceParts=/nonexistent
          -o Dir::State::Lists="$PWD/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update
cd download
apt-get "${apt_opts[@]}" -qq --download-only source zlib >/dev/null
orig=$(ls zlib_*.orig.tar.* | head -n 1)
rm -rf "$dest/zlib-src" && mkdir -p "$dest/zlib-src"
tar -xf "$orig" -C "$dest/zlib-src" --strip-components=1
echo "zlib source: $orig"
