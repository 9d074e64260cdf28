#!/usr/bin/env bash
# The Linux wmicheck against the WinRM test double on this machine's
# loopback, as Windows serves WinRM by default: HTTP, Kerberos (a test KDC
# of the realm CORP.EXAMPLE on the loopback, a ticket from kinit) and every
# message encrypted. The README's common checks, a computer with a stopped
# automatic service (svcfail01, named through libnss-wrapper), a failure
# with its advice, the self-test, and Basic over HTTPS. Nothing outside the
# build tree changes.
set -u
build=$(cd "${1:-build-linux}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$build/demo-winrm
rm -rf "$work"; mkdir -p "$work"
double= kdc=
trap 'kill $double $kdc 2>/dev/null' EXIT
read -r kdc _ <<<"$(bash "$root/tests/kdc/start-kdc.sh" "$work/kdc" svcfail01)" || exit 1
. "$work/kdc/env"
export DOUBLE_PASSWORD='M0nitor!'
started=$("$root/tests/winrmdouble/start-double.sh" "$build/bin/winrm-double" "$work" svcfail01 -- \
  --keytab "$work/kdc/http.keytab") || exit 1
read -r double port httpport <<<"$started"
export KRB5CCNAME=FILE:$work/ccache
kinit monitor@CORP.EXAMPLE <<<"$DOUBLE_PASSWORD" >/dev/null || exit 1
echo "demo-linux: a test KDC for CORP.EXAMPLE and the WinRM test double (http://localhost:$httpport/wsman,"
echo "demo-linux: https://localhost:$port/wsman) on the loopback; kinit monitor@CORP.EXAMPLE done"
check() {
  local host=$1; shift
  echo
  echo "\$ wmicheck -H $host $(printf '%q ' "$@")"
  LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=$root/tests/winrmdouble/hosts "$build/bin/wmicheck" -H "$host" "$@"
  echo "exit code $?"
}
http=(--port "$httpport")
check localhost "${http[@]}" --class Win32_LogicalDisk --filter "DriveType=3" --property FreeSpace --percent-of Size -w 20: -c 10:
check localhost "${http[@]}" --class Win32_Processor --property LoadPercentage --uom % -w 80 -c 95
check localhost "${http[@]}" --class Win32_OperatingSystem --property LastBootUpTime --age -c 600: -v
services=(--class Win32_Service --filter "StartMode='Auto' AND State<>'Running'" --exclude DelayedAutoStart=True
          --exclude Name=RemoteRegistry --exclude Name=sppsvc --exclude Name=CDPUserSvc --count -c 0)
check localhost "${http[@]}" "${services[@]}"
check svcfail01 "${http[@]}" "${services[@]}"
check localhost "${http[@]}" --class Win32_NoSuchClass --count
# The self-test, one step per line.
check localhost "${http[@]}" --diagnose
export WMICHECK_PASSWORD=$DOUBLE_PASSWORD
check localhost --port "$port" --https --ca-file "$work/ca.pem" --auth basic --user monitor "${services[@]}"
