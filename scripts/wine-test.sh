#!/usr/bin/env bash
# Starts a test's command, or skips the test when it needs 32-bit programs and
# this host runs none: every test of the x86 build (WINEARCH=win32) and the
# x64 build's tests that need the x86 build beside it (QVWMI_NEEDS_X86=1).
# A skip exits 77, which CTest reports as skipped (SKIP_RETURN_CODE).
# usage: wine-test.sh COMMAND [ARGS...]
set -u
. "$(dirname "$0")/wine-env.sh"
if { [ "${WINEARCH:-}" = win32 ] || [ "${QVWMI_NEEDS_X86:-}" = 1 ]; } && ! host_runs_x86; then
  echo "skipped: the test needs 32-bit programs, and $X86_WHY"
  exit $WINE_SKIP
fi
exec "$@"
