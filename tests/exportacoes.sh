#!/usr/bin/env bash
# Compares the export table of the built library with the list of exports we ship.
# usage: exportacoes.sh LIBRARY EXPECTED-LIST
set -euo pipefail
biblioteca=$1
esperadas=$2

case "$biblioteca" in
  *.dll)
    # The "[Ordinal/Name Pointer] Table" of objdump -p lists one "[n] Name" a line.
    # The x86_64 objdump reads both PE32 and PE32+.
    achadas=$(x86_64-w64-mingw32-objdump -p "$biblioteca" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([^[:space:]]*\).*/\1/p' | sort)
    ;;
  *)
    achadas=$(nm -D --defined-only "$biblioteca" | awk '$2 ~ /^[TtWw]$/ {print $3}' | sort)
    ;;
esac

if ! diff <(sort "$esperadas") <(printf '%s\n' "$achadas"); then
  echo "export table of $biblioteca differs from $esperadas (< expected, > found)"
  exit 1
fi
echo "exports of $(basename "$biblioteca"): $(printf '%s\n' "$achadas" | wc -l), as expected"
