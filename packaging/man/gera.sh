#!/bin/sh
# A tool's man page from its --help and --version, by help2man, with the headings in Portuguese
# (help2man's own pt_BR translation): what --help does not say comes from the page's include
# file (PROGRAM.h2m beside this script: NOME, further DESCRIÇÃO, ARQUIVOS, EXEMPLOS...).
# usage: gera.sh PROGRAM INCLUDE LOCALES CHANGELOG OUTPUT
#   LOCALES  a folder holding a compiled pt_BR.UTF-8 locale (localedef), for machines without one
#   CHANGELOG  the Debian changelog, whose latest entry dates the page (not the build's day)
set -eu
programa=$1 inclusao=$2 locais=$3 changelog=$4 saida=$5

data=$(sed -n 's/^ -- .*>  //p' "$changelog" | head -n 1)
SOURCE_DATE_EPOCH=$(date -u -d "$data" +%s)
LOCPATH=$locais
# In a sanitizer build, p11-kit (which satcli loads through libcurl) leaks glibc's copy of a
# LOCPATH at load time; the page needs only the tool's text.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
export SOURCE_DATE_EPOCH LOCPATH ASAN_OPTIONS
help2man --no-info --locale=pt_BR.UTF-8 --section=1 --manual="Ferramentas da libsat" \
  --include="$inclusao" --output="$saida.tmp" "$programa"
# help2man knows Opções, Ambiente, Arquivos and Exemplos as sections; "Subcomandos:" and
# "Status de saída:" would be subsections of the one before them. Letters beyond ASCII become
# groff's named code points, so that the page reads the same whatever encoding groff assumes;
# no hyphenation, which groff would do by English patterns.
sed -e 's/^\.SS "Status de saída:"$/.SH "STATUS DE SAÍDA"/' -e 's/^\.SS "Subcomandos:"$/.SH SUBCOMANDOS/' -e '/^\.TH /a .nh' "$saida.tmp" |
  perl -CSD -pe 's/([^\x00-\x7f])/sprintf("\\[u%04X]", ord $1)/ge' >"$saida"
rm -f "$saida.tmp"
