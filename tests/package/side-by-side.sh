#!/usr/bin/env bash
# Both builds registered in one 64-bit prefix: a 32-bit and a 64-bit client
# each get their own architecture's DLLs (the registry's two views), and
# unregistering one build leaves the other working.
# usage: side-by-side.sh X86_BIN X64_BIN WORK
set -u
mkdir -p "$3"
x86=$(cd "$1" && pwd) x64=$(cd "$2" && pwd) work=$(cd "$3" && pwd)
. "$(dirname "$0")/lib.sh"
fresh_prefix "$work/prefix" win64
win() { winepath -w "$1" 2>/dev/null; }
register() {  # register [/u] BIN: both DLLs of a build
  local bin=${*: -1} dll
  for dll in qvWMI ostrel; do run regsvr32 /s "${@:1:$#-1}" "$(win "$bin/$dll.dll")" || return 1; done
}
# Every client against the expected outcome: "works" or "fails".
clients() {  # clients X86_EXPECTED X64_EXPECTED WHEN
  local expected name outcome
  for entry in "32-bit wmicheck.exe:$1:wmicheck_holds $x86/wmicheck.exe" \
                "32-bit cscript:$1:script_client_passes C:\\windows\\syswow64\\cscript.exe" \
                "64-bit wmicheck.exe:$2:wmicheck_holds $x64/wmicheck.exe" \
                "64-bit cscript:$2:script_client_passes cscript"; do
    IFS=: read -r name expected command <<<"$entry"
    if $command; then outcome=works; else outcome=fails; fi
    check "$3: the $name client $expected" test "$outcome" = "$expected"
  done
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
finish
