#!/usr/bin/env python3
"""Writes BUILD/CTestTestfile.cmake, which gathers the tests of every build under BUILD into one
ctest run: the native build, the library alone, the sanitizers, the DLLs, the foreign Linux
builds, then the package tests and the fuzz smoke runs. One scheduler keeps every slot busy,
where one run after another waited, build by build, for its longest test.

Each test is written out again from what its build's ctest lists (--show-only=json-v1), named
"<build>/<name>" and labelled with its build: the same test exists in several builds, and ctest
applies a property set by name to every test of that name it has read.

usage: testes.py BUILD_DIR SATEMU FUZZ_SECONDS   (BUILD_DIR absolute)
"""
import json
import pathlib
import subprocess
import sys

build, satemu, fumaca = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
raiz = pathlib.Path(__file__).resolve().parents[1]
BUILDS = ["native", "biblioteca", "asan", "win64", "win32", "win32-cdecl", "linux-arm64",
          "linux-armhf", "linux-i386"]
# Where this machine runs no 32-bit program (wine32 included), the x86 DLLs' export tables are
# checked and their wine tests left out.
SO_TABELAS = {"exportacoes_dll", "dependencias_dll", "convencao_dll"}
try:
    roda_32 = subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode == 0
except OSError:  # no wine32, or a kernel that cannot load it
    roda_32 = False


def argumento(texto):
    """A CMake bracket argument: nothing in it is expanded."""
    texto = str(texto)
    nivel = "=" * 3
    while f"]{nivel}]" in texto:
        nivel += "="
    return f"[{nivel}[{texto}]{nivel}]"


def valor(v):
    if isinstance(v, bool):
        return "ON" if v else "OFF"
    if isinstance(v, list):
        return ";".join(str(x) for x in v)
    return v


def teste(nome, comando, propriedades):
    linhas = [f"add_test({' '.join(argumento(p) for p in [nome, *comando])})"]
    if propriedades:
        pares = " ".join(f"{k} {argumento(valor(v))}" for k, v in propriedades.items())
        linhas.append(f"set_tests_properties({argumento(nome)} PROPERTIES {pares})")
    return linhas


linhas = ["# Written by cmake/testes.py: every build's tests in one ctest run."]
avisos = []
for pasta in BUILDS:
    if not (build / pasta / "CTestTestfile.cmake").exists():
        if pasta.startswith("linux-"):
            avisos.append(f"{pasta}: not built, its tests are left out")
        continue
    lista = subprocess.run(["ctest", "--test-dir", str(build / pasta), "--show-only=json-v1"],
                           capture_output=True, text=True, check=True)
    for t in json.loads(lista.stdout)["tests"]:
        if pasta.startswith("win32") and not roda_32 and t["name"] not in SO_TABELAS:
            continue
        if "command" not in t:
            sys.exit(f"{pasta}: test {t['name']} has no command (its program was not built)")
        propriedades = {p["name"]: p["value"] for p in t.get("properties", [])}
        propriedades["LABELS"] = [pasta, *propriedades.get("LABELS", [])]
        linhas += teste(f"{pasta}/{t['name']}", t["command"], propriedades)
if not roda_32:
    avisos.append("32-bit programs cannot run on this machine: the x86 DLLs' wine tests are left out")

# The bundle's programs use the x64 build's wine prefix and its com7, as that build's tests do.
linhas += teste("pacote/win32", ["bash", raiz / "tests/pacote/win32.sh", build, satemu],
                {"LABELS": ["pacote"], "RESOURCE_LOCK": ["wine_com7"]})
linhas += teste("pacote/multiarch", ["bash", raiz / "tests/pacote/multiarch.sh", build, satemu],
                {"LABELS": ["pacote"]})
for alvo in sorted((build / "fuzz").glob("fuzz_*")):
    if alvo.is_file() and alvo.stat().st_mode & 0o111:
        linhas += teste(f"fuzz/{alvo.name}",
                        ["bash", raiz / "tests/fuzz/roda.sh", build / "fuzz", fumaca, alvo.name],
                        {"LABELS": ["fuzz"]})
(build / "CTestTestfile.cmake").write_text("\n".join(linhas) + "\n")
for aviso in avisos:
    print(aviso)
