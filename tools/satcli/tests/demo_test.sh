#!/usr/bin/env bash
# make demo as a test: the whole day (and satd's part, when satd is built) ends with status 0,
# every step printed with its result; a step with an unexpected code ends it with status 1, and
# satemu is stopped either way.
# usage: demo_test.sh BUILD-FOLDER
set -euo pipefail
build=$(cd "$1" && pwd)
demo=$(cd "$(dirname "$0")/../../.." && pwd)/tools/demo.sh
dir=$(mktemp -d /tmp/satdemo-teste.XXXXXX)
trap 'rm -rf "$dir"' EXIT
falhas=0
falha() {
  echo "FAILED: $*" >&2
  falhas=$((falhas + 1))
}

# The day. Each step prints its number, its command and one result line per subcommand.
rm -f "$build/extrato-venda.pdf" "$build/extrato-cancelamento.pdf"
status=0
bash "$demo" "$build" >"$dir/saida" 2>"$dir/erro" || status=$?
[ "$status" -eq 0 ] || falha "the demo ended with status $status: $(cat "$dir/erro")"
passos=$(grep -cE '^ ?[0-9]+\. ' "$dir/saida" || true)
resultados=$(grep -cE '^    \[(ok|falhou|biblioteca)\] ' "$dir/saida" || true)
[ "$passos" -ge 19 ] || falha "$passos steps printed"
[ "$resultados" -ge "$passos" ] || falha "$resultados results for $passos steps"
grep -q "^O dia fiscal terminou: $passos passos" "$dir/saida" || falha "no closing line"
for esperado in '\[ok\] EnviarDadosVenda 06000' '\[ok\] CancelarUltimaVenda 07000' \
  '\[ok\] ConsultarUltimaSessaoFiscal 07000' '\[falhou\] EnviarDadosVenda 06006' \
  '\[ok\] ExtrairLogs 15000' '\[ok\] DesbloquearSAT 17000' 'CF-e assinado em cfe-venda.xml: [0-9]+ bytes, chave CFe[0-9]{44}' \
  'emitido por Padaria Pão Dourado Ltda, São Paulo: total R\$ 21\.00, ICMS R\$ 3\.24, troco R\$ 4\.00'; do
  grep -qE "$esperado" "$dir/saida" || falha "no line matching $esperado"
done
# The day's extratos stay in the build folder, as PDF.
for extrato in venda cancelamento; do
  grep -q "$build/extrato-$extrato.pdf" "$dir/saida" || falha "the demo does not say where the $extrato's extrato is"
  [ "$(head -c 5 "$build/extrato-$extrato.pdf" 2>/dev/null)" = "%PDF-" ] || falha "no PDF of the $extrato's extrato"
done
if [ -x "$build/satd" ]; then
  grep -q '^== o satd ' "$dir/saida" || falha "satd's part did not run"
fi
# It ends with the health of the day's SAT (all ok) and of a SAT whose certificate expires in 10
# days (attention, exit status 1), in the terminal's encoding.
saude=$(sed -n '/^== A saúde do SAT depois do dia/,$p' "$dir/saida")
grep -qE '^    Sa.{1,2}de do SAT 900000001 em [0-9/]{10} [0-9:]{8}: ok$' <<<"$saude" ||
  falha "no healthy SAT at the end: $saude"
[ "$(grep -cE '^      \[ok\] ' <<<"$saude")" -ge 13 ] || falha "not every check shown: $saude"
grep -qE 'Certificado vence em 10 dias \([0-9/]{10}\)$' <<<"$saude" ||
  falha "no certificate expiring in 10 days: $saude"
grep -qE '^    .*SAT 900000002 em .*: aten' <<<"$saude" || falha "the second SAT is not at attention"
grep -qx '    (status de saída 1)' <<<"$saude" || falha "the second SAT's saude did not exit with 1"
# Then where to look next: each path it names is in the tree.
proximos=$(sed -n '/^Onde olhar em seguida:$/,$p' "$dir/saida" | awk 'NR > 1 && /^  [^ ]/ {print $1}')
[ "$(wc -l <<<"$proximos")" -ge 4 ] || falha "no list of where to look next"
for caminho in $proximos; do
  [ "$caminho" = make ] || [ "$caminho" = satcli ] || [ -e "$(dirname "$demo")/../$caminho" ] ||
    falha "where to look next names $caminho, which is not in the tree"
done
pasta=$(sed -n 's/^Pasta de trabalho, removida no fim: //p' "$dir/saida")
[ -n "$pasta" ] && [ ! -e "$pasta" ] || falha "the work folder '$pasta' is left behind"

# A SAT that is already activated: the activation step gets 04003 and the demo stops there.
mkdir "$dir/build"
ln -s "$build/satcli" "$dir/build/satcli"
cat >"$dir/build/satemu" <<FIM
#!/usr/bin/env bash
echo \$\$ >"$dir/satemu.pid"
exec "$build/satemu" --pronto "\$@"
FIM
chmod +x "$dir/build/satemu"
status=0
bash "$demo" "$dir/build" >"$dir/saida" 2>"$dir/erro" || status=$?
[ "$status" -eq 1 ] || falha "an unexpected code ended the demo with status $status"
grep -q '^demo: o passo 3 (ativa o SAT .*) não deu 04000' "$dir/erro" ||
  falha "no message for the unexpected code: $(cat "$dir/erro")"
grep -qE '^    \[falhou\] AtivarSAT 04003' "$dir/saida" || falha "the failing step is not shown"
if [ ! -s "$dir/satemu.pid" ]; then
  falha "satemu was not started through the build folder"
elif kill -0 "$(cat "$dir/satemu.pid")" 2>/dev/null; then
  falha "satemu is still running after the demo stopped"
fi

[ "$falhas" -eq 0 ] && echo "demo: $passos steps, and a stop on an unexpected code"
exit "$falhas"
