#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and nothing
# that is already there. Runs as root (as `make test` does on CI) or through sudo.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

native=(g++ cmake make pkg-config libgtest-dev googletest zlib1g-dev libxml2-dev valgrind
  clang-format clang libclang-rt-14-dev libcpp-httplib-dev nlohmann-json3-dev libtomlplusplus-dev
  libssl-dev libboost-dev libsqlite3-dev curl openssl python3 dpkg-dev file lintian groff-base chromium prometheus)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev libz-mingw-w64 wine wine32 wine64)

missing=()
for p in "${native[@]}" "${windows[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  missing+=(wine32)
fi

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
