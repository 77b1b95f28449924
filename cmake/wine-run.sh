#!/bin/sh
# Runs a Windows program under wine in the build tree's own wine prefix, for
# ctest and other build steps (the cross toolchain's emulator).
#   wine-run.sh PREFIX PROGRAM [ARGS...]
#   wine-run.sh PREFIX             only makes the prefix
# The prefix is made on first use, without the mono and gecko prompts; a
# lock keeps two parallel tests from making it twice.
set -eu
prefix="$1"
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver --wait || true
    fi
  ) 9>"$prefix.lock"
fi
if [ $# -eq 0 ]; then
  exit 0
fi
exec wine "$@"
