#!/usr/bin/env bash
# Installs the build into a staging prefix, builds the consumer program from outside the tree
# with find_package(libsat) and with pkg-config, and runs both against satemu; where the build
# has the extrato's library, a program of it built with find_package(libsatextrato) gives the
# build's extrato.
# usage: consumidor.sh BUILD_DIR SATEMU
set -euo pipefail
build=$(cd "$1" && pwd)
satemu=$2
aqui=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d /tmp/satconsumidor.XXXXXX)
trap 'rm -rf "$dir"' EXIT
prefixo=$dir/prefixo
cmake --install "$build" --prefix "$prefixo" >/dev/null
biblioteca=$(find "$prefixo" -name libsat.so.2)
[ -n "$biblioteca" ] || { echo "no libsat.so.2 under $prefixo" >&2; exit 1; }
[ -L "$(dirname "$biblioteca")/libsat.so" ] || { echo "no libsat.so link" >&2; exit 1; }
[ -f "$prefixo/include/sat.h" ] || { echo "no sat.h" >&2; exit 1; }

gera=
if [ -x "$build/extrato_gera" ]; then gera=$aqui/../../extrato/tests/gera.c; fi
cmake -S "$aqui/consumidor" -B "$dir/cmake" -DCMAKE_PREFIX_PATH="$prefixo" -DGERA="$gera" >/dev/null
cmake --build "$dir/cmake" >/dev/null
libdir=$(dirname "$biblioteca")
export PKG_CONFIG_PATH=$libdir/pkgconfig
# The .pc finds its prefix from its own folder: the staging prefix, with nothing redefined.
cc -o "$dir/consumidor-pc" "$aqui/consumidor/consumidor.c" $(pkg-config --cflags --libs libsat)
for programa in "$dir/cmake/consumidor" "$dir/consumidor-pc"; do
  saida=$(LD_LIBRARY_PATH=$libdir "$aqui/../com_satemu.sh" "$satemu" --pronto nativo "$programa")
  grep -q '^[0-9]*|08000|' <<<"$saida" || { echo "$programa got: $saida" >&2; exit 1; }
done
if [ -n "$gera" ]; then
  venda=$aqui/../../extrato/tests/dados/cfe-venda.xml
  LD_LIBRARY_PATH=$libdir "$dir/cmake/extrato" 1 80 "$venda" >"$dir/extrato"
  "$build/extrato_gera" 1 80 "$venda" | cmp - "$dir/extrato" >&2
fi
echo "the installed libsat found by CMake and pkg-config${gera:+, and libsatextrato by CMake}"
