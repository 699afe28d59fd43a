#!/usr/bin/env bash
# Runs a Windows test program under wine, in a wine prefix of the build's own.
# usage: wine.sh PROGRAM.exe [ARGS...]
# WINEPREFIX may be set by the caller; otherwise the prefix lives beside the program.
set -euo pipefail
programa=$1
shift
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$programa")" && pwd)/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # One prefix for all tests; mkdir is the lock when ctest runs several at once.
  if mkdir "$WINEPREFIX.lock" 2>/dev/null; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    rmdir "$WINEPREFIX.lock"
  else
    while [ -d "$WINEPREFIX.lock" ]; do sleep 1; done
  fi
fi
exec wine "$programa" "$@"
