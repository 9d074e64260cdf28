#!/usr/bin/env bash
# The .deb as an administrator meets it, in the clean Debian 12 root
# (tests/root): apt installs it with the dependencies it declares, the
# installed wmicheck checks the WinRM double on this machine's loopback with
# Basic over HTTPS, Kerberos from a keytab and NTLM, and a purge leaves
# nothing of the package and the root's package list as it was. What the
# test puts in the root is in ROOT/tmp/deb-test, removed at the end.
# usage: round-trip.sh BUILD
set -u
build=$(cd "$1" && pwd)
. "$(dirname "$0")/lib.sh"
tests=$(cd "$(dirname "$0")/.." && pwd)
root=$build/clean-root
work=$build/deb-round-trip
inside=/tmp/deb-test
rm -rf "$work"; mkdir -p "$work"
bash "$tests/root/clean-root.sh" "$root" || { echo "FAIL the clean root could not be made"; exit 1; }
in_root() { "$tests/root/in-root.sh" "$root" "$@"; }
apt_in_root() { in_root env DEBIAN_FRONTEND=noninteractive apt-get -qq -o=Dpkg::Use-Pty=0 "$@"; }
double= kdc=
cleanup() { kill $double $kdc 2>/dev/null; rm -rf "$root$inside"; }
trap cleanup EXIT

read -r kdc _ <<<"$(bash "$tests/kdc/start-kdc.sh" "$work/kdc")"
[ -n "$kdc" ] || { echo "FAIL the test KDC did not start"; exit 1; }
export DOUBLE_PASSWORD='M0nitor!'
started=$("$tests/winrmdouble/start-double.sh" "$build/bin/winrm-double" "$work" -- \
  --keytab "$work/kdc/http.keytab" --ntlm-users "$work/kdc/ntlm-users") || { echo "FAIL the WinRM double did not start"; exit 1; }
read -r double https http <<<"$started"

rm -rf "$root$inside"; mkdir -p "$root$inside"
cp "$build/debs/$deb_name" "$work/ca.pem" "$work/kdc/svc-poller.keytab" "$work/kdc/krb5.conf" "$root$inside/"
(umask 077 && echo "$DOUBLE_PASSWORD" >"$root$inside/password")
packages() { in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | LC_ALL=C sort; }
before=$(packages)

# The root's package lists may be older than the mirror: read them again
# when an install fails.
install() { apt_in_root install -y "$inside/$deb_name" >"$work/install.log" 2>&1; }
check "apt installs $deb_name and what it depends on" eval \
  'install || { apt_in_root update >>"$work/install.log" 2>&1 && install; } || { tail -n 5 "$work/install.log"; false; }'
check "dpkg --verify finds the installed files as the package lists them" in_root dpkg --verify wmicheck
check "gss-ntlmssp's mechanism is configured" eval 'grep -rqs gssntlmssp "$root/etc/gss/mech.d/"'

# name | expected exit code | expected line (start) | arguments of wmicheck after -H localhost
plugin=/usr/lib/nagios/plugins/wmicheck
while IFS='|' read -r name code line args; do
  eval "set -- $args"
  out=$(in_root env KRB5_CONFIG=$inside/krb5.conf "$plugin" -H localhost "$@" 2>&1); got=$?
  check "$name: exit $code, \"$line...\"${out:+ (got $got: $out)}" eval '[ "$got" = "$code" ] && [[ $out == "$line"* ]] && [ "$(wc -l <<<"$out")" = 1 ]'
done <<EOF2
basic over https|0|WMI OK - 1 Win32_OperatingSystem instance satisfies Caption CON Windows: |--port $https --https --ca-file $inside/ca.pem --auth basic --user monitor --password-file $inside/password --class Win32_OperatingSystem --property Caption --op CON --value Windows
kerberos from a keytab|0|WMI OK - 1 Win32_Service instance satisfies State EXA Running: EventLog|--port $http --user svc-poller@CORP.EXAMPLE --keytab $inside/svc-poller.keytab --class Win32_Service --filter "Name='EventLog'" --property State --op EXA --value Running
ntlm, a critical verdict|2|WMI CRITICAL - all 2 Win32_LogicalDisk instances critical: |--port $http --auth ntlm --user 'CORP\\monitor' --password-file $inside/password --class Win32_LogicalDisk --filter DriveType=3 --property FreeSpace --percent-of Size -w 20: -c 99:
EOF2

# Purge the package, then what apt installed for it.
added=$(comm -13 <(echo "$before") <(packages) | awk '$2 != "wmicheck" { print $2 }')
check "apt purges wmicheck" eval 'apt_in_root purge -y wmicheck >>"$work/install.log" 2>&1'
check "apt purges what it installed for it" eval \
  '[ -z "$added" ] || apt_in_root purge -y $added >>"$work/install.log" 2>&1'
apt_in_root clean
check "dpkg knows no wmicheck" eval '! in_root dpkg-query -W wmicheck >/dev/null 2>&1'
left=$(cd "$root" && ls -d usr/lib/nagios/plugins/wmicheck usr/share/wmicheck usr/share/doc/wmicheck 2>/dev/null)
check "none of its files is left${left:+: $left}" test -z "$left"
changed=$(diff <(echo "$before") <(packages))
check "the root's packages are as before${changed:+:
$changed}" test -z "$changed"
finish
