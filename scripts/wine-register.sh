#!/usr/bin/env bash
# Registers COM server DLLs in the Wine prefix with the system's regsvr32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
. "$here/wine-env.sh"
# The prefix first: winepath would otherwise create it with Wine's default
# architecture.
wine_prefix
for dll in "$@"; do
  wine_run regsvr32 /s "$(wine_path "$dll")"
done
