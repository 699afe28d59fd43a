#!/usr/bin/env bash
# Runs a Windows test program under wine, in a wine prefix of the build's own.
# usage: wine.sh PROGRAM.exe [ARGS...]
set -euo pipefail
# shellcheck source=tests/win32/prefixo.sh
. "$(dirname "$0")/prefixo.sh"
prepara_prefixo "$1"
exec wine "$@"
