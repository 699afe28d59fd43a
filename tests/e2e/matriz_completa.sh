#!/usr/bin/env bash
# The fault matrix's rows (the program's Falhas/Matriz tests) and its ctest entries (the names
# given here, from SAT_E2E_MATRIZ in cenarios.cmake) must be the same cells: a row without an
# entry would never run, an entry without a row would run nothing.
# usage: matriz_completa.sh PROGRAM CELL...
set -euo pipefail
programa=$1
shift
linhas=$("$programa" --gtest_list_tests --gtest_filter='Falhas/Matriz.*' |
  sed -n 's|^  Celula/\([^ ]*\).*|\1|p' | sort)
entradas=$(printf '%s\n' "$@" | sort)
if [ "$linhas" != "$entradas" ]; then
  echo "rows and ctest entries differ:" >&2
  diff <(echo "$linhas") <(echo "$entradas") >&2 || true
  exit 1
fi
echo "$(echo "$linhas" | wc -l) cells, each with its entry"
