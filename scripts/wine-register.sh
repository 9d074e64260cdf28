#!/usr/bin/env bash
# Registers COM server DLLs in the Wine prefix with the system's regsvr32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for dll in "$@"; do
  "$here/wine-run.sh" regsvr32 /s "$(WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix} winepath -w "$dll" 2>/dev/null)"
done
