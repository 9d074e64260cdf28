#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's prefix (WINEPREFIX, default
# build/wineprefix), creating the prefix on first use.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
"$here/wine-prefix.sh"
# In a 64-bit prefix the 64-bit loader runs Wine's own programs named without
# a path (cscript, reg, regsvr32, msiexec, cmd) as 64-bit programs, as a
# 64-bit prompt on Windows does; `wine` would start their 32-bit forms.
# 32-bit programs still run as 32-bit ones.
if grep -qx '#arch=win64' "$WINEPREFIX/system.reg"; then
  exec "${WINE64_LOADER:-/usr/lib/wine/wine64}" "$@"
fi
exec wine "$@"
