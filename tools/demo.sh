#!/usr/bin/env bash
# make demo: a SAT's fiscal day, through satcli and the real library, on satemu, the emulated SAT.
# The emulator keeps its state in a temporary folder and is stopped on every way out. A step that
# gets another code than the one expected ends the demo with status 1.
# usage: demo.sh BUILD-FOLDER
set -euo pipefail
build=$(cd "${1:-build/native}" && pwd)
raiz=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/satdemo.XXXXXX)
pid=""
pid2=""
encerra() {
  for p in $pid $pid2; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap encerra EXIT
trap 'exit 130' INT TERM HUP

# One SAT on the USB bus, as the kernel lists it in sysfs: its tty, ttyACM0, links into the USB
# interface, two levels below the device with the SAT's identity. The library's discovery reads
# this tree (SAT_SYSFS_ROOT) and opens $SAT_DEV_DIR/ttyACM0, which leads to satemu.
usb=devices/pci0000:00/0000:00:14.0/usb1/1-1
mkdir -p "$dir/sys/class/tty" "$dir/sys/$usb/1-1:1.0/tty/ttyACM0"
printf '0525\n' >"$dir/sys/$usb/idVendor"
printf 'a4a7\n' >"$dir/sys/$usb/idProduct"
printf '900000001\n' >"$dir/sys/$usb/serial"
printf '0100\n' >"$dir/sys/$usb/bcdDevice"
ln -s ../../../1-1:1.0 "$dir/sys/$usb/1-1:1.0/tty/ttyACM0/device"
ln -s "../../$usb/1-1:1.0/tty/ttyACM0" "$dir/sys/class/tty/ttyACM0"

mkfifo "$dir/linha"
"$build/satemu" --estado "$dir/sat.estado" --link "$dir/dev/ttyACM0" >"$dir/linha" \
  2>"$dir/satemu.erro" &
pid=$!
exec 3<"$dir/linha"
if ! read -r -t 20 -u 3 escravo; then
  echo "demo: satemu did not start" >&2
  cat "$dir/satemu.erro" >&2
  exit 1
fi

export SAT_SYSFS_ROOT=$dir/sys SAT_DEV_DIR=$dir/dev/ SAT_CODIGO=12345678
cd "$dir"
echo "A fiscal day on an emulated SAT: satemu (serial 900000001, not activated yet) on $escravo,"
echo "which the library finds on the USB bus as ttyACM0. Each step is one run of satcli."
echo "Work folder, removed at the end: $dir"

n=0
# passo [-v] "WHAT" EXPECTED SATCLI-ARGUMENTS...: runs satcli with session number n and prints
# the first line of each subcommand's view (all of it with -v). The demo stops unless the last
# subcommand's code is EXPECTED, or its mark ([failed], [library]) is, or, for "ok", every
# subcommand succeeded.
passo() {
  local tudo=""
  if [ "$1" = -v ]; then
    tudo=1
    shift
  fi
  local oque=$1 esperado=$2
  shift 2
  n=$((n + 1))
  printf '\n%2d. %s\n    $ satcli %s\n' "$n" "$oque" "$*"
  local status=0
  "$build/satcli" --log "$dir/sat.log" --sessao "$n" "$@" >"$dir/saida" 2>"$dir/erro" || status=$?
  if [ -n "$tudo" ]; then
    sed 's/^/    /' "$dir/saida"
  else
    grep '^\[' "$dir/saida" | sed 's/^/    /'
  fi
  local marca comando codigo resto
  read -r marca comando codigo resto < <(grep '^\[' "$dir/saida" | tail -n 1) || true
  codigo=${codigo%:}
  case $esperado in
  ok) [ "$marca" = "[ok]" ] && [ "$status" -eq 0 ] && return 0 ;;
  [0-9]*) [ "$codigo" = "$esperado" ] && return 0 ;;
  *) [ "$marca" = "[$esperado]" ] && return 0 ;;
  esac
  echo "demo: step $n ($oque) did not give $esperado (satcli status $status)" >&2
  sed 's/^/    /' "$dir/erro" >&2
  exit 1
}

cnpj=11222333000181
cnpj_sh=22233344000183
assinatura=c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD
cat >rede.xml <<'FIM'
<config><tipoInter>ETHE</tipoInter><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.5</lanIP>
<lanMask>255.255.255.0</lanMask><lanGW>10.0.0.1</lanGW><lanDNS1>10.0.0.1</lanDNS1></config>
FIM

passo -v "find the SAT on the USB bus" ok portas
passo "make it the port of the commands in this run, then ask whether it works" 08000 \
  escolhe 900000001 , consultar
passo "activate it for the taxpayer $cnpj in Sao Paulo (35)" 04000 ativar "$cnpj" 35
passo "associate the software house's signature" 13000 associar "$cnpj_sh$cnpj" "$assinatura"
passo "a fixed address for its network" 12000 rede rede.xml
passo -v "its status" 10000 status
passo "the last fiscal session: none yet" 19003 ultima-sessao
passo -v "a sale: the sample CF-e, its signed CF-e saved" 06000 \
  venda "$raiz/examples/cfe-venda.xml" --salva cfe-venda.xml
venda=$n
chave=$(grep -o 'Id="CFe[0-9]\{44\}"' cfe-venda.xml | cut -d'"' -f2)
echo "    signed CF-e in cfe-venda.xml: $(wc -c <cfe-venda.xml) bytes, key $chave"
# What the SAT wrote in it beside the sale: the taxpayer as it knows it, the totals, the change.
campo() { grep -o "<$1>[^<]*" cfe-venda.xml | head -n 1 | cut -d'>' -f2; }
echo "    issued by $(campo xNome), $(campo xMun): total R\$ $(campo vCFe)," \
  "ICMS R\$ $(grep -o '<ICMSTot><vICMS>[^<]*' cfe-venda.xml | cut -d'>' -f3)," \
  "change R\$ $(campo vTroco)"
passo "the last fiscal session: the sale" 06000 ultima-sessao
sed "s/CFe0\{44\}/$chave/" "$raiz/examples/cfe-cancelamento.xml" >cancelamento.xml
passo -v "cancel it; the signed cancellation saved" 07000 \
  cancelar "$chave" cancelamento.xml --salva cfe-cancelamento.xml
passo "the last fiscal session: the cancellation" 07000 ultima-sessao
passo "look up the sale's session ($venda)" 06000 numero-sessao "$venda"
passo "extract the device's log" 15000 log --salva sat-log.txt
echo "    sat-log.txt: $(wc -l <sat-log.txt) lines, the last: $(tail -n 1 sat-log.txt)"
passo "block the SAT" 16000 bloquear
passo "a sale on a blocked SAT is refused" 06006 venda "$raiz/examples/cfe-venda.xml"
passo "unblock it" 17000 desbloquear
passo "a new activation code" 18000 trocar-codigo 1 novo1234
passo "the old code is refused now" 10001 status
passo "back to the old code through the emergency code" 18000 -c 87654321 \
  trocar-codigo 2 12345678

echo
echo "The fiscal day is over: $n steps, each with the code expected."
# satd, when it is built, shares the same SAT over HTTP; it opens it as COM7.
if [ -f "$raiz/tools/satd/demo.sh" ] && [ -x "$build/satd" ]; then
  ln -s "$escravo" "$dir/dev/COM7"
  echo
  bash "$raiz/tools/satd/demo.sh" "$build" "$dir/dev/"
fi

# The SAT's health at a glance: the SAT of the day, and a second one (satemu's health option on a
# fresh device) whose certificate expires in 10 days, which satcli saude reports with exit status
# 1 (attention).
saude() {
  local oque=$1 esperado=$2
  shift 2
  printf '\n== %s\n    $ satcli %s\n' "$oque" "${*:+$* }saude"
  local status=0
  "$build/satcli" "$@" saude >"$dir/saida" 2>"$dir/erro" || status=$?
  sed 's/^/    /' "$dir/saida"
  echo "    (exit status $status)"
  if [ "$status" -ne "$esperado" ]; then
    echo "demo: satcli saude gave exit status $status, not $esperado" >&2
    sed 's/^/    /' "$dir/erro" >&2
    exit 1
  fi
}
saude "The SAT's health after the day: every check ok" 0
mkfifo "$dir/linha2"
"$build/satemu" --pronto --serie 900000002 --certificado-vence +10 --link "$dir/dev/COM8" \
  >"$dir/linha2" 2>"$dir/satemu2.erro" &
pid2=$!
exec 4<"$dir/linha2"
if ! read -r -t 20 -u 4 escravo2; then
  echo "demo: the second satemu did not start" >&2
  cat "$dir/satemu2.erro" >&2
  exit 1
fi
saude "A second SAT (satemu --pronto --certificado-vence +10, on COM8): its certificate expires in 10 days" 1 --porta 8

cat <<FIM

Where to look next:
  README.md                  setting up; the library from a POS program; satcli for a technician;
                             satd for a shop; many shops' health in Prometheus
  satcli --help              every subcommand (also satemu's and satd's --help, and their man
                             pages, made from it, once installed)
  include/sat.h              the library's functions, as a POS program calls them
  examples/                  the day's sale and cancellation as documents
  make test                  every test; make package and make package-win32 build what ships
FIM
