# Shared by the .deb tests (sourced): the tally of checks.
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
version=$(head -n 1 "$scripts/../VERSION")
deb_name=wmicheck_${version}_$(dpkg --print-architecture).deb
passed=0 failures=0
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  if "${@:2}"; then echo "ok   $1"; passed=$((passed + 1))
  else echo "FAIL $1"; failures=$((failures + 1)); fi
}
finish() {
  echo "$passed passed, $failures failed"
  [ "$failures" -eq 0 ]
}
