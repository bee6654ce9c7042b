# Sourced by the scripts that use Wine: one place for the edition and the
# prefix settings.
#
# ORVEX_EDITION chooses the edition whose programs run: 32 (build/, PE32
# programs in a 32-bit prefix, wine32) or 64 (build/x64 with its binaries in
# build/bin64, PE32+ programs in a 64-bit prefix, wine64). Unset, it is 32
# where this machine runs 32-bit Linux programs and wine32 is installed,
# else 64.
orvex_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Whether the 32-bit edition's programs can run here.
orvex_can_run_32() {
    [ -x /usr/lib/wine/wine ] && "$orvex_root/scripts/can-run-32bit.sh"
}

if [ -z "${ORVEX_EDITION:-}" ]; then
    if orvex_can_run_32; then ORVEX_EDITION=32; else ORVEX_EDITION=64; fi
fi
case "$ORVEX_EDITION" in
32)
    export ORVEX_BUILD=${ORVEX_BUILD:-$orvex_root/build}
    export WINEARCH=win32
    ;;
64)
    export ORVEX_BUILD=${ORVEX_BUILD:-$orvex_root/build/x64}
    export WINEARCH=win64
    ;;
*)
    echo "ORVEX_EDITION must be 32 or 64, not '$ORVEX_EDITION'" >&2
    return 2 2>/dev/null || exit 2
    ;;
esac
export ORVEX_EDITION
# ORVEX_NO_VENDOR=1 chooses the edition's second prefix, which has no vendor
# installation at all (no stand-ins, no registry entries of the vendor's):
# there the library binds its built-in backend, as on a PC with only the
# vendor's device multiplexer.
if [ "${ORVEX_NO_VENDOR:-}" = 1 ]; then
    export WINEPREFIX=${ORVEX_WINEPREFIX:-$ORVEX_BUILD/wineprefix-builtin}
else
    export WINEPREFIX=${ORVEX_WINEPREFIX:-$ORVEX_BUILD/wineprefix}
fi
export WINEDEBUG=${WINEDEBUG:--all}
# The simulated devices' RSA keys, made once per build folder and used again
# by every devicesim server (sim/wire/pairing.cpp): making them takes seconds
# each under Wine, and the tests start hundreds of farms.
if [ -z "${DEVICESIM_KEY_CACHE:-}" ]; then
    keys=$ORVEX_BUILD/devicesim-keys
    export DEVICESIM_KEY_CACHE="Z:${keys//\//\\}"
    unset keys
fi
# No Mono or Gecko installer prompts.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
