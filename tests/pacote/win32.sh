#!/usr/bin/env bash
# The Windows bundle as a user gets it: unpacked into a folder of its own, its files; in each
# DLL's folder, the exports of sat.dll and satextrato.dll and a program of each built with nothing
# but that folder's header and import library (which links only where the header's convention is
# the DLL's); and, under wine, those programs (the extrato's bytes the Linux library's) and
# satcli.exe against satemu (a query and a sale, which loads the folder's zlib.dll).
# The x64 programs run under the 64-bit wine; the x86 ones where this machine runs 32-bit ones.
# usage: win32.sh BUILD_DIR SATEMU   (BUILD_DIR holds the zip and the win32 and win64 builds)
set -euo pipefail
build=$(cd "$1" && pwd)
satemu=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
raiz=$(cd "$(dirname "$0")/../.." && pwd)
versao=$(sed -n 's/^project(libsat VERSION \([0-9.]*\).*/\1/p' "$raiz/CMakeLists.txt")
zip=$build/libsat-$versao-win32.zip
dir=$(mktemp -d /tmp/satwin32.XXXXXX)
trap 'rm -rf "$dir"' EXIT
falhas=0
falha() {
  echo "FAILED: $*" >&2
  falhas=$((falhas + 1))
}

python3 -m zipfile -e "$zip" "$dir" || { echo "$zip is not a zip" >&2; exit 1; }
pasta=$dir/libsat-$versao-win32
arquivos=$(cd "$pasta" && find . -type f | sed 's|^\./||' | sort | xargs)
esperados=$( (
  printf '%s\n' README.txt satemu.txt
  for variante in x86 x86-cdecl x64; do
    printf "$variante/%s\n" libsat.dll.a sat.def sat.dll sat.h zlib.dll \
      libsatextrato.dll.a satextrato.def satextrato.dll satextrato.h
  done
  printf '%s\n' x86/satcli.exe x64/satcli.exe
) | sort | xargs)
[ "$arquivos" = "$esperados" ] || falha "files: $arquivos"

# Texts for Notepad: CR LF line ends; the README's section and satemu's manual, rendered.
for texto in README.txt satemu.txt; do
  [ -s "$pasta/$texto" ] || falha "$texto is empty"
  [ "$(grep -c $'\r$' "$pasta/$texto")" = "$(wc -l <"$pasta/$texto")" ] ||
    falha "$texto has lines without CR LF"
done
head -1 "$pasta/README.txt" | grep -q "^libsat $versao para Windows" || falha "README.txt's title"
grep -q '^### Windows' "$pasta/README.txt" || falha "README.txt lacks the Windows section"
! grep -q '^## ' "$pasta/README.txt" || falha "README.txt runs past the Windows section"
for variante in x86 x86-cdecl x64; do
  grep -q "\`$variante\`" "$pasta/README.txt" || falha "README.txt does not name $variante"
done
grep -q -- '--pronto' "$pasta/satemu.txt" || falha "satemu.txt lacks --pronto"
! grep -qE $'^\\.[A-Z]|\b' "$pasta/satemu.txt" || falha "satemu.txt holds roff or overstrikes"

# Each folder: each .def names every export (x86 with its __stdcall size), each DLL exports them
# and needs nothing beyond Windows' own DLLs, and the consumers build from the folder alone.
for par in x86:i686:'@[0-9]+' x86-cdecl:i686: x64:x86_64:; do
  IFS=: read -r variante cpu sufixo <<<"$par"
  for biblioteca in sat:tests satextrato:extrato/tests; do
    IFS=: read -r dll lista <<<"$biblioteca"
    definidas=$(sed -nE "s/^[[:space:]]+([A-Za-z0-9_]+)$sufixo([[:space:]]|\$).*/\1/p" \
      "$pasta/$variante/$dll.def" | sort)
    diff <(sort "$raiz/$lista/exportacoes.txt") <(printf '%s\n' "$definidas") >&2 ||
      falha "$variante/$dll.def differs from $lista/exportacoes.txt"
    "$raiz/tests/exportacoes.sh" "$pasta/$variante/$dll.dll" "$raiz/$lista/exportacoes.txt" \
      >/dev/null || falha "$variante/$dll.dll's exports"
    "$raiz/tests/win32/dependencias.sh" "$pasta/$variante/$dll.dll" >/dev/null ||
      falha "$variante/$dll.dll's imports"
  done
  $cpu-w64-mingw32-gcc -Wall -Werror -o "$pasta/$variante/consumidor.exe" \
    "$raiz/tests/pacote/consumidor/consumidor.c" -I"$pasta/$variante" -L"$pasta/$variante" -lsat ||
    falha "consumidor.c does not build against $variante"
  $cpu-w64-mingw32-gcc -Wall -Werror -o "$pasta/$variante/extrato.exe" \
    "$raiz/extrato/tests/gera.c" -I"$pasta/$variante" -L"$pasta/$variante" -lsatextrato ||
    falha "gera.c does not build against $variante's satextrato"
done
# A program that takes the wrong folder's header fails to link instead of corrupting its stack.
! i686-w64-mingw32-gcc -o "$dir/errado.exe" "$raiz/tests/pacote/consumidor/consumidor.c" \
  -I"$pasta/x86" -L"$pasta/x86-cdecl" -lsat 2>/dev/null ||
  falha "the __stdcall header links against the cdecl DLL"

# The programs under wine, from their folder. The runs write into files, which wine's background
# processes may keep open without holding the test up.
# shellcheck source=tests/win32/prefixo.sh
. "$raiz/tests/win32/prefixo.sh"
roda() { # FOLDER WINEPREFIX [FOLDER OF THE WINE TO RUN]
  local variante=$1 aqui=$pasta/$1
  local -x WINEPREFIX=$2 PATH=${3:+$3:}$PATH
  prepara_prefixo "$aqui/sat.dll"
  cp "$raiz/examples/cfe-venda.xml" "$aqui/"
  (cd "$aqui" && "$raiz/tests/com_satemu.sh" "$satemu" --pronto wine consumidor.exe) \
    >"$dir/consumidor" 2>"$dir/erro" ||
    falha "$variante/consumidor.exe ended with status $?: $(cat "$dir/erro")"
  grep -q '|08000|' "$dir/consumidor" ||
    falha "$variante/consumidor.exe got: $(cat "$dir/consumidor")"
  # The extrato's ESC/POS, byte for byte the Linux library's.
  (cd "$aqui" && wine extrato.exe 1 80 "$venda") >"$dir/extrato" 2>"$dir/erro" ||
    falha "$variante/extrato.exe ended with status $?: $(cat "$dir/erro")"
  cmp -s "$dir/extrato" "$dir/extrato-linux" ||
    falha "$variante/satextrato.dll's extrato differs from the Linux library's"
  [ -f "$aqui/satcli.exe" ] || return 0
  (cd "$aqui" && "$raiz/tests/com_satemu.sh" "$satemu" --pronto wine satcli.exe --porta 7 \
    --sessao 42 --codigo 12345678 --bruto consultar , venda cfe-venda.xml) >"$dir/satcli" \
    2>"$dir/erro" || falha "$variante/satcli.exe ended with status $?: $(cat "$dir/erro")"
  grep -q '^000042|08000|' "$dir/satcli" ||
    falha "$variante/satcli.exe's query got: $(cat "$dir/satcli")"
  grep -q '^000043|06000|' "$dir/satcli" ||
    falha "$variante/satcli.exe's sale got: $(cat "$dir/satcli")"
}
venda=$raiz/extrato/tests/dados/cfe-venda.xml
"$(dirname "$satemu")/extrato_gera" 1 80 "$venda" >"$dir/extrato-linux" ||
  { echo "the native build's extrato_gera failed" >&2; exit 1; }
roda x64 "$build/win64/wineprefix" "$raiz/tests/win32/wine64"
rodados=x64
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  roda x86 "$build/win32/wineprefix"
  roda x86-cdecl "$build/win32/wineprefix"
  rodados="x86, x86-cdecl and x64"
else
  echo "32-bit programs cannot run on this machine: the x86 folders' programs are built, not run"
fi

[ "$falhas" -eq 0 ] || exit 1
echo "$(basename "$zip"): the files, each folder's exports and consumer, and under wine ($rodados) its programs"
