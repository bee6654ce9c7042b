#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, from Debian's
# packages. Idempotent and quiet when nothing is missing.
#
# Both editions are built everywhere (both MinGW-w64 toolchains); the 64-bit
# edition's programs run under wine64. wine32 (an i386 package) is installed
# only where this machine runs 32-bit Linux programs; elsewhere it could not
# start anyway.
#
# Robust against what a fresh machine meets, without touching the system's
# apt configuration:
#  - an index that fails to download (a mirror caught mid-sync) is a warning:
#    the packages are installed from the indexes that did download;
#  - where 32-bit programs run and a suite's i386 index is missing, the
#    packages and wine32 are installed in one transaction from the suites
#    whose indexes arrived for both architectures (see below);
#  - otherwise wine32 is installed after everything else, so that a problem
#    of the i386 side never keeps the rest out; should it stay impossible,
#    the test command runs the 64-bit suite and the 32-bit static checks;
#  - when something cannot be installed, one line says what and why.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
    cmake make ninja-build git ca-certificates python3 python3-pil
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    libz-mingw-w64-dev googletest
    wine wine64 xvfb xauth x11-utils
    fonts-wqy-microhei fonts-dejavu-core
    dpkg-dev libplist-utils pngcheck
    clang-format cppcheck
    zip osslsigncode openssl
    # The SDK's import library in Microsoft's format (llvm-dlltool), and the
    # Microsoft-ABI compiler and linker its test builds a caller with.
    llvm-14 clang-14 lld-14
    # The open device tools run against devicesim serve by the tests.
    ideviceinstaller
)
want32=
if "$here/can-run-32bit.sh"; then
    want32=1
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ -n "$want32" ] && ! installed wine32:i386 && missing+=(wine32:i386)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ -n "$want32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
if ! "${sudo_cmd[@]}" apt-get update -qq; then
    echo "install-deps: some package indexes failed to download; installing from those that did" >&2
fi

apt_install() { "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/apt.log

# Debian suites whose package index arrived for amd64 and for i386, and
# those whose i386 index is missing (a mirror caught mid-sync): apt's own
# list of the indexes it holds.
split_suites() {
    apt-get indextargets --format '$(CODENAME) $(ARCHITECTURE)' \
        'Identifier: Packages' 'Origin: Debian' 2>/dev/null | sort -u |
        awk '{ a[$1] = a[$1] " " $2 }
             END { for (s in a) print s, (a[s] ~ / i386/ ? "both" : "amd64-only") }'
}

# wine32's i386 libraries must be at the very versions of their amd64
# twins. A suite whose i386 index is missing offers newer amd64 versions
# (security updates) whose i386 twins apt cannot see, so apt finds no
# solution once the first of them is installed. Then everything is
# installed in one transaction from the suites whose indexes arrived for
# both architectures, through a preferences file of this run only: the
# system's apt configuration is not touched.
install_all_from_complete_suites() {
    local prefs=$work/preferences complete=() short=() suite kind
    while read -r suite kind; do
        if [ "$kind" = both ]; then complete+=("$suite"); else short+=("$suite"); fi
    done < <(split_suites)
    [ ${#short[@]} -gt 0 ] && [ ${#complete[@]} -gt 0 ] || return 2
    : >"$prefs"
    for suite in "${short[@]}"; do
        printf 'Package: *\nPin: release o=Debian,n=%s\nPin-Priority: -1\n\n' "$suite" >>"$prefs"
        echo "install-deps: security and other updates of $suite are not used for this install: its i386 package index did not download, and wine32's i386 libraries must match their amd64 twins" >&2
    done
    local prio
    for prio in 990 1001; do
        : >"$prefs.pin"
        cat "$prefs" >"$prefs.pin"
        for suite in "${complete[@]}"; do
            printf 'Package: *\nPin: release o=Debian,n=%s\nPin-Priority: %s\n\n' "$suite" "$prio" >>"$prefs.pin"
        done
        local opts=(-o "Dir::Etc::Preferences=$prefs.pin")
        if [ "$prio" = 1001 ]; then
            # Only packages already here in a version newer than the
            # complete suites hold may go back, and only those whose i386
            # twin wine32 needs; anything else and this route is not taken.
            apt-get install -s --no-install-recommends --allow-downgrades "${opts[@]}" "${missing[@]}" >"$log" 2>&1 || return 1
            local line name old new twins bad=
            twins=$(sed -n 's/^Inst \([^ :]*\):i386 .*/\1/p' "$log")
            while read -r name old new; do
                dpkg --compare-versions "$new" lt "$old" || continue
                if grep -qx "${name%:amd64}" <<<"$twins"; then
                    echo "install-deps: $name goes back from $old to $new, the version of its i386 twin that wine32 needs" >&2
                else
                    bad=1
                fi
            done < <(sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\] (\([^ ]*\) .*/\1 \2 \3/p' "$log")
            [ -z "$bad" ] || return 1
            opts+=(--allow-downgrades)
        fi
        apt_install "${opts[@]}" "${missing[@]}" >"$log" 2>&1 && return 0
    done
    return 1
}

if [ -n "$want32" ]; then
    install_all_from_complete_suites && exit 0
fi

# Everything but wine32 first, so that a problem of the i386 side never
# keeps the rest out.
rest=()
for p in "${missing[@]}"; do
    [ "$p" = wine32:i386 ] || rest+=("$p")
done
if [ ${#rest[@]} -gt 0 ] && ! apt_install "${rest[@]}" >/dev/null; then
    echo "install-deps: could not install ${rest[*]} (see apt-get's messages above)" >&2
    exit 1
fi
[ -z "$want32" ] || installed wine32:i386 && exit 0

# Every index arrived (or the one-transaction install above failed): the
# index is fetched again, a few times over a minute, before giving up.
# Packages are never fetched around apt's signed indexes.
for wait in 0 20 40; do
    if [ "$wait" -gt 0 ]; then
        echo "install-deps: wine32:i386 not installable yet; fetching the package indexes again in $wait s" >&2
        sleep "$wait"
        "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1 || true
    fi
    apt_install wine32:i386 >"$log" 2>&1 && exit 0
done

reason=$(grep -m1 -E '^(E:| [^ ].* : Depends)' "$log" | sed 's/^ *//' || true)
echo "install-deps: wine32:i386 cannot be installed (${reason:-apt-get failed}); the 32-bit edition is checked without running it" >&2
exit 0
