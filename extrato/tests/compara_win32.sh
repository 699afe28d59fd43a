#!/usr/bin/env bash
# satextrato.dll gives the Linux library's bytes: the ESC/POS of the signed sale and
# cancellation of dados/ on both papers, and of the sale with characters neither code page has;
# the same refusal (Windows-1252 text) of a cancellation given as a sale and of a value with such
# characters. It has only ESC/POS (raster, PDF and PNG fail with EXTRATO_ERRO_FORMATO) and needs
# only Windows' own DLLs.
# usage: compara_win32.sh NATIVE-GERA GERA.EXE DATA-FOLDER
set -euo pipefail
export LC_ALL=C
nativo=$1
windows=$2
dados=$3
wine=$(dirname "$0")/../../tests/win32/wine.sh
[ -x "$nativo" ] || { echo "no native gera at $nativo: build the native build first"; exit 1; }
"$(dirname "$0")/../../tests/win32/dependencias.sh" "$(dirname "$windows")/satextrato.dll"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
venda=$dados/cfe-venda.xml
cancelamento=$dados/cfe-cancelamento.xml
# Past the BMP, a C1 control, in 1252 only, in neither, best-fit look-alikes, in 850 only.
estranhos='😀 &#x1F600; &#x81; € ő ﬁ Ω — “x” ı'
estranhos=${estranhos//&/\\&}
sed "s|<xProd>Pão de queijo<|<xProd>Pão $estranhos<|" "$venda" >"$tmp/estranha.xml"
sed "s|<vCFe>21.00<|<vCFe>$estranhos<|" "$venda" >"$tmp/valor.xml"
falhas=0
compara() { # EXIT-STATUS GERA-ARGUMENTS...: standard output, and the first line of error
  local status=0
  "$nativo" "${@:2}" >"$tmp/linux" 2>"$tmp/erro" || status=$?
  head -n1 "$tmp/erro" >>"$tmp/linux"
  [ "$status" = "$1" ] || { echo "$*: natively exit status $status"; falhas=1; }
  status=0
  "$wine" "$windows" "${@:2}" >"$tmp/windows" 2>"$tmp/erro" || status=$?
  head -n1 "$tmp/erro" >>"$tmp/windows"
  if [ "$status" != "$1" ] || ! cmp "$tmp/linux" "$tmp/windows"; then
    echo "${*:2}: the DLL gives other bytes (exit status $status) than the Linux library"
    falhas=1
  else
    echo "${*:2}: $(wc -c <"$tmp/linux") bytes, the same"
  fi
}
for papel in 80 58; do
  compara 0 1 "$papel" "$venda"
  compara 0 1 "$papel" "$venda" "$cancelamento"
done
compara 0 1 80 "$tmp/estranha.xml"
compara 1 1 80 "$tmp/valor.xml"
compara 1 1 80 "$cancelamento"
for formato in 2 3 4; do
  if "$wine" "$windows" "$formato" 80 "$venda" >"$tmp/saida" 2>"$tmp/erro" ||
    ! grep -q "^ExtratoVenda: erro 2: .* $formato\$" "$tmp/erro" ||
    [ "$(sed -n 2p "$tmp/erro")" != "FormatosExtrato: 2" ] || [ -s "$tmp/saida" ]; then
    echo "format $formato: not refused with EXTRATO_ERRO_FORMATO, or not only ESC/POS there:"
    cat "$tmp/erro"
    falhas=1
  fi
done
exit "$falhas"
