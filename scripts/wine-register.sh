#!/usr/bin/env bash
# Registers COM server DLLs in the Wine prefix with the system's regsvr32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
# The prefix first: winepath would otherwise create it with Wine's default
# architecture.
"$here/wine-prefix.sh"
for dll in "$@"; do
  "$here/wine-run.sh" regsvr32 /s "$(winepath -w "$dll" 2>/dev/null)"
done
