#!/usr/bin/env bash
# Builds one architecture's packages from a build tree:
#   OUT/qvwmi-VERSION-ARCH.msi and OUT/qvwmi-VERSION-ARCH.zip
# usage: package.sh x86|x64 BUILD OUT [VERSION]
# VERSION defaults to the file VERSION; another one only renames and
# renumbers the installer (the upgrade test builds a "newer" one that way).
# The installer's registry entries are what the DLLs' own registration
# writes (capture-registration.sh, registry.py): DLL.regsvr32 holds all of
# it, DLL.entries what the installer writes. The x86 package needs the x64
# build tree too (QVWMI_X64_BUILD): its rows come from the x64 registration. Two runs from one commit
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
  x86) wixl_arch=x86 program_files=ProgramFilesFolder win64=no
       upgrade_code=98AE886F-8727-4E33-A95A-818E37864E86 ;;
  x64) wixl_arch=x64 program_files=ProgramFiles64Folder win64=yes
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

# What the DLLs' registration writes (DLL.regsvr32), and what of it the
# installer carries (DLL.entries). Only the x64 registration is run: the x86
# rows are derived from it by the two registrations' documented differences
# (registry.py x86), so that building the x86 package runs no 32-bit program
# and gives the same bytes on every host. Where 32-bit programs run,
# package.x86_rows compares the derived rows with a real x86 registration.
capture_build=$build
[ "$arch" = x64 ] ||
  capture_build=${QVWMI_X64_BUILD:?"package: QVWMI_X64_BUILD must name the x64 build tree, whose registration gives the x86 rows"}
capture=$capture_build/package/registration
bash "$here/capture-registration.sh" win64 "$capture_build" "$capture"
for dll in qvWMI ostrel; do
  if [ "$arch" = x64 ]; then
    cp "$capture/$dll.regsvr32" "$work/$dll.regsvr32"
    # A 64-bit registration also fills the 32-bit view's interface keys
    # (Wow6432Node\Interface): they serve 32-bit clients, which need the x86
    # package anyway, and an x64 installer that wrote them would take them
    # away from an installed x86 package when it is uninstalled. (The TypeLib
    # key is one key for both views; the export shows it under both names.)
    grep -v '^Wow6432Node\\Interface\\' "$work/$dll.regsvr32" > "$work/$dll.entries" || true
  else
    python3 "$here/registry.py" x86 "$capture/$dll.regsvr32" > "$work/$dll.regsvr32"
    cp "$work/$dll.regsvr32" "$work/$dll.entries"
  fi
done

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
