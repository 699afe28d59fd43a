#!/usr/bin/env python3
"""The health checks end to end, through the real library on satemu's pseudo-terminal.

usage: saude_e2e.py niveis|pagina BUILD-FOLDER
  niveis  satemu in each state the checks look for; satcli saude and satd's {base}/saude must
          both give every check its level; satd asks the device once per interval
  pagina  satd's status page in headless Chromium: the device, each check and a critical alert
          in the page as the browser built it; the screenshot is kept as
          BUILD-FOLDER/saude-pagina.png
"""
import base64
import json
import os
import pathlib
import re
import select
import shutil
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

modo, build = sys.argv[1], pathlib.Path(sys.argv[2]).resolve()
SATEMU, SATCLI, SATD = build / "satemu", build / "satcli", build / "satd"
CODIGO = "12345678"
USUARIO, SENHA = "caixas", "segredo"
IDS = ["consulta", "certificado", "transmissao", "relogio", "memoria", "bateria", "operacao"]
pasta = pathlib.Path(tempfile.mkdtemp(prefix="saude-"))
falhas = []


def confere(oque, condicao, detalhe=""):
    if not condicao:
        falhas.append(f"{oque}: {detalhe}")
    return condicao


def primeira_linha(processo, segundos=20):
    """The process's first output line: it is ready once that is out."""
    linha = b""
    while not linha.endswith(b"\n"):
        pronto, _, _ = select.select([processo.stdout], [], [], segundos)
        if not pronto:
            return None
        c = os.read(processo.stdout.fileno(), 1)
        if not c:
            return None
        linha += c
    return linha.decode().strip()


class Processo:
    def __init__(self, args, ambiente=None):
        self.p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(os.environ, **(ambiente or {})))
        self.linha = primeira_linha(self.p)

    def para(self):
        if self.p.poll() is None:
            self.p.terminate()
        self.p.wait(timeout=30)
        return self.p.stderr.read().decode(errors="replace")


def satemu(opcoes):
    """satemu on DIR/COM7, its request frames recorded; None when it did not start."""
    registro = pasta / "registro.hex"
    registro.write_text("")
    e = Processo([str(SATEMU), "--link", str(pasta / "COM7"), "--registro", str(registro)] +
                 opcoes)
    if e.linha is None:
        confere(f"satemu {' '.join(opcoes)}", False, f"did not start: {e.para()}")
        return None
    return e


def satd(extra=""):
    """satd in front of COM7 with these [saude] keys; (process, url) or None."""
    (pasta / "satd.toml").write_text(
        f'[http]\nporta = 0\nusuario = "{USUARIO}"\nsenha = "{SENHA}"\n'
        f'[sat]\ncodigo_ativacao = "{CODIGO}"\nporta = 7\n'
        f'[registro]\narquivo = "{pasta}/satd.log"\n'
        f'[diario]\narquivo = "{pasta}/diario.sqlite3"\n[saude]\n{extra}\n')
    s = Processo([str(SATD), "--config", str(pasta / "satd.toml")],
                 {"SAT_DEV_DIR": f"{pasta}/"})
    if s.linha is None or not s.linha.startswith("satd: atendendo em "):
        confere("satd", False, f"did not start: {s.linha} {s.para()}")
        return None
    return s, s.linha[len("satd: atendendo em "):]


def pede(url, dados=None, credenciais=True):
    """(HTTP status, body) of a GET, or of a form POST when `dados` is given."""
    pedido = urllib.request.Request(url, data=dados.encode() if dados else None)
    if credenciais:
        token = base64.b64encode(f"{USUARIO}:{SENHA}".encode()).decode()
        pedido.add_header("Authorization", f"Basic {token}")
    try:
        with urllib.request.urlopen(pedido, timeout=60) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def satcli(*args):
    return subprocess.run([str(SATCLI), "--porta", "7", *args], capture_output=True, timeout=60,
                          env=dict(os.environ, SAT_DEV_DIR=f"{pasta}/", SAT_CODIGO=CODIGO,
                                   LC_ALL="C.UTF-8"))


def consultas_recebidas():
    """How many status queries satemu received."""
    quadros = (pasta / "registro.hex").read_text().split()
    return sum(b"|ConsultarStatusOperacional|" in bytes.fromhex(q) for q in quadros)


def niveis_de(objeto):
    return {v["id"]: v["nivel"] for v in objeto["verificacoes"]}


def esperado(id_, nivel):
    """Every check ok but `id_`, at `nivel`; without a device, the query alone."""
    if id_ in ("sem-dispositivo", "consulta"):
        return {"consulta": nivel}
    niveis = {i: "ok" for i in IDS}
    if id_:
        niveis[id_] = nivel
    return niveis


def niveis():
    # satemu's options, satcli's and satd's thresholds, the check, its level.
    linhas = [
        ([], [], "", None, "ok"),
        (["--certificado-vence", "+10"], [], "", "certificado", "atencao"),
        (["--certificado-vence", "+10"], ["--certificado-dias", "5"], "certificado_dias = 5",
         "certificado", "ok"),
        (["--certificado-vence", "-1"], [], "", "certificado", "critico"),
        (["--pendentes", "3"], [], "", "transmissao", "atencao"),
        (["--pendentes", "3", "--sem-transmitir", "6d"], [], "", "transmissao", "critico"),
        (["--sem-contato", "6d"], [], "", "transmissao", "critico"),
        # Skews in the middle of a minute: satcli and satd read the clock a second apart, and
        # their messages must still show the same whole minutes.
        (["--relogio-desvio", "+630s"], [], "", "relogio", "atencao"),
        (["--relogio-desvio", "-630s"], ["--relogio-minutos", "15"], "relogio_minutos = 15",
         "relogio", "ok"),
        (["--relogio-desvio", "-1230s"], ["--relogio-minutos", "15"], "relogio_minutos = 15",
         "relogio", "atencao"),
        (["--memoria-usada", "85"], [], "", "memoria", "atencao"),
        (["--memoria-usada", "97"], [], "", "memoria", "critico"),
        (["--bateria", "MEDIO"], [], "", "bateria", "ok"),
        (["--bateria", "BAIXO"], [], "", "bateria", "atencao"),
        (["--bloqueio", "1"], [], "", "operacao", "critico"),
        (["--bloqueio", "2"], [], "", "operacao", "critico"),
        (["--bloqueio", "3"], [], "", "operacao", "critico"),
        (["--bloqueio", "4"], [], "", "operacao", "critico"),
        (["--codigo-ativacao", "outro-codigo"], [], "", "consulta", "critico"),
        (None, [], "", "sem-dispositivo", "critico"),
    ]
    # No device: critical, and the exit status says the SAT could not be asked.
    status_de = {"ok": 0, "atencao": 1, "critico": 2, "sem-dispositivo": 3}
    for opcoes, limites, chaves, id_, nivel in linhas:
        oque = f"satemu {' '.join(opcoes) if opcoes is not None else '(none)'}"
        emulador = None
        if opcoes is not None:
            emulador = satemu(["--pronto"] + opcoes)
            if emulador is None:
                continue
        servidor = satd("intervalo_s = 0\n" + chaves)
        try:
            p = satcli("--json", *limites, "saude")
            detalhe = f"{p.stdout!r} {p.stderr!r}"
            status = status_de.get(id_, status_de[nivel])
            confere(oque, p.returncode == status,
                    f"satcli exit {p.returncode}, expected {status}: {detalhe}")
            try:
                cli = json.loads(p.stdout)
            except ValueError:
                confere(oque, False, f"satcli --json: {detalhe}")
                continue
            confere(oque, cli["nivel"] == nivel and niveis_de(cli) == esperado(id_, nivel),
                    f"satcli: {niveis_de(cli)}")
            if servidor is None:
                continue
            codigo, corpo = pede(servidor[1] + "/saude")
            web = json.loads(corpo) if codigo == 200 else {"verificacoes": [], "nivel": None}
            confere(oque, codigo == 200 and web["nivel"] == nivel and niveis_de(web) ==
                    esperado(id_, nivel), f"satd {codigo}: {corpo[:300]}")
            # Both read the same reply the same way (ages may differ by the second between them).
            if id_ not in (None, "transmissao"):
                mensagem = [v["mensagem"] for v in cli["verificacoes"] if v["id"] == id_]
                confere(oque, mensagem == [v["mensagem"] for v in web["verificacoes"]
                                           if v["id"] == id_], f"messages {mensagem} {corpo}")
        finally:
            if servidor is not None:
                servidor[0].para()
            if emulador is not None:
                emulador.para()

    # The readable view: a headline, then a line per check.
    emulador = satemu(["--pronto", "--certificado-vence", "-3", "--pendentes", "1"])
    if emulador is not None:
        p = satcli("saude")
        texto = p.stdout.decode()
        confere("readable view", p.returncode == 2 and re.search(
            r"^Saúde do SAT 900000001 em \d\d/\d\d/\d{4} \d\d:\d\d:\d\d: crítico\n"
            r"  \[ok\]       Consulta     O SAT respondeu à consulta\n"
            r"  \[crítico\]  Certificado  Certificado vencido desde \d\d/\d\d/\d{4} \(há 3 dias\)"
            r": o SAT não pode emitir CF-e\n"
            r"  \[atenção\]  Transmissão  1 CF-e aguardando transmissão; .*\n"
            r"(  \[ok\] .*\n){4}$", texto) is not None, texto)
        # A usage error sends nothing.
        antes = consultas_recebidas()
        p = satcli("--certificado-dias", "0", "saude")
        confere("--certificado-dias 0", p.returncode == 64 and consultas_recebidas() == antes and
                "--certificado-dias requer um número de dias".encode() in p.stderr, repr(p.stderr))

        # At most one query per interval, whoever asks: two JSON reads and the page.
        servidor = satd("intervalo_s = 3600")
        if servidor is not None:
            base = servidor[1]
            raiz = base[:base.index("/", len("http://"))]
            antes = consultas_recebidas()
            primeira = pede(base + "/saude")
            segunda = pede(base + "/saude")
            pagina = pede(raiz + "/")
            confere("cache", consultas_recebidas() == antes + 1,
                    f"{consultas_recebidas() - antes} status queries for 3 reads")
            confere("cache", primeira[0] == segunda[0] == pagina[0] == 200 and
                    json.loads(primeira[1])["consulta"]["sessao"] ==
                    json.loads(segunda[1])["consulta"]["sessao"], f"{primeira} {segunda}")
            confere("credentials", pede(base + "/saude", credenciais=False)[0] == 401 and
                    pede(raiz + "/", credenciais=False)[0] == 401, "served without credentials")
            servidor[0].para()
        emulador.para()

    # satemu refuses a health option it cannot honour, naming it.
    for opcoes, trecho in [(["--pendentes", "2"], "--pendentes exige um aparelho ativado"),
                           (["--bateria", "CHEIA"], "--bateria"),
                           (["--relogio-desvio", "10x"], "--relogio-desvio"),
                           (["--certificado-vence", "20250230"], "--certificado-vence"),
                           (["--memoria-usada", "101"], "--memoria-usada")]:
        p = subprocess.run([str(SATEMU), "--link", str(pasta / "COM8")] + opcoes,
                           capture_output=True, timeout=20)
        confere(f"satemu {' '.join(opcoes)}", p.returncode == 64 and
                trecho in p.stderr.decode() and not p.stdout, f"{p.returncode} {p.stderr!r}")


def pagina():
    chromium = shutil.which("chromium")
    if chromium is None:
        print("FAILED: chromium is not installed: the status page is tested in Debian's "
              "chromium (cmake/install-deps.sh installs it)", file=sys.stderr)
        sys.exit(1)
    emulador = satemu(["--pronto", "--certificado-vence", "-3", "--pendentes", "2"])
    servidor = satd("intervalo_s = 30")
    if emulador is None or servidor is None:
        return
    try:
        base = servidor[1]
        raiz = base[:base.index("/", len("http://"))]
        confere("a checkout's call", pede(base + "/consultarsat", "numero_caixa=4")[0] == 200)
        captura = build / "saude-pagina.png"
        if captura.exists():
            captura.unlink()
        url = raiz.replace("http://", f"http://{USUARIO}:{SENHA}@") + "/"
        p = subprocess.run(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={pasta / 'chromium'}", "--window-size=1000,1150",
             f"--screenshot={captura}", "--dump-dom", url], capture_output=True, timeout=120)
        dom = p.stdout.decode(errors="replace")
        if not confere("chromium", p.returncode == 0 and "</html>" in dom,
                       f"chromium could not load the page (exit {p.returncode}):\n{dom[:500]}\n"
                       f"{p.stderr.decode(errors='replace')[-2000:]}"):
            return
        confere("identity", "<h1>SAT 900000001</h1>" in dom and
                re.search(r"<dt>Número de série</dt><dd>900000001</dd>", dom), dom[:3000])
        confere("headline", 'data-nivel="critico"' in dom and "<title>SAT 900000001: crítico"
                in dom, dom[:3000])
        linhas = re.findall(r'<tr data-verificacao="(\w+)" class="(\w+)">', dom)
        confere("a line per check", linhas == [
            ("consulta", "ok"), ("certificado", "critico"), ("transmissao", "atencao"),
            ("relogio", "ok"), ("memoria", "ok"), ("bateria", "ok"), ("operacao", "ok")],
            str(linhas))
        alerta = re.search(r'<div id="alerta" class="alerta critico" role="alert">(.*?)</div>',
                           dom, re.S)
        confere("critical alert", alerta is not None and re.search(
            r"<li>Certificado vencido desde \d\d/\d\d/\d{4} \(há 3 dias\): o SAT não pode "
            r"emitir CF-e</li>", alerta.group(1)), dom[:3000])
        confere("queue and log", '<dl id="fila">' in dom and re.search(
            r'<pre id="registro">[^<]*caixa=004 consultarsat sessao=\d{6} codigo=08000 http=200',
            dom), dom[-2000:])
        imagem = captura.read_bytes() if captura.exists() else b""
        confere("screenshot", imagem[:8] == b"\x89PNG\r\n\x1a\n" and
                int.from_bytes(imagem[16:20], "big") == 1000 and len(imagem) > 20000,
                f"{captura}: {len(imagem)} bytes")
    finally:
        servidor[0].para()
        emulador.para()


try:
    {"niveis": niveis, "pagina": pagina}[modo]()
finally:
    shutil.rmtree(pasta, ignore_errors=True)
for f in falhas:
    print("FAILED:", f, file=sys.stderr)
print(f"saude {modo}: {'ok' if not falhas else str(len(falhas)) + ' failures'}")
sys.exit(1 if falhas else 0)
