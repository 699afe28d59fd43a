#!/usr/bin/env bash
# A package's files against its rows of deb-arquivos.txt: each file's mode, path and a link's
# target (directories follow from them). Prints how many files it holds; on a difference, the
# diff (< expected, > in the package) on standard error and status 1.
# usage: arquivos-deb.sh PACKAGE.deb NAME LIBDIR VERSION
set -euo pipefail
deb=$1
nome=$2
libdir=$3
versao=$4
dir=$(mktemp -d /tmp/satarquivos.XXXXXX)
trap 'rm -rf "$dir"' EXIT
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $1, $6, $7, $8}' |
  sed 's/ *$//' | sort >"$dir/arquivos"
awk -v p="$nome" '$1 == p {sub(/^[^ ]+ /, ""); print}' "$(dirname "$0")/deb-arquivos.txt" |
  sed -e "s|@LIBDIR@|$libdir|g" -e "s|@VERSAO@|$versao|g" | sort >"$dir/esperados"
diff "$dir/esperados" "$dir/arquivos" >&2
wc -l <"$dir/arquivos"
