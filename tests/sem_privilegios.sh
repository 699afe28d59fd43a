#!/usr/bin/env bash
# Runs a test command as the unprivileged user nobody, from a folder of its own, when run as
# root (as make test runs on CI). Root may open a port another open left in exclusive use, and
# reach folders and links that an ordinary user cannot; a point-of-sale user cannot, and this
# run cannot either. Run as anyone else, the plain entries are unprivileged already: skipped (77).
# usage: sem_privilegios.sh COMMAND [ARGS...]
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the plain run of this test is unprivileged already"
  exit 77
fi
usuario=nobody
grupo=$(id -gn "$usuario")
como_usuario=(setpriv --reuid="$usuario" --regid="$grupo" --clear-groups)

pasta=$(mktemp -d /tmp/satnobody.XXXXXX)
trap 'rm -rf "$pasta"' EXIT
chown "$usuario:$grupo" "$pasta"

# Every file named on the command line (the programs, the library beside them) must be within
# the user's reach, or the test would fail for a reason that is not the library's.
for arquivo in "$@"; do
  if [ -e "$arquivo" ] && ! "${como_usuario[@]}" test -r "$arquivo"; then
    echo "$usuario cannot read $arquivo: make its folders readable (chmod o+rx)" >&2
    exit 1
  fi
done

cd "$pasta"
status=0
HOME=$pasta "${como_usuario[@]}" "$@" || status=$?
exit "$status"
