#!/usr/bin/env bash
# An installer's life in a fresh Wine prefix: install silently, look at what
# it registered, run real checks through the installed files, upgrade to a
# newer package, uninstall and find nothing of ours left.
# usage: msi-round-trip.sh x86|x64 BUILD VERSION NEWER_VERSION
# (the packages in BUILD/packages, made by package.sh with BUILD/packages as
# its output; its capture of regsvr32's entries in BUILD/package/ARCH)
set -u
arch=$1 build=$(cd "$2" && pwd) version=$3 newer=$4
packages=$build/packages work=$build/msi-test
. "$(dirname "$0")/lib.sh"
BEFORE_DIR=$work; mkdir -p "$work"
fresh_prefix "$work/prefix" "$([ "$arch" = x64 ] && echo win64 || echo win32)"
wine_export_classes "$work/before.reg"
installed="$WINEPREFIX/drive_c/Program Files/qvWMI"
msi() { run msiexec "$1" "$(win "$packages/qvwmi-$2-$arch.msi")" /qn; }
OURS=("$build/package/$arch/qvWMI.entries" "$build/package/$arch/ostrel.entries")
products() {  # DisplayName and DisplayVersion of every installed product of ours
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    grep -A1 "DisplayName.*qvWMI and ostrel ($arch)" | sed -n 's/.*DisplayVersion[[:space:]]*REG_SZ[[:space:]]*//p'
}

check "msiexec /i qvwmi-$version-$arch.msi /qn succeeds" msi /i "$version"
for f in qvWMI.dll ostrel.dll wmicheck.exe README.txt; do
  check "$f is in C:\\Program Files\\qvWMI" test -f "$installed/$f"
done
check "the integrations folder holds the definitions as in the sources" \
  diff -r "$(dirname "$0")/../../integrations" "$installed/integrations"
check "the definitions name ${folder}wmicheck.exe" definitions_name "$installed" "$folder"
for pair in QvWMI.Access=qvWMI.dll ostrel.WMICom=ostrel.dll; do
  check "${pair%=*} loads ${folder}${pair#*=}" test "$(server_of "${pair%=*}")" = "${folder}${pair#*=}"
done
check "the installed registry entries are the ones regsvr32 writes in the package's registry view" registered_as "${OURS[@]}"
check "the installed wmicheck.exe runs a check that holds" wmicheck_holds "${folder}wmicheck.exe"
check "a VBScript client uses the installed bridge and plug-in" script_client_passes

check "msiexec /i qvwmi-$newer-$arch.msi /qn upgrades" msi /i "$newer"
check "one product is installed, version $newer" test "$(products)" = "$newer"
check "after the upgrade the registry entries are still the ones regsvr32 writes" registered_as "${OURS[@]}"
check "after the upgrade wmicheck.exe still runs a check" wmicheck_holds "${folder}wmicheck.exe"

check "msiexec /x qvwmi-$newer-$arch.msi /qn succeeds" msi /x "$newer"
check "no installed product is left" test -z "$(products)"
check "the install folder is gone" test ! -e "$installed"
check "no class, ProgID, interface or type library key of ours is left" nothing_added
finish
