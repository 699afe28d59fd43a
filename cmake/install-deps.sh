#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and nothing
# that is already there. Runs as root (as `make test` does on CI) or through sudo.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# usage: install-deps.sh [demo]   (demo: only what make demo builds and runs)
# What the library, satemu, satcli and satd are built from, and what the demo runs (curl);
# satcli reads satd's archive through libcurl and prints to CUPS queues through libcups;
# libsatextrato draws with cairo and zint.
demo=(g++ cmake make pkg-config zlib1g-dev libxml2-dev libcpp-httplib-dev nlohmann-json3-dev
  libtomlplusplus-dev libssl-dev libboost-dev libsqlite3-dev libarchive-dev libcurl4-openssl-dev
  libpq-dev curl libcairo2-dev libzint-dev fonts-dejavu-core libcups2-dev)
# The tests and the packages besides, and the tools' man pages: help2man, and locales for the
# pt_BR.UTF-8 locale its Portuguese headings need (localedef); a PostgreSQL for the test of satd's
# central database (pgrep finds its processes); a CUPS of satcli's test's own (cupsd, lpadmin and
# the socket backend) for its print to a queue.
native=("${demo[@]}" libgtest-dev googletest valgrind clang-format clang libclang-rt-14-dev openssl
  python3 dpkg-dev file lintian groff-base chromium prometheus help2man locales postgresql procps
  libqrencode-dev zbar-tools poppler-utils cups)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev libz-mingw-w64 wine wine64)
# The library for Linux on arm64, armhf and i386, its tests under qemu-user.
cruzados=(crossbuild-essential-arm64 crossbuild-essential-armhf crossbuild-essential-i386 qemu-user)
# What comes from the other architectures' halves of the archive, installed on its own (see the
# end): the 32-bit wine, for the x86 DLL's tests, and each architecture's zlib runtime.
wine32=(wine32 zlib1g:arm64 zlib1g:armhf zlib1g:i386)

conjunto=("${native[@]}" "${windows[@]}" "${cruzados[@]}")
if [ "${1:-}" = demo ]; then
  conjunto=("${demo[@]}")
  wine32=()
fi
missing=()
for p in "${conjunto[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

falta32=()
for p in "${wine32[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || falta32+=("$p")
done
for arquitetura in i386 arm64 armhf; do
  if [ "${#falta32[@]}" -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx $arquitetura; then
    $SUDO dpkg --add-architecture $arquitetura
  fi
done

if [ "${#missing[@]}" -eq 0 ] && [ "${#falta32[@]}" -eq 0 ]; then
  exit 0
fi

# What is missing is only of the other architectures and the archive's indexes as they are here
# cannot give it (a mirror out of step, as below): not tried again on every make, which would
# update the indexes each time. An apt-get update by hand, then make, tries again.
if [ "${#missing[@]}" -eq 0 ] && compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null; then
  possivel=0
  for p in "${falta32[@]}"; do
    if apt-get install -s -q --no-install-recommends "$p" >/dev/null 2>&1; then
      possivel=1
    fi
  done
  if [ "$possivel" -eq 0 ]; then
    echo "install-deps: ${falta32[*]} cannot be installed from the indexes as they are; the tests" \
      "that need them are left out (apt-get update, then make, tries again)" >&2
    exit 0
  fi
fi

echo "installing: ${missing[*]} ${falta32[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync fails one index now and then: try again, and go on with the
# indexes that did come (the install below fails clearly if a package cannot be found).
for tentativa in 1 2; do
  if $SUDO apt-get update -q; then
    break
  fi
  echo "apt-get update failed (try $tentativa of 2)" >&2
  sleep 3
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# These need the other architectures' halves of the archive, whose indexes a mirror may not have
# in step with the amd64 ones: each is installed on its own, and one that cannot be only leaves
# its tests out, which make test says (the x86 DLL's wine tests, as on a kernel that runs no
# 32-bit program; the library for an architecture without its zlib).
for p in "${falta32[@]}"; do
  if ! $SUDO apt-get install -y -q --no-install-recommends "$p"; then
    echo "install-deps: $p could not be installed; the tests that need it will be left out" >&2
  fi
done
