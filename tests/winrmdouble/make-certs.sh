#!/bin/sh
# Makes a test CA and a server certificate for localhost, 127.0.0.1 and the
# other computer names given, signed by it, in the folder given: ca.pem,
# server.pem and server.key (the CA's key is not kept). Keys are made fresh
# each time; nothing is installed.
set -eu
dir=${1:?usage: make-certs.sh FOLDER [NAME...]}
shift
names=DNS:localhost,IP:127.0.0.1
for name in "$@"; do names="$names,DNS:$name"; done
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=winrm-double test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$names" > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
rm -f ca.key ca.srl server.csr server.ext
chmod 600 server.key
