#!/usr/bin/env bash
# Installs the build into a staging prefix, builds the consumer program from outside the tree
# with find_package(libsat) and with pkg-config, and runs both against satemu.
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

cmake -S "$aqui/consumidor" -B "$dir/cmake" -DCMAKE_PREFIX_PATH="$prefixo" >/dev/null
cmake --build "$dir/cmake" >/dev/null
libdir=$(dirname "$biblioteca")
export PKG_CONFIG_PATH=$libdir/pkgconfig
# The .pc finds its prefix from its own folder: the staging prefix, with nothing redefined.
cc -o "$dir/consumidor-pc" "$aqui/consumidor/consumidor.c" $(pkg-config --cflags --libs libsat)
for programa in "$dir/cmake/consumidor" "$dir/consumidor-pc"; do
  LD_LIBRARY_PATH=$libdir "$aqui/../com_satemu.sh" "$satemu" --pronto nativo "$programa"
done
