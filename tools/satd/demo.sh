#!/usr/bin/env bash
# The satd part of the demo: satd in front of a SAT that satemu already serves, and a
# checkout that sells through it with curl.
# usage: demo.sh BUILD-FOLDER [SATEMU-LINK-DIR]
#   SATEMU-LINK-DIR holds the COM7 link of a running satemu --pronto (default: $SAT_DEV_DIR)
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD-FOLDER [SATEMU-LINK-DIR]}" && pwd)
link=${2:-${SAT_DEV_DIR:?give SATEMU-LINK-DIR or set SAT_DEV_DIR}}
link=${link%/}/
raiz=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/satddemo.XXXXXX)
pid=""
encerra() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap encerra EXIT

cat >"$dir/satd.toml" <<TOML
[http]
endereco = "127.0.0.1"
porta = 0
[sat]
codigo_ativacao = "12345678"
porta = 7
[registro]
arquivo = "$dir/satd.log"
[diario]
arquivo = "$dir/diario.sqlite3"
TOML

mkfifo "$dir/saida"
SAT_DEV_DIR=$link "$build/satd" --config "$dir/satd.toml" >"$dir/saida" &
pid=$!
exec 3<"$dir/saida"
read -r -t 20 -u 3 primeira || { echo "satd did not start" >&2; exit 1; }
url=${primeira#satd: listening on }
echo "== satd owns the SAT (COM7 in $link) and serves the checkouts at $url"

# The sale: the sample when there is one, otherwise one built here (UTF-8, as a POS sends it).
venda=$raiz/examples/cfe-venda.xml
if [ ! -f "$venda" ]; then
  venda=$dir/venda.xml
  item=$'<det nItem="1"><prod><cProd>001</cProd><xProd>P\xc3\xa3o de queijo</xProd><NCM>19059090</NCM><CFOP>5102</CFOP><uCom>UN</uCom><qCom>3.0000</qCom><vUnCom>2.50</vUnCom><indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS></imposto></det>'
  printf '%s' '<?xml version="1.0" encoding="UTF-8"?><CFe><infCFe versaoDadosEnt="0.07"><ide><CNPJ>22233344000183</CNPJ><signAC>c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD</signAC><numeroCaixa>002</numeroCaixa></ide><emit><CNPJ>11222333000181</CNPJ><IE>111111111111</IE><IM>123123</IM><cRegTribISSQN>3</cRegTribISSQN><indRatISSQN>N</indRatISSQN></emit><dest><CPF>11144477735</CPF></dest>'"$item"'<total/><pgto><MP><cMP>01</cMP><vMP>7.50</vMP></MP></pgto></infCFe></CFe>' >"$venda"
fi

# One field of a {"funcao": "...", "retorno": "..."} reply, split at '|' (1 is the session).
campo() { sed -e 's/^{"funcao":"[A-Za-z]*","retorno":"//' -e 's/"}$//' | cut -d'|' -f"$1"; }

echo
echo "\$ curl -d numero_caixa=2 $url/consultarsat"
curl -sS --fail-with-body -d numero_caixa=2 "$url/consultarsat"
echo
echo
echo "\$ curl -d numero_caixa=2 --data-urlencode dados_venda@$(basename "$venda") $url/enviardadosvenda"
resposta=$(curl -sS --fail-with-body -d numero_caixa=2 --data-urlencode "dados_venda@$venda" \
  "$url/enviardadosvenda")
echo "   session $(campo 1 <<<"$resposta"), code $(campo 2 <<<"$resposta"): $(campo 4 <<<"$resposta")"
echo "   key $(campo 9 <<<"$resposta"), total $(campo 10 <<<"$resposta"), CF-e of $(campo 7 <<<"$resposta" | wc -c) base64 characters"
[ "$(campo 2 <<<"$resposta")" = 06000 ] || { echo "the sale was not issued: $resposta" >&2; exit 1; }

echo
echo "\$ curl -d numero_caixa=2 -d numero_sessao=$(campo 1 <<<"$resposta") $url/consultarnumerosessao   # the reply again"
de_novo=$(curl -sS --fail-with-body -d numero_caixa=2 -d "numero_sessao=$(campo 1 <<<"$resposta")" \
  "$url/consultarnumerosessao")
echo "   $(campo 1-4 <<<"$de_novo")|... (satd's journal keeps the sale's reply for a checkout that lost it)"
[ "$(campo 1- <<<"$de_novo")" = "$(campo 1- <<<"$resposta")" ] || { echo "the session's reply differs from the sale's" >&2; exit 1; }
echo
echo "\$ curl -d numero_caixa=2 $url/consultarultimasessaofiscal   # this checkout's last sale"
ultima=$(curl -sS --fail-with-body -d numero_caixa=2 "$url/consultarultimasessaofiscal")
echo "   $(campo 1-4 <<<"$ultima")|..."
[ "$(campo 1- <<<"$ultima")" = "$(campo 1- <<<"$resposta")" ] || { echo "the checkout's last fiscal reply differs from its sale" >&2; exit 1; }
echo
echo "\$ curl -d numero_caixa=1000 $url/consultarsat   # refused before the SAT"
curl -sS -w ' (HTTP %{http_code})' -d numero_caixa=1000 "$url/consultarsat"
echo
echo
echo "\$ curl $url/status"
curl -sS --fail-with-body "$url/status"
echo
kill "$pid"
wait "$pid" || true
pid=""
echo
echo "== satd's log, one line per request:"
cat "$dir/satd.log"
