#!/usr/bin/env bash
# The demo: satcli drives the library against satemu, the emulated SAT, on a pseudo-terminal.
# usage: demo.sh BUILD-FOLDER
set -euo pipefail
build=$(cd "${1:-build/native}" && pwd)
dir=$(mktemp -d /tmp/satdemo.XXXXXX)
pid=""
encerra() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap encerra EXIT

mkfifo "$dir/saida"
"$build/satemu" --pronto --link "$dir/COM7" >"$dir/saida" 2>"$dir/erro" &
pid=$!
exec 3<"$dir/saida"
read -r -u 3 escravo
echo "== satemu serves an activated SAT (serial 900000001) on $escravo, seen as $dir/COM7"

export SAT_DEV_DIR=$dir/
cd "$dir"
sat() {
  echo
  echo "\$ satcli $*"
  "$build/satcli" --porta 7 --utf8 --log "$dir/sat.log" "$@" || true
}
sat versao
sat consultar 42
sat status 12345678 43
sat numero-sessao 12345678 42 44
sat --erro status 00000000 45
echo
echo "== the library's log ($dir/sat.log):"
iconv -f WINDOWS-1252 -t UTF-8 "$dir/sat.log" 2>/dev/null | tr -d '\r' || tr -d '\r' <"$dir/sat.log"
echo
echo "== sales, cancellation, activation and maintenance join the demo as those commands land."
