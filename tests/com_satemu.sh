#!/usr/bin/env bash
# Runs a test program against satemu on a pseudo-terminal that the library sees as COMn.
# usage: com_satemu.sh SATEMU "SATEMU OPTIONS" nativo|wine PROGRAM [ARGS...]
#   SATEMU "-" runs the program with no device at all.
# n is $SAT_E2E_PORTA, 7 when unset (runs under wine at the same time need ports of their own:
# the prefix is shared). Natively the port is $SAT_DEV_DIR/COMn (a link satemu makes); under
# wine it is the prefix's dosdevices/comn, and a PROGRAM that is not a .exe (a script that starts
# wine itself, with WINEPREFIX set) runs as it is. The program finds in its environment:
#   SAT_E2E_REGISTRO  the frames satemu received (one frame a line, lowercase hex)
#   SAT_E2E_TEMPOS    satemu's own time for each request (satemu --tempos)
#   SAT_E2E_PORTA     the port's number n
#   SAT_E2E_OPCOES    satemu's options, as given here
#   SAT_E2E_CONTROLE  a folder where it may ask for the device to be unplugged or started again:
#                     it writes the file "pedido" (whole, by renaming) holding one of
#                       mata              satemu is killed and its port disappears
#                       mata-no-quadro N  the same, as soon as satemu has received N frames
#                       reinicia          a fresh satemu, same options, on the same port
#                     and waits for the file "feito" (for mata-no-quadro: "armado" at once,
#                     "feito" once it is done), which it removes.
# With --gtest_filter among the arguments, a run in which no test passed fails: a filter that
# matches nothing must not pass silently.
set -euo pipefail
satemu=$1
opcoes=$2
modo=$3
shift 3
programa=$1
porta=${SAT_E2E_PORTA:-7}

# The port's link, the recorded frames, the requests and the outputs, removed at the end.
dir=$(mktemp -d /tmp/sate2e.XXXXXX)
satemu_pid=""
programa_pid=""
encerra() {
  for pid in $programa_pid $satemu_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ "$modo" = wine ] && [ -n "${WINEPREFIX:-}" ]; then
    rm -f "$WINEPREFIX/dosdevices/com$porta"
  fi
  rm -rf "$dir"
}
trap encerra EXIT
trap 'exit 143' TERM INT

registro=$dir/registro.hex
tempos=$dir/tempos.txt
controle=$dir/controle
mkdir "$controle"
: >"$registro"
: >"$tempos"
escravo=/nonexistent/sat-e2e-no-device
inicios=0

if [ "$modo" = wine ]; then
  # shellcheck source=tests/win32/prefixo.sh
  . "$(dirname "$0")/win32/prefixo.sh"
  prepara_prefixo "$programa"
  mkdir -p "$WINEPREFIX/dosdevices"
fi

# Starts satemu and waits for its first line, the slave side's path: it is serving once that
# is out.
inicia_satemu() {
  inicios=$((inicios + 1))
  local saida=$dir/saida.$inicios
  mkfifo "$saida"
  # shellcheck disable=SC2086
  "$satemu" --link "$dir/COM$porta" --registro "$registro" --tempos "$tempos" $opcoes \
    >"$saida" 2>>"$dir/erro" &
  satemu_pid=$!
  exec 3<"$saida"
  if ! read -r -t 20 -u 3 escravo; then
    echo "satemu did not start:" >&2
    cat "$dir/erro" >&2
    exit 1
  fi
  if [ "$modo" = wine ]; then
    ln -sfn "$escravo" "$WINEPREFIX/dosdevices/com$porta"
  fi
}

# The device is unplugged: satemu dies at once (the pty's other side is gone) and its device
# node with it, as udev removes /dev/ttyACM0.
mata_satemu() {
  kill -KILL "$satemu_pid" 2>/dev/null || true
  wait "$satemu_pid" 2>/dev/null || true
  satemu_pid=""
  rm -f "$dir/COM$porta"
  if [ "$modo" = wine ]; then
    rm -f "$WINEPREFIX/dosdevices/com$porta"
  fi
}

quadros_recebidos() {
  local linhas
  mapfile -t linhas <"$registro"
  echo "${#linhas[@]}"
}

responde() {
  : >"$controle/$1.tmp"
  mv "$controle/$1.tmp" "$controle/$1"
}

# A request of the program, if there is one.
atende_pedido() {
  [ -f "$controle/pedido" ] || return 0
  local pedido
  pedido=$(<"$controle/pedido")
  pedido=${pedido//$'\r'/}
  rm -f "$controle/pedido"
  case $pedido in
  mata)
    mata_satemu
    responde feito
    ;;
  "mata-no-quadro "*)
    responde armado
    local quadros=${pedido#mata-no-quadro }
    while [ "$(quadros_recebidos)" -lt "$quadros" ] && programa_vivo; do
      read -r -t 0.02 -u 4 || true
    done
    mata_satemu
    responde feito
    ;;
  reinicia)
    [ -n "$satemu_pid" ] && mata_satemu
    inicia_satemu
    responde feito
    ;;
  *)
    echo "com_satemu.sh: unknown request '$pedido'" >&2
    responde feito
    ;;
  esac
}

programa_vivo() {
  local estado
  [ -r "/proc/$programa_pid/stat" ] || return 1
  read -r estado <"/proc/$programa_pid/stat" || return 1
  [[ $estado != *") Z "* ]]
}

if [ "$satemu" != "-" ]; then
  inicia_satemu
fi

export SAT_E2E_PORTA=$porta
export SAT_E2E_OPCOES=$opcoes
if [ "$modo" = wine ]; then
  export SAT_E2E_REGISTRO="Z:${registro//\//\\}"
  export SAT_E2E_TEMPOS="Z:${tempos//\//\\}"
  export SAT_E2E_CONTROLE="Z:${controle//\//\\}"
  case $programa in
  *.exe) wine "$@" >"$dir/saida" & ;;
  *) "$@" >"$dir/saida" & ;;
  esac
else
  export SAT_DEV_DIR=$dir/
  export SAT_E2E_REGISTRO=$registro
  export SAT_E2E_TEMPOS=$tempos
  export SAT_E2E_CONTROLE=$controle
  "$@" >"$dir/saida" &
fi
programa_pid=$!

# While the program runs, its requests are served; a fifo nobody writes makes read -t a pause.
mkfifo "$dir/pausa"
exec 4<>"$dir/pausa"
while programa_vivo; do
  atende_pedido
  read -r -t 0.05 -u 4 || true
done
status=0
wait "$programa_pid" || status=$?
programa_pid=""
cat "$dir/saida"

if [ "$status" -eq 0 ]; then
  for argumento in "$@"; do
    if [[ $argumento == --gtest_filter=* ]] &&
      ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' "$dir/saida"; then
      echo "com_satemu.sh: no test ran for $argumento" >&2
      status=1
    fi
  done
fi
exit "$status"
