# Sourced by the scripts that use Wine: one place for the prefix settings.
orvex_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export ORVEX_BUILD=${ORVEX_BUILD:-$orvex_root/build}
export WINEPREFIX=${ORVEX_WINEPREFIX:-$ORVEX_BUILD/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
