#!/usr/bin/env python3
"""Keeps a man page in step with what it documents.

usage: manuais.py PROGRAM PAGE.1           the program's --help against its man page
       manuais.py --toml EXAMPLE.toml PAGE.5  the example configuration's keys against the page

Every definition of --help (an indented term followed by two spaces or by a deeper-indented
line: options, subcommands, exit codes, rules, HTTP paths) must be a .TP entry of the page, and
every .TP entry a definition of --help; the words of a "Functions:" paragraph (or of one per
role, "Checkout functions:") are entries of the page's FUNCTIONS section, and every environment variable --help names is an entry of its
ENVIRONMENT section. The page must also pass groff without a warning.
"""
import pathlib
import re
import shlex
import subprocess
import sys

ENTORNO = re.compile(r"\b[A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+\b")
# The fields of the SAT's status reply, which the health checks name: no environment variables.
CABECALHO_SAUDE = pathlib.Path(__file__).resolve().parents[2] / "tools/saude/saude.h"
CAMPOS_DO_STATUS = set(re.findall(r'"(\w+)"', re.search(
    r"kNomesStatus\[\] = \{(.*?)\};", CABECALHO_SAUDE.read_text(), re.S)[1]))
# Sections whose entries are not definitions of --help (satd's metrics are checked against what
# /metrics serves, by tools/satd/tests/prometheus.py).
FORA_DA_AJUDA = {"ENVIRONMENT", "FILES", "FUNCTIONS", "METRICS"}


def definicoes_da_ajuda(texto):
    """The terms --help defines, and the words of its Functions paragraph."""
    linhas = [re.sub(r"^(  (?:GET|POST|PUT|DELETE)) +", r"\1 ", l) for l in texto.splitlines()]
    termos = set()
    for i, linha in enumerate(linhas):
        m = re.match(r"^( {2,4})(\* )?(\S.*)$", linha)
        if not m:
            continue
        recuo = len(m.group(1)) + len(m.group(2) or "")
        resto = m.group(3)
        vao = re.search(r" {2,}", resto)
        if vao:
            termos.add(resto[: vao.start()])
            continue
        seguinte = linhas[i + 1] if i + 1 < len(linhas) else ""
        if seguinte.strip() and len(seguinte) - len(seguinte.lstrip(" ")) > recuo:
            termos.add(resto.rstrip())
    funcoes = set()
    # "Functions:", or a paragraph per role ("Checkout functions:"), up to the next unindented
    # line.
    for bloco in re.finditer(r"^(?:\w+ )?[Ff]unctions:(.*?)(?=\n\S|\n\s*\n|\Z)", texto,
                             re.S | re.M):
        funcoes |= set(bloco.group(1).split())
    return termos, funcoes


def sem_roff(linha):
    """A line of man source as the reader sees it: macros and font changes gone."""
    if linha.startswith("."):
        macro, _, argumentos = linha[1:].partition(" ")
        partes = shlex.split(argumentos.replace("\\", "\\\\"))
        junta = "" if len(macro) == 2 and macro in ("BR", "RB", "BI", "IB", "IR", "RI") else " "
        linha = junta.join(partes)
    linha = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", linha)
    for roff, texto in (("\\-", "-"), ("\\&", ""), ("\\(lq", '"'), ("\\(rq", '"'), ("\\e", "\\")):
        linha = linha.replace(roff, texto)
    return " ".join(linha.split())


def entradas_da_pagina(fonte):
    """{section: [entry, ...]} for every .TP/.TQ entry, and the subsection of each."""
    entradas = {}
    secao = subsecao = ""
    linhas = fonte.splitlines()
    for i, linha in enumerate(linhas):
        if linha.startswith(".SH "):
            secao, subsecao = sem_roff(linha[4:]).strip('"'), ""
        elif linha.startswith(".SS "):
            subsecao = sem_roff(linha[4:]).strip('"')
        elif linha in (".TP", ".TQ") and i + 1 < len(linhas):
            entradas.setdefault(secao, []).append((subsecao, sem_roff(linhas[i + 1])))
    return entradas


def groff(pagina):
    r = subprocess.run(["groff", "-man", "-ww", "-z", pagina], capture_output=True, text=True)
    return [] if r.returncode == 0 and not r.stderr.strip() else [f"groff: {r.stderr.strip()}"]


def diferencas(nome, na_ajuda, na_pagina, origem):
    falhas = []
    for termo in sorted(na_ajuda - na_pagina):
        falhas.append(f"{nome}: {origem} has {termo!r}, the man page does not")
    for termo in sorted(na_pagina - na_ajuda):
        falhas.append(f"{nome}: the man page has {termo!r}, {origem} does not")
    return falhas


def confere_programa(programa, pagina):
    r = subprocess.run([programa, "--help"], capture_output=True, text=True)
    if r.returncode != 0 or not r.stdout.strip():
        return [f"{programa} --help: status {r.returncode}, {len(r.stdout)} bytes"]
    termos, funcoes = definicoes_da_ajuda(r.stdout)
    entradas = entradas_da_pagina(open(pagina, encoding="utf-8").read())
    da_pagina = {e for s, lista in entradas.items() if s not in FORA_DA_AJUDA for _, e in lista}
    funcoes_da_pagina = {f for _, e in entradas.get("FUNCTIONS", []) for f in e.split(", ")}
    ambiente = {e for _, e in entradas.get("ENVIRONMENT", [])}
    falhas = diferencas("definitions", termos, da_pagina, "--help")
    falhas += diferencas("functions", funcoes, funcoes_da_pagina, "--help")
    falhas += diferencas("environment", set(ENTORNO.findall(r.stdout)) - CAMPOS_DO_STATUS, ambiente, "--help")
    if len(termos) < 2:
        falhas.append(f"only {len(termos)} definitions found in --help")
    return falhas + groff(pagina)


def confere_toml(exemplo, pagina):
    chaves = set()
    tabela = ""
    for linha in open(exemplo, encoding="utf-8"):
        if m := re.match(r"^\[(\w+)\]", linha):
            tabela = m.group(1)
        elif m := re.match(r"^#?\s*(\w+)\s*=", linha):
            chaves.add(f"[{tabela}] {m.group(1)}")
    entradas = entradas_da_pagina(open(pagina, encoding="utf-8").read())
    da_pagina = {f"{s} {e.split(' = ')[0]}" for s, e in entradas.get("CHAVES", [])}
    falhas = diferencas("keys", chaves, da_pagina, exemplo)
    if len(chaves) < 2:
        falhas.append(f"only {len(chaves)} keys found in {exemplo}")
    return falhas + groff(pagina)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--toml":
        falhas = confere_toml(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3:
        falhas = confere_programa(sys.argv[1], sys.argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for falha in falhas:
        print(falha)
    if not falhas:
        print(f"{sys.argv[-1]}: in step")
    return 1 if falhas else 0


if __name__ == "__main__":
    sys.exit(main())
