#!/usr/bin/env bash
# Both builds registered in one 64-bit prefix: a 32-bit and a 64-bit client
# each get their own architecture's DLLs (the registry's two views), and
# unregistering one build leaves the other working. Then the same with both
# installers in a fresh prefix: uninstalling one leaves the other working.
# usage: side-by-side.sh X86_BUILD X64_BUILD WORK
set -u
mkdir -p "$3"
x86_build=$(cd "$1" && pwd) x64_build=$(cd "$2" && pwd) work=$(cd "$3" && pwd)
x86=$x86_build/bin x64=$x64_build/bin
x86_exe=$x86/wmicheck.exe x64_exe=$x64/wmicheck.exe
. "$(dirname "$0")/lib.sh"
fresh_prefix "$work/prefix" win64
register() {  # register [/u] BIN: both DLLs of a build
  local bin=${*: -1} dll
  for dll in qvWMI ostrel; do run regsvr32 /s "${@:1:$#-1}" "$(win "$bin/$dll.dll")" || return 1; done
}
# Every client against the expected outcome: "works" or "fails".
expect_client() {  # expect_client EXPECTED DESCRIPTION COMMAND...
  local outcome=fails
  "${@:3}" && outcome=works
  check "$2 $1" test "$outcome" = "$1"
}
clients() {  # clients X86_EXPECTED X64_EXPECTED WHEN
  expect_client "$1" "$3: the 32-bit wmicheck.exe client" wmicheck_holds "$x86_exe"
  expect_client "$1" "$3: the 32-bit cscript client" script_client_passes 'C:\windows\syswow64\cscript.exe'
  expect_client "$2" "$3: the 64-bit wmicheck.exe client" wmicheck_holds "$x64_exe"
  expect_client "$2" "$3: the 64-bit cscript client" script_client_passes cscript
}

check "both builds register" eval 'register "$x86" && register "$x64"'
for view in 32:"$x86" 64:"$x64"; do
  bits=${view%%:*} dll="$(win "${view#*:}")\\qvWMI.dll"
  check "the $bits-bit view's QvWMI.Access loads $dll" test "$(server_of QvWMI.Access "/reg:$bits")" = "$dll"
done
clients works works "both registered"
check "the x64 build unregisters" register /u "$x64"
clients works fails "x64 unregistered"
check "the x64 build registers again and the x86 build unregisters" eval 'register "$x64" && register /u "$x86"'
clients fails works "x86 unregistered"

# The installers, the x86 one made here from the x86 build.
version=$(head -n 1 "$(dirname "$0")/../../VERSION")
check "the x86 installer builds" eval 'bash "$scripts/package.sh" x86 "$x86_build" "$work/x86-packages" >/dev/null 2>&1'
msi() { run msiexec "$1" "$(win "$2")" /qn; }
x86_msi=$work/x86-packages/qvwmi-$version-x86.msi x64_msi=$x64_build/packages/qvwmi-$version-x64.msi
wineserver -k 2>/dev/null || true
fresh_prefix "$work/installers-prefix" win64
x86_exe='C:\Program Files (x86)\qvWMI\wmicheck.exe' x64_exe='C:\Program Files\qvWMI\wmicheck.exe'
check "both installers install" eval 'msi /i "$x86_msi" && msi /i "$x64_msi"'
for dir in 'Program Files (x86)' 'Program Files'; do
  check "the definitions in C:\\$dir\\qvWMI name its wmicheck.exe" \
    definitions_name "$WINEPREFIX/drive_c/$dir/qvWMI" "C:\\$dir\\qvWMI"
done
clients works works "both installed"
check "the x64 installer uninstalls" msi /x "$x64_msi"
clients works fails "x64 uninstalled"
check "the x64 installer installs again and the x86 one uninstalls" eval 'msi /i "$x64_msi" && msi /x "$x86_msi"'
clients fails works "x86 uninstalled"
finish
