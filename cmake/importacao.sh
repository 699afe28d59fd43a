#!/usr/bin/env bash
# Rebuilds sat.dll's import library so that programs compiled with the header (which call
# Name@N, as __stdcall decorates) link against the DLL's undecorated exports (Name).
# usage: importacao.sh EXPORTED.def IMPORT-LIBRARY
# EXPORTED.def is what the linker wrote with --output-def: "Name = Name@N @ordinal" lines.
set -euo pipefail
exportado=$1
biblioteca=$2
decorado=${exportado%.def}-decorado.def
{
  echo "LIBRARY sat.dll"
  echo "EXPORTS"
  sed -n 's/^[[:space:]]*[A-Za-z0-9_]*[[:space:]]*=[[:space:]]*\([A-Za-z0-9_]*@[0-9]*\).*/    \1/p' \
    "$exportado"
} >"$decorado"
i686-w64-mingw32-dlltool --kill-at --input-def "$decorado" --dllname sat.dll \
  --output-lib "$biblioteca"
