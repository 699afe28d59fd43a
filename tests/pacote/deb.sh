#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from the build folder, its metadata and
# file list, lintian, its maintainer scripts run over recording stand-ins for the system's
# commands, and its own satcli and satemu, unpacked, talking to each other.
# usage: deb.sh BUILD_DIR VERSION LIBDIR
set -euo pipefail
build=$(cd "$1" && pwd)
versao=$2
libdir=$3
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
deb=$dir/cpack/libsat_${versao}-1_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "no $deb:" >&2; ls "$dir/cpack" >&2; exit 1; }

# Metadata: the version, and the libraries the binaries load (dpkg-shlibdeps) plus zlib, which
# the library opens at run time, and adduser, which postinst calls.
[ "$(dpkg-deb -f "$deb" Package)" = libsat ] || falha "Package: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$versao-1" ] || falha "Version: $(dpkg-deb -f "$deb" Version)"
depende=$(dpkg-deb -f "$deb" Depends)
nomes=$(tr ',' '\n' <<<"$depende" | awk '{print $1}')
for pacote in zlib1g adduser libc6 libstdc++6 libxml2 libssl3; do
  grep -qxF "$pacote" <<<"$nomes" || falha "Depends lacks $pacote: $depende"
done
controle=$(dpkg-deb --ctrl-tarfile "$deb" | tar t | sed 's|^\./||' | grep -v '^$' | sort | xargs)
[ "$controle" = "conffiles control md5sums postinst postrm prerm shlibs triggers" ] ||
  falha "control files: $controle"
[ "$(dpkg-deb -I "$deb" conffiles)" = "/etc/logrotate.d/satd" ] ||
  falha "conffiles: $(dpkg-deb -I "$deb" conffiles)"
[ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] || falha "no ldconfig trigger"
[ "$(dpkg-deb -I "$deb" shlibs)" = "libsat 2 libsat (>= $versao-1)" ] ||
  falha "shlibs: $(dpkg-deb -I "$deb" shlibs)"

# Every file, its mode and a link's target; directories follow from them.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $1, $6, $7, $8}' |
  sed 's/ *$//' | sort >"$dir/arquivos"
sed -e "s|@LIBDIR@|$libdir|g" -e "s|@VERSAO@|$versao|g" "$aqui/deb-arquivos.txt" | sort \
  >"$dir/esperados"
diff "$dir/esperados" "$dir/arquivos" >&2 || falha "file list differs (< expected, > in the package)"

# lintian: no error and no warning that packaging/debian/lintian-overrides does not justify.
# Every override carries its reason, and none is left over from a fault mended since.
lintian -I --fail-on error,warning "$deb" >"$dir/lintian" 2>&1 ||
  falha "lintian: $(grep -E '^[EW]: ' "$dir/lintian" || cat "$dir/lintian")"
! grep -E "unused-override|mismatched-override" "$dir/lintian" >&2 || falha "stale lintian override"
awk '/^#/ {razao = 1} /^$/ {razao = 0} /^[^#]/ && !razao {print; n++} END {exit (n > 0)}' \
  "$raiz/packaging/debian/lintian-overrides" >&2 || falha "a lintian override without its reason"

# Unpacked: the soname, the changelog of this version, the units and rules that name one group.
dpkg-deb -x "$deb" "$dir/raiz"
readelf -d "$dir/raiz/usr/$libdir/libsat.so.$versao" | grep -q 'SONAME.*\[libsat\.so\.2\]' ||
  falha "libsat.so.$versao has no soname libsat.so.2"
zcat "$dir/raiz/usr/share/doc/libsat/changelog.Debian.gz" | head -1 |
  grep -q "^libsat ($versao-1) " || falha "the changelog's last entry is not $versao-1"
regra=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$dir/raiz/usr/lib/udev/rules.d/60-libsat.rules")
unidade=$dir/raiz/usr/lib/systemd/system/satd.service
[ "$regra" = sat ] || falha "the udev rule gives the port to '$regra'"
grep -qx "SupplementaryGroups=$regra" "$unidade" || falha "satd's unit does not join $regra"
grep -qx "User=satd" "$unidade" || falha "satd's unit does not run as satd"
for pagina in man1/satcli.1 man1/satemu.1 man1/satd.1 man5/satd.toml.5; do
  gzip -t "$dir/raiz/usr/share/man/$pagina.gz" || falha "$pagina.gz is not gzip"
done

# The maintainer scripts over stand-ins that record each call. A fresh container: no group, no
# user, no udev daemon (udevadm fails). An upgrade: group and user there, udev running. Neither
# may fail, and nothing enables or starts satd.
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
dpkg-deb -e "$deb" "$dir/controle"
roda() { # SCENARIO GETENT UDEVADM SCRIPT ARGS...
  local cenario=$1 getent=$2 udevadm=$3 script=$4
  shift 4
  : >"$dir/$cenario"
  SAT_CHAMADAS=$dir/$cenario SAT_GETENT=$getent SAT_UDEVADM=$udevadm PATH="$dir/bin:$PATH" \
    sh "$dir/controle/$script" "$@" || falha "$cenario: $script $* ended with status $?"
  grep -v '^systemctl --system daemon-reload$' "$dir/$cenario" >"$dir/$cenario.sem-reload" || true
}
roda novo 2 1 postinst configure
roda atualizacao 0 0 postinst configure "$versao-1"
roda remocao 0 1 prerm remove
roda remocao-pos 0 1 postrm remove
grep -hE 'enable|start|unmask' "$dir"/novo "$dir"/atualizacao >&2 && falha "postinst enables satd"
diff - "$dir/novo.sem-reload" >&2 <<EOF || falha "postinst on a fresh container"
getent group sat
addgroup --quiet --system sat
getent passwd satd
adduser --quiet --system --group --no-create-home --home /var/lib/satd satd
adduser --quiet satd sat
udevadm control --reload-rules
EOF
diff - "$dir/atualizacao.sem-reload" >&2 <<EOF || falha "postinst on an upgrade"
getent group sat
getent passwd satd
adduser --quiet satd sat
udevadm control --reload-rules
udevadm trigger --subsystem-match=tty --action=change
EOF
grep -qx "udevadm control --reload-rules" "$dir/remocao-pos" || falha "postrm keeps the rule in force"

# The package's own satcli (stripped, no run path) asks the package's satemu.
saida=$(LD_LIBRARY_PATH=$dir/raiz/usr/$libdir "$raiz/tests/com_satemu.sh" \
  "$dir/raiz/usr/bin/satemu" --pronto nativo "$dir/raiz/usr/bin/satcli" --porta 7 --sessao 42 \
  --bruto consultar) || falha "the packaged satcli ended with status $?"
grep -q '^000042|08000|' <<<"$saida" || falha "the packaged satcli got: $saida"

[ "$falhas" -eq 0 ] || exit 1
echo "$(basename "$deb"): $(wc -l <"$dir/arquivos") files, lintian clean, scripts and tools work"
