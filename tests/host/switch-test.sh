#!/usr/bin/env bash
# The host probe and its override: QVWMI_NO_X86=1 makes this host behave as
# one whose kernel runs no 32-bit programs, whatever it can do. Under it the
# x86 build's tests and 32-bit programs are skipped (exit 77) instead of
# running or failing, a 64-bit prefix is made and used without Debian's
# wine, wineboot and winepath commands (which start the 32-bit loader), and
# the x64 build runs real checks. Without it, the probe agrees with the
# 32-bit loader itself.
# usage: switch-test.sh X86_BUILD X64_BUILD WORK
set -u
x86=$(cd "$1" && pwd)/bin x64=$(cd "$2" && pwd)/bin work=$3
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
passed=0 failures=0
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  if "${@:2}"; then echo "ok   $1"; passed=$((passed + 1))
  else echo "FAIL $1"; failures=$((failures + 1)); fi
}
exits() {  # exits CODE COMMAND...: the command's exit code is CODE
  local want=$1; shift
  "$@" >/dev/null 2>&1
  local got=$?
  [ "$got" -eq "$want" ] || { echo "     exit $got, expected $want: $*"; return 1; }
}

# Without the override the probe says what the 32-bit loader says.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then loader=0; else loader=1; fi
check "the probe agrees with the 32-bit loader (exit $loader)" exits $loader env -u QVWMI_NO_X86 "$scripts/wine-host.sh"

export QVWMI_NO_X86=1
check "with QVWMI_NO_X86=1 the probe says no, and why" \
  eval '"$scripts/wine-host.sh" | grep -q "QVWMI_NO_X86=1 makes this host behave as one that runs no 32-bit programs"'
check "... and demo and bench take the x64 build" test "$("$scripts/wine-host.sh" --arch)" = x64
check "an x86 build's test is skipped" exits 77 env WINEARCH=win32 "$scripts/wine-test.sh" true
check "a test that needs the x86 build beside the x64 one is skipped" \
  exits 77 env WINEARCH=win64 QVWMI_NEEDS_X86=1 "$scripts/wine-test.sh" true
check "an x64 test runs" exits 0 env WINEARCH=win64 "$scripts/wine-test.sh" true
rm -rf "$work" && mkdir -p "$work"
check "a 32-bit prefix is refused, and not made" eval \
  'WINEPREFIX="$work/p32" WINEARCH=win32 "$scripts/wine-run.sh" cmd /c exit 0 2>/dev/null; [ $? -eq 77 ] && [ ! -e "$work/p32" ]'

# Debian's commands replaced by ones that record their use and fail.
mkdir -p "$work/shims"
for cmd in wine wine-stable wineboot winepath regsvr32 msiexec cscript; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/used"\nexit 126\n' "$cmd" "$work" > "$work/shims/$cmd"
  chmod +x "$work/shims/$cmd"
done
export PATH=$work/shims:$PATH WINEPREFIX=$work/p64 WINEARCH=win64
check "a fresh 64-bit prefix is made and both x64 DLLs register" \
  "$scripts/wine-register.sh" "$x64/qvWMI.dll" "$x64/ostrel.dll"
check "the x64 wmicheck.exe runs a real check" exits 0 \
  "$scripts/wine-run.sh" "$x64/wmicheck.exe" --class Win32_OperatingSystem --property Caption --op CON --value Windows
check "the x86 wmicheck.exe in the 64-bit prefix is skipped, not run" exits 77 \
  "$scripts/wine-run.sh" "$x86/wmicheck.exe" --class Win32_OperatingSystem --property Caption --op CON --value Windows
check "none of Debian's wine, wineboot, winepath commands was used" \
  eval '[ ! -e "$work/used" ] || { cat "$work/used"; false; }'
wineserver -k 2>/dev/null || true
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
