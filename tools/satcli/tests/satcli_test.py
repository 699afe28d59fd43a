#!/usr/bin/env python3
"""satcli against satemu: one table of subcommands, each row run as a technician runs it and
checked for its exit status, its readable view, its --bruto bytes or its --json fields.

usage (through tests/com_satemu.sh, which starts satemu as COM7):
  satcli_test.py SCENARIO SATCLI...     SATCLI is satcli, or "wine satcli.exe"
  dispositivo       a fresh SAT (satemu --estado FILE): a whole day, usage errors, discovery
  sem-dispositivo   no device: the library's own replies, --help
  mudo              a SAT that never answers: the library's time-out, the waiting line
"""
import json
import os
import pathlib
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

CODIGO = "12345678"
CNPJ = "11222333000181"
CNPJ_SH = "22233344000183"
ASSINATURA = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD"
RAIZ = pathlib.Path(__file__).resolve().parents[3]

cenario = sys.argv[1]
satcli = sys.argv[2:]
wine = satcli[0] == "wine"
pasta = pathlib.Path(tempfile.mkdtemp(prefix="satcli-"))
falhas = []
memoria = {}
processos = []  # the test's own servers (cupsd), ended at the end

COMUM = ["numeroSessao", "EEEEE", "mensagem", "cod", "mensagemSEFAZ"]


def nomes_do_status():
    """The status reply's field names after the session number and the code, as the tools
    share them (tools/saude/saude.h)."""
    texto = (RAIZ / "tools/saude/saude.h").read_text()
    return re.findall(r'"(\w+)"', re.search(r"kNomesStatus\[\] = \{(.*?)\};", texto, re.S)[1])


STATUS = COMUM[:2] + nomes_do_status()
VENDA = ["numeroSessao", "EEEEE", "CCCC", "mensagem", "cod", "mensagemSEFAZ", "arquivoCFeSAT",
         "timeStamp", "chaveConsulta", "valorTotalCFe", "CPFCNPJValue", "assinaturaQRCODE"]
CANCELAMENTO = VENDA[:6] + ["arquivoCFeBase64"] + VENDA[7:]
TESTE = COMUM + ["arquivoCFeBase64", "timeStamp", "numDocFiscal", "chaveConsulta"]


def caminho(nome):
    return str(pasta / nome)


def frames_recebidos():
    registro = os.environ.get("SAT_E2E_REGISTRO", "")
    if registro.startswith("Z:"):
        registro = registro[2:].replace("\\", "/")
    try:
        return len(pathlib.Path(registro).read_text().splitlines())
    except OSError:
        return 0


def roda(args, entrada=None, ambiente=None, sem_codigo=False):
    env = dict(os.environ, LC_ALL="C.UTF-8", SAT_CODIGO=CODIGO)
    env.pop("SAT_SYSFS_ROOT", None)
    for variavel in ["SATD_URL", "SATD_USUARIO", "SATD_SENHA", "SAT_IMPRESSORA", "CUPS_SERVER"]:
        env.pop(variavel, None)
    if sem_codigo:
        del env["SAT_CODIGO"]
    env.update(ambiente or {})
    # Files, not pipes: wine's own background processes inherit them and would hold a pipe open
    # long after satcli has ended.
    with tempfile.TemporaryFile() as saida, tempfile.TemporaryFile() as erro:
        try:
            p = subprocess.run(satcli + args, input=entrada, stdout=saida, stderr=erro, env=env,
                               timeout=120)
        except subprocess.TimeoutExpired:
            # What it had written, and wine's processes then: a run that hangs says where.
            saida.seek(0)
            erro.seek(0)
            processos = subprocess.run(["ps", "-eo", "pid,ppid,stat,etime,args"],
                                       capture_output=True, text=True, check=False).stdout
            print(f"{args}: no end in 120 s; its output {saida.read()[-2000:]!r}, its errors "
                  f"{erro.read()[-2000:]!r}; wine's processes:\n" + "\n".join(
                      l for l in processos.splitlines() if "wine" in l or ".exe" in l),
                  file=sys.stderr)
            raise
        saida.seek(0)
        erro.seek(0)
        return subprocess.CompletedProcess(p.args, p.returncode, saida.read(), erro.read())


def texto_legivel(saida, erros="strict", codificacao="utf-8"):
    # Under wine the terminal's encoding is the ANSI code page, Windows-1252, and lines end in
    # CR LF. A document shown as it is comes in its own `codificacao`.
    if wine:
        return saida.decode("cp1252", erros).replace("\r\n", "\n")
    return saida.decode(codificacao, erros)


def nomes_legiveis(texto):
    """The field names of the last view in a readable output, in order."""
    vista = texto.split("\n[")[-1].splitlines()[1:]
    return [m.group(1) for m in (re.match(r"  (\w+)( |$)", linha) for linha in vista) if m]


def confere(linha, condicao, detalhe):
    if not condicao:
        falhas.append(f"{linha['oque']}: {detalhe}")
    return condicao


def executa(linha):
    args = [a() if callable(a) else a for a in linha["args"]]
    if linha.get("nativo") and wine:
        return
    antes = frames_recebidos()
    p = roda(args, linha.get("entrada"), linha.get("ambiente"), linha.get("sem_codigo", False))
    detalhe = f"satcli {' '.join(args)}\n--- out:\n{p.stdout!r}\n--- err:\n{p.stderr!r}"
    confere(linha, p.returncode == linha["status"],
            f"status {p.returncode}, expected {linha['status']}\n{detalhe}")
    if linha["status"] == 64:
        confere(linha, frames_recebidos() == antes, "a usage error sent something to the SAT")
    if "erro" in linha:
        confere(linha, re.search(linha["erro"], texto_legivel(p.stderr, "replace")) is not None,
                f"stderr does not match {linha['erro']!r}\n{detalhe}")
    if "--json" in args:
        try:
            objetos = [json.loads(l) for l in p.stdout.decode("utf-8").splitlines()]
        except ValueError as e:
            confere(linha, False, f"not JSON lines: {e}\n{detalhe}")
            return
        if not confere(linha, objetos, f"no JSON\n{detalhe}"):
            return
        ultimo = objetos[-1]
        if "codigo" in linha:
            confere(linha, ultimo.get("codigo") == linha["codigo"], f"codigo\n{detalhe}")
        if "nomes" in linha:
            confere(linha, list(ultimo["campos"]) == linha["nomes"],
                    f"field names {list(ultimo['campos'])}")
        for chave, valor in linha.get("json", {}).items():
            atual = ultimo
            for parte in chave.split("."):
                atual = atual.get(parte) if isinstance(atual, dict) else None
            ok = re.fullmatch(valor, atual) is not None if isinstance(valor, str) and isinstance(
                atual, str) else atual == valor
            confere(linha, ok, f"{chave} is {atual!r}, expected {valor!r}")
        linha.get("depois", lambda *_: None)(linha, objetos)
    elif "--bruto" in args:
        if "bruto" in linha:
            confere(linha, re.fullmatch(linha["bruto"], p.stdout, re.S) is not None,
                    f"bytes do not match {linha['bruto']!r}\n{detalhe}")
        linha.get("depois", lambda *_: None)(linha, p.stdout)
    else:
        texto = texto_legivel(p.stdout, codificacao=linha.get("codificacao", "utf-8"))
        if "titulo" in linha:
            titulos = [l for l in texto.splitlines() if l.startswith("[")]
            confere(linha, titulos and re.fullmatch(linha["titulo"], titulos[-1]) is not None,
                    f"headline {titulos[-1:]} does not match {linha['titulo']!r}")
        if "nomes" in linha:
            confere(linha, nomes_legiveis(texto) == linha["nomes"],
                    f"field names {nomes_legiveis(texto)}\n{detalhe}")
        if "legivel" in linha:
            confere(linha, re.search(linha["legivel"], texto, re.M) is not None,
                    f"view does not match {linha['legivel']!r}\n{detalhe}")
        linha.get("depois", lambda *_: None)(linha, texto)


def arquivo(nome, conteudo):
    dados = conteudo.encode("utf-8") if isinstance(conteudo, str) else conteudo
    (pasta / nome).write_bytes(dados)
    return caminho(nome)


def guarda_venda(linha, objetos):
    campos = objetos[-1]["campos"]
    memoria["chave"] = campos["chaveConsulta"]
    memoria["sessao_venda"] = int(campos["numeroSessao"])
    cfe = pathlib.Path(caminho("cfe.xml")).read_bytes()
    confere(linha, cfe.startswith(b"<") and cfe.endswith(b"</CFe>"), f"saved CF-e {cfe[:60]!r}")
    confere(linha, f'Id="{memoria["chave"]}"'.encode() in cfe, "the key is not the CF-e's Id")
    cancelamento = (RAIZ / "examples/cfe-cancelamento.xml").read_text(encoding="utf-8")
    arquivo("cancelamento.xml", re.sub(r"CFe0{44}", memoria["chave"], cancelamento))


def confere_arquivo(nome, *trechos):
    def depois(linha, _):
        try:
            conteudo = pathlib.Path(caminho(nome)).read_bytes()
        except OSError as e:
            confere(linha, False, f"{nome}: {e}")
            return
        for trecho in trechos:
            confere(linha, re.search(trecho, conteudo) is not None, f"{nome} lacks {trecho!r}")
    return depois


def arquivado(linha, prefixo, salvo, campos):
    """Where --arquivo filed a reply's document, checked to be --salva's bytes: under the
    taxpayer's CNPJ and the reply's month, named by the key's digits."""
    hora = campos.get("timeStamp", "")
    alvo = pasta / "arquivo" / CNPJ / f"{hora[:4]}-{hora[4:6]}" / (
        prefixo + campos.get("chaveConsulta", "")[3:] + ".xml")
    confere(linha, alvo.is_file() and alvo.read_bytes() == pathlib.Path(caminho(salvo)).read_bytes(),
            f"{alvo} is not a copy of {salvo}")
    return str(alvo)


def impressora_tcp(nome):
    """A printer's raw port on 127.0.0.1 taking one connection: tcp://... to print to; its bytes
    go to memoria[nome] once the sender (satcli, or CUPS's socket backend) closes its side."""
    servidor = socket.create_server(("127.0.0.1", 0))
    servidor.settimeout(900)  # the listener for cupsd is made with the table

    def atende():
        with servidor:
            conexao, _ = servidor.accept()
            with conexao:
                conexao.settimeout(60)
                dados = b""
                while bloco := conexao.recv(65536):
                    dados += bloco
                memoria[nome] = dados
    memoria[nome + "_linha"] = threading.Thread(target=atende, daemon=True)
    memoria[nome + "_linha"].start()
    return f"tcp://127.0.0.1:{servidor.getsockname()[1]}"


def porta_fechada():
    """A port bound and not listening: every connection to it is refused."""
    fechada = socket.socket()
    fechada.bind(("127.0.0.1", 0))
    memoria.setdefault("fechadas", []).append(fechada)
    return f"tcp://127.0.0.1:{fechada.getsockname()[1]}"


def cups_privado():
    """A cupsd of the test's own, on a free port, with the raw queue "extrato" printing to
    impressora_tcp("cups") through CUPS's socket backend: its CUPS_SERVER, or None when this
    machine cannot run one (not root, or no cupsd, lpadmin or socket backend)."""
    cupsd = shutil.which("cupsd") or "/usr/sbin/cupsd"
    if os.geteuid() != 0 or not os.path.exists(cupsd) or not shutil.which("lpadmin") or \
            not os.path.exists("/usr/lib/cups/backend/socket"):
        return None
    # The backend runs as lp and reads the job from the spool: a folder it can reach.
    raiz = pathlib.Path(tempfile.mkdtemp(prefix="satcli-cups-"))
    raiz.chmod(0o755)
    for nome in ["spool", "tmp", "cache", "state", "log"]:
        (raiz / nome).mkdir()
    with socket.create_server(("127.0.0.1", 0)) as livre:
        servidor = f"127.0.0.1:{livre.getsockname()[1]}"
    (raiz / "cupsd.conf").write_text(
        f"Listen {servidor}\nLogLevel warn\nWebInterface No\nBrowsing No\nDefaultAuthType None\n"
        "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")
    (raiz / "cups-files.conf").write_text("".join(f"{chave} {raiz / valor}\n" for chave, valor in [
        ("ServerRoot", ""), ("RequestRoot", "spool"), ("TempDir", "tmp"), ("CacheDir", "cache"),
        ("StateDir", "state"), ("Printcap", "printcap"), ("AccessLog", "log/access_log"),
        ("ErrorLog", "log/error_log"), ("PageLog", "log/page_log")]))
    processos.append((subprocess.Popen([cupsd, "-f", "-c", str(raiz / "cupsd.conf"), "-s", str(
        raiz / "cups-files.conf")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), raiz))
    impressora = impressora_tcp("cups")[len("tcp://"):]
    for _ in range(300):
        if processos[-1][0].poll() is not None:
            break
        if subprocess.run(["lpadmin", "-h", servidor, "-p", "extrato", "-E", "-v",
                           "socket://" + impressora], capture_output=True,
                          timeout=30).returncode == 0:
            return servidor
        time.sleep(0.1)
    print(f"cupsd did not start: {(raiz / 'log/error_log').read_text(errors='replace')[-2000:]}",
          file=sys.stderr)
    return None


def chave_de(nome):
    return re.search(rb'Id="CFe(\d{44})"', pathlib.Path(caminho(nome)).read_bytes())[1]


def escpos(nome, *cfes, imagem=False):
    """ESC/POS as a printer gets it (memoria[nome], or the file nome): ESC @ first, and the QR
    code's store command (GS ( k, function 80) for the key of each CF-e; the raster (GS v 0) and
    no QR command with `imagem`."""
    def depois(linha, _):
        if nome + "_linha" in memoria:
            memoria[nome + "_linha"].join(60)
        dados = memoria.get(nome)
        try:
            dados = dados if dados is not None else pathlib.Path(caminho(nome)).read_bytes()
        except OSError as e:
            confere(linha, False, f"nothing printed: {e}")
            return
        confere(linha, dados.startswith(b"\x1b@"), f"{nome} starts with {dados[:8]!r}")
        confere(linha, (b"\x1dv0" in dados and b"\x1d(k" not in dados) if imagem else all(
            re.search(rb"\x1d\(k..1P0" + chave_de(cfe) + rb"\|", dados, re.S) for cfe in cfes),
            f"{nome} lacks its codes")
    return depois


def texto_do_pdf(nome, *trechos):
    def depois(linha, _):
        texto = subprocess.run(["pdftotext", caminho(nome), "-"], capture_output=True,
                               timeout=60).stdout.decode("utf-8", "replace")
        for trecho in trechos:
            confere(linha, trecho in texto, f"{nome} lacks {trecho!r}:\n{texto[:500]}")
        confere(linha, not list(pasta.glob("*.parcial-*")), "a partial file was left")
    return depois


def linhas_extrato(p, venda):
    """The extrato of the sale and of its cancellation, and a sale and a cancellation printed:
    Linux's (PDF, PNG, the raster and CUPS)."""
    cfe, canc = caminho("cfe.xml"), caminho("canc.xml")
    cups = cups_privado()
    linhas = [
        {"oque": "extrato: PDF", "args": ["extrato", cfe, "--pdf", caminho("venda.pdf")],
         "status": 0, "legivel": r"\A\[ok\] ExtratoVenda: \d+ bytes em PDF \(papel de 80 mm\) "
                                 r"gravados em .*venda\.pdf\n\Z",
         "depois": texto_do_pdf("venda.pdf", "Extrato No.", "CUPOM FISCAL ELETRÔNICO - SAT")},
        {"oque": "extrato: PNG on 58 mm", "args": ["--json", "extrato", cfe, "--png", caminho(
            "venda.png"), "--papel", "58"], "status": 0,
         "json": {"formato": "PNG", "papel": 58, "arquivo": caminho("venda.png")},
         "depois": lambda linha, _: confere(linha, struct.unpack(">8s8xI", pathlib.Path(caminho(
             "venda.png")).read_bytes()[:20]) == (b"\x89PNG\r\n\x1a\n", 58 * 12), "not 58 mm")},
        {"oque": "extrato of the cancellation", "args": [
            "extrato", cfe, "--cancelamento", canc, "--pdf", caminho("canc.pdf")], "status": 0,
         "depois": texto_do_pdf("canc.pdf", "CUPOM FISCAL ELETRÔNICO - SAT CANCELAMENTO",
                                "DADOS DO CUPOM FISCAL ELETRÔNICO CANCELADO")},
        {"oque": "extrato on a device", "args": ["extrato", cfe, "--impressora", caminho("lp0")],
         "status": 0, "depois": escpos("lp0", "cfe.xml")},
        {"oque": "SAT_IMPRESSORA, the raster", "args": ["--json", "extrato", cfe, "--imagem"],
         "ambiente": {"SAT_IMPRESSORA": caminho("lp1")}, "status": 0,
         "json": {"formato": "ESC/POS em imagem", "impressora": caminho("lp1")},
         "depois": escpos("lp1", imagem=True)},
        {"oque": "extrato of an unsigned CF-e", "args": ["extrato", venda, "--pdf", caminho(
            "x.pdf")], "status": 4, "erro": r"^satcli: extrato de .*cfe-venda\.xml: .+",
         "depois": lambda linha, _: confere(linha, not os.path.exists(caminho("x.pdf")), "x.pdf")},
        {"oque": "extrato, the printer refuses", "args": ["extrato", cfe, "--impressora",
                                                          porta_fechada], "status": 6,
         "erro": r"não foi possível conectar à impressora tcp://127\.0\.0\.1:\d+: "},
        {"oque": "sale printed on the raw port", "args": p + [
            "--json", "venda", venda, "--salva", caminho("cfe2.xml"), "--imprime", "--impressora",
            lambda: impressora_tcp("venda")], "status": 0, "codigo": "06000",
         "json": {"extrato.impresso": True},
         "depois": lambda linha, o: escpos("venda", "cfe2.xml")(linha, o) or arquivo(
             "cancelamento2.xml", re.sub(rb"CFe0{44}", b"CFe" + chave_de("cfe2.xml"), (
                 RAIZ / "examples/cfe-cancelamento.xml").read_bytes()))},
        {"oque": "cancellation printed", "args": p + [
            "cancelar", lambda: "CFe" + chave_de("cfe2.xml").decode(), caminho(
                "cancelamento2.xml"), "--salva", caminho("canc2.xml"), "--imprime", "--venda",
            caminho("cfe2.xml"), "--impressora", caminho("lp2")], "status": 0,
         "titulo": r"\[ok\] CancelarUltimaVenda 07000: .*",
         "legivel": r"^  nota: extrato enviado a .*lp2$",
         "depois": escpos("lp2", "cfe2.xml", "canc2.xml")},
        {"oque": "sale whose print fails", "args": p + [
            "venda", venda, "--imprime", "--impressora", porta_fechada], "status": 6,
         "titulo": r"\[ok\] EnviarDadosVenda 06000: .*",
         "erro": r"satcli: a venda teve sucesso, mas o seu extrato não foi impresso: não foi "
                 r"possível conectar à impressora tcp://"},
        {"oque": "CUPS does not answer", "args": ["extrato", cfe, "--impressora", "cups:x"],
         "ambiente": {"CUPS_SERVER": porta_fechada()[len("tcp://"):]}, "status": 6,
         "erro": r"o servidor do CUPS em 127\.0\.0\.1:\d+ não atende \(cups:x\): "},
    ]
    if cups is None:
        print("cups: not tested (needs root, cupsd, lpadmin and the socket backend)")
        return linhas
    return linhas + [
        {"oque": "extrato on a CUPS queue", "args": ["extrato", cfe, "--impressora",
                                                     "cups:extrato"],
         "ambiente": {"CUPS_SERVER": cups}, "status": 0, "depois": escpos("cups", "cfe.xml")},
        {"oque": "no such CUPS queue", "args": ["extrato", cfe, "--impressora", "cups:nada"],
         "ambiente": {"CUPS_SERVER": cups}, "status": 6,
         "erro": rf"a fila cups:nada não existe no servidor do CUPS em {cups}$"},
    ]


def como_o_nativo(nome, *args):
    """What satcli.exe printed (memoria[nome], or the file nome) is, byte for byte, what the
    native satcli ($SATCLI_NATIVO) prints for the same extrato."""
    def depois(linha, _):
        if nome + "_linha" in memoria:
            memoria[nome + "_linha"].join(60)
        nativo = caminho(nome + ".nativo")
        try:
            p = subprocess.run([os.environ["SATCLI_NATIVO"], *[a() if callable(a) else a for a in (
                args)], "--impressora", nativo], capture_output=True, timeout=60)
            dados = memoria.get(nome) or pathlib.Path(caminho(nome)).read_bytes()
            esperado = pathlib.Path(nativo).read_bytes()
        except (KeyError, OSError) as e:
            confere(linha, False, f"no native extrato to compare with: {e!r}")
            return
        confere(linha, p.returncode == 0 and dados.startswith(b"\x1b@") and dados == esperado,
                f"{nome}: {len(dados)} bytes, the native satcli's {len(esperado)} "
                f"(status {p.returncode}, {p.stderr!r})")
    return depois


def linhas_extrato_windows(p, venda):
    """satcli.exe's extrato, ESC/POS only: to files and a port as the native satcli prints it, the
    other formats and the other system's queues refused, a sale and a cancellation printed. Not
    to tcp:// here: under wine, a print to the raw port now and then does not end, a fault not
    yet understood."""
    dados = RAIZ / "extrato/tests/dados"
    cfe, canc = str(dados / "cfe-venda.xml"), str(dados / "cfe-cancelamento.xml")
    porta = pathlib.Path(os.environ["WINEPREFIX"]) / "dosdevices/com240"
    com240 = arquivo("com240", b"")
    porta.unlink(missing_ok=True)
    porta.symlink_to(com240)
    memoria["limpa"] = lambda: porta.unlink(missing_ok=True)
    return [
        {"oque": f"satcli.exe extrato {oque}", "args": ["extrato", *args, "--impressora", destino],
         "status": 0, "depois": como_o_nativo(nome, "extrato", *args)}
        for oque, args, destino, nome in [
            ("to a file, 58 mm", [cfe, "--papel", "58"], caminho("w0"), "w0"),
            ("to a port, COM240", [cfe], "COM240", "com240"),
            ("of the cancellation, to a file", [cfe, "--cancelamento", canc], caminho("w1"),
             "w1"),
        ]] + [
        {"oque": f"satcli.exe: {oque}", "args": ["extrato", cfe, *args], "status": status,
         "erro": erro, "depois": lambda linha, _: confere(
             linha, not os.path.exists(caminho("w.pdf")), "w.pdf was written")}
        for oque, args, status, erro in [
            ("no PDF", ["--pdf", caminho("w.pdf")], 3,
             r"^satcli: extrato de .*cfe-venda\.xml: esta biblioteca não gera o formato 3$"),
            ("no PNG", ["--png", caminho("w.pdf")], 3, r"não gera o formato 4$"),
            ("no raster", ["--imagem", "--impressora", caminho("w.pdf")], 3,
             r"não gera o formato 2$"),
            ("no such queue", ["--impressora", "fila:nada"], 6,
             r"^satcli: extrato de .*: a fila fila:nada não existe neste Windows"),
            ("no port COM241", ["--impressora", "COM241"], 6,
             r"não foi possível abrir a impressora COM241: "),
        ]] + [
        {"oque": "satcli.exe: sale printed to a file", "args": p + [
            "venda", venda, "--salva", caminho("cfe2.xml"), "--imprime", "--impressora",
            caminho("w2")], "status": 0, "titulo": r"\[ok\] EnviarDadosVenda 06000: .*",
         "legivel": r"^  nota: extrato enviado a .*w2$",
         "depois": lambda linha, o: como_o_nativo("w2", "extrato", caminho("cfe2.xml"))(
             linha, o) or arquivo("cancelamento2.xml", re.sub(
                 rb"CFe0{44}", b"CFe" + chave_de("cfe2.xml"), (
                     RAIZ / "examples/cfe-cancelamento.xml").read_bytes()))},
        {"oque": "satcli.exe: cancellation printed to a file", "args": p + [
            "cancelar", lambda: "CFe" + chave_de("cfe2.xml").decode(), caminho(
                "cancelamento2.xml"), "--salva", caminho("canc2.xml"), "--imprime", "--venda",
            caminho("cfe2.xml"), "--impressora", caminho("w3")], "status": 0,
         "titulo": r"\[ok\] CancelarUltimaVenda 07000: .*",
         "depois": como_o_nativo("w3", "extrato", caminho("cfe2.xml"), "--cancelamento",
                                 caminho("canc2.xml"))},
    ]


def sysfs_com_sat():
    """A USB bus with one SAT whose tty is COM7, as the kernel lays it out in sysfs."""
    raiz = pasta / "sys"
    usb = raiz / "devices/pci0000:00/0000:00:14.0/usb1/1-1"
    (usb / "1-1:1.0/tty/COM7").mkdir(parents=True)
    (raiz / "class/tty").mkdir(parents=True)
    for nome, valor in [("idVendor", "0525"), ("idProduct", "a4a7"), ("serial", "900000001"),
                        ("bcdDevice", "0100")]:
        (usb / nome).write_text(valor + "\n")
    os.symlink("../../../1-1:1.0", usb / "1-1:1.0/tty/COM7/device")
    os.symlink("../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/COM7",
               raiz / "class/tty/COM7")
    return {"SAT_SYSFS_ROOT": str(raiz)}


def linhas_dispositivo():
    p = ["-p", "7"]
    venda = str(RAIZ / "examples/cfe-venda.xml")
    rede = arquivo("rede.xml", "<config><tipoInter>ETHE</tipoInter><tipoLan>IPFIX</tipoLan>"
                   "<lanIP>10.0.0.5</lanIP><lanMask>255.255.255.0</lanMask><lanGW>10.0.0.1"
                   "</lanGW></config>")
    certificado = arquivo("certificado.pem", "-----BEGIN CERTIFICATE-----\nTUlJQg==\n"
                          "-----END CERTIFICATE-----\n")
    sysfs = sysfs_com_sat() if not wine else {}
    return [
        # A fresh SAT, set up as a technician does it.
        {"oque": "readable view", "args": p + ["consultar"], "status": 0,
         "titulo": r"\[ok\] ConsultarSAT 08000: SAT em operação", "nomes": COMUM,
         "legivel": r"^  mensagem +SAT em operação$"},
        {"oque": "the reply's bytes", "args": p + ["--bruto", "-s", "42", "consultar"],
         "status": 0, "bruto": b"000042\\|08000\\|SAT em opera\xe7\xe3o\\|\\|\n"},
        {"oque": "not activated: a failure code", "args": p + ["ultima-sessao"], "status": 1,
         "titulo": r"\[falhou\] ConsultarUltimaSessaoFiscal 19002: SAT ainda não ativado"},
        {"oque": "ICP-Brasil activation", "args": p + ["--json", "ativar", CNPJ, "35", "2"],
         "status": 0, "codigo": "04006", "nomes": COMUM + ["CSR"],
         "json": {"sucesso": True, "origem": "dispositivo", "campos.CSR": r"[A-Za-z0-9+/=]{40,}",
                  "registroErro.mensagem": "Codigo: 04006.\nCSR ICP-BRASIL criado com sucesso"}},
        {"oque": "its certificate", "args": p + ["certificado", certificado], "status": 0,
         "titulo": r"\[ok\] ComunicarCertificadoICPBRASIL 05000: .*"},
        {"oque": "activated already", "args": p + ["ativar", CNPJ, "35"], "status": 1,
         "titulo": r"\[falhou\] AtivarSAT 04003: SAT já ativado", "nomes": COMUM},
        {"oque": "association", "args": p + ["associar", CNPJ_SH + CNPJ, ASSINATURA],
         "status": 0, "titulo": r"\[ok\] AssociarAssinatura 13000: Assinatura do AC Registrada"},
        {"oque": "network from standard input", "args": p + ["rede", "-"],
         "entrada": pathlib.Path(rede).read_bytes(), "status": 0,
         "titulo": r"\[ok\] ConfigurarInterfaceDeRede 12000: Rede Configurada com Sucesso"},
        {"oque": "status, named", "args": p + ["--json", "status"], "status": 0,
         "codigo": "10000", "nomes": STATUS,
         "json": {"campos.NSERIE": "900000001", "campos.TIPO_LAN": "IPFIX",
                  "campos.LAN_IP": "10.0.0.5", "campos.ESTADO_OPERACAO": "0"}},
        {"oque": "status, readable", "args": p + ["status"], "status": 0, "nomes": STATUS,
         "legivel": r"^  DH_ATUAL +\d{14} \(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\)$"},
        {"oque": "no fiscal session yet", "args": p + ["ultima-sessao"], "status": 1,
         "titulo": r"\[falhou\] ConsultarUltimaSessaoFiscal 19003: Não existe sessão fiscal"},
        # The sale, its signed CF-e, the stored replies and the cancellation.
        {"oque": "sale", "args": p + ["--json", "venda", venda, "--salva", caminho("cfe.xml"),
                                      "--arquivo", caminho("arquivo")],
         "status": 0, "codigo": "06000", "nomes": VENDA,
         "json": {"campos.chaveConsulta": r"CFe\d{44}", "campos.timeStamp": r"\d{14}",
                  "campos.mensagem": "Emitido com sucesso \\+ conteúdo notas\\.",
                  "documento": caminho("cfe.xml")},
         "depois": lambda linha, o: guarda_venda(linha, o) or confere(
             linha, o[-1].get("arquivado", "").replace("\\", "/") == arquivado(
                 linha, "CFe", "cfe.xml", o[-1]["campos"]), f"arquivado {o[-1].get('arquivado')}")},
        {"oque": "the last fiscal session: the sale, whole, and its CF-e",
         "args": p + ["--json", "ultima-sessao", "--salva", caminho("ultima.xml")], "status": 0,
         "codigo": "06000", "nomes": VENDA, "json": {"respostaDe": "EnviarDadosVenda"},
         "depois": lambda linha, objetos: confere(
             linha, objetos[-1]["campos"]["chaveConsulta"] == memoria["chave"] and pathlib.Path(
                 caminho("ultima.xml")).read_bytes() == pathlib.Path(caminho("cfe.xml")).read_bytes(),
             f"not the sale's: {objetos}")},
        {"oque": "the sale's session, as the device stored it", "args": p + [
            "numero-sessao", lambda: str(memoria["sessao_venda"])], "status": 0,
         "nomes": VENDA[:6],
         "titulo": r"\[ok\] ConsultarNumeroSessao 06000: .* \(a resposta guardada de "
                   r"EnviarDadosVenda\)",
         "legivel": r"^ +\(a cauda comprimida da venda, como o dispositivo a guardou\)$"},
        {"oque": "the sale's session, bytes", "args": p + [
            "--bruto", "numero-sessao", lambda: str(memoria["sessao_venda"])], "status": 0,
         "bruto": rb"\d{6}\|06000\|0000\|Emitido com sucesso \+ conte\xfado notas\.\|\|\|.*\n"},
        {"oque": "cancellation", "args": p + [
            "cancelar", lambda: memoria["chave"], caminho("cancelamento.xml"), "--salva",
            caminho("canc.xml"), "--arquivo", caminho("arquivo")], "status": 0,
         "nomes": CANCELAMENTO,
         "titulo": r"\[ok\] CancelarUltimaVenda 07000: Cupom cancelado com sucesso \+ conteúdo "
                   r"CF-e-SAT cancelado\.",
         "legivel": r"^  arquivoCFeBase64 +[A-Za-z0-9+/]{60}\.\.\. \(\d+ caracteres\) "
                    r"decodificado em .*canc\.xml e arquivado em .*CFeCanc\d{44}\.xml$",
         "depois": lambda linha, texto: confere_arquivo(
             "canc.xml", rb"<CFeCanc><infCFe Id=\"CFe\d{44}\"", rb"</CFeCanc>$")(linha, texto) or
         arquivado(linha, "CFeCanc", "canc.xml",
                   dict(re.findall(r"^  (chaveConsulta|timeStamp) +(\w+)", texto, re.M)))},
        {"oque": "a cancelled sale cannot be cancelled", "args": p + [
            "cancelar", lambda: memoria["chave"], caminho("cancelamento.xml"), "--salva",
            caminho("outra.xml")], "status": 1,
         "titulo": r"\[falhou\] CancelarUltimaVenda 07002: Cupom inválido",
         "legivel": r"^  nota: nada foi salvo em .*outra\.xml: o comando não teve sucesso$"},
        {"oque": "the last fiscal session: the cancellation", "args": p + [
            "--json", "ultima-sessao"], "status": 0, "codigo": "07000", "nomes": CANCELAMENTO,
         "json": {"respostaDe": "CancelarUltimaVenda"}},
        *(linhas_extrato_windows(p, venda) if wine else linhas_extrato(p, venda)),
        {"oque": "end-to-end test", "args": p + ["--json", "teste", venda], "status": 0,
         "codigo": "09000", "nomes": TESTE},
        {"oque": "log, saved", "args": p + ["log", "--salva", caminho("log.txt")], "status": 0,
         "titulo": r"\[ok\] ExtrairLogs 15000: Transferência completa",
         "nomes": COMUM + ["arquivoLogBase64"],
         "depois": confere_arquivo("log.txt", rb"\|EnviarDadosVenda\|06000",
                                   rb"\|CancelarUltimaVenda\|07000")},
        # Maintenance, each in a run of its own: the session numbers must not repeat.
        {"oque": "block", "args": p + ["bloquear"], "status": 0,
         "titulo": r"\[ok\] BloquearSAT 16000: Equipamento SAT bloqueado com sucesso\."},
        {"oque": "block again", "args": p + ["bloquear"], "status": 1,
         "titulo": r"\[falhou\] BloquearSAT 16002: Equipamento SAT já está bloqueado"},
        {"oque": "unblock", "args": p + ["desbloquear"], "status": 0,
         "titulo": r"\[ok\] DesbloquearSAT 17000: .*"},
        {"oque": "update", "args": p + ["atualizar"], "status": 0,
         "titulo": r"\[ok\] AtualizarSoftwareSAT 14000: Software Atualizado com Sucesso"},
        {"oque": "new code", "args": p + ["trocar-codigo", "1", "novo1234"], "status": 0,
         "titulo": r"\[ok\] TrocarCodigoDeAtivacao 18000: Código de ativação alterado com "
                   r"sucesso\."},
        {"oque": "the old code, refused, with the error record",
         "args": p + ["--erro", "status"], "status": 1,
         "titulo": r"\[falhou\] ConsultarStatusOperacional 10001: Código de ativação inválido",
         "legivel": r"^  CodigoErro +0 $"},
        {"oque": "back through the emergency code",
         "args": p + ["-c", "87654321", "trocar-codigo", "2", CODIGO, CODIGO], "status": 0,
         "titulo": r"\[ok\] TrocarCodigoDeAtivacao 18000: .*"},
        # The library's own exports, chained in one run.
        {"oque": "a chain of the library's exports", "args": [
            "--json", "-s", "700", "abre", "7", ",", "consultar", ",", "erro", ",", "log", ",",
            "documento", caminho("doc.txt"), ",", "fecha", ",", "sessao", ",", "versao", ",",
            "timeout", "5", ",", "arquivo-log", caminho("sat.log"), ",", "consultar"],
         "status": 0, "codigo": "08000",
         "depois": lambda linha, objetos: confere(linha, [
             (o["comando"], o["status"]) for o in objetos] == [
             ("AbreSerialSAT", 0), ("ConsultarSAT", 0), ("CodigoErro", 0), ("ExtrairLogs", 0),
             ("Base64ToAscii", 0), ("CloseSerial", 0), ("GeraNumeroSessao", 0),
             ("VersaoLib", 0), ("ConfiguraTimeout", 0), ("ArquivoLog", 0), ("ConsultarSAT", 0)]
             and objetos[1]["campos"]["numeroSessao"] == "000700"
             and objetos[2]["campos"]["mensagem"] == objetos[1]["registroErro"]["mensagem"]
             and objetos[3]["campos"]["numeroSessao"] == "000701"
             and objetos[4]["documento"] == caminho("doc.txt")
             and objetos[6]["campos"]["numeroSessao"] == "18508"
             and objetos[7]["campos"]["versao"].startswith("TAVRO DLL SAT Versão: ")
             and pathlib.Path(caminho("sat.log")).read_bytes().find(b"|ConsultarSAT") > 0,
             f"{objetos}")},
        # The device's log is Windows-1252.
        {"oque": "the decoded log as it is", "args": p + ["log", ",", "documento"],
         "status": 0, "codificacao": "cp1252", "legivel": r"^\d{14}\|\d{6}\|ExtrairLogs\|15000$"},
        # Usage errors: nothing is sent. The unknown option and the value given to an option
        # that takes none are worded by the tools' shared parser (tools/comum/opcoes.h).
        *[{"oque": f"usage: {' '.join(args)}", "args": args, "status": status, "erro": erro,
           "sem_codigo": sem_codigo} for args, status, erro, sem_codigo in [
            ([], 64, r"(?m)^satcli: nenhum subcomando \(veja --help\)$", False),
            (["vender"], 64, r"subcomando desconhecido vender", False),
            (["--depressa", "consultar"], 64, r"opção desconhecida --depressa", False),
            (["consultar", "42"], 64, r"consultar não recebe argumentos", False),
            (["numero-sessao", "x"], 64, r"numero-sessao: x não é um número", False),
            (["ativar", CNPJ, "SP"], 64, r"ativar: SP não é um número", False),
            (["trocar-codigo", "1"], 64, r"trocar-codigo recebe OPCAO NOVO \[CONFIRMACAO\]",
             False),
            (["status"], 64, r"status precisa do código de ativação", True),
            (["consultar", ","], 64, r'"," sem subcomando depois', False),
            ([",", "consultar"], 64, r'"," sem subcomando antes', False),
            (["--salva", "x", "consultar"], 64, r"--salva não se aplica a consultar", False),
            (["consultar", "--arquivo", "x"], 64, r"--arquivo não se aplica a consultar", False),
            (["-s"], 64, r"-s requer um número de sessão", False),
            (["-p", "sete", "consultar"], 64, r"-p requer um número de porta", False),
            # satd's subcommands, checked before anything is asked; the Windows build has none.
            *[(args, 64, "não está disponível nesta compilação" if wine else erro, False)
              for args, erro in [
                  (["cfe", "--de", "2026-12-01"], r"cfe precisa do endereço do satd"),
                  (["--satd", "http://h", "cfe", "CFe123"], r"CFe123 não é uma chave de acesso"),
                  (["--satd", "http://h", "mes", "2026-13", "m.zip"], r"2026-13 não é um mês"),
                  (["--satd", "http://u:s@h", "mes", "2026-12", "m.zip"], r"sem credenciais"),
                  (["--satd", "http://h", "cfe", "--de", "2026-12-01"], r"precisa de --de e --ate"),
                  (["--satd", "http://h", "--usuario", "t", "mes", "2026-12", "m"], r"SATD_SENHA"),
              ]],
            (["consultar", "--caixa", "1"], 64, r"--caixa não se aplica a consultar", False),
            # The extrato's, checked before anything is read or sent.
            *[(args, 64, erro, False)
              for args, erro in [
                  (["extrato", "c.xml"], r"extrato precisa de uma saída: --pdf ARQUIVO"),
                  (["extrato", "c.xml", "--pdf", "a", "--png", "b"], r"uma só saída"),
                  (["extrato", "c.xml", "--imagem", "--pdf", "a"], r"--imagem é do extrato na "),
                  (["extrato", "c.xml", "--impressora", "tcp://h:0"], r"tcp://h:0 não é um end"),
                  (["venda", "c.xml", "--imprime"], r"--imprime precisa da impressora"),
                  (["venda", "c.xml", "--imprime", "--impressora", "fila:" if wine else "cups:"],
                   r"não é o nome de"),
                  # Each system's queue refused by the other, naming its own.
                  (["extrato", "c.xml", "--impressora", "cups:x" if wine else "fila:x"],
                   r"cups:x: cups:FILA é uma fila do CUPS, que o Windows não tem; use fila:NOME"
                   if wine else r"fila:x: fila:NOME é uma fila de impressão do Windows; no "
                   r"Linux, cups:FILA"),
                  (["cancelar", "CFe1", "c.xml", "--imprime", "--impressora", "f"],
                   r"cancelar --imprime precisa do CF-e assinado da venda que ele cancela"),
                  (["consultar", "--imprime"], r"--imprime não se aplica a consultar"),
                  (["venda", "c.xml", "--pdf", "a"], r"--pdf não se aplica a venda"),
                  (["venda", "c.xml", "--papel", "58"], r"--papel não se aplica a venda sem --"),
                  (["cancelar", "CFe" + "1" * 44, caminho("cancelamento.xml"), "--imprime",
                    "--venda", caminho("cfe.xml"), "--impressora", "f"], r"não é o da venda CFe"),
              ]],
            (["extrato", "c.xml", "--papel", "60"], 64, r"--papel requer a largura do papel em "
             r"milímetros, 80 ou 58", False),
            (["--bruto=x", "consultar"], 64, r"--bruto não aceita valor", False),
            (["consultar", "--codigo"], 64, r"--codigo requer o código de ativação", False),
            (["consultar", ",", "venda", caminho("nao-existe.xml")], 4,
             r"não foi possível ler .*nao-existe\.xml", False),
        ]],
        # Linux discovery: the SAT found on the USB bus (a sysfs tree), no port given.
        {"oque": "found on the USB bus, JSON untouched by the library's lines", "nativo": True,
         "args": ["--json", "consultar"], "ambiente": sysfs, "status": 0, "codigo": "08000",
         "erro": r"Port: COM7   Serial number: 900000001"},
        {"oque": "the port map", "nativo": True, "args": ["--json", "portas"], "ambiente": sysfs,
         "status": 0, "json": {"comando": "GetMapaPortasSAT", "sucesso": True,
                               "portas": [{"serie": "900000001", "porta": "COM7"}]}},
        {"oque": "the port map's bytes", "nativo": True, "args": ["--bruto", "portas"],
         "ambiente": sysfs, "status": 0, "bruto": rb"900000001:COM7;\n"},
        {"oque": "the chosen port, then a command through it", "nativo": True,
         "args": ["escolhe", "900000001", ",", "porta", ",", "consultar"], "ambiente": sysfs,
         "status": 0, "legivel": r"^\[ok\] SetPortaSAT: COM7\n  porta +COM7\n\[ok\] GetPortaSAT: "
                                 r"COM7\n  porta +COM7\n\[ok\] ConsultarSAT 08000"},
        {"oque": "no SAT answers a wrong code", "nativo": True, "args": ["-c", "0", "portas"],
         "ambiente": sysfs, "status": 1,
         "titulo": r"\[falhou\] GetMapaPortasSAT: nenhum SAT respondeu com um código de sucesso"},
    ]


def linhas_sem_dispositivo():
    exportacoes = (RAIZ / "tests/exportacoes.txt").read_text().split()
    ajuda = roda(["--help"])
    texto = texto_legivel(ajuda.stdout)
    linha = {"oque": "--help"}
    confere(linha, ajuda.returncode == 0, f"status {ajuda.returncode}")
    for exportacao in exportacoes:
        confere(linha, re.search(rf"^  (\* )?[a-z][a-z-]*.*\n?\s+{exportacao}:", texto, re.M),
                f"no subcommand for {exportacao}")
    # The headings the man page is made from, each on a line of its own.
    for titulo in ["Opções:", "Subcomandos:", "Status de saída:", "Ambiente:"]:
        confere(linha, re.search(rf"^{titulo}$", texto, re.M), f"no heading {titulo}")
    versao = re.search(r"project\(libsat VERSION ([\d.]+)", (RAIZ / "CMakeLists.txt").read_text())[1]
    return [
        {"oque": "-h", "args": ["-h"], "status": 0, "legivel": r"\AUso: satcli "},
        {"oque": "--version", "args": ["--version"], "status": 0,
         "legivel": rf"\Asatcli {re.escape(versao)} \(TAVRO DLL SAT Vers.o: 02\.00\.11\.05 .*\)\n\Z"},
        {"oque": "saude without a SAT: unknown", "args": ["-p", "7", "saude"], "status": 3,
         "legivel": r"^  \[crítico\]  Consulta +O SAT não respondeu"},
        {"oque": "no port", "args": ["-p", "7", "consultar"], "status": 3,
         "titulo": r"\[biblioteca\] ConsultarSAT: nenhuma porta pôde ser aberta: o SAT está "
                   r"conectado\? \(satcli portas\)", "nomes": ["mensagem"],
         "legivel": r"^  mensagem +Erro ao tentar abrir a porta$"},
        {"oque": "no port, bytes", "args": ["-p", "7", "--bruto", "status"], "status": 3,
         "bruto": rb"Erro ao tentar abrir a porta\n"},
        {"oque": "no port, JSON", "args": ["-p", "7", "--json", "venda", "-"],
         "entrada": b"<CFe/>", "status": 3,
         "json": {"origem": "biblioteca", "sucesso": False, "codigo": None,
                  "campos": {"mensagem": "Erro ao tentar abrir a porta"}}},
        {"oque": "the terminal's encoding: ASCII", "nativo": True,
         "args": ["-p", "7", "erro", ",", "versao"], "ambiente": {"LC_ALL": "C"}, "status": 0,
         "depois": lambda linha, texto: confere(
             linha, re.search(r"^  versao +TAVRO DLL SAT Vers.o: 02", texto, re.M), texto)},
    ]


def linhas_mudo():
    linhas = [{"oque": "time-out", "args": ["-p", "7", "--json", "-s", "9", "consultar"],
               "status": 3, "codigo": "9999",
               "json": {"origem": "biblioteca", "campos": {
                   "numeroSessao": "000009", "codigo": "9999",
                   "mensagem": "Timeout de comunicação"}}}]
    if not wine and shutil.which("script"):
        # On a terminal, the waiting line counts the seconds and is wiped before the view.
        def na_pty(linha, _):
            p = subprocess.run(["script", "-q", "-e", "-c", " ".join(satcli + [
                "-p", "7", "consultar"]), "/dev/null"], capture_output=True, timeout=60,
                env=dict(os.environ, LC_ALL="C.UTF-8", TERM="xterm"))
            saida = p.stdout.decode("utf-8", "replace")
            confere(linha, p.returncode == 3, f"status {p.returncode}")
            confere(linha, re.search(r"\rConsultarSAT: aguardando o SAT há 0:01 \(limite de "
                                     r"0:05\)", saida), saida)
            confere(linha, re.search(r"\r +\r\x1b\[33m\[biblioteca\]\x1b\[0m ConsultarSAT 9999: ",
                                     saida), saida)
        linhas[0]["depois"] = lambda linha, objetos: na_pty(linha, objetos)
    return linhas


if wine:
    # One wine server for the whole table, rather than one started for each run of satcli; it
    # leaves 20 seconds after the last one (or goes on serving, when one is running already). It
    # must not hold the test's output open meanwhile.
    subprocess.run(["wineserver", "-p20"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False)
try:
    linhas = {"dispositivo": linhas_dispositivo, "sem-dispositivo": linhas_sem_dispositivo,
              "mudo": linhas_mudo}[cenario]()
    for linha in linhas:
        executa(linha)
finally:
    memoria.get("limpa", lambda: None)()
    for processo, raiz in processos:
        processo.terminate()
        processo.wait(30)
        shutil.rmtree(raiz, ignore_errors=True)
    shutil.rmtree(pasta, ignore_errors=True)
for falha in falhas:
    print(f"FAILED {falha}\n", file=sys.stderr)
print(f"{cenario}: {len(linhas)} rows, {len(falhas)} failures")
sys.exit(1 if falhas else 0)
