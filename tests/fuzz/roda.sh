#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for SECONDS each, from its seed corpus
# (tests/fuzz/corpus/<target>/, read only: what a run finds stays in a scratch folder). A crash,
# a leak or a sanitizer report fails the run and keeps the input that caused it.
# usage: [FUZZ_JOBS=N] roda.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
build=$(cd "${1:?usage: roda.sh BUILD_DIR SECONDS [TARGET...]}" && pwd)
segundos=${2:?usage: roda.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
aqui=$(cd "$(dirname "$0")" && pwd)
alvos=("$@")
if [ "${#alvos[@]}" -eq 0 ]; then
  for f in "$build"/fuzz_*; do
    [ -x "$f" ] && alvos+=("$(basename "$f")")
  done
fi
if [ "${#alvos[@]}" -eq 0 ]; then
  echo "no fuzz targets in $build" >&2
  exit 1
fi
trabalho=$(mktemp -d /tmp/satfuzz.XXXXXX)
# One target's run; its verdict line goes to $trabalho/<target>/veredito.
roda() {
  local alvo=$1 sementes=$aqui/corpus/$1 estado execucoes
  mkdir -p "$trabalho/$alvo/corpus" "$trabalho/$alvo/achados"
  set +e
  "$build/$alvo" -max_total_time="$segundos" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$trabalho/$alvo/achados/" "$trabalho/$alvo/corpus" \
    $( [ -d "$sementes" ] && echo "$sementes" ) >"$trabalho/$alvo/saida" 2>&1
  estado=$?
  set -e
  execucoes=$(sed -n 's/^stat::number_of_executed_units: *//p' "$trabalho/$alvo/saida" | tail -1)
  if [ "$estado" -ne 0 ]; then
    { echo "$alvo: FAILED after ${execucoes:-?} executions; input kept in $trabalho/$alvo/achados/"
      grep -E "ERROR|SUMMARY|runtime error" "$trabalho/$alvo/saida" | head -20; } \
      >"$trabalho/$alvo/veredito"
  else
    echo "$alvo: ${execucoes:-?} executions in ${segundos} s, no finding" >"$trabalho/$alvo/veredito"
  fi
}
# FUZZ_JOBS targets at a time (1 unless set).
em_curso=0
for alvo in "${alvos[@]}"; do
  if [ "$em_curso" -ge "${FUZZ_JOBS:-1}" ]; then
    wait -n || true
    em_curso=$((em_curso - 1))
  fi
  roda "$alvo" &
  em_curso=$((em_curso + 1))
done
wait
falhas=0
for alvo in "${alvos[@]}"; do
  if [ -f "$trabalho/$alvo/veredito" ]; then
    cat "$trabalho/$alvo/veredito"
  else
    echo "$alvo: FAILED: no verdict (the run did not end normally)"
  fi
  grep -q ': FAILED' "$trabalho/$alvo/veredito" 2>/dev/null && falhas=$((falhas + 1))
done
if [ "$falhas" -ne 0 ]; then
  exit 1
fi
rm -rf "$trabalho"
