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
. "$scripts/wine-env.sh"
run() { "$scripts/wine-run.sh" "$@"; }
win() { wine_path "$1"; }

fresh_prefix() {  # fresh_prefix DIR win32|win64
  export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all
  [ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
  wine_prefix
}
# Entries files made by package.sh (what regsvr32 wrote, and what of it the
# installer writes): they say which keys are ours.
OURS=()
added_since() {  # added_since BEFORE: our entries the registry holds now beyond BEFORE
  wine_export_classes "$BEFORE_DIR/now.reg" &&
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
# definitions_name DIR FOLDER: every path to wmicheck.exe in the definitions
# installed in DIR (Windows: FOLDER) names FOLDER's own wmicheck.exe: as
# shipped, or, where a file names another install folder, after the
# instruction on the file's first line (replace "..." by "...").
definitions_name() {
  python3 - "$1/integrations" "$2" <<'PY'
import os, re, sys
root, folder = sys.argv[1:3]
want = {folder.rstrip("\\") + "\\wmicheck.exe"}
def paths(text):  # an Icinga 2 string doubles its backslashes
    return {p.replace("\\\\", "\\") for p in re.findall(r'[A-Za-z]:\\[^"\n]*?wmicheck\.exe', text)}
wrong = []
for here, _, names in os.walk(root):
    for name in names:
        text = open(os.path.join(here, name), encoding="utf-8").read()
        found = paths(text)
        if found and found != want:
            rule = re.search(r'replace "([^"]+)" by "([^"]+)"', text.split("\n", 1)[0])
            found = rule and paths(text.replace(rule.group(1), rule.group(2)))
            if found != want:
                wrong.append("%s: %s" % (name, sorted(found) if found else "another folder, and no instruction on its first line"))
for line in wrong:
    print(line)
sys.exit(bool(wrong))
PY
}
wmicheck_holds() {  # wmicheck_holds EXE: a real check that holds
  run "$1" --class Win32_OperatingSystem --property Caption --op CON --value Windows >/dev/null 2>&1
}
script_client_passes() {  # script_client_passes [CSCRIPT]
  run "${1:-cscript}" //nologo "$(win "$client")" 2>&1 | grep -q "all checks passed"
}
