#!/usr/bin/env bash
# The library's Debian packages of every architecture built here (amd64 from the native build,
# arm64, armhf and i386 from the cross builds), as a multiarch machine gets them: each foreign
# package's fields, files and lintian; all of them installed together into one dpkg database;
# and, for each architecture, a program built from that installation alone with pkg-config, which
# asks satemu (under qemu-user for a foreign one). The CMake package is the native build's test
# (consumidor_instalado): the same files in every architecture's folder.
# usage: multiarch.sh BUILD_DIR SATEMU   (BUILD_DIR absolute, holding native/ and linux-<arch>/)
set -euo pipefail
build=$1
satemu=$2
aqui=$(cd "$(dirname "$0")" && pwd)
raiz=$(cd "$aqui/../.." && pwd)
versao=$(sed -n 's/^project(libsat VERSION \([0-9.]*\).*/\1/p' "$raiz/CMakeLists.txt")
revisao=$(sed -n 's/^set(SAT_DEB_REVISAO \([0-9]*\))/\1/p' "$raiz/CMakeLists.txt")
dir=$(mktemp -d /tmp/satmultiarch.XXXXXX)
trap 'rm -rf "$dir"' EXIT
falhas=0
falha() {
  echo "FAILED: $*" >&2
  falhas=$((falhas + 1))
}

# arch:multiarch folder:toolchain triplet:qemu, for the builds there are.
nativa=$(dpkg --print-architecture)
arquiteturas=("$nativa:$(dpkg-architecture -qDEB_HOST_MULTIARCH)::")
for linha in arm64:aarch64-linux-gnu:aarch64-linux-gnu:qemu-aarch64 \
  armhf:arm-linux-gnueabihf:arm-linux-gnueabihf:qemu-arm i386:i386-linux-gnu:i686-linux-gnu:qemu-i386; do
  if [ -f "$build/linux-${linha%%:*}/CPackConfig.cmake" ]; then
    arquiteturas+=("$linha")
  else
    echo "${linha%%:*}: not built here (cmake/arquiteturas.sh said why)"
  fi
done
[ "${#arquiteturas[@]}" -gt 1 ] || falha "no cross build under $build"

# The packages, made by CPack from each build: the library's two only.
debs=()
for linha in "${arquiteturas[@]}"; do
  IFS=: read -r arq multiarch _ _ <<<"$linha"
  arvore=$build/linux-$arq
  [ "$arq" = "$nativa" ] && arvore=$build/native
  cpack --config "$arvore/CPackConfig.cmake" -B "$dir/cpack-$arq" \
    -D "CPACK_COMPONENTS_ALL=biblioteca;deb_biblioteca;desenvolvimento;deb_desenvolvimento" \
    >"$dir/cpack.log" 2>&1 || { cat "$dir/cpack.log" >&2; exit 1; }
  for pacote in libsat2 libsat-dev; do
    deb=$dir/cpack-$arq/${pacote}_$versao-${revisao}_$arq.deb
    [ -f "$deb" ] || { echo "no $deb" >&2; exit 1; }
    debs+=("$deb")
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arq" ] || falha "$deb: Architecture"
    [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] || falha "$deb: not Multi-Arch: same"
    [ "$arq" = "$nativa" ] && continue
    # The native packages' files and lintian are the native build's test (deb.sh).
    "$aqui/arquivos-deb.sh" "$deb" $pacote "lib/$multiarch" "$versao" >/dev/null ||
      falha "$deb: files (< expected, > in the package)"
  done
  # The cross build's Depends come from its symbol versions: the same as dpkg-shlibdeps gives
  # the native library, which proves the derivation there.
  depende=$(dpkg-deb -f "$dir/cpack-$arq/libsat2_$versao-${revisao}_$arq.deb" Depends |
    tr ',' '\n' | sed 's/^ *//' | sort | paste -sd,)
  if [ "$arq" = "$nativa" ]; then
    derivado=$( ("$raiz/packaging/dependencias-deb.sh" "$build/native/libsat.so" | tr ',' '\n' |
      sed 's/^ *//'; echo zlib1g) | sort | paste -sd,)
    [ "$depende" = "$derivado" ] ||
      falha "dependencias-deb.sh gives '$derivado', dpkg-shlibdeps '$depende'"
  else
    grep -qE '(^|,)libc6 \(>= 2\.[0-9]+\)(,|$)' <<<"$depende" || falha "$arq: Depends: $depende"
    grep -qE '(^|,)zlib1g(,|$)' <<<"$depende" || falha "$arq: Depends lacks zlib1g: $depende"
  fi
done
lintian --fail-on error,warning "${debs[@]:2}" >"$dir/lintian" 2>&1 ||
  falha "lintian: $(grep -E '^[EW]: ' "$dir/lintian" || cat "$dir/lintian")"

# One dpkg database for all of them: every architecture's library and development files side by
# side (dpkg refuses a file that two packages hold unless both are Multi-Arch: same and the
# bytes are the same). Their dependencies are outside this database.
instalacao=$dir/raiz
"$aqui/dpkg-raiz.sh" "$instalacao"
for linha in "${arquiteturas[@]:1}"; do
  dpkg --root="$instalacao" --add-architecture "${linha%%:*}"
done
dpkg --root="$instalacao" --force-not-root --force-script-chrootless --force-depends \
  -i "${debs[@]}" >"$dir/dpkg" 2>&1 || falha "dpkg -i: $(cat "$dir/dpkg")"
instalados=$(dpkg-query --admindir="$instalacao/var/lib/dpkg" -W -f='${db:Status-Abbrev}${Package}:${Architecture}\n' |
  grep -c '^ii ' || true)
[ "$instalados" = "${#debs[@]}" ] || falha "$instalados of ${#debs[@]} packages installed"

# Each architecture's program, from the installation alone: the .pc finds its prefix from its own
# folder.
for linha in "${arquiteturas[@]}"; do
  IFS=: read -r arq multiarch tripla qemu <<<"$linha"
  libdir=$instalacao/usr/lib/$multiarch
  if [ "$arq" = "$nativa" ]; then
    cc=cc
    roda=(env "LD_LIBRARY_PATH=$libdir")
  else
    cc=$tripla-gcc
    roda=("$qemu" -L "/usr/$tripla" -E "LD_LIBRARY_PATH=$libdir:/usr/$tripla/lib")
  fi
  opcoes=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH= pkg-config --cflags --libs libsat) ||
    { falha "$arq: pkg-config finds no libsat"; continue; }
  $cc -Wall -Werror -o "$dir/consumidor-$arq" "$aqui/consumidor/consumidor.c" $opcoes ||
    { falha "$arq: consumidor.c does not build with pkg-config"; continue; }
  saida=$("$raiz/tests/com_satemu.sh" "$satemu" --pronto nativo "${roda[@]}" \
    "$dir/consumidor-$arq") || falha "$arq: the program ended with status $?: $saida"
  grep -q '|08000|' <<<"$saida" || falha "$arq: the program got: $saida"
done

[ "$falhas" -eq 0 ] || exit 1
echo "libsat2 and libsat-dev for ${arquiteturas[*]%%:*}: installed together; a program of each works"
