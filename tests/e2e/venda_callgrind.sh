#!/usr/bin/env bash
# The library's own work for one sale against the work of zlib and a plain base64 decoder on the
# same data, in instructions counted by callgrind (waiting costs no instructions).
# usage: venda_callgrind.sh BUILD_DIR   (a native build with venda_bench and satemu)
set -euo pipefail
build=${1:?usage: venda_callgrind.sh BUILD_DIR}
aqui=$(cd "$(dirname "$0")" && pwd)
saida=$(mktemp -d /tmp/satcg.XXXXXX)
trap 'rm -rf "$saida"' EXIT
instrucoes() { # MODE KB
  "$aqui/../com_satemu.sh" "$build/satemu" "--pronto" nativo \
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$saida/cg" \
    "$build/venda_bench" "$1" "$2" >/dev/null 2>"$saida/valgrind"
  sed -n 's/^summary: *//p' "$saida/cg"
}
printf '%8s %16s %22s %8s\n' sale "library (instr)" "zlib+base64 (instr)" ratio
for kb in 1 100 1000; do
  venda=$(instrucoes --callgrind-venda "$kb")
  referencia=$(instrucoes --callgrind-referencia "$kb")
  printf '%5s KB %16s %22s %8s\n' "$kb" "$venda" "$referencia" \
    "$(awk -v a="$venda" -v b="$referencia" 'BEGIN { printf "%.2f", a / b }')"
done
