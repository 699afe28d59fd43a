#!/usr/bin/env bash
# The Windows bundle as a user gets it: unpacked into a folder of its own, its files, and, under
# wine against satemu, its satcli.exe (a query and a sale, which loads the bundle's zlib.dll) and
# a program built with nothing but the bundle's sat.h and import library.
# usage: win32.sh BUNDLE.zip VERSION SATEMU
set -euo pipefail
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
versao=$2
satemu=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
raiz=$(cd "$(dirname "$0")/../.." && pwd)
# The build's wine prefix, made once for all its tests.
export WINEPREFIX=${WINEPREFIX:-$(dirname "$zip")/wineprefix}
dir=$(mktemp -d /tmp/satwin32.XXXXXX)
trap 'rm -rf "$dir"' EXIT
falhas=0
falha() {
  echo "FAILED: $*" >&2
  falhas=$((falhas + 1))
}

python3 -m zipfile -e "$zip" "$dir" || { echo "$zip is not a zip" >&2; exit 1; }
pasta=$dir/libsat-$versao-win32
arquivos=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort | xargs)
esperados=$(printf "libsat-$versao-win32/%s\n" README.txt libsat.dll.a sat.def sat.dll sat.h \
  satcli.exe satemu.txt zlib.dll | sort | xargs)
[ "$arquivos" = "$esperados" ] || falha "files: $arquivos"

# The .def names every export, with its __stdcall size; the DLL exports them and needs nothing
# beyond Windows' own DLLs.
definidas=$(sed -n 's/^[[:space:]]*\([A-Za-z0-9_]*\)@[0-9]*$/\1/p' "$pasta/sat.def" | sort)
diff <(sort "$raiz/tests/exportacoes.txt") <(printf '%s\n' "$definidas") >&2 ||
  falha "sat.def differs from tests/exportacoes.txt"
"$raiz/tests/exportacoes.sh" "$pasta/sat.dll" "$raiz/tests/exportacoes.txt" >/dev/null ||
  falha "sat.dll's exports"
"$raiz/tests/win32/dependencias.sh" "$pasta/sat.dll" >/dev/null || falha "sat.dll's imports"

# Texts for Notepad: CR LF line ends; the README's section and satemu's manual, rendered.
for texto in README.txt satemu.txt; do
  [ -s "$pasta/$texto" ] || falha "$texto is empty"
  [ "$(grep -c $'\r$' "$pasta/$texto")" = "$(wc -l <"$pasta/$texto")" ] ||
    falha "$texto has lines without CR LF"
done
head -1 "$pasta/README.txt" | grep -q "^libsat $versao for Windows" || falha "README.txt's title"
grep -q '^### Windows' "$pasta/README.txt" || falha "README.txt lacks the Windows section"
! grep -q '^## ' "$pasta/README.txt" || falha "README.txt runs past the Windows section"
grep -q -- '--pronto' "$pasta/satemu.txt" || falha "satemu.txt lacks --pronto"
! grep -qE $'^\\.[A-Z]|\b' "$pasta/satemu.txt" || falha "satemu.txt holds roff or overstrikes"

# A POS program built from the bundle alone, and the bundle's satcli.exe, run from its folder.
# One wine server for both runs, holding none of this script's outputs; the runs write into
# files, which wine's background processes may keep open without holding the test up.
# shellcheck source=tests/win32/prefixo.sh
. "$raiz/tests/win32/prefixo.sh"
prepara_prefixo "$pasta/satcli.exe"
wineserver -p20 >/dev/null 2>&1 </dev/null || true
i686-w64-mingw32-gcc -Wall -Werror -o "$pasta/consumidor.exe" \
  "$raiz/tests/pacote/consumidor/consumidor.c" -I"$pasta" -L"$pasta" -lsat ||
  falha "consumidor.c does not build against the bundle"
cp "$raiz/examples/cfe-venda.xml" "$pasta/"
cd "$pasta"
"$raiz/tests/com_satemu.sh" "$satemu" --pronto wine consumidor.exe >"$dir/consumidor" \
  2>"$dir/erro" || falha "consumidor.exe ended with status $?: $(cat "$dir/erro")"
grep -q '|08000|' "$dir/consumidor" || falha "consumidor.exe got: $(cat "$dir/consumidor")"
"$raiz/tests/com_satemu.sh" "$satemu" --pronto wine satcli.exe --porta 7 --sessao 42 \
  --codigo 12345678 --bruto consultar , venda cfe-venda.xml >"$dir/satcli" 2>"$dir/erro" ||
  falha "satcli.exe ended with status $?: $(cat "$dir/erro")"
grep -q '^000042|08000|' "$dir/satcli" || falha "satcli.exe's query got: $(cat "$dir/satcli")"
grep -q '^000043|06000|' "$dir/satcli" || falha "satcli.exe's sale got: $(cat "$dir/satcli")"

[ "$falhas" -eq 0 ] || exit 1
echo "$(basename "$zip"): the files, the exports, and satcli.exe and a program of its own work"
