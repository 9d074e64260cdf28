#!/usr/bin/env bash
# Runs a command as on a host whose kernel runs 64-bit user code only: in a
# mount namespace of its own, Wine's 32-bit loader is replaced by a file the
# kernel refuses with "Exec format error", exactly what such a host answers.
# The 64-bit loader starts 32-bit programs through that loader too, so no
# 32-bit code runs. Needs root (unshare); changes nothing outside the command.
# usage: without-x86.sh COMMAND [ARGS...]    e.g. without-x86.sh make test
set -eu
loader=${WINE32_LOADER:-/usr/lib/wine/wine}
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
[ -e "$loader" ] || { echo "without-x86: $loader does not exist" >&2; exit 2; }
refused=$(mktemp)
trap 'rm -f "$refused"' EXIT
# An ELF header for a machine this kernel does not run.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' > "$refused"
head -c 64 /dev/zero >> "$refused"
chmod 755 "$refused"
unshare -m -- sh -c 'mount --bind "$0" "$1" && shift && exec "$@"' "$refused" "$loader" "$@"
