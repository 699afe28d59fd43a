#!/usr/bin/env bash
# The Depends of a cross-built library's package, which dpkg-shlibdeps cannot give (the cross
# toolchain's libraries belong to its -cross packages): for each library it needs, its Debian
# package, at least at the version that brought the newest symbol version it uses, as the
# packages' symbols files map them (libc6 and libgcc-s1 name it in the version: GLIBC_2.34 is
# libc6 2.34; libstdc++6's map is its symbols file, the same for every architecture).
# usage: dependencias-deb.sh LIBRARY
set -euo pipefail
biblioteca=$1
versoes=$(readelf -V --wide "$biblioteca" | sed -n 's/.*Name: \([A-Z+_]*_[0-9.]*\).*/\1/p' | sort -u)
necessarias=$(readelf -d "$biblioteca" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
maior() { # PREFIX: the newest of the versions PREFIX_x.y, as x.y
  grep "^$1_" <<<"$versoes" | sed "s/^$1_//" | sort -V | tail -1
}
simbolos=$(ls /var/lib/dpkg/info/libstdc++6:*.symbols 2>/dev/null | head -1)
dependencias=()
for necessaria in $necessarias; do
  case $necessaria in
  libc.so.6 | ld-linux*.so.* | libm.so.6 | libdl.so.2 | libpthread.so.0)
    dependencias+=("libc6 (>= $(maior GLIBC))")
    ;;
  libgcc_s.so.1)
    dependencias+=("libgcc-s1 (>= $(maior GCC))")
    ;;
  libstdc++.so.6)
    [ -n "$simbolos" ] || { echo "no symbols file of libstdc++6" >&2; exit 1; }
    minima=0
    for versao in $(grep -E '^(GLIBCXX|CXXABI)_' <<<"$versoes"); do
      deb=$(awk -v v="$versao@$versao" '$1 == v {print $2; exit}' "$simbolos")
      [ -n "$deb" ] || { echo "$versao is not in $simbolos" >&2; exit 1; }
      if dpkg --compare-versions "$deb" gt "$minima"; then minima=$deb; fi
    done
    dependencias+=("libstdc++6 (>= $minima)")
    ;;
  *)
    echo "$biblioteca needs $necessaria, whose package this script does not know" >&2
    exit 1
    ;;
  esac
done
printf '%s\n' "${dependencias[@]}" | sort -u | paste -sd, | sed 's/,/, /g'
