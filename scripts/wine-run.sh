#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's prefix (WINEPREFIX, default
# build/wineprefix), creating the prefix on first use.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}
"$here/wine-prefix.sh"
exec wine "$@"
