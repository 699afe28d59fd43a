#!/usr/bin/env bash
# The Debian packages as a user gets them (libsat2, libsat-dev, sat-ferramentas, satd, and
# libsatextrato1 and libsatextrato-dev): built by
# CPack, their metadata and file lists, lintian, dpkg installing them with their maintainer scripts
# run over recording stand-ins for the system's commands, and the packaged satcli and satemu,
# unpacked, talking to each other over the packaged library; a program built with the packaged
# libsatextrato.pc gives the build's extrato.
# usage: deb.sh BUILD_DIR VERSION DEBIAN_REVISION LIBDIR
set -euo pipefail
build=$(cd "$1" && pwd)
versao=$2
revisao=$3
libdir=$4
aqui=$(cd "$(dirname "$0")" && pwd)
raiz=$(cd "$aqui/../.." && pwd)
dir=$(mktemp -d /tmp/satdeb.XXXXXX)
trap 'rm -rf "$dir"' EXIT
falhas=0
falha() {
  echo "FAILED: $*" >&2
  falhas=$((falhas + 1))
}

cpack --config "$build/CPackConfig.cmake" -B "$dir/cpack" >"$dir/cpack.log" 2>&1 ||
  { cat "$dir/cpack.log" >&2; exit 1; }
arq=$(dpkg --print-architecture)
versao_deb=$versao-$revisao
arquivos=0
pacotes="libsat2 libsat-dev sat-ferramentas satd libsatextrato1 libsatextrato-dev"
debs() { local pacote; for pacote; do echo "$dir/cpack/${pacote}_${versao_deb}_$arq.deb"; done; }
for pacote in $pacotes; do
  deb=$(debs $pacote)
  [ -f "$deb" ] || { echo "no $deb:" >&2; ls "$dir/cpack" >&2; exit 1; }
  [ "$(dpkg-deb -f "$deb" Version)" = "$versao_deb" ] || falha "$pacote: Version"
  [ "$(dpkg-deb -f "$deb" Source)" = libsat ] || falha "$pacote: Source"
  # They take over the files of the packages that held them before (satd's: sat-ferramentas).
  anteriores="libsat (<< $versao_deb)"
  if [ $pacote = satd ]; then anteriores+=", sat-ferramentas (<< $versao_deb)"; fi
  if [[ $pacote == libsatextrato* ]]; then anteriores=""; fi
  for campo in Replaces Breaks; do
    [ "$(dpkg-deb -f "$deb" $campo)" = "$anteriores" ] || falha "$pacote: $campo"
  done
  if n=$("$aqui/arquivos-deb.sh" "$deb" $pacote "$libdir" "$versao"); then
    arquivos=$((arquivos + n))
  else
    falha "$pacote: file list differs (< expected, > in the package)"
  fi
  dpkg-deb -x "$deb" "$dir/raiz"
done
read -r biblioteca ferramentas satd extrato < <(debs libsat2 sat-ferramentas satd libsatextrato1 |
  xargs)

# Metadata: the libraries the binaries load (dpkg-shlibdeps), zlib, which the library opens at
# run time, the library at this very version for the tools, satd (and sat-ferramentas for it) and
# the development files, and adduser, which postinst calls.
depende() { # PACKAGE.deb NAME...: each NAME among the package's Depends
  local deb=$1 depende nomes
  shift
  depende=$(dpkg-deb -f "$deb" Depends)
  nomes=$(tr ',' '\n' <<<"$depende" | awk '{print $1}')
  for pacote in "$@"; do
    grep -qxF "$pacote" <<<"$nomes" || falha "$(basename "$deb")'s Depends lacks $pacote: $depende"
  done
}
depende "$biblioteca" zlib1g libc6 libstdc++6
depende "$ferramentas" adduser libc6 libstdc++6 libxml2 libcurl4
depende "$satd" adduser libc6 libstdc++6 libssl3 libsqlite3-0 libarchive13 libpq5
depende "$extrato" fonts-dejavu-core libc6 libstdc++6 libxml2 libcairo2
for par in libsat-dev:libsat2 sat-ferramentas:libsat2 satd:libsat2 satd:sat-ferramentas \
  libsatextrato-dev:libsatextrato1; do
  dpkg-deb -f "$(debs ${par%:*})" Depends | tr ',' '\n' | grep -qx " *${par#*:} (= $versao_deb)" ||
    falha "${par%:*} does not depend on ${par#*:} (= $versao_deb)"
done
controle() { dpkg-deb --ctrl-tarfile "$1" | tar t | sed 's|^\./||' | grep -v '^$' | sort | xargs; }
for deb in "$biblioteca" "$extrato"; do
  [ "$(controle "$deb")" = "control md5sums shlibs triggers" ] ||
    falha "$(basename "$deb")'s control files: $(controle "$deb")"
  [ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] ||
    falha "$(basename "$deb"): no ldconfig trigger"
done
[ "$(controle "$ferramentas")" = "control md5sums postinst postrm" ] ||
  falha "sat-ferramentas' control files: $(controle "$ferramentas")"
[ "$(controle "$satd")" = "conffiles control md5sums postinst postrm prerm" ] ||
  falha "satd's control files: $(controle "$satd")"
[ "$(dpkg-deb -I "$satd" conffiles)" = "/etc/logrotate.d/satd" ] ||
  falha "conffiles: $(dpkg-deb -I "$satd" conffiles)"
[ "$(dpkg-deb -I "$biblioteca" shlibs)" = "libsat 2 libsat2 (>= $versao_deb)" ] ||
  falha "shlibs: $(dpkg-deb -I "$biblioteca" shlibs)"
[ "$(dpkg-deb -I "$extrato" shlibs)" = "libsatextrato 1 libsatextrato1 (>= $versao_deb)" ] ||
  falha "libsatextrato1's shlibs: $(dpkg-deb -I "$extrato" shlibs)"

# lintian: no error and no warning, with no override.
lintian -I --fail-on error,warning "$dir"/cpack/*.deb >"$dir/lintian" 2>&1 ||
  falha "lintian: $(grep -E '^[EW]: ' "$dir/lintian" || cat "$dir/lintian")"

# Unpacked: the soname, the changelog of this version, the units and rules that name one group.
readelf -d "$dir/raiz/usr/$libdir/libsat.so.$versao" | grep -q 'SONAME.*\[libsat\.so\.2\]' ||
  falha "libsat.so.$versao has no soname libsat.so.2"
readelf -d "$dir/raiz/usr/$libdir/libsatextrato.so.1.0.0" |
  grep -q 'SONAME.*\[libsatextrato\.so\.1\]' ||
  falha "libsatextrato.so.1.0.0 has no soname libsatextrato.so.1"
for pacote in $pacotes; do
  zcat "$dir/raiz/usr/share/doc/$pacote/changelog.Debian.gz" | head -1 |
    grep -q "^libsat ($versao_deb) " || falha "$pacote: the changelog's last entry is not $versao_deb"
done
regra=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$dir/raiz/usr/lib/udev/rules.d/60-libsat.rules")
unidade=$dir/raiz/usr/lib/systemd/system/satd.service
[ "$regra" = sat ] || falha "the udev rule gives the port to '$regra'"
grep -qx "SupplementaryGroups=$regra" "$unidade" || falha "satd's unit does not join $regra"
grep -qx "User=satd" "$unidade" || falha "satd's unit does not run as satd"
for pagina in man1/satcli.1 man1/satemu.1 man1/satd.1 man5/satd.toml.5; do
  gzip -t "$dir/raiz/usr/share/man/$pagina.gz" || falha "$pagina.gz is not gzip"
done

# dpkg, in a database of its own per scenario. A fresh container (no group, no user, no udev
# daemon: udevadm fails): each package alone (with those of its Depends), all together. An upgrade
# (group, user and udev there): satd takes its files over from the sat-ferramentas before it
# (made of satd's package). None may fail, and nothing enables or starts satd.
mkdir -p "$dir/bin"
for comando in getent addgroup adduser udevadm systemctl deb-systemd-invoke deb-systemd-helper; do
  cat >"$dir/bin/$comando" <<EOF
#!/bin/sh
echo "$comando \$*" >>"\$SAT_CHAMADAS"
case "$comando \$1" in
"udevadm "*) exit \${SAT_UDEVADM:-0} ;;
"getent "*) exit \${SAT_GETENT:-0} ;;
esac
EOF
  chmod +x "$dir/bin/$comando"
done
externos=$(for deb in $(debs $pacotes); do dpkg-deb -f "$deb" Depends; done | tr ',|' '\n\n' |
  awk '{print $1}' | grep -vxE 'libsat2|sat-ferramentas|libsatextrato1' | sort -u)
roda() { # SCENARIO[.STEP] GETENT UDEVADM DPKG-ARGUMENTS...: in a fresh database, or SCENARIO's
  local cenario=$1 getent=$2 udevadm=$3
  shift 3
  [[ $cenario == *.* ]] || "$aqui/dpkg-raiz.sh" "$dir/raiz-$cenario" $externos
  : >"$dir/$cenario"
  SAT_CHAMADAS=$dir/$cenario SAT_GETENT=$getent SAT_UDEVADM=$udevadm PATH="$dir/bin:$PATH" \
    dpkg --root="$dir/raiz-${cenario%.*}" --force-not-root --force-script-chrootless "$@" \
    </dev/null >"$dir/dpkg" 2>&1 || falha "$cenario: dpkg $*: $(cat "$dir/dpkg")"
  grep -v '^systemctl --system daemon-reload$' "$dir/$cenario" >"$dir/$cenario.sem-reload" || true
}
dpkg-deb -R "$satd" "$dir/anterior"
sed -i -e "s/^Package: satd/Package: sat-ferramentas/; s/^\(Version: .*-\).*/\1$((revisao - 1))/" \
  -e '/^\(Replaces\|Breaks\|Depends\):/d' "$dir/anterior/DEBIAN/control"
dpkg-deb --root-owner-group -b "$dir/anterior" "$dir/anterior.deb" >/dev/null
for conjunto in libsat2 "libsat-dev libsat2" "sat-ferramentas libsat2" \
  "satd libsat2 sat-ferramentas" libsatextrato1 "libsatextrato-dev libsatextrato1" \
  "juntos $pacotes"; do
  roda "${conjunto%% *}" 2 1 -i $(debs ${conjunto#juntos })
done
roda atualizacao 2 1 -i "$dir/anterior.deb"
echo "# the administrator's" >>"$dir/raiz-atualizacao/etc/logrotate.d/satd"
roda atualizacao.nova 0 0 --auto-deconfigure -i $(debs satd sat-ferramentas libsat2)
roda juntos.remocao 0 1 -r satd sat-ferramentas
grep -hE 'enable|start|unmask' "$dir"/juntos "$dir"/atualizacao.nova >&2 && falha "postinst enables satd"
diff - "$dir/juntos.sem-reload" >&2 <<EOF || falha "postinst on a fresh container"
getent group sat
addgroup --quiet --system sat
udevadm control --reload-rules
getent passwd satd
adduser --quiet --system --group --no-create-home --home /var/lib/satd satd
adduser --quiet satd sat
EOF
diff - "$dir/atualizacao.nova.sem-reload" >&2 <<EOF || falha "postinst on an upgrade"
getent group sat
udevadm control --reload-rules
udevadm trigger --subsystem-match=tty --action=change
getent passwd satd
adduser --quiet satd sat
EOF
grep -qx "udevadm control --reload-rules" "$dir/juntos.remocao" || falha "postrm keeps the rule in force"
grep -qx "# the administrator's" "$dir/raiz-atualizacao/etc/logrotate.d/satd" ||
  falha "satd's upgrade replaced the administrator's logrotate file"

# The package's own satcli (stripped, no run path) asks the package's satemu.
saida=$(LD_LIBRARY_PATH=$dir/raiz/usr/$libdir "$raiz/tests/com_satemu.sh" \
  "$dir/raiz/usr/bin/satemu" --pronto nativo "$dir/raiz/usr/bin/satcli" --porta 7 --sessao 42 \
  --bruto consultar) || falha "the packaged satcli ended with status $?"
grep -q '^000042|08000|' <<<"$saida" || falha "the packaged satcli got: $saida"

# A program built from the packaged header and libsatextrato.pc alone draws the build's extrato
# (as a raster image: cairo and zint at work, and the same bytes every time).
venda=$raiz/extrato/tests/dados/cfe-venda.xml
cc -Wall -Werror -o "$dir/extrato" "$raiz/extrato/tests/gera.c" \
  $(PKG_CONFIG_PATH=$dir/raiz/usr/$libdir/pkgconfig pkg-config --cflags --libs libsatextrato) ||
  falha "gera.c does not build with the packaged libsatextrato.pc"
LD_LIBRARY_PATH=$dir/raiz/usr/$libdir "$dir/extrato" 2 58 "$venda" >"$dir/extrato.escpos" ||
  falha "the packaged libsatextrato ended with status $?"
"$build/extrato_gera" 2 58 "$venda" | cmp -s - "$dir/extrato.escpos" ||
  falha "the packaged libsatextrato's extrato differs from the build's"

[ "$falhas" -eq 0 ] || exit 1
echo "$pacotes $versao_deb: $arquivos files, lintian clean, installed alone and together, scripts and tools work"
