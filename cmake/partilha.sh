#!/usr/bin/env bash
# The share of tests against code, area by area, for closing notes: lines that are neither blank
# nor only a comment, in the sources git tracks (C, C++, shell, Python,
# CMake), tests being the files under a tests folder (benchmarks and fuzz targets count as
# tests). The areas: the library (with tests/), each tool (with its tests/), the build.
# usage: partilha.sh [REV]   (without REV the working tree; with it, the lines added since REV)
set -euo pipefail
cd "$(dirname "$0")/.."
desde=${1:-}

# The area of a path: the library, a tool, or the build; "-" for what is not counted.
area() {
  case $1 in
  tools/satcli/*) echo satcli ;;
  tools/*/*) local resto=${1#tools/}; echo "${resto%%/*}" ;;
  api/* | link/* | support/* | platform/* | include/* | tests/*) echo biblioteca ;;
  CMakeLists.txt | Makefile | cmake/* | packaging/* | .ci/*) echo construcao ;;
  *) echo - ;;
  esac
}
teste() { case $1 in tests/* | */tests/*) echo 1 ;; *) echo 0 ;; esac; }

# Lines of code in a text on standard input, whose comments start with // and /* (c) or # (the
# rest).
conta() {
  if [ "$1" = c ]; then
    grep -cvE '^[[:space:]]*(//.*|/\*.*|\*|\* .*|\*/)?$' || true
  else
    grep -cvE '^[[:space:]]*(#.*)?$' || true
  fi
}

declare -A codigo testes
while IFS= read -r arquivo; do
  case $arquivo in
  *.cpp | *.h | *.c | *.sh | *.py | *.cmake | *CMakeLists.txt | Makefile) ;;
  *) continue ;;
  esac
  a=$(area "$arquivo")
  [ "$a" != - ] || continue
  case $arquivo in *.cpp | *.h | *.c) tipo=c ;; *) tipo=hash ;; esac
  if [ -n "$desde" ]; then
    n=$(git diff "$desde" -- "$arquivo" | sed -n 's/^+\([^+]\)/\1/p; s/^+$//p' | conta $tipo)
  else
    n=$(conta $tipo <"$arquivo")
  fi
  if [ "$(teste "$arquivo")" = 1 ]; then
    testes[$a]=$((${testes[$a]:-0} + n))
  else
    codigo[$a]=$((${codigo[$a]:-0} + n))
  fi
done < <(if [ -n "$desde" ]; then git diff --name-only "$desde"; else git ls-files; fi)

printf '%-12s %8s %8s %7s\n' area code tests share
for a in $(printf '%s\n' "${!codigo[@]}" "${!testes[@]}" | sort -u); do
  c=${codigo[$a]:-0}
  t=${testes[$a]:-0}
  printf '%-12s %8d %8d %6s%%\n' "$a" "$c" "$t" "$([ "$c" -gt 0 ] && echo $((100 * t / c)) || echo -)"
done
