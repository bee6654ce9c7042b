#!/usr/bin/env bash
# Downloads a Debian source package into DEST with apt's own source
# download, using a private source list and a private lists folder, so the
# system's apt configuration is left alone. Unpacks it to DEST/PACKAGE-src.
# With VERSION, the upstream version must start with it (a branch such as
# 2.28), else nothing is unpacked and the script fails.
#
#   fetch-debian-source.sh DEST PACKAGE [VERSION]
set -euo pipefail
dest=$1
package=$2
version=${3:-}
mkdir -p "$dest/apt-$package/lists/partial" "$dest/apt-$package/download"
cd "$dest/apt-$package"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src http://deb.debian.org/debian $codename main" > sources.list
apt_opts=(-o Dir::Etc::SourceList="$PWD/sources.list" -o Dir::Etc::SourceParts=/nonexistent
          -o Dir::State::Lists="$PWD/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update
cd download
apt-get "${apt_opts[@]}" -qq --download-only source "$package" >/dev/null
orig=$(ls "${package}"_*.orig.tar.* | head -n 1)
if [ -n "$version" ] && [[ $orig != "${package}_${version}"* ]]; then
    echo "Debian's $package source is $orig, not the $version version this build expects" >&2
    exit 1
fi
rm -rf "${dest:?}/$package-src" && mkdir -p "$dest/$package-src"
tar -xf "$orig" -C "$dest/$package-src" --strip-components=1
echo "$package source: $orig"
