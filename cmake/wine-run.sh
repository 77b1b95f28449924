#!/bin/sh
# Runs a Windows program under wine in the build tree's own wine prefix, for
# ctest and other build steps (the cross toolchain's emulator).
#   wine-run.sh ARCH PREFIX PROGRAM [ARGS...]
#   wine-run.sh ARCH PREFIX             only makes the prefix
# ARCH is the prefix's Windows: win64, or win32 for a 32-bit Windows (whose
# system folder, system32, holds 32-bit DLLs). The prefix is made on first
# use, without the mono and gecko prompts; a lock keeps two parallel tests
# from making it twice. The loader is scripts/wine-loader's: where this
# machine can't run the prefix's Windows or the program (32-bit), nothing is
# made or run and the status is 77, a skipped test.
set -eu
export WINEARCH="$1"
prefix="$2"
shift 2
loader="$(dirname "$0")/../scripts/wine-loader"
"$loader" --check "$@" || exit
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$loader" wineboot --init >/dev/null 2>&1 || true
      wineserver --wait || true
    fi
  ) 9>"$prefix.lock"
fi
if [ $# -eq 0 ]; then
  exit 0
fi
exec "$loader" "$@"
