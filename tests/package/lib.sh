# Shared by the package tests (sourced): a fresh Wine prefix, registry
# snapshots, and the tally of checks.
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
client=$(cd "$(dirname "${BASH_SOURCE[0]}")/../scripts" && pwd)/InstalledClient.vbs
folder='C:\Program Files\qvWMI\'
passed=0 failures=0

check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  if "${@:2}"; then echo "ok   $1"; passed=$((passed + 1))
  else echo "FAIL $1"; failures=$((failures + 1)); fi
}
finish() {
  wineserver -k 2>/dev/null || true
  echo "$passed passed, $failures failed"
  [ "$failures" -eq 0 ]
}
run() { "$scripts/wine-run.sh" "$@"; }

fresh_prefix() {  # fresh_prefix DIR win32|win64
  export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all
  [ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
  "$scripts/wine-prefix.sh"
}
export_classes() {  # export_classes FILE: HKLM\Software\Classes, both views
  # The file's Windows name through drive Z: (the whole Unix tree), not
  # winepath, which can fail while a new prefix's session is still starting;
  # the export is tried again when it wrote nothing.
  local windows="Z:${1//\//\\}" attempt
  rm -f "$1"
  for attempt in 1 2 3; do
    run reg export 'HKLM\Software\Classes' "$windows" /y >/dev/null 2>&1
    [ -s "$1" ] && return 0
    sleep 1
  done
  echo "export_classes: reg export wrote nothing to $1" >&2
  return 1
}
# Entries files made by package.sh (what regsvr32 wrote, and what of it the
# installer writes): they say which keys are ours.
OURS=()
added_since() {  # added_since BEFORE: our entries the registry holds now beyond BEFORE
  export_classes "$BEFORE_DIR/now.reg" &&
  python3 "$scripts/registry.py" diff "$1" "$BEFORE_DIR/now.reg" "$folder" "${OURS[@]}"
}
registered_as() {  # registered_as ENTRIES...: the registry adds exactly these
  diff <(cat "$@" | LC_ALL=C sort) <(added_since "$BEFORE_DIR/before.reg" | LC_ALL=C sort)
}
nothing_added() {
  local added; added=$(added_since "$BEFORE_DIR/before.reg") || return 1
  [ -z "$added" ] || { echo "$added"; return 1; }
}
default_value() {  # default_value KEY [/reg:32|/reg:64]
  run reg query "$@" /ve 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'
}
server_of() {  # server_of PROGID [VIEW]: the DLL the ProgID's class loads
  local clsid; clsid=$(default_value "HKLM\\Software\\Classes\\$1\\CLSID")
  default_value "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" ${2:+"$2"}
}
wmicheck_holds() {  # wmicheck_holds EXE: a real check that holds
  run "$1" --class Win32_OperatingSystem --property Caption --op CON --value Windows >/dev/null 2>&1
}
script_client_passes() {  # script_client_passes [CSCRIPT]
  run "${1:-cscript}" //nologo "$(winepath -w "$client" 2>/dev/null)" 2>&1 | grep -q "all checks passed"
}
