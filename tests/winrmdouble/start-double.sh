#!/usr/bin/env bash
# Starts the WinRM test double in the background for scripts: certificates
# for localhost and the names given (make-certs.sh), the local account
# monitor with the password in $DOUBLE_PASSWORD, and the double over the data
# files. Usage: start-double.sh DOUBLE_PROGRAM FOLDER [NAME...] [-- OPTION...]
# (the options go to the double); prints "PID HTTPS_PORT HTTP_PORT" once it
# listens. The caller stops it (kill PID).
set -eu
program=$1 dir=$2; shift 2
names=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do names+=("$1"); shift; done
[ $# -gt 0 ] && shift
here=$(cd "$(dirname "$0")" && pwd)
sh "$here/make-certs.sh" "$dir" ${names[@]+"${names[@]}"} >/dev/null
printf 'monitor:%s\n' "${DOUBLE_PASSWORD:?}" >"$dir/accounts"
chmod 600 "$dir/accounts"
rm -f "$dir/ready"
"$program" --cert "$dir/server.pem" --key "$dir/server.key" --accounts "$dir/accounts" \
  --data "$here/../wmidouble/data" --ready-file "$dir/ready" "$@" >"$dir/double.log" 2>&1 &
pid=$!
for _ in $(seq 200); do [ -s "$dir/ready" ] && break; sleep 0.05; done
port=$(sed -n 's/.*https=\([0-9]*\).*/\1/p' "$dir/ready" 2>/dev/null)
http=$(sed -n 's/.*http=\([0-9]*\).*/\1/p' "$dir/ready" 2>/dev/null)
[ -n "$port" ] || { kill $pid 2>/dev/null; echo "the WinRM double did not start: $(cat "$dir/double.log")" >&2; exit 1; }
echo "$pid $port $http"
