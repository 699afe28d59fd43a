#!/usr/bin/env bash
# Instructions the library executes for one ConsultarSAT round trip, counted by callgrind:
# the first call after load (which clears the whole transaction buffers) and a later one.
# usage: callgrind_consulta.sh BUILD_DIR   (a native build with sat_bench and satemu)
set -euo pipefail
build=${1:?usage: callgrind_consulta.sh BUILD_DIR}
aqui=$(cd "$(dirname "$0")" && pwd)
saida=$(mktemp -d /tmp/satcg.XXXXXX)
trap 'rm -rf "$saida"' EXIT
for antes in 0 1; do
  "$aqui/../com_satemu.sh" "$build/satemu" "--pronto" nativo \
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$saida/cg.$antes" \
    "$build/sat_bench" --callgrind "$antes" >/dev/null 2>"$saida/valgrind.$antes"
  total=$(sed -n 's/^summary: *//p' "$saida/cg.$antes")
  if [ "$antes" = 0 ]; then quando="first call after load"; else quando="a later call"; fi
  echo "ConsultarSAT round trip, $quando: ${total:-?} instructions"
done
