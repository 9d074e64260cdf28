#!/usr/bin/env bash
# The Linux wmicheck against the WinRM test double on this machine's
# loopback, over HTTPS with Basic: the README's common checks, a computer
# with a stopped automatic service (svcfail01, named through libnss-wrapper),
# and a failure with its advice. Nothing outside the build tree changes.
set -u
build=$(cd "${1:-build-linux}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$build/demo-winrm
rm -rf "$work"; mkdir -p "$work"
export DOUBLE_PASSWORD='s3cret word'
started=$("$root/tests/winrmdouble/start-double.sh" "$build/bin/winrm-double" "$work" svcfail01) || exit 1
read -r double port <<<"$started"
trap 'kill $double 2>/dev/null' EXIT
echo "demo-linux: the WinRM test double listens on https://localhost:$port/wsman"
export WMICHECK_PASSWORD=$DOUBLE_PASSWORD
check() {
  local host=$1; shift
  echo
  echo "\$ wmicheck -H $host --port $port --https --ca-file ca.pem --auth basic --user monitor $(printf '%q ' "$@")"
  LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=$root/tests/winrmdouble/hosts \
    "$build/bin/wmicheck" -H "$host" --port "$port" --https --ca-file "$work/ca.pem" --auth basic --user monitor "$@"
  echo "exit code $?"
}
check localhost --class Win32_LogicalDisk --filter "DriveType=3" --property FreeSpace --percent-of Size -w 20: -c 10:
check localhost --class Win32_Processor --property LoadPercentage --uom % -w 80 -c 95
check localhost --class Win32_OperatingSystem --property LastBootUpTime --age -c 600:
services=(--class Win32_Service --filter "StartMode='Auto' AND State<>'Running'" --exclude DelayedAutoStart=True
          --exclude Name=RemoteRegistry --exclude Name=sppsvc --exclude Name=CDPUserSvc --count -c 0)
check localhost "${services[@]}"
check svcfail01 "${services[@]}"
check localhost --class Win32_NoSuchClass --count
