#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's prefix (WINEPREFIX, default
# build/wineprefix), creating the prefix on first use, with the loader that
# fits the prefix (wine-env.sh). Exits 77 when the prefix or the program is
# 32-bit and this host runs no 32-bit programs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
. "$here/wine-env.sh"
wine_prefix
loader=$(wine_loader) || exit $?
require_program_runs "${1:-}"
exec "$loader" "$@"
