#!/usr/bin/env bash
# The README's common checks through both builds over the same data: the
# Windows wmicheck.exe (under Wine) against the WMI test double, and the
# Linux wmicheck against the WinRM test double, both of which serve the
# data files of tests/wmidouble/data. The Linux wmicheck runs each check
# twice: as Windows serves WinRM by default (HTTP, Kerberos from a ticket
# cache of a test KDC, every message encrypted) and with Basic over HTTPS.
# The line and the exit code must be the same; only an --age check's
# seconds may differ (the runs read the clock at different moments).
# Skipped (77) without the Linux build.
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
double= kdc=
trap 'kill $double $kdc 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
read -r kdc _ <<<"$(bash "$root/tests/kdc/start-kdc.sh" "$work/kdc" svcfail01)" ||
  { echo "FAIL the test KDC did not start"; exit 1; }
. "$work/kdc/env"
export DOUBLE_PASSWORD='M0nitor!'
started=$("$root/tests/winrmdouble/start-double.sh" "$linux/bin/winrm-double" "$work" svcfail01 -- \
  --keytab "$work/kdc/http.keytab") || { echo "FAIL the WinRM double did not start"; exit 1; }
read -r double port httpport <<<"$started"
export KRB5CCNAME=FILE:$work/ccache
kinit monitor@CORP.EXAMPLE <<<"$DOUBLE_PASSWORD" >/dev/null || { echo "FAIL kinit"; exit 1; }

# The command lines of the README's "Common checks", one per line.
checks=$(awk '/^## Common checks/{on=1; next} /^## /{on=0} on && /^    wmicheck /{sub(/^    wmicheck /, ""); print}' \
  "$root/README.md")
[ -n "$checks" ] || { echo "FAIL no common checks in the README"; exit 1; }

# Numbers after "age=" and before "s" in the performance data vary by a
# second or two between the runs.
mask() { sed -E 's/age=[0-9]+s/age=Ns/g; s/=[0-9]+s;/=Ns;/g'; }

# The Linux wmicheck against the double as the computer HOST ($host).
local_run() {
  LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=$root/tests/winrmdouble/hosts "$linux/bin/wmicheck" "$@" \
    -H "$host" 2>/dev/null
  echo "exit=$?"
}

failures=0 passed=0
while IFS= read -r line; do
  eval "set -- $line"
  for host in localhost svcfail01; do
    winhost=.; [ $host = svcfail01 ] && winhost=SVCFAIL01
    win=$("$run" "$exe" "$@" -H $winhost 2>/dev/null | tr -d '\r'; echo "exit=${PIPESTATUS[0]}")
    kerberos=$(local_run "$@" --port "$httpport")
    basic=$(WMICHECK_PASSWORD=$DOUBLE_PASSWORD local_run "$@" --port "$port" --https --ca-file "$work/ca.pem" \
      --auth basic --user monitor)
    for lin in "$kerberos" "$basic"; do
      if [ "${win#WMI }" != "$win" ] && [ "$(mask <<<"$win")" = "$(mask <<<"$lin")" ]; then
        passed=$((passed + 1)); echo "ok   $host: ${win//$'\n'/ }"
      else
        failures=$((failures + 1)); echo "FAIL $host: $line"; echo "  wmicheck.exe: $win"; echo "  Linux:        $lin"
      fi
    done
  done
done <<<"$checks"
echo "$passed same, $failures different"
# The double's own record: the default runs logged on with Kerberos and
# sent encrypted bodies; none fell back to NTLM.
state=$(python3 -c 'import json, ssl, sys, urllib.request
ctx = ssl.create_default_context(cafile=sys.argv[1])
s = json.load(urllib.request.urlopen("https://localhost:%s/double/state" % sys.argv[2], context=ctx))
print(s["mechanisms"]["kerberos"], s["mechanisms"]["ntlm"], s["encrypted"])' "$work/ca.pem" "$port") ||
  { echo "FAIL cannot read the double's state"; exit 1; }
read -r kerberos ntlm encrypted <<<"$state"
echo "the double recorded: $kerberos requests with Kerberos, $ntlm with NTLM, $encrypted encrypted"
[ "$kerberos" -gt 0 ] && [ "$ntlm" -eq 0 ] && [ "$encrypted" -gt 0 ] || { echo "FAIL not Kerberos with encryption"; exit 1; }
[ $failures -eq 0 ]
