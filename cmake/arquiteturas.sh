#!/usr/bin/env bash
# Builds or packages the library for Linux on arm64, armhf and i386, with Debian's cross
# toolchains and qemu-user. An architecture whose zlib runtime (zlib1g:<arch>) is not installed is left
# out, and said so: cmake/install-deps.sh installs it where the archive lets it.
# usage: arquiteturas.sh construir|empacotar BUILD_DIR JOBS   (BUILD_DIR absolute, holding native/)
set -euo pipefail
acao=$1
build=$2
jobs=$3
raiz=$(cd "$(dirname "$0")/.." && pwd)
for arquitetura in arm64:aarch64-linux-gnu armhf:arm-linux-gnueabihf i386:i386-linux-gnu; do
  nome=${arquitetura%%:*}
  multiarch=${arquitetura#*:}
  if [ ! -e "/usr/lib/$multiarch/libz.so.1" ]; then
    echo "$nome: zlib1g:$nome is not installed: the library for $nome is left out"
    continue
  fi
  case $acao in
  construir)
    # Configured once (and again when this script changes): cmake --build configures the folder
    # again whenever a CMakeLists.txt changes.
    if [ ! "$build/linux-$nome/Makefile" -nt "$0" ]; then
      cmake -S "$raiz" -B "$build/linux-$nome" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSAT_SATEMU="$build/native/satemu" -DSAT_EXTRATO=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$raiz/cmake/linux-$nome.cmake" >/dev/null
      touch "$build/linux-$nome/Makefile"
    fi
    cmake --build "$build/linux-$nome" -j"$jobs"
    ;;
  empacotar)
    (cd "$build/linux-$nome" && cpack)
    ;;
  *)
    echo "usage: arquiteturas.sh construir|empacotar BUILD_DIR JOBS" >&2
    exit 64
    ;;
  esac
done
