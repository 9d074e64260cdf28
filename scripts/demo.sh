#!/usr/bin/env bash
# Registers both DLLs in a fresh Wine prefix and runs real WMI checks through
# them with wmicheck.exe, the command-line stand-in for the monitoring host.
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
check --class Win32_OperatingSystem --property Caption --op CON --value Windows
check --class Win32_Service --filter "Name = 'RpcSs'" --property State --op EXA --value Running --print-param
check --class Win32_ComputerSystem --property NumberOfLogicalProcessors --op MEQ --value 64
check --class Win32_NoSuchClass --property State --op EXA --value Running
wineserver -k 2>/dev/null || true
