#!/usr/bin/env bash
# Creates the Wine prefix named by WINEPREFIX if it does not exist yet: 32-bit
# unless WINEARCH says win64.
# Mono and Gecko are switched off: there is no network to fetch them from.
set -eu
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}
[ -f "$WINEPREFIX/system.reg" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
lock="$WINEPREFIX.lock"
exec 9>"$lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
