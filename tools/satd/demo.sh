#!/usr/bin/env bash
# The satd part of the demo: satd in front of a SAT that satemu already serves, and a
# checkout that sells through it with curl.
# uso: demo.sh PASTA-DO-BUILD [PASTA-DO-LINK]
#   PASTA-DO-LINK tem o link COM7 de um satemu --pronto em execução (padrão: $SAT_DEV_DIR)
set -euo pipefail
build=$(cd "${1:?uso: demo.sh PASTA-DO-BUILD [PASTA-DO-LINK]}" && pwd)
link=${2:-${SAT_DEV_DIR:?dê a PASTA-DO-LINK ou defina SAT_DEV_DIR}}
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
read -r -t 20 -u 3 primeira || { echo "o satd não iniciou" >&2; exit 1; }
url=${primeira#satd: atendendo em }
echo "== o satd controla o SAT (COM7 em $link) e atende os caixas em $url"

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
echo "   sessão $(campo 1 <<<"$resposta"), código $(campo 2 <<<"$resposta"): $(campo 4 <<<"$resposta")"
echo "   chave $(campo 9 <<<"$resposta"), total $(campo 10 <<<"$resposta"), CF-e de $(campo 7 <<<"$resposta" | wc -c) caracteres em base64"
[ "$(campo 2 <<<"$resposta")" = 06000 ] || { echo "a venda não foi emitida: $resposta" >&2; exit 1; }

echo
echo "\$ curl -d numero_caixa=2 -d numero_sessao=$(campo 1 <<<"$resposta") $url/consultarnumerosessao   # a resposta de novo"
de_novo=$(curl -sS --fail-with-body -d numero_caixa=2 -d "numero_sessao=$(campo 1 <<<"$resposta")" \
  "$url/consultarnumerosessao")
echo "   $(campo 1-4 <<<"$de_novo")|... (o diário do satd guarda a resposta da venda para o caixa que a perdeu)"
[ "$(campo 1- <<<"$de_novo")" = "$(campo 1- <<<"$resposta")" ] || { echo "a resposta da sessão difere da resposta da venda" >&2; exit 1; }
echo
echo "\$ curl -d numero_caixa=2 $url/consultarultimasessaofiscal   # a última venda deste caixa"
ultima=$(curl -sS --fail-with-body -d numero_caixa=2 "$url/consultarultimasessaofiscal")
echo "   $(campo 1-4 <<<"$ultima")|..."
[ "$(campo 1- <<<"$ultima")" = "$(campo 1- <<<"$resposta")" ] || { echo "a última resposta fiscal do caixa difere da sua venda" >&2; exit 1; }
echo
echo "\$ curl -d numero_caixa=1000 $url/consultarsat   # recusada antes do SAT"
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
echo "== o registro do satd, uma linha por requisição:"
cat "$dir/satd.log"
