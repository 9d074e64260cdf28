# Sourced by every script that starts Wine. It alone knows which loader fits
# a prefix and whether this host runs 32-bit programs at all.
#
# Debian's `wine`, `wineboot` and `winepath` commands start Wine's 32-bit
# loader, even for a 64-bit prefix; on a kernel that runs 64-bit user code
# only, that loader fails with "Exec format error". So nothing here goes
# through them: 64-bit prefixes get the 64-bit loader for every program
# (Wine's own ones too: wineboot, winepath, regsvr32, reg, msiexec, cscript,
# cmd), 32-bit prefixes the 32-bit loader, and only where it runs.
#
# QVWMI_NO_X86=1 makes a host that runs 32-bit programs behave exactly as one
# that does not, so that both paths can be exercised anywhere.

WINE32_LOADER=${WINE32_LOADER:-/usr/lib/wine/wine}
WINE64_LOADER=${WINE64_LOADER:-/usr/lib/wine/wine64}
# Exit code of a command that cannot run here (CTest's tests take it as
# skipped).
WINE_SKIP=77

# host_runs_x86: succeeds when this host runs 32-bit programs; otherwise sets
# X86_WHY to the reason.
host_runs_x86() {
  X86_WHY=
  if [ "${QVWMI_NO_X86:-}" = 1 ]; then
    X86_WHY="QVWMI_NO_X86=1 makes this host behave as one that runs no 32-bit programs"
    return 1
  fi
  local out
  out=$("$WINE32_LOADER" --version 2>&1) && return 0
  out=$(printf '%s\n' "$out" | tail -n 1)
  X86_WHY="this host runs no 32-bit programs: $WINE32_LOADER --version fails (${out##*: })"
  return 1
}

# prefix_arch: win32 or win64, the architecture of WINEPREFIX: what it was
# made with, or WINEARCH (default win32) for a prefix still to be made.
prefix_arch() {
  if [ -f "$WINEPREFIX/system.reg" ]; then
    grep -qx '#arch=win64' "$WINEPREFIX/system.reg" && echo win64 || echo win32
  else
    echo "${WINEARCH:-win32}"
  fi
}

# wine_loader: prints the loader for WINEPREFIX. A 32-bit prefix on a host
# that runs no 32-bit programs ends the script with WINE_SKIP and the reason.
# In a 64-bit prefix the 64-bit loader runs Wine's own programs named without
# a path as 64-bit programs, as a 64-bit prompt on Windows does; 32-bit
# programs there still run as 32-bit ones, through the 32-bit loader.
wine_loader() {
  if [ "$(prefix_arch)" = win64 ]; then
    echo "$WINE64_LOADER"
  elif host_runs_x86; then
    echo "$WINE32_LOADER"
  else
    echo "wine: the 32-bit prefix $WINEPREFIX cannot be used: $X86_WHY" >&2
    exit $WINE_SKIP
  fi
}

# is_x86_program FILE: succeeds when FILE is a file on disk holding a 32-bit
# (i386) Windows program.
is_x86_program() {
  [ -f "$1" ] || return 1
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [ -n "$pe" ] && [ "$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')" = 014c ]
}

# build_wine_arch BUILD: win32 or win64, the prefix architecture a build tree's
# programs need.
build_wine_arch() {
  if is_x86_program "$1/bin/qvWMI.dll"; then echo win32; else echo win64; fi
}

# wine_prefix: makes WINEPREFIX if it does not exist yet (32-bit unless
# WINEARCH says win64). Mono and Gecko are switched off: there is no network
# to fetch them from. A 64-bit prefix's 32-bit half (syswow64) is set up only
# where 32-bit programs run.
wine_prefix() {
  : "${WINEPREFIX:?WINEPREFIX must be set}"
  export WINEDEBUG=${WINEDEBUG:--all}
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  local loader
  loader=$(wine_loader) || exit $?
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      WINEARCH=${WINEARCH:-win32} WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  )
}

# wine_run PROGRAM [ARGS...]: runs a program in WINEPREFIX (made first if
# needed) with the loader that fits it.
wine_run() {
  wine_prefix
  local loader
  loader=$(wine_loader) || exit $?
  require_program_runs "$1"
  "$loader" "$@"
}

# require_program_runs FILE: a 32-bit program in a 64-bit prefix on a host
# that runs no 32-bit programs ends the script with WINE_SKIP and the reason.
# (Wine's 64-bit loader would try its experimental WoW64 mode there, crash
# before the program starts and exit 0.)
require_program_runs() {
  if is_x86_program "$1" && ! host_runs_x86; then
    echo "wine: $1 is a 32-bit program and cannot run here: $X86_WHY" >&2
    exit $WINE_SKIP
  fi
}

# wine_path FILE: the Windows name of an absolute Unix path, through drive
# Z:, which every prefix maps to the root of the Unix tree. Asking the
# prefix's winepath instead costs a Wine start and can fail while a new
# prefix's session is still starting.
wine_path() {
  local path=$1
  [ "${path#/}" != "$path" ] || path=$PWD/$path
  printf 'Z:%s\n' "${path//\//\\}"
}

# wine_export_classes FILE: exports HKLM\Software\Classes (both views) to
# FILE. A new prefix's first export can be lost: it is tried again when it
# wrote nothing.
wine_export_classes() {
  local attempt
  rm -f "$1"
  for attempt in 1 2 3; do
    wine_run reg export 'HKLM\Software\Classes' "$(wine_path "$1")" /y >/dev/null 2>&1
    [ -s "$1" ] && return 0
    sleep 1
  done
  echo "reg export wrote nothing to $1" >&2
  return 1
}
