#!/usr/bin/env bash
# The README's common checks through both builds over the same data: the
# Windows wmicheck.exe (under Wine) against the WMI test double, and the
# Linux wmicheck against the WinRM test double, both of which serve the
# data files of tests/wmidouble/data. The line and the exit code must be
# the same; only an --age check's seconds may differ (the two runs read the
# clock at different moments). Skipped (77) without the Linux build.
set -u
exe=$1 linux=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$here/../..
run=$root/scripts/wine-run.sh
for f in "$linux/bin/wmicheck" "$linux/bin/winrm-double"; do
  [ -x "$f" ] || { echo "skipped: no $f (make build-linux builds it)"; exit 77; }
done
export LC_ALL=C.UTF-8
work=$(mktemp -d)
double=
trap '[ -n "$double" ] && kill $double 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
export DOUBLE_PASSWORD='M0nitor!'
started=$("$root/tests/winrmdouble/start-double.sh" "$linux/bin/winrm-double" "$work" svcfail01) ||
  { echo "FAIL the WinRM double did not start"; exit 1; }
read -r double port <<<"$started"

# The command lines of the README's "Common checks", one per line.
checks=$(awk '/^## Common checks/{on=1; next} /^## /{on=0} on && /^    wmicheck /{sub(/^    wmicheck /, ""); print}' \
  "$root/README.md")
[ -n "$checks" ] || { echo "FAIL no common checks in the README"; exit 1; }

# Numbers after "age=" and before "s" in the performance data vary by a
# second or two between the runs.
mask() { sed -E 's/age=[0-9]+s/age=Ns/g; s/=[0-9]+s;/=Ns;/g'; }

failures=0 passed=0
while IFS= read -r line; do
  eval "set -- $line"
  for host in localhost svcfail01; do
    winhost=.; [ $host = svcfail01 ] && winhost=SVCFAIL01
    win=$("$run" "$exe" "$@" -H $winhost 2>/dev/null | tr -d '\r'; echo "exit=${PIPESTATUS[0]}")
    lin=$(WMICHECK_PASSWORD='M0nitor!' LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=$root/tests/winrmdouble/hosts \
      "$linux/bin/wmicheck" "$@" -H $host --port "$port" --https --ca-file "$work/ca.pem" --auth basic --user monitor \
      2>/dev/null; echo "exit=$?")
    if [ "${win#WMI }" != "$win" ] && [ "$(mask <<<"$win")" = "$(mask <<<"$lin")" ]; then
      passed=$((passed + 1)); echo "ok   $host: ${win//$'\n'/ }"
    else
      failures=$((failures + 1)); echo "FAIL $host: $line"; echo "  wmicheck.exe: $win"; echo "  Linux:        $lin"
    fi
  done
done <<<"$checks"
echo "$passed same, $failures different"
[ $failures -eq 0 ]
