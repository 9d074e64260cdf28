#!/usr/bin/env bash
# Registers the bridge in a fresh Wine prefix and drives it from VBScript
# through Wine's cscript.
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$build/demo-prefix
rm -rf "$WINEPREFIX"
echo "demo: creating a fresh Wine prefix in $WINEPREFIX"
"$here/wine-register.sh" "$build/bin/qvWMI.dll"
echo "demo: qvWMI.dll registered"
"$here/wine-script.sh" "$here/demo.vbs"
wineserver -k 2>/dev/null || true
