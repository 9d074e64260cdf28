#!/usr/bin/env bash
# Starts a throwaway MIT KDC for the realm CORP.EXAMPLE on 127.0.0.1 at a
# free port, with everything in one folder: nothing in /etc is read or
# changed.
#
# Usage: start-kdc.sh FOLDER [NAME...]
#   FOLDER  created if missing; a KDC already in it is replaced.
#   NAME    a host name whose service principal HTTP/NAME@CORP.EXAMPLE goes
#           into FOLDER/http.keytab besides HTTP/localhost.
# Prints "PID PORT" once the KDC answers; the caller stops it (kill PID).
# The passwords come from the environment, defaults for tests only:
#   MONITOR_PASSWORD  (monitor@CORP.EXAMPLE, default M0nitor!)
#   NORIGHTS_PASSWORD (norights@CORP.EXAMPLE, default N0rights!)
#
# What FOLDER holds afterwards:
#   krb5.conf          for clients and acceptors: export KRB5_CONFIG=FOLDER/krb5.conf
#   kdc.conf           the KDC's profile (KRB5_KDC_PROFILE), for kadmin.local too
#   env                "export KRB5_CONFIG=... KRB5_KDC_PROFILE=..." to source
#   http.keytab        HTTP/localhost and HTTP/NAME... (KRB5_KTNAME for an acceptor)
#   svc-poller.keytab  svc-poller@CORP.EXAMPLE (kinit -k -t, or KRB5_CLIENT_KTNAME)
#   other.keytab       HTTP/otherhost, a service that is none of the targets:
#                      its tickets are for another principal than theirs
#   ntlm-users         gss-ntlmssp's user file (NTLM_USER_FILE) with the line
#                      CORP:monitor:PASSWORD; callers append their own accounts
#   kdc.log, kdc.pid   the KDC's log and process id
# Principals: monitor, norights (passwords above), expired (its account
# expired in 2020: the KDC refuses it; password EXPIRED_PASSWORD, default
# Exp1red!), svc-poller (random key), HTTP/localhost, HTTP/NAME... and
# HTTP/otherhost (random keys). AES keys only.
set -eu -o pipefail
[ $# -ge 1 ] || { echo "usage: start-kdc.sh FOLDER [NAME...]" >&2; exit 2; }
dir=$1; shift
realm=CORP.EXAMPLE
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
for tool in krb5kdc kdb5_util kadmin.local; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] ||
    { echo "start-kdc.sh: $tool is missing (Debian: krb5-kdc, krb5-admin-server)" >&2; exit 1; }
done
export PATH="$PATH:/usr/sbin"

# A KDC left running in this folder by an earlier run goes first.
if [ -s "$dir/kdc.pid" ]; then kill "$(cat "$dir/kdc.pid")" 2>/dev/null || true; fi
rm -f "$dir"/principal* "$dir"/stash "$dir"/*.keytab "$dir"/kdc.pid "$dir"/kdc.log "$dir"/ntlm-users

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_conf() { # PORT NAME...
  local port=$1; shift
  cat >"$dir/kdc.conf" <<EOF
[kdcdefaults]
  kdc_listen = 127.0.0.1:$port
  kdc_tcp_listen = 127.0.0.1:$port
[realms]
  $realm = {
    database_name = $dir/principal
    key_stash_file = $dir/stash
    acl_file = $dir/kadm5.acl
    max_life = 10h
    max_renewable_life = 1d
    master_key_type = aes256-cts-hmac-sha1-96
    supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
  }
[logging]
  kdc = FILE:$dir/kdc.log
  admin_server = FILE:$dir/kadmin.log
  default = FILE:$dir/kdc.log
EOF
  {
    cat <<EOF
[libdefaults]
  default_realm = $realm
  dns_lookup_kdc = false
  dns_lookup_realm = false
  dns_canonicalize_hostname = false
  rdns = false
  udp_preference_limit = 1
  default_ccache_name = FILE:$dir/ccache
  permitted_enctypes = aes256-cts-hmac-sha1-96 aes128-cts-hmac-sha1-96
[realms]
  $realm = {
    kdc = 127.0.0.1:$port
  }
[domain_realm]
  localhost = $realm
  .corp.example = $realm
  corp.example = $realm
EOF
    for name in "$@"; do printf '  %s = %s\n' "$name" "$realm"; done
  } >"$dir/krb5.conf.tmp"
}

port=$(free_port)
write_conf "$port" "$@"
mv "$dir/krb5.conf.tmp" "$dir/krb5.conf"
: >"$dir/kadm5.acl"
export KRB5_CONFIG="$dir/krb5.conf" KRB5_KDC_PROFILE="$dir/kdc.conf"
printf 'export KRB5_CONFIG=%s KRB5_KDC_PROFILE=%s\n' "$KRB5_CONFIG" "$KRB5_KDC_PROFILE" >"$dir/env"

# The master password only unlocks this throwaway database; it goes through
# standard input, never the argument list.
master=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
printf '%s\n%s\n' "$master" "$master" | kdb5_util -r "$realm" create -s >/dev/null 2>"$dir/kdb5_util.log" ||
  { echo "start-kdc.sh: kdb5_util create failed: $(cat "$dir/kdb5_util.log")" >&2; exit 1; }
master=

# kadmin.local reads its commands from standard input, so that the
# passwords stay out of every argument list; it echoes each command, so its
# log has the passwords masked.
{
  printf 'addprinc -pw %s monitor\n' "${MONITOR_PASSWORD:-M0nitor!}"
  printf 'addprinc -pw %s norights\n' "${NORIGHTS_PASSWORD:-N0rights!}"
  printf 'addprinc -pw %s -expire "2020-01-01 00:00:00 UTC" expired\n' "${EXPIRED_PASSWORD:-Exp1red!}"
  printf 'addprinc -randkey svc-poller\n'
  printf 'addprinc -randkey HTTP/otherhost\n'
  printf 'ktadd -k %s HTTP/otherhost\n' "$dir/other.keytab"
  printf 'ktadd -k %s svc-poller\n' "$dir/svc-poller.keytab"
  for name in localhost "$@"; do
    printf 'addprinc -randkey HTTP/%s\n' "$name"
    printf 'ktadd -k %s HTTP/%s\n' "$dir/http.keytab" "$name"
  done
} | kadmin.local -r "$realm" 2>&1 | sed 's/-pw [^ ]*/-pw (hidden)/' >"$dir/kadmin.log" ||
  { echo "start-kdc.sh: kadmin.local failed, see $dir/kadmin.log" >&2; exit 1; }
for keytab in http svc-poller other; do
  [ -s "$dir/$keytab.keytab" ] || { echo "start-kdc.sh: $keytab.keytab was not written, see $dir/kadmin.log" >&2; exit 1; }
done

# The same account for NTLM, through gss-ntlmssp's user file.
(umask 077 && printf 'CORP:monitor:%s\n' "${MONITOR_PASSWORD:-M0nitor!}" >"$dir/ntlm-users")

# The KDC in the foreground of a background job (-n), so that PID is the
# KDC's own; a port taken meanwhile by someone else means another try.
for attempt in 1 2 3 4 5; do
  krb5kdc -n -r "$realm" >>"$dir/kdc.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$pid" >"$dir/kdc.pid"
      echo "$pid $port"
      exit 0
    fi
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  port=$(free_port)
  write_conf "$port" "$@"
  mv "$dir/krb5.conf.tmp" "$dir/krb5.conf"
done
echo "start-kdc.sh: the KDC did not start: $(tail -5 "$dir/kdc.log")" >&2
exit 1
