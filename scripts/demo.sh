#!/usr/bin/env bash
# Registers both DLLs in a fresh Wine prefix and runs real WMI checks through
# them with wmicheck.exe: monitoring-plugin checks, the plug-in's check as
# the monitoring host runs it, and the self-test.
set -u
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
export WINEPREFIX=$build/demo-prefix
WINEARCH=$(build_wine_arch "$build"); export WINEARCH
rm -rf "$WINEPREFIX"
echo "demo: creating a fresh $WINEARCH Wine prefix in $WINEPREFIX"
"$here/wine-register.sh" "$build/bin/qvWMI.dll" "$build/bin/ostrel.dll" || exit 1
echo "demo: qvWMI.dll and ostrel.dll registered"

check() {
  echo
  echo "\$ wmicheck $*"
  "$here/wine-run.sh" "$build/bin/wmicheck.exe" "$@"
  echo "exit code $?"
}
# Monitoring-plugin checks: exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
check --class Win32_OperatingSystem --property Caption --op CON --value Windows
check --class Win32_ComputerSystem --property NumberOfLogicalProcessors --op MEQ --value 64
check --class Win32_LogicalDisk --filter "DriveType=3" --property FreeSpace --percent-of Size -w 20: -c 10:
check --class Win32_NoSuchClass --property State --op EXA --value Running
# The plug-in's check, exactly as the monitoring host runs it, with the
# parameter string it stores.
check --last-instance --class Win32_Service --filter "Name = 'RpcSs'" --property State --op EXA --value Running --print-param
# The self-test of this installation.
check --diagnose
wineserver -k 2>/dev/null || true
