#!/usr/bin/env bash
# Runs one Windows test program under wine64 (the mingw64 toolchain's test emulator).
#
# A wine that dies while starting leaves a program that exits without printing a single line;
# a GoogleTest program always prints its banner. Such a silent failure is retried once and
# reported loudly (to stderr and to $DORVANE_WINE_RERUN_LOG when set). A failure with output is
# a real failure and is passed on untouched.
set -u
wine64=${DORVANE_WINE64:-/usr/lib/wine/wine64}
log=$(mktemp) || exit 125
trap 'rm -f "$log"' EXIT

run() {
  "$wine64" "$@" >"$log" 2>&1
  status=$?
  cat "$log"
}

run "$@"
if [[ $status -ne 0 && ! -s $log ]]; then
  msg="!!! WINE RERUN: $(basename "$1") exited with $status without printing anything; running it once more"
  echo "$msg" >&2
  [[ -n ${DORVANE_WINE_RERUN_LOG:-} ]] && echo "$msg" >>"$DORVANE_WINE_RERUN_LOG"
  run "$@"
fi
exit "$status"
