#!/usr/bin/env bash
# Runs a suite of the DLL's life test against satemu with the files laid out as a POS lays them.
# usage: pastas.sh sem-zlib|separadas BUILD_DIR SATEMU PROGRAM.exe
#   sem-zlib   one folder, also the current one, with the program and sat.dll but no zlib.dll:
#              the sale must be refused before anything is sent (suite SemZlib);
#   separadas  the program in one folder, sat.dll and zlib.dll in a second, loaded by full path,
#              and a third as the current folder: the sale must reach the device (suite Venda).
set -euo pipefail
modo=$1
build=$(cd "$2" && pwd)
satemu=$3
programa=$4
aqui=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$build/wineprefix
dir=$(mktemp -d /tmp/pastas.XXXXXX)
trap 'rm -rf "$dir"' EXIT
nome=$(basename "$programa")
case $modo in
sem-zlib)
  cp "$build/sat.dll" "$programa" "$dir/"
  executavel=$dir/$nome
  atual=$dir
  filtro='SemZlib.*'
  ;;
separadas)
  mkdir "$dir/pos" "$dir/sat" "$dir/atual"
  cp "$programa" "$dir/pos/"
  cp "$build/sat.dll" "$build/zlib.dll" "$dir/sat/"
  executavel=$dir/pos/$nome
  atual=$dir/atual
  filtro='Venda.ASaleAndItsCancellation'
  # wine maps the root of the Linux file system to Z:.
  SAT_E2E_BIBLIOTECA="Z:$(echo "$dir/sat/sat.dll" | tr / '\\')"
  export SAT_E2E_BIBLIOTECA
  ;;
*)
  echo "pastas.sh: unknown layout $modo" >&2
  exit 64
  ;;
esac
for pasta in "$(dirname "$executavel")" "$atual"; do
  if [ -e "$pasta/zlib.dll" ]; then
    echo "zlib.dll must not be in $pasta" >&2
    exit 1
  fi
done
cd "$atual"
"$aqui/../com_satemu.sh" "$satemu" "--pronto" wine "$executavel" --gtest_filter="$filtro"
