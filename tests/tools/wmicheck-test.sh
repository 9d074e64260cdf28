#!/usr/bin/env bash
# wmicheck.exe as a person runs it: its exit codes and its composed
# parameter string. Runs in the shared test prefix (both DLLs registered).
set -u
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../scripts/wine-run.sh
failures=0

expect() {  # expect CODE DESCRIPTION -- ARGS...
  local want=$1 what=$2; shift 3
  local out; out=$("$run" "$exe" "$@" 2>&1); local got=$?
  if [ "$got" = "$want" ]; then echo "ok   $what (exit $got): $out"
  else echo "FAIL $what: exit $got, expected $want: $out"; failures=$((failures + 1)); fi
}

expect 0 "a condition that holds" -- --class Win32_OperatingSystem --property Caption --op CON --value Windows
expect 2 "a condition that does not hold" -- --class Win32_OperatingSystem --property Caption --op NCO --value Windows
expect 2 "an error text at a checkpoint" -- --class Win32_NoSuchClass --property Caption --op CON --value x
expect 3 "a password that cannot be decoded" -- --param "#PWD==abc#CLS=Win32_Service#PRO=State#"
expect 3 "an unknown option" -- --colour red

composed=$("$run" "$exe" --print-param --class Win32_Service --filter "Name=\"Eventlog\"" --property State \
           --op EXA --value Running --user " bob " 2>/dev/null | head -n 1 | tr -d '\r')
want='#ENC=T#USR=bob#PWD=#NSP=root\cimv2#DOM=#LOC=#CLS=Win32_Service#FIL=Name{0x3d}{0x22}Eventlog{0x22}#PRO=State#PRI=-1#CWA=EXA#CVA=Running#AUL=4#IML=3#'
if [ "$composed" = "$want" ]; then echo "ok   composed parameter string"
else echo "FAIL composed parameter string: $composed"; failures=$((failures + 1)); fi

echo "$((6 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
