#!/usr/bin/env bash
# Runs a suite of the DLL's life test against satemu with the files laid out as a POS lays them.
# usage: pastas.sh sem-zlib|separadas BUILD_DIR SATEMU PROGRAM.exe
#   sem-zlib   one folder, the current one too, with the program and sat.dll and no zlib.dll: the
#              sale is refused before anything is sent (suite SemZlib);
#   separadas  the program in one folder, sat.dll and zlib.dll in a second, loaded by full path,
#              a third as the current folder: the sale reaches the device (suite Venda).
set -euo pipefail
build=$(cd "$2" && pwd)
aqui=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$build/wineprefix
dir=$(mktemp -d /tmp/pastas.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/pos" "$dir/sat"
cp "$4" "$dir/pos/"
if [ "$1" = sem-zlib ]; then
  cp "$build/sat.dll" "$dir/pos/"
  atual=$dir/pos filtro='SemZlib.*'
else
  cp "$build/sat.dll" "$build/zlib.dll" "$dir/sat/"
  atual=$dir filtro='Venda.ASaleAndItsCancellation'
  # wine maps the root of the Linux file system to Z:.
  export SAT_E2E_BIBLIOTECA="Z:$(echo "$dir/sat/sat.dll" | tr / '\\')"
fi
if [ -e "$dir/pos/zlib.dll" ] || [ -e "$atual/zlib.dll" ]; then
  echo "zlib.dll must be neither beside the program nor in the current folder" >&2
  exit 1
fi
cd "$atual"
"$aqui/../com_satemu.sh" "$3" --pronto wine "$dir/pos/$(basename "$4")" \
  --gtest_filter="$filtro"
