#!/usr/bin/env python3
"""Checks the man pages.

usage: manuais.py PAGE.1...                 pages made from --help (packaging/man/gera.sh)
       manuais.py --toml EXAMPLE.toml PAGE.5  the example configuration's keys against the page

A made page must have its sections under their Portuguese headings (help2man falls back to
English ones when the locale it was given is missing) and an OPÇÕES entry for -h, --help; every
page must pass groff and man as lintian runs it without a warning.
"""
import re
import shlex
import subprocess
import sys


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


def avisos(pagina):
    """What groff and man (as lintian's manpage-has-errors-from-man runs it) say of the page."""
    falhas = []
    for comando in (["groff", "-man", "-Tutf8", "-ww", "-z", pagina],
                    ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", pagina]):
        r = subprocess.run(comando, capture_output=True, text=True,
                           env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "MANWIDTH": "80"})
        if r.returncode != 0 or r.stderr.strip():
            falhas.append(f"{pagina}: {comando[0]}: status {r.returncode} {r.stderr.strip()}")
    return falhas


def diferencas(nome, na_ajuda, na_pagina, origem):
    falhas = []
    for termo in sorted(na_ajuda - na_pagina):
        falhas.append(f"{nome}: {origem} has {termo!r}, the man page does not")
    for termo in sorted(na_pagina - na_ajuda):
        falhas.append(f"{nome}: the man page has {termo!r}, {origem} does not")
    return falhas


SECOES = ["NOME", "SINOPSE", "DESCRIÇÃO", "OPÇÕES", "STATUS DE SAÍDA", "VEJA TAMBÉM"]


def confere_gerada(pagina):
    fonte = open(pagina, encoding="utf-8").read()
    fonte = re.sub(r"\\\[u([0-9A-F]{4})\]", lambda m: chr(int(m[1], 16)), fonte)
    secoes = [sem_roff(l[4:]).strip('"') for l in fonte.splitlines() if l.startswith(".SH ")]
    falhas = [f"{pagina}: no section {s}" for s in SECOES if s not in secoes]
    opcoes = [e for _, e in entradas_da_pagina(fonte).get("OPÇÕES", [])]
    if "-h, --help" not in opcoes:
        falhas.append(f"{pagina}: OPÇÕES has no -h, --help among {len(opcoes)} entries")
    return falhas + avisos(pagina)


def confere_toml(exemplo, pagina):
    chaves = set()
    tabela = ""
    for linha in open(exemplo, encoding="utf-8"):
        if m := re.match(r"^#?\s*\[(\w+)\]", linha):
            tabela = m.group(1)
        elif m := re.match(r"^#?\s*(\w+)\s*=", linha):
            chaves.add(f"[{tabela}] {m.group(1)}")
    entradas = entradas_da_pagina(open(pagina, encoding="utf-8").read())
    da_pagina = {f"{s} {e.split(' = ')[0]}" for s, e in entradas.get("CHAVES", [])}
    falhas = diferencas("keys", chaves, da_pagina, exemplo)
    if len(chaves) < 2:
        falhas.append(f"only {len(chaves)} keys found in {exemplo}")
    return falhas + avisos(pagina)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--toml":
        falhas = confere_toml(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 2 and not sys.argv[1].startswith("-"):
        falhas = [f for pagina in sys.argv[1:] for f in confere_gerada(pagina)]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for falha in falhas:
        print(falha)
    if not falhas:
        print(f"{' '.join(sys.argv[1:])}: in order")
    return 1 if falhas else 0


if __name__ == "__main__":
    sys.exit(main())
