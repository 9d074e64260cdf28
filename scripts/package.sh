#!/usr/bin/env bash
# Builds one architecture's packages from a build tree:
#   OUT/qvwmi-VERSION-ARCH.msi and OUT/qvwmi-VERSION-ARCH.zip
# usage: package.sh x86|x64 BUILD OUT [VERSION]
# VERSION defaults to the file VERSION; another one only renames and
# renumbers the installer (the upgrade test builds a "newer" one that way).
# The installer's registry entries are what the DLLs' own registration
# writes: both are registered with regsvr32 in a scratch Wine prefix and the
# difference is carried over (scripts/registry.py): DLL.regsvr32 holds all
# of it, DLL.entries what the installer writes. Two runs from one commit
# give the same bytes: file dates are the commit's, the installer's codes
# are derived from its contents.
set -euo pipefail
arch=$1 build=$(cd "$2" && pwd) out=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
version=${4:-$(head -n 1 "$top/VERSION")}
mkdir -p "$out" && out=$(cd "$out" && pwd)
name=qvwmi-$version-$arch
case $arch in
  x86) wine_arch=win32 wixl_arch=x86 program_files=ProgramFilesFolder win64=no
       upgrade_code=98AE886F-8727-4E33-A95A-818E37864E86 ;;
  x64) wine_arch=win64 wixl_arch=x64 program_files=ProgramFiles64Folder win64=yes
       upgrade_code=99E3128D-0139-4677-8DA4-EA85ED9396E8 ;;
  *) echo "package: architecture x86 or x64, not $arch" >&2; exit 2 ;;
esac
# File dates: the commit's time (in UTC), or 1980-01-01 outside a checkout.
epoch=$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 315532800)
export TZ=UTC
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')

work=$build/package/$arch
rm -rf "$work"
stage=$work/$name
mkdir -p "$stage"
cp "$build/bin/qvWMI.dll" "$build/bin/ostrel.dll" "$build/bin/wmicheck.exe" "$stage/"
# Texts for Windows: CRLF line ends, this package's version and architecture.
for f in README.txt install.cmd uninstall.cmd; do
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e 's/$/\r/' "$top/packaging/$f" > "$stage/$f"
done
# The definitions for monitoring engines, as they are in the sources.
cp -r "$top/integrations" "$stage/"
touch -d "@$epoch" "$stage"/* "$stage"
find "$stage/integrations" -exec touch -d "@$epoch" {} +

# GUID text from a SHA-256 of the words given.
guid() {
  local h; h=$(printf '%s|' "$@" | sha256sum | tr a-f A-F)
  echo "${h:0:8}-${h:8:4}-5${h:13:3}-A${h:17:3}-${h:20:12}"
}

# What regsvr32 writes, file by file, registered from the install folder's
# path in a scratch prefix of the package's architecture.
export WINEPREFIX=$work/capture-prefix WINEARCH=$wine_arch WINEDEBUG=-all
folder='C:\Program Files\qvWMI\'
"$here/wine-prefix.sh"
mkdir -p "$WINEPREFIX/drive_c/Program Files/qvWMI"
cp "$stage/qvWMI.dll" "$stage/ostrel.dll" "$WINEPREFIX/drive_c/Program Files/qvWMI/"
"$here/wine-run.sh" reg export 'HKLM\Software\Classes' "$work/0.reg" /y >/dev/null
previous=$work/0.reg
for dll in qvWMI ostrel; do
  "$here/wine-run.sh" regsvr32 /s "${folder}$dll.dll"
  "$here/wine-run.sh" reg export 'HKLM\Software\Classes' "$work/$dll.reg" /y >/dev/null
  python3 "$here/registry.py" diff "$previous" "$work/$dll.reg" "$folder" > "$work/$dll.regsvr32"
  [ -s "$work/$dll.regsvr32" ] || { echo "package: regsvr32 $dll.dll wrote nothing" >&2; exit 1; }
  previous=$work/$dll.reg
  # The installer carries the entries of its own registry view. A 64-bit
  # registration also fills the 32-bit view's interface keys
  # (Wow6432Node\Interface): they serve 32-bit clients, which need the x86
  # package anyway, and an x64 installer that wrote them would take them
  # away from an installed x86 package when it is uninstalled. (The TypeLib
  # key is one key for both views; the export shows it under both names.)
  grep -v '^Wow6432Node\\Interface\\' "$work/$dll.regsvr32" > "$work/$dll.entries" || true
done
wineserver -k 2>/dev/null || true

# The installer's source.
while IFS= read -r line; do
  case $line in
    @REGISTRY:*@) component=${line#@REGISTRY:}; component=${component%@}
                  python3 "$here/registry.py" wxs "$component=$work/$component.entries" ;;
    *) printf '%s\n' "$line" ;;
  esac
done < "$top/packaging/qvwmi.wxs.in" | sed \
  -e "s|@PRODUCT_CODE@|$(guid product "$upgrade_code" "$version")|" \
  -e "s|@UPGRADE_CODE@|$upgrade_code|" -e "s|@VERSION@|$version|g" -e "s|@ARCH@|$arch|g" \
  -e "s|@PROGRAM_FILES@|$program_files|" -e "s|@WIN64@|$win64|g" -e "s|@STAGE@|$name|g" \
  | while IFS= read -r line; do
      # Component GUIDs stay fixed for a file and an architecture.
      if [[ $line =~ @GUID:([^@]+)@ ]]; then
        line=${line//@GUID:${BASH_REMATCH[1]}@/$(guid component "$upgrade_code" "${BASH_REMATCH[1]}")}
      fi
      printf '%s\n' "$line"
    done > "$work/$name.wxs"

# wixl stamps the current time into the summary information and a random
# package code: the time is frozen at the commit's, the package code is
# replaced by one derived from everything the package holds.
msi=$work/$name.msi
(cd "$work" && faketime -f "$stamp" wixl -a "$wixl_arch" -o "$msi" "$name.wxs")
# Keys without a value (wixl writes rows for values only): "*" creates
# the key on install and removes it on uninstall.
python3 "$here/registry.py" sql "qvWMI=$work/qvWMI.entries" "ostrel=$work/ostrel.entries" |
  while IFS= read -r query; do faketime -f "$stamp" msibuild "$msi" -q "$query"; done
template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
package_code=$(cat "$work/$name.wxs" $(find "$stage" -type f | LC_ALL=C sort) | sha256sum | cut -c1-64)
package_code={$(guid package "$package_code")}
faketime -f "$stamp" msibuild "$msi" -s "qvWMI and ostrel ($arch)" "Tolvane" "$template" "$package_code"
cp "$msi" "$out/$name.msi"

# The zip: one folder named like the package, fixed order, no extra fields.
rm -f "$out/$name.zip"
(cd "$work" && zip -X -q "$out/$name.zip" "$name/" \
   "$name/qvWMI.dll" "$name/ostrel.dll" "$name/wmicheck.exe" \
   "$name/README.txt" "$name/install.cmd" "$name/uninstall.cmd" \
   $(find "$name/integrations" | LC_ALL=C sort))
echo "package: $out/$name.msi $out/$name.zip"
