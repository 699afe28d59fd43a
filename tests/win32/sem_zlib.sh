#!/usr/bin/env bash
# Runs the DLL's SemZlib suite from a folder that holds sat.dll but no zlib.dll (and is the
# current folder too), against satemu: the sale must be refused before anything is sent.
# usage: sem_zlib.sh BUILD_DIR SATEMU PROGRAM.exe
set -euo pipefail
build=$(cd "$1" && pwd)
satemu=$2
programa=$3
aqui=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$build/wineprefix
dir=$(mktemp -d /tmp/semzlib.XXXXXX)
trap 'rm -rf "$dir"' EXIT
cp "$build/sat.dll" "$programa" "$dir/"
if [ -e "$dir/zlib.dll" ]; then
  echo "zlib.dll must not be in $dir" >&2
  exit 1
fi
cd "$dir"
"$aqui/../com_satemu.sh" "$satemu" "--pronto" wine "$dir/$(basename "$programa")" \
  --gtest_filter='SemZlib.*'
