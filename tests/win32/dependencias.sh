#!/usr/bin/env bash
# The DLL may need nothing at run time but Windows' own DLLs.
set -euo pipefail
dll=$1
permitidas='^(KERNEL32|USER32|ADVAPI32|SETUPAPI|OLE32|MSVCRT|NTDLL|api-ms-win-.*)\.dll$'
ruins=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' |
  grep -viE "$permitidas" || true)
if [ -n "$ruins" ]; then
  echo "$(basename "$dll") needs non-system DLLs: $ruins"
  exit 1
fi
echo "$(basename "$dll") imports only system DLLs"
