#!/usr/bin/env bash
# wmicheck.exe as a person runs it, against Wine's real WMI: the plug-in's
# check (--last-instance) and its exit codes, the checks of the command line,
# text that must survive the output, a crash inside WMI, a monitoring-plugin
# run over Win32_LogicalDisk with every exit code, and the self-test. Runs in
# the shared test prefix (both DLLs registered).
set -u
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../scripts/wine-run.sh
failures=0 passed=0
# Wine reads the command line in the locale's character set: UTF-8, so that
# non-ASCII arguments arrive as typed.
export LC_ALL=C.UTF-8

pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# expect CODE DESCRIPTION PATTERN -- ARGS...: the exit code, and PATTERN
# (extended regular expression) on stdout, or on stderr when it starts with
# "stderr:".
expect() {
  local want=$1 what=$2 pattern=$3; shift 4
  local out err got
  err=$(mktemp)
  out=$("$run" "$exe" "$@" 2>"$err"; echo "exit=$?"); got=${out##*exit=}; out=$(tr -d '\r' <<<"${out%exit=*}")
  local where=$out
  if [ "${pattern#stderr:}" != "$pattern" ]; then pattern=${pattern#stderr:}; where=$(grep -v '^wine:' "$err"); fi
  if [ "$got" = "$want" ] && grep -qE -- "$pattern" <<<"$where"; then pass "$what (exit $got): $out"
  else fail "$what: exit $got, expected $want; /$pattern/ in: $out $(grep -v '^wine:' "$err")"; fi
  rm -f "$err"
}

# hidden CODE DESCRIPTION -- ARGS...: the exit code, and no trace of the
# password (S3cret, or PW2 after a blank) on stdout or stderr.
hidden() {
  local want=$1 what=$2; shift 3
  local all got
  all=$("$run" "$exe" "$@" 2>&1; echo "exit=$?"); got=${all##*exit=}; all=$(grep -v '^wine:' <<<"${all%exit=*}")
  if [ "$got" = "$want" ] && ! grep -qE 'S3cret|PW2' <<<"$all"; then pass "$what (exit $got)"
  else fail "$what: exit $got, expected $want, without the password in: $all"; fi
}

# The plug-in's check, exactly as the host runs it, only when asked for.
last=--last-instance
expect 0 "a condition that holds" '^Caption=' -- $last --class Win32_OperatingSystem --property Caption --op CON --value Windows
expect 2 "a condition that does not hold" '^Caption=.*contains Windows' -- \
  $last --class Win32_OperatingSystem --property Caption --op NCO --value Windows
expect 2 "an error text at a checkpoint" '^\(-2147217' -- $last --class Win32_NoSuchClass --property Caption --op CON --value x
expect 3 "a password that cannot be decoded" '^UNKNOWN: ' -- --param "#PWD==abc#CLS=Win32_Service#PRO=State#"
# The same options alone are a monitoring-plugin check: every instance counts.
expect 0 "check options alone" '^WMI OK - 1 Win32_OperatingSystem instance satisfies Caption CON Windows' -- \
  --class Win32_OperatingSystem --property Caption --op CON --value Windows
expect 3 "no arguments" '^WMI UNKNOWN - wmicheck: --class is needed' --
expect 3 "a class alone" '^WMI UNKNOWN - wmicheck: --property is needed' -- --class Win32_Service

# Options are checked, and the error names the option on stdout (the hint
# goes to stderr).
expect 3 "an unknown option" '^WMI UNKNOWN - wmicheck: unknown option --colour' -- --colour red
expect 3 "a non-number authentication level" '^UNKNOWN: .*--auth-level' -- $last --class Win32_Service --property State --auth-level x
expect 3 "an impersonation level out of range" '^UNKNOWN: .*--imp-level' -- $last --class Win32_Service --property State --imp-level 9
expect 3 "a non-number time-out" '^WMI UNKNOWN - .*--timeout' -- --class Win32_Service --property State --timeout soon
expect 3 "an unknown operator" '^WMI UNKNOWN - .*--op' -- --class Win32_Service --property State --op XYZ --value Running
expect 0 "the release" '^wmicheck [0-9]+\.[0-9]+\.[0-9]+ \((x86|x64)\)$' -- -V
expect 3 "the hint on stderr" 'stderr:--help lists the options' -- --colour red
expect 3 "a malformed range" '^WMI UNKNOWN - .*--warning' -- --class Win32_LogicalDisk --property FreeSpace -w 10:5

# Any text survives: redirected output is UTF-8, and the line goes on.
expect 0 "non-ASCII compare value" "doesn't contain Größe€\)$" -- \
  $last --class Win32_OperatingSystem --property Caption --op NCO --value "Größe€"
expect 0 "non-ASCII compare value after =" "doesn't contain Größe€\)$" -- \
  $last --class=Win32_OperatingSystem --property=Caption --op=NCO --value="Größe€"

# On a console (a pseudo-terminal here) the line goes through WriteConsoleW.
if command -v script >/dev/null; then
  out=$(script -qec "$(printf '%q ' "$run" "$exe" $last --class Win32_OperatingSystem --property Caption --op NCO \
        --value "Größe€")" /dev/null 2>/dev/null | tr -d '\r')
  if grep -q "doesn't contain Größe€)" <<<"$out"; then pass "non-ASCII compare value on a console"
  else fail "non-ASCII compare value on a console: $out"; fi
else
  echo "skip non-ASCII compare value on a console: no script(1)"
fi

# A filter ending inside a quote crashed Wine's WQL parser in the process: a
# crash, or a refusal, never reads as success.
out=$("$run" "$exe" --class Win32_Service --filter "Name = '" --property State --op EXA --value Running 2>/dev/null
      echo "exit=$?"); got=${out##*exit=}; out=$(tr -d '\r' <<<"${out%exit=*}")
if [ "$got" != 0 ] && [ "$(grep -c . <<<"$out")" = 1 ]; then pass "a crashing filter (exit $got): $out"
else fail "a crashing filter: exit $got, output: $out"; fi

# Free disk space under Wine's WMI, each exit code, with performance data.
disk=(--class Win32_LogicalDisk --property FreeSpace)
perf="\| 'C:'=[0-9]+;"
expect 0 "free space at least 1 byte" "^WMI OK - .*${perf}1:;0:;;" -- "${disk[@]}" -w 1: -c 0:
expect 1 "free space above 0 warns" "^WMI WARNING - .*${perf}~:0;;;" -- "${disk[@]}" -w '~:0'
expect 2 "free space above 0 is critical" "^WMI CRITICAL - .*${perf}~:0;~:0;;" -- "${disk[@]}" -w '~:0' -c '~:0'
expect 3 "a disk that does not exist" "^WMI UNKNOWN - no instance" -- "${disk[@]}" --filter "DeviceID='Q:'" -w 1:
expect 0 "a count of running services" "^WMI OK - .*\| 'instances'=[1-9][0-9]*;;1:;0;$" -- \
  --class Win32_Service --filter "State='Running'" --count -c 1:

# Runs that fail past the command line, with the steps and in JSON, and the
# self-test against a computer: the password shows nowhere.
account=(--user 'CORP\monitor' --password S3cret)
hidden 3 "-vvv, a class that does not exist" -- -vvv "${account[@]}" --class Win32_NoSuchClass --count
hidden 3 "--json, a class that does not exist" -- --json -v "${account[@]}" --class Win32_NoSuchClass --count
hidden 2 "the plug-in's check, a password with a blank" -- $last -v --user 'CORP\monitor' --password "S3cret PW2" \
  --class Win32_NoSuchClass --property Caption
WMICHECK_PASSWORD= hidden 3 "an empty WMICHECK_PASSWORD is none" -- --user 'CORP\monitor' --class Win32_Service --count
WMICHECK_PASSWORD=S3cret hidden 3 "the password from the environment, and -v" -- -vv --user 'CORP\monitor' \
  --class Win32_NoSuchClass --count

# The self-test: this installation as registered, and Wine's own WMI.
expect 0 "the self-test" '^DIAGNOSE OK - all [0-9]+ steps passed' -- --diagnose
expect 0 "the self-test's steps" 'Win32_OperatingSystem on \.: 1 instance' -- --diagnose

composed=$("$run" "$exe" --print-param --class Win32_Service --filter "Name=\"Eventlog\"" --property State \
           --op EXA --value Running --user " bob " --password pw 2>/dev/null | head -n 1 | tr -d '\r')
want='#ENC=T#USR=bob#PWD=cHc=#NSP=root\cimv2#DOM=#LOC=#CLS=Win32_Service#FIL=Name{0x3d}{0x22}Eventlog{0x22}#PRO=State#PRI=-1#CWA=EXA#CVA=Running#AUL=6#IML=3#'
if [ "$composed" = "$want" ]; then pass "composed parameter string"
else fail "composed parameter string: $composed"; fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
