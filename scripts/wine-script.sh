#!/usr/bin/env bash
# Runs a VBScript or JScript file with Wine's cscript, a real late-bound
# automation client. The script's exit code is the result.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
. "$here/wine-env.sh"
wine_prefix
script=$1; shift
win=$(wine_path "$script")
exec "$here/wine-run.sh" cscript //nologo "$win" "$@"
