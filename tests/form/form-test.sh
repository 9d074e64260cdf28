#!/usr/bin/env bash
# Runs a Windows test program of the configuration form under a private X
# server, in a Wine prefix of its own (WINEPREFIX) whose Wine session starts
# and ends with that X server: a session started without a display (as the
# shared prefix's can be) cannot create windows.
# The program asks for a screenshot by creating NAME.request in the folder
# FORM_SCREENSHOTS; this script answers with NAME.png, a picture of the whole
# X screen.
# usage: form-test.sh --shots FOLDER [--register DLL]... PROGRAM [ARGUMENTS...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
scripts=$here/../../scripts
: "${WINEPREFIX:?WINEPREFIX must name a prefix for the form tests alone}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
. "$scripts/wine-env.sh"

if [ -z "${FORM_TEST_DISPLAY:-}" ]; then
  wine_prefix
  # One run at a time in the prefix: each brings its own X server.
  exec 8>"$WINEPREFIX.run.lock"
  flock 8
  exec env FORM_TEST_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

shots="" dlls=()
while [ $# -gt 0 ]; do
  case $1 in
    --shots) shots=$2; shift 2 ;;
    --register) dlls+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
mkdir -p "$shots"
export FORM_SCREENSHOTS=$shots

# A session left from an earlier run ends with its X server; wait for it.
wineserver -w
# Without a window manager, Wine would wait for one on every window it maps
# or unmaps; unmanaged windows get their frame and close box from Wine.
grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" ||
  wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
# Wine's own dialog and caption-button fonts (package fonts-wine); this Wine
# reads them only from the prefix's Fonts folder. Without them the form is
# drawn in a wider substitute font.
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
  if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/$font" ]; then
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
done
[ ${#dlls[@]} -eq 0 ] || "$scripts/wine-register.sh" "${dlls[@]}"

(
  while :; do
    for request in "$shots"/*.request; do
      [ -e "$request" ] || continue
      png=${request%.request}.png
      xwd -root -silent | convert xwd:- "png:$png.part" && mv "$png.part" "$png"
      rm -f "$request"
    done
    sleep 0.2
  done
) &
watcher=$!
status=0
wine_run "$@" || status=$?
kill $watcher 2>/dev/null || true
# Let the session end while its X server is still there.
wineserver -w
exit $status
