#!/usr/bin/env bash
# The zip's scripts in a fresh Wine prefix, run through cmd as an
# administrator would: a missing file stops install.cmd; install.cmd
# registers what regsvr32 registers and real checks run (before it,
# wmicheck --diagnose names what is missing); uninstall.cmd leaves no key of
# ours.
# usage: zip-round-trip.sh x86|x64 BUILD VERSION
# (the zip in BUILD/packages, regsvr32's entries in BUILD/package/ARCH)
set -u
arch=$1 build=$(cd "$2" && pwd) version=$3
. "$(dirname "$0")/lib.sh"
work=$build/zip-test BEFORE_DIR=$build/zip-test
OURS=("$build/package/$arch/qvWMI.regsvr32" "$build/package/$arch/ostrel.regsvr32")
rm -rf "$work" && mkdir -p "$work"
fresh_prefix "$work/prefix" "$([ "$arch" = x64 ] && echo win64 || echo win32)"
wine_export_classes "$work/before.reg"
drive_c=$WINEPREFIX/drive_c
unzip -q "$build/packages/qvwmi-$version-$arch.zip" -d "$work/unpacked"
check "the zip's integrations folder holds the definitions as in the sources" \
  diff -r "$(dirname "$0")/../../integrations" "$work/unpacked/qvwmi-$version-$arch/integrations"
cp -r "$work/unpacked/qvwmi-$version-$arch" "$drive_c/Program Files/qvWMI"
cp -r "$work/unpacked/qvwmi-$version-$arch" "$drive_c/incomplete"
rm "$drive_c/incomplete/ostrel.dll"

output=$(run cmd /c 'C:\incomplete\install.cmd' 2>&1); status=$?
check "install.cmd stops when ostrel.dll is missing (exit $status)" test "$status" -eq 2
check "... and says so: $output" grep -q "ostrel.dll is missing" <<<"$output"
check "... and registers nothing" nothing_added

# Unpacked and not installed: the self-test says so, and what to run.
output=$(run "${folder}wmicheck.exe" --diagnose 2>&1); status=$?
check "wmicheck --diagnose before install.cmd is CRITICAL (exit $status)" test "$status" -eq 2
check "... and names the unregistered DLLs and install.cmd: $output" \
  grep -q "qvWMI.dll (QvWMI.Access) is not registered.*install.cmd" <<<"$output"

check "cmd /c install.cmd succeeds" run cmd /c "${folder}install.cmd"
check "install.cmd registers what regsvr32 registers" registered_as "${OURS[@]}"
check "wmicheck.exe from the zip runs a check that holds" wmicheck_holds "${folder}wmicheck.exe"
check "a VBScript client uses the bridge and plug-in from the zip" script_client_passes

check "cmd /c uninstall.cmd succeeds" run cmd /c "${folder}uninstall.cmd"
check "no class, ProgID, interface or type library key of ours is left" nothing_added
finish
