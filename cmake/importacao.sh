#!/usr/bin/env bash
# Rebuilds a 32-bit DLL's import library (sat.dll's, satextrato.dll's) so that programs compiled
# with its header (which call Name@N, as __stdcall decorates) link against the DLL's undecorated
# exports (Name).
# usage: importacao.sh EXPORTED.def IMPORT-LIBRARY DLL-NAME
# EXPORTED.def is what the linker wrote with --output-def: "Name = Name@N @ordinal" lines.
set -euo pipefail
exportado=$1
biblioteca=$2
dll=$3
decorado=${exportado%.def}-decorado.def
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  sed -n 's/^[[:space:]]*[A-Za-z0-9_]*[[:space:]]*=[[:space:]]*\([A-Za-z0-9_]*@[0-9]*\).*/    \1/p' \
    "$exportado"
} >"$decorado"
i686-w64-mingw32-dlltool --kill-at --input-def "$decorado" --dllname "$dll" \
  --output-lib "$biblioteca"
