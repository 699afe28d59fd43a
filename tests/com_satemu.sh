#!/usr/bin/env bash
# Runs a test program against satemu on a pseudo-terminal that the library sees as COM7.
# usage: com_satemu.sh SATEMU "SATEMU OPTIONS" nativo|wine PROGRAM [ARGS...]
#   SATEMU "-" runs the program with no device at all.
# Natively the port is $SAT_DEV_DIR/COM7 (a link satemu makes); under wine it is the prefix's
# dosdevices/com7, and a PROGRAM that is not a .exe (a script that starts wine itself, with
# WINEPREFIX set) runs as it is. The program finds the frames satemu received in
# $SAT_E2E_REGISTRO (one frame a line, lowercase hex) and satemu's own time for each in
# $SAT_E2E_TEMPOS.
set -euo pipefail
satemu=$1
opcoes=$2
modo=$3
shift 3
programa=$1

# The port's link, the recorded frames and the emulator's output, removed at the end.
dir=$(mktemp -d /tmp/sate2e.XXXXXX)
pid=""
encerra() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap encerra EXIT

registro=$dir/registro.hex
tempos=$dir/tempos.txt
: >"$registro"
: >"$tempos"
escravo=/nonexistent/sat-e2e-no-device
if [ "$satemu" != "-" ]; then
  mkfifo "$dir/saida"
  # shellcheck disable=SC2086
  "$satemu" --link "$dir/COM7" --registro "$registro" --tempos "$tempos" $opcoes \
    >"$dir/saida" 2>"$dir/erro" &
  pid=$!
  exec 3<"$dir/saida"
  # The first line is the slave side's path: satemu is serving once it is out.
  if ! read -r -t 20 -u 3 escravo; then
    echo "satemu did not start:" >&2
    cat "$dir/erro" >&2
    exit 1
  fi
fi

if [ "$modo" = wine ]; then
  # shellcheck source=tests/win32/prefixo.sh
  . "$(dirname "$0")/win32/prefixo.sh"
  prepara_prefixo "$programa"
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$escravo" "$WINEPREFIX/dosdevices/com7"
  export SAT_E2E_REGISTRO="Z:${registro//\//\\}"
  export SAT_E2E_TEMPOS="Z:${tempos//\//\\}"
  case $programa in
  *.exe) wine "$@" ;;
  *) "$@" ;;
  esac
else
  export SAT_DEV_DIR=$dir/
  export SAT_E2E_REGISTRO=$registro
  export SAT_E2E_TEMPOS=$tempos
  "$@"
fi
