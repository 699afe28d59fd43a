#!/usr/bin/env bash
# Every export of a 32-bit sat.dll returns as its calling convention says: __stdcall pops its
# arguments ("ret $N", N the bytes of the arguments, as the linker's Name@N gives them; a plain
# ret for none), __cdecl leaves them to the caller (a plain ret).
# usage: convencao.sh SAT.DLL EXPORTS.txt stdcall|cdecl
set -euo pipefail
dll=$1
exportacoes=$2
convencao=$3
desmontado=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll")
falhas=0
while read -r nome; do
  # The function's body: from its symbol (_Name or _Name@N) to the next one.
  corpo=$(printf '%s\n' "$desmontado" | awk -v n="$nome" '
    $2 ~ "^<_" n "(@[0-9]+)?>:$" { p = 1; print; next }
    /^[0-9a-f]+ </ { p = 0 }
    p')
  simbolo=$(printf '%s\n' "$corpo" | sed -n '1s/.*<_\(.*\)>:/\1/p')
  retornos=$(printf '%s\n' "$corpo" | grep -E '[[:space:]]ret[[:space:]]*(\$0x[0-9a-f]+)?$' |
    sed -E 's/.*ret[[:space:]]*//' | sort -u || true)
  if [ "$convencao" = stdcall ]; then
    bytes=${simbolo##*@}
    [ "$bytes" != "$simbolo" ] || { echo "$nome: no @N in its symbol $simbolo"; falhas=1; continue; }
    esperado=$([ "$bytes" -eq 0 ] && echo "" || printf '$0x%x' "$bytes")
  else
    [ "$simbolo" = "$nome" ] || { echo "$nome: decorated as $simbolo"; falhas=1; continue; }
    esperado=""
  fi
  # A body with no ret ends in a tail jump, which only a function that pops nothing may make.
  if [ -z "$retornos" ] && [ -z "$esperado" ] && printf '%s\n' "$corpo" | grep -qE '[[:space:]]jmp'
  then
    continue
  fi
  if [ -z "$corpo" ] || ! printf '%s\n' "$corpo" | grep -qE '[[:space:]]ret' ||
    [ "$retornos" != "$esperado" ]; then
    echo "$nome ($simbolo): returns with '${retornos//$'\n'/, }', expected 'ret${esperado:+ $esperado}'"
    falhas=1
  fi
done <"$exportacoes"
[ "$falhas" -eq 0 ] || exit 1
echo "$(wc -l <"$exportacoes") exports of $(basename "$dll") return as $convencao does"
