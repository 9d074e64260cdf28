#!/usr/bin/env bash
# Installs the cross toolchains (x86 and x64), Wine (32- and 64-bit), the
# native toolchain and libraries of the Linux wmicheck (libcurl, pugixml,
# nlohmann-json, MIT Kerberos's GSS-API with gss-ntlmssp), what its tests
# stand up on the loopback (cpp-httplib and OpenSSL for the WinRM double, an
# MIT KDC, python3-winrm with its NTLM and Kerberos transports as the
# independent client, libnss-wrapper for computer names), the test tools,
# the packaging tools and the monitoring engines that check the shipped
# definitions (nagios4-core, icinga2-bin) from Debian's packages.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(mingw-w64 mingw-w64-tools libwine-dev cmake make googletest fonts-wine
          wine wine32:i386 wine64 xvfb x11-apps imagemagick xauth
          wixl msitools faketime zip unzip git python3 python3-pefile
          nagios4-core icinga2-bin nagios-nrpe-server nagios-nrpe-plugin
          g++ pkg-config libgtest-dev libcurl4-openssl-dev libpugixml-dev nlohmann-json3-dev
          krb5-kdc krb5-user krb5-admin-server libkrb5-dev gss-ntlmssp gss-ntlmssp-dev
          python3-requests-ntlm python3-requests-kerberos python3-gssapi
          libcpp-httplib-dev libssl-dev openssl python3-winrm libnss-wrapper
          debootstrap dpkg-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
# Only Wine's 32-bit half missing, and an earlier run today found the mirror
# unable to provide it (below): do not wait on the mirror again.
stamp=/var/tmp/qvwmi-setup-without-wine32
if [ "${missing[*]}" = wine32:i386 ] && [ -n "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
  echo "setup: wine32:i386 is not installed (the mirror's i386 index did not match, $(cat "$stamp")): the x86 suite is skipped" >&2
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync (or a proxy with a stale copy) can answer
# one index file with the wrong size. apt then keeps the other indexes, which
# are often all the install needs: try the install anyway, and only when it
# fails too try again after a pause.
# A proxy can also keep serving a stale index for a while after the mirror
# moved on: five tries over about six minutes.
for try in 1 2 3 4 5; do
  $SUDO apt-get update -qq || echo "setup: an index of the package mirror failed to download (try $try of 5)"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && exit 0
  [ $try -lt 5 ] && { echo "setup: the install failed (try $try of 5); trying again in 90 s"; sleep 90; }
done
# Wine's 32-bit half needs the i386 index of every suite to match the amd64
# one (its libraries must have the same versions in both architectures); a
# mirror that serves a stale i386 index makes it uninstallable while
# everything else installs. Then this machine is one that runs no 32-bit
# programs: the x86 build is built and checked, its tests are skipped and
# say why (scripts/wine-host.sh).
rest=()
for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
if [ ${#rest[@]} -lt ${#missing[@]} ] &&
   { [ ${#rest[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null; }; then
  echo "setup: wine32:i386 could not be installed from this mirror (its i386 index does not match); everything" \
       "else is installed, and the x86 suite will be skipped as on a host without 32-bit programs" >&2
  date -u '+%Y-%m-%d %H:%M UTC' >"$stamp" 2>/dev/null || true
  exit 0
fi
echo "setup: could not install ${missing[*]}" >&2
exit 1
