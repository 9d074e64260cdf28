#!/usr/bin/env bash
# Runs a command inside a root made by clean-root.sh, with /proc, /sys and
# /dev bound in a mount namespace of its own, and unbound when the command
# ends. The root shares this machine's network, so services on the loopback
# (a test KDC, the WinRM double) are reachable.
# usage: in-root.sh ROOT COMMAND [ARG...]
set -eu
root=$(cd "$1" && pwd); shift
# A private namespace keeps the mounts from every other one. Inside a chroot
# whose / is no mount point of its own, unshare cannot make it private: the
# namespace then keeps the mounts' propagation, and the explicit unmounts
# below are what removes them.
propagation=private
unshare --mount --propagation private true 2>/dev/null || propagation=unchanged
exec unshare --mount --propagation "$propagation" /bin/sh -c '
  root=$1; shift
  for m in proc sys dev; do mount --rbind "/$m" "$root/$m"; done
  # The command runs as a child (its standard input kept) so that the
  # unmounts follow it; a signal to this shell goes on to the command.
  exec 3<&0
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@" <&3 3<&- &
  exec 3<&-
  child=$!
  trap "kill -TERM $child 2>/dev/null" TERM INT HUP
  status=0
  wait $child || status=$?
  while kill -0 $child 2>/dev/null; do status=0; wait $child || status=$?; done
  for m in dev sys proc; do umount -R "$root/$m" 2>/dev/null || umount -R -l "$root/$m" 2>/dev/null || true; done
  exit $status
' in-root "$root" "$@"
