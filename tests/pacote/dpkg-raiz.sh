#!/usr/bin/env bash
# An empty dpkg database under ROOT for dpkg --root, but for the PACKAGEs this machine has
# installed (their status, every architecture's, no files): Depends on them hold there.
# usage: dpkg-raiz.sh ROOT [PACKAGE...]
set -euo pipefail
admin=$1/var/lib/dpkg
shift
mkdir -p "$admin/info" "$admin/updates"
touch "$admin/status" "$admin/available"
[ $# -eq 0 ] || dpkg-query -W -f='${binary:Package}\n' "$@" | while read -r pacote; do
  dpkg-query -s "$pacote"
  echo
  : >"$admin/info/$pacote.list"
done >"$admin/status"
