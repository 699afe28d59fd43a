#!/usr/bin/env python3
"""--version, -h and usage errors, as satemu and satd answer them (satcli's are rows of its own
table, tools/satcli/tests/satcli_test.py).

usage: opcoes.py PROGRAM VERSION OPTION   VERSION is the project's; OPTION one that takes a value
"""
import pathlib
import re
import subprocess
import sys

programa, versao, com_valor = sys.argv[1:4]
nome = pathlib.Path(programa).name
# Arguments, exit status, what standard output and standard error must hold.
linhas = [
    (["--version"], 0, rf"\A{nome} {re.escape(versao)}\n\Z", r"\A\Z"),
    (["-h"], 0, rf"\AUso: {nome} (.|\n)*^  -h, --help +este texto\n  --version +", r"\A\Z"),
    (["--nao-existe"], 64, r"\A\Z", rf"\A{nome}: opção desconhecida --nao-existe \(veja --help\)\n\Z"),
    (["--help=sim"], 64, r"\A\Z", r"--help não aceita valor"),
    (["-h", "palavra"], 0, r"\AUso: ", r"\A\Z"),
    (["palavra", "-h"], 64, r"\A\Z", r"argumento inesperado palavra \(veja --help\)"),
    ([com_valor], 64, r"\A\Z", rf"\A{nome}: (?!opção desconhecida).*{com_valor}\b.*\(veja --help\)"),
]
falhas = 0
for args, status, saida, erro in linhas:
    p = subprocess.run([programa, *args], capture_output=True, encoding="utf-8",
                       timeout=30)
    if p.returncode != status or not re.search(saida, p.stdout, re.M) or not re.search(
            erro, p.stderr, re.M):
        print(f"FAILED {nome} {' '.join(args)}: status {p.returncode}, expected {status}\n"
              f"--- out:\n{p.stdout[:500]}\n--- err:\n{p.stderr}", file=sys.stderr)
        falhas += 1
print(f"{nome}: {len(linhas)} rows, {falhas} failures")
sys.exit(1 if falhas else 0)
