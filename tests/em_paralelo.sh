#!/usr/bin/env bash
# Runs each command given (a shell command line) at the same time as the others, then shows
# their outputs one after another; fails when any of them failed. make test runs the fault
# matrices (which mostly wait out time limits) beside the fuzz smoke run this way.
# usage: em_paralelo.sh "COMMAND" ["COMMAND"...]
set -uo pipefail
dir=$(mktemp -d /tmp/satparalelo.XXXXXX)
trap 'rm -rf "$dir"' EXIT
pids=()
n=0
for comando in "$@"; do
  bash -c "$comando" >"$dir/$n" 2>&1 &
  pids+=($!)
  n=$((n + 1))
done
falhas=0
n=0
for comando in "$@"; do
  if wait "${pids[$n]}"; then
    estado=ok
  else
    estado=FAILED
    falhas=$((falhas + 1))
  fi
  echo "==== $comando: $estado"
  cat "$dir/$n"
  n=$((n + 1))
done
exit $((falhas > 0))
