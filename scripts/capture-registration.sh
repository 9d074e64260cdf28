#!/usr/bin/env bash
# What the DLLs' own registration writes: qvWMI.dll, then ostrel.dll, are
# registered with regsvr32 from the install folder's path in a scratch Wine
# prefix of the build's architecture, and what each added to
# HKLM\Software\Classes is written to WORK/DLL.regsvr32 (registry.py diff).
# What is written depends only on the DLLs, the architecture, Wine and the
# scripts that make and read the capture (this one, wine-env.sh, registry.py):
# a capture of the same ones already in WORK is kept (a capture costs a fresh
# prefix, and packaging both architectures asks for the x64 one each time).
# usage: capture-registration.sh win32|win64 BUILD WORK [--key]
# (--key prints the capture's cache key and does nothing else)
set -euo pipefail
wine_arch=$1 build=$(cd "$2" && pwd) work=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work" && work=$(cd "$work" && pwd)
export WINEPREFIX=$work/capture-prefix WINEARCH=$wine_arch WINEDEBUG=-all
. "$here/wine-env.sh"
folder='C:\Program Files\qvWMI\'
exec 8>"$work.lock"
flock 8
key=$( { echo "$wine_arch"; "$WINE64_LOADER" --version
         cat "$build/bin/qvWMI.dll" "$build/bin/ostrel.dll"
         cat "$here/capture-registration.sh" "$here/wine-env.sh" "$here/registry.py"; } | sha256sum)
if [ "${4:-}" = --key ]; then
  echo "$key"
  exit 0
fi
if [ -s "$work/qvWMI.regsvr32" ] && [ -s "$work/ostrel.regsvr32" ] && [ "$(cat "$work/key" 2>/dev/null)" = "$key" ]; then
  exit 0
fi
rm -f "$work/key"
rm -rf "$WINEPREFIX"
wine_prefix
mkdir -p "$WINEPREFIX/drive_c/Program Files/qvWMI"
cp "$build/bin/qvWMI.dll" "$build/bin/ostrel.dll" "$WINEPREFIX/drive_c/Program Files/qvWMI/"
wine_export_classes "$work/0.reg"
previous=$work/0.reg
for dll in qvWMI ostrel; do
  wine_run regsvr32 /s "${folder}$dll.dll"
  wine_export_classes "$work/$dll.reg"
  python3 "$here/registry.py" diff "$previous" "$work/$dll.reg" "$folder" > "$work/$dll.regsvr32"
  [ -s "$work/$dll.regsvr32" ] || { echo "capture: regsvr32 $dll.dll wrote nothing" >&2; exit 1; }
  previous=$work/$dll.reg
done
wineserver -k 2>/dev/null || true
echo "$key" > "$work/key"
