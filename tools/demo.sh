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
  echo "demo: o satemu não iniciou" >&2
  cat "$dir/satemu.erro" >&2
  exit 1
fi

export SAT_SYSFS_ROOT=$dir/sys SAT_DEV_DIR=$dir/dev/ SAT_CODIGO=12345678
cd "$dir"
echo "Um dia fiscal num SAT emulado: o satemu (número de série 900000001, ainda não ativado),"
echo "em $escravo, que a biblioteca encontra no barramento USB como ttyACM0."
echo "Cada passo é uma execução do satcli."
echo "Pasta de trabalho, removida no fim: $dir"

n=0
# passo [-v] "WHAT" EXPECTED SATCLI-ARGUMENTS...: runs satcli with session number n and prints
# the first line of each subcommand's view (all of it with -v). The demo stops unless the last
# subcommand's code is EXPECTED, or its mark ([falhou], [biblioteca]) is, or, for "ok", every
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
  echo "demo: o passo $n ($oque) não deu $esperado (status do satcli $status)" >&2
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

passo -v "procura o SAT no barramento USB" ok portas
passo "faz dele a porta dos comandos desta execução e pergunta se ele funciona" 08000 \
  escolhe 900000001 , consultar
passo "ativa o SAT para o contribuinte $cnpj em São Paulo (35)" 04000 ativar "$cnpj" 35
passo "associa a assinatura da software house" 13000 associar "$cnpj_sh$cnpj" "$assinatura"
passo "um endereço fixo para a sua rede" 12000 rede rede.xml
passo -v "o seu status" 10000 status
passo "a última sessão fiscal: nenhuma ainda" 19003 ultima-sessao
passo -v "uma venda: o CF-e de exemplo, com o CF-e assinado salvo" 06000 \
  venda "$raiz/examples/cfe-venda.xml" --salva cfe-venda.xml
venda=$n
chave=$(grep -o 'Id="CFe[0-9]\{44\}"' cfe-venda.xml | cut -d'"' -f2)
echo "    CF-e assinado em cfe-venda.xml: $(wc -c <cfe-venda.xml) bytes, chave $chave"
# What the SAT wrote in it beside the sale: the taxpayer as it knows it, the totals, the change.
campo() { grep -o "<$1>[^<]*" cfe-venda.xml | head -n 1 | cut -d'>' -f2; }
echo "    emitido por $(campo xNome), $(campo xMun): total R\$ $(campo vCFe)," \
  "ICMS R\$ $(grep -o '<ICMSTot><vICMS>[^<]*' cfe-venda.xml | cut -d'>' -f3)," \
  "troco R\$ $(campo vTroco)"
passo "a última sessão fiscal: a venda" 06000 ultima-sessao
sed "s/CFe0\{44\}/$chave/" "$raiz/examples/cfe-cancelamento.xml" >cancelamento.xml
passo -v "cancela a venda, com o cancelamento assinado salvo" 07000 \
  cancelar "$chave" cancelamento.xml --salva cfe-cancelamento.xml
passo "a última sessão fiscal: o cancelamento" 07000 ultima-sessao
# The extratos of the day, which stay in the build folder after the demo.
passo "o extrato da venda e o do cancelamento em PDF (libsatextrato)" ok \
  extrato cfe-venda.xml --pdf "$build/extrato-venda.pdf" , \
  extrato cfe-venda.xml --cancelamento cfe-cancelamento.xml --pdf "$build/extrato-cancelamento.pdf"
echo "    os extratos do dia, para abrir: $build/extrato-venda.pdf e $build/extrato-cancelamento.pdf"
passo "consulta a sessão da venda ($venda)" 06000 numero-sessao "$venda"
passo "extrai o log do dispositivo" 15000 log --salva sat-log.txt
echo "    sat-log.txt: $(wc -l <sat-log.txt) linhas, a última: $(tail -n 1 sat-log.txt)"
passo "bloqueia o SAT" 16000 bloquear
passo "uma venda num SAT bloqueado é recusada" 06006 venda "$raiz/examples/cfe-venda.xml"
passo "desbloqueia o SAT" 17000 desbloquear
passo "um novo código de ativação" 18000 trocar-codigo 1 novo1234
passo "agora o código antigo é recusado" 10001 status
passo "volta ao código antigo pelo código de emergência" 18000 -c 87654321 \
  trocar-codigo 2 12345678

echo
echo "O dia fiscal terminou: $n passos, cada um com o código esperado."
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
  echo "    (status de saída $status)"
  if [ "$status" -ne "$esperado" ]; then
    echo "demo: satcli saude saiu com o status $status, e não $esperado" >&2
    sed 's/^/    /' "$dir/erro" >&2
    exit 1
  fi
}
saude "A saúde do SAT depois do dia: todas as verificações ok" 0
mkfifo "$dir/linha2"
"$build/satemu" --pronto --serie 900000002 --certificado-vence +10 --link "$dir/dev/COM8" \
  >"$dir/linha2" 2>"$dir/satemu2.erro" &
pid2=$!
exec 4<"$dir/linha2"
if ! read -r -t 20 -u 4 escravo2; then
  echo "demo: o segundo satemu não iniciou" >&2
  cat "$dir/satemu2.erro" >&2
  exit 1
fi
saude "Um segundo SAT (satemu --pronto --certificado-vence +10, na COM8): o certificado vence em 10 dias" 1 --porta 8

cat <<FIM

Onde olhar em seguida:
  README.md                  a instalação; a biblioteca num programa de PDV; o satcli para o
                             técnico; o satd para a loja; a saúde de muitas lojas no Prometheus
  satcli --help              cada subcomando (também o --help do satemu e do satd, e as
                             páginas de manual feitas a partir dele, depois de instalados)
  include/sat.h              as funções da biblioteca, como um programa de PDV as chama
  examples/                  a venda e o cancelamento do dia, como documentos
  make test                  todos os testes; make package e make package-win32 geram o que é
                             distribuído
FIM
