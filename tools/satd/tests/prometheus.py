#!/usr/bin/env python3
"""satd and Prometheus: the shipped rules and scrape configuration, and a real Prometheus.

usage: prometheus.py regras
       prometheus.py raspagem BUILD-FOLDER
  regras    promtool checks packaging/prometheus/: the rules, their unit tests
            (satd-regras_test.yml beside this script) and the sample configuration for many shops
  raspagem  satemu with a certificate that expires in 10 days (and its last transmission an
            hour ago), satd in front of it, and a
            Prometheus of its own on a free loopback port with a temporary data folder, scraping
            satd every second with the shipped rules: promtool checks what /metrics serves, the
            API shows the series and the certificate's alert firing, the SAT was asked for its
            status once for all the scrapes; then all three stop and nothing is left behind
"""
import base64
import json
import os
import pathlib
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

AQUI = pathlib.Path(__file__).resolve().parent
PACOTE = AQUI.parents[2] / "packaging" / "prometheus"
REGRAS = PACOTE / "satd-regras.yml"
LOJA = "0042 Teste"
CAIXA, SENHA_CAIXA = "caixas", "segredo"
MONITOR, SENHA_MONITOR = "prometheus", "leitura"
falhas = []


def confere(oque, condicao, detalhe=""):
    if not condicao:
        falhas.append(f"{oque}: {detalhe}")
    return condicao


def programa(nome):
    caminho = shutil.which(nome)
    if caminho is None:
        print(f"FAILED: {nome} is not installed: Debian's prometheus package provides it "
              "(cmake/install-deps.sh installs it)", file=sys.stderr)
        sys.exit(1)
    return caminho


def promtool(*args, entrada=None):
    r = subprocess.run([programa("promtool"), *args], input=entrada, capture_output=True,
                       timeout=60)
    return r.returncode, (r.stdout + r.stderr).decode(errors="replace")


def regras():
    for args in (["check", "rules", str(REGRAS)],
                 ["test", "rules", str(AQUI / "satd-regras_test.yml")],
                 ["check", "config", str(PACOTE / "prometheus.yml")]):
        codigo, saida = promtool(*args)
        confere(f"promtool {' '.join(args[:2])}", codigo == 0 and "SUCCESS" in saida, saida)
    # Every alert of the rules has its unit test.
    alertas = {l.split(":", 1)[1].strip() for l in REGRAS.read_text().splitlines()
               if l.strip().startswith("- alert:")}
    testadas = {l.split(":", 1)[1].strip() for l in
                (AQUI / "satd-regras_test.yml").read_text().splitlines()
                if l.strip().startswith("alertname:")}
    confere("unit tests", len(alertas) >= 10 and alertas == testadas,
            f"rules {sorted(alertas)}, tested {sorted(testadas)}")


def metricas_do_manual(build):
    """The names of the entries of satd(1)'s MÉTRICAS section (the page the build made)."""
    nomes, secao, seguinte = set(), "", False
    pagina = build / "packaging" / "man" / "satd.1"
    for linha in pagina.read_text(encoding="utf-8").splitlines():
        if linha.startswith(".SH "):
            secao = linha[4:]
        elif secao == r"M\[u00C9]TRICAS" and linha in (".TP", ".TQ"):
            seguinte = True
        elif seguinte:
            nomes.add(re.sub(r"\\f[BRI]", "", linha).replace("\\", "").split()[0])
            seguinte = False
    return nomes


def primeira_linha(processo, segundos=20):
    """The process's first output line, once it is out; None when it never comes."""
    linha = b""
    fim = time.monotonic() + segundos
    while not linha.endswith(b"\n") and time.monotonic() < fim:
        pronto, _, _ = select.select([processo.stdout], [], [], max(0, fim - time.monotonic()))
        c = os.read(processo.stdout.fileno(), 1) if pronto else b""
        if not c:
            return None
        linha += c
    return linha.decode().strip() if linha.endswith(b"\n") else None


def pede(url, credenciais=None, dados=None):
    """(HTTP status, body) of a GET, or of a form POST when `dados` is given."""
    pedido = urllib.request.Request(url, data=dados.encode() if dados else None)
    if credenciais:
        token = base64.b64encode(":".join(credenciais).encode()).decode()
        pedido.add_header("Authorization", f"Basic {token}")
    try:
        with urllib.request.urlopen(pedido, timeout=30) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def porta_livre():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def consultas_de_status(registro):
    """How many status queries satemu received."""
    return sum(b"|ConsultarStatusOperacional|" in bytes.fromhex(q)
               for q in registro.read_text().split())


def inicia_prometheus(pasta, configuracao):
    """Prometheus on a free loopback port, ready; (process, base URL). It logs to a file, read
    until the ready line, so that a full pipe can never stall it."""
    for _ in range(3):
        porta = porta_livre()
        log = pasta / "prometheus.log"
        with open(log, "wb") as saida:
            p = subprocess.Popen(
                [programa("prometheus"), f"--config.file={configuracao}",
                 f"--storage.tsdb.path={pasta / 'dados'}",
                 f"--web.listen-address=127.0.0.1:{porta}"],
                cwd=pasta, stdin=subprocess.DEVNULL, stdout=saida, stderr=saida)
        fim = time.monotonic() + 30
        while time.monotonic() < fim and p.poll() is None:
            if b"Server is ready to receive web requests." in log.read_bytes():
                return p, f"http://127.0.0.1:{porta}"
            time.sleep(0.05)
        texto = log.read_text(errors="replace")
        if p.poll() is None:
            p.kill()
        p.wait()
        if "address already in use" not in texto:
            break
    print(f"FAILED: prometheus did not start (exit {p.returncode}):\n{texto[-3000:]}",
          file=sys.stderr)
    return None, None


def api(base, caminho, **parametros):
    codigo, corpo = pede(f"{base}/api/v1/{caminho}?{urllib.parse.urlencode(parametros)}")
    resposta = json.loads(corpo) if codigo == 200 else {}
    return resposta.get("data", {}) if resposta.get("status") == "success" else {}


def espera(oque, condicao, segundos=30):
    """Asks `condicao` every 100 ms until it gives something true; that, or a failure."""
    fim = time.monotonic() + segundos
    while True:
        resultado = condicao()
        if resultado or time.monotonic() > fim:
            confere(oque, resultado, f"not within {segundos} s")
            return resultado
        time.sleep(0.1)


def valor(base, consulta):
    """The single value of an instant query, or None."""
    resultado = api(base, "query", query=consulta).get("result", [])
    return float(resultado[0]["value"][1]) if len(resultado) == 1 else None


def raspagem(build):
    programa("prometheus")
    programa("promtool")
    pasta = pathlib.Path(tempfile.mkdtemp(prefix="satd-prometheus-"))
    processos = []
    try:
        registro = pasta / "registro.hex"
        emulador = subprocess.Popen(
            [str(build / "satemu"), "--link", str(pasta / "COM7"), "--registro", str(registro),
             "--pronto", "--certificado-vence", "+10", "--sem-transmitir", "1h"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        processos.append(emulador)
        if not confere("satemu", primeira_linha(emulador) is not None, "did not start"):
            return
        (pasta / "satd.toml").write_text(
            f'[http]\nporta = 0\nusuario = "{CAIXA}"\nsenha = "{SENHA_CAIXA}"\n'
            f'[sat]\ncodigo_ativacao = "12345678"\nporta = 7\n'
            f'[registro]\narquivo = "{pasta}/satd.log"\n'
            f'[diario]\narquivo = "{pasta}/diario.sqlite3"\n'
            f'[metricas]\nusuario = "{MONITOR}"\nsenha = "{SENHA_MONITOR}"\n')
        satd = subprocess.Popen([str(build / "satd"), "--config", str(pasta / "satd.toml")],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(os.environ, SAT_DEV_DIR=f"{pasta}/"))
        processos.append(satd)
        linha = primeira_linha(satd) or ""
        if not confere("satd", linha.startswith("satd: atendendo em http://"), linha):
            return
        url = linha[len("satd: atendendo em "):]
        raiz = url[:url.index("/", len("http://"))]
        confere("a checkout's call", pede(f"{url}/consultarsat", (CAIXA, SENHA_CAIXA),
                                          "numero_caixa=3")[0] == 200)

        # What /metrics serves passes promtool's parser and its lint.
        codigo, metricas = pede(f"{raiz}/metrics", (MONITOR, SENHA_MONITOR))
        confere("GET /metrics", codigo == 200 and "sat_check_level" in metricas, metricas[:300])
        codigo, saida = promtool("check", "metrics", entrada=metricas.encode())
        confere("promtool check metrics", codigo == 0 and not saida.strip(), saida)
        # Every metric served is in the man page's METRICS, and every one there is served (but
        # satd_central_, served only with [central], which satd_central's test runs).
        servidas = set(re.findall(r"^# TYPE (\S+) ", metricas, re.M))
        manual = {m for m in metricas_do_manual(build) if not m.startswith("satd_central_")}
        confere("man satd, METRICS", servidas == manual and len(servidas) > 20,
                f"served only: {sorted(servidas - manual)}, man page only: "
                f"{sorted(manual - servidas)}")

        configuracao = pasta / "prometheus.yml"
        configuracao.write_text(f"""global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - {REGRAS}
scrape_configs:
  - job_name: satd
    basic_auth:
      username: {MONITOR}
      password: {SENHA_MONITOR}
    static_configs:
      - targets: ["{raiz[len('http://'):]}"]
        labels:
          loja: "{LOJA}"
""")
        prometheus, base = inicia_prometheus(pasta, configuracao)
        if prometheus is None:
            falhas.append("prometheus did not start")
            return
        processos.append(prometheus)

        # Three scrapes at least, then the series as Prometheus stored them.
        espera("three scrapes",
               lambda: (valor(base, 'count_over_time(up{job="satd"}[1m])') or 0) >= 3 and
               valor(base, 'min_over_time(up{job="satd"}[1m])') == 1)
        series = {
            f'sat_check_level{{check="certificado",loja="{LOJA}"}}': 1,
            'sat_check_level{check="consulta"}': 0,
            'sat_health_level': 1,
            'sat_cfe_pending': 0,
            'satd_requests_total{funcao="consultarsat",codigo="08000",http="200"}': 1,
            'satd_request_duration_seconds_count{funcao="consultarsat"}': 1,
            'satd_status_queries_total': 1,
            'floor((sat_certificate_expiry_timestamp_seconds - time()) / 86400)': 10,
            'round((time() - sat_last_transmission_timestamp_seconds) / 600)': 6,
        }
        for consulta, esperado in series.items():
            obtido = valor(base, consulta)
            confere(consulta, obtido == esperado, f"{obtido}, expected {esperado}")
        # However often Prometheus scrapes, the SAT is asked once per [saude] intervalo_s (30 s).
        confere("status queries", consultas_de_status(registro) == 1,
                f"{consultas_de_status(registro)} for every scrape")

        def disparados():
            alertas = api(base, "alerts").get("alerts", [])
            return [a for a in alertas if a["state"] == "firing"]
        firing = espera("the certificate's alert", disparados)
        confere("alerts firing", [a["labels"]["alertname"] for a in firing or []] ==
                ["SatCertificadoVencendo"], json.dumps(firing, ensure_ascii=False))
        if firing:
            alerta = firing[0]
            confere("its labels", alerta["labels"].get("loja") == LOJA and
                    alerta["labels"].get("severity") == "warning", str(alerta["labels"]))
            confere("its summary", alerta["annotations"].get("summary") ==
                    f"Loja {LOJA}: o certificado do SAT vence em 10 dias",
                    str(alerta["annotations"]))
    finally:
        for p in reversed(processos):
            if p.poll() is None:
                p.terminate()
        for p in reversed(processos):
            try:
                confere(f"{p.args[0]} stops", p.wait(timeout=30) == 0, f"exit {p.returncode}")
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                falhas.append(f"{p.args[0]} did not stop on SIGTERM")
            for fluxo in (p.stdout, p.stderr):
                if fluxo:
                    fluxo.close()
        shutil.rmtree(pasta, ignore_errors=True)
        confere("nothing left behind", not pasta.exists(), str(pasta))


if len(sys.argv) == 2 and sys.argv[1] == "regras":
    regras()
elif len(sys.argv) == 3 and sys.argv[1] == "raspagem":
    raspagem(pathlib.Path(sys.argv[2]).resolve())
else:
    print(__doc__, file=sys.stderr)
    sys.exit(2)
for f in falhas:
    print("FAILED:", f, file=sys.stderr)
print(f"prometheus {sys.argv[1]}: {'ok' if not falhas else str(len(falhas)) + ' failures'}")
sys.exit(1 if falhas else 0)
