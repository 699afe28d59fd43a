// satd: one SAT shared by every checkout of a shop, over HTTP. It owns the SAT through libsat
// (nothing but sat.h) and serves the REST interface that POS client libraries speak for a
// shared SAT.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <pthread.h>

#include "configuracao.h"
#include "servidor.h"

namespace {

const char kAjuda[] =
    R"(Usage: satd [--config FILE]

Owns the SAT through libsat and serves every checkout of the shop over HTTP:
  POST {base}/{function}   form-encoded fields (numero_caixa 0-999 and the function's own);
                           200 {"retorno": "<the library's reply>"}, 4xx {"erro": "<why>"},
                           401 without valid credentials, 503 when the queue is full or the
                           wait too long
  GET  {base}/status       the queue, the SAT's port, the uptime (no device call)
  GET  /                   the status page for the shop (HTML, self-contained, reloads itself):
                           the SAT's identity and state, its health checks, the queue and the
                           last requests of the log
  GET  {base}/saude        the same as JSON: each check's level (ok, atencao, critico), its
                           message and the figures it rests on
  GET  /metrics            the same for Prometheus (text format): the SAT's state, each check's
                           level, the certificate's expiry, CF-e waiting, the clock offset, the
                           memory used, the queue, requests by function and device code, and
                           their duration; man satd lists every metric
Functions: ativarsat comunicarcertificadoicpbrasil enviardadosvenda cancelarultimavenda
  consultarsat testefimafim consultarstatusoperacional consultarnumerosessao
  configurarinterfacederede associarassinatura atualizarsoftwaresat extrairlogs bloquearsat
  desbloquearsat trocarcodigodeativacao consultarultimasessaofiscal

The page, {base}/saude and /metrics ask the SAT for its status (ConsultarStatusOperacional)
through the same worker and queue as the checkouts, at most once per [saude] intervalo_s
(default 30 s); /metrics asks only when the SAT is idle, and otherwise serves the last status
with its age, so that scraping never waits behind a sale. The checks of the reply: certificate
expired (critical) or expiring within certificado_dias (default 60, attention); CF-e waiting
to be transmitted (attention), critical when the last transmission or contact with SEFAZ is
more than 5 days old; the SAT's clock more than relogio_minutos (default 5) from satd's
(attention); working memory above 80 % (attention) or 95 % (critical); battery BAIXO
(attention); a blocked SAT (critical).

Every path needs [http] usuario and senha when they are set; [metricas] usuario and senha
give a monitor a credential of its own, good for GET /metrics and nothing else.

Every device call runs on one worker, in arrival order. satd draws the session numbers and
keeps the activation code; checkouts send neither. The first line on standard output is
"satd: listening on URL"; then one line per request goes to the log ([registro] arquivo, or
standard output): time, client, checkout, function, session, device code, HTTP status,
duration. SIGTERM or SIGINT: queued requests get 503, the call in progress ends, satd exits.

Options:
  --config FILE   the configuration (TOML; default /etc/satd/satd.toml); README.md shows
                  every key with a full example
  --help          this text

Exit status: 0 after a clean stop, 1 when the configuration or the address is refused, 2 on a
usage error. On Linux, SAT_DEV_DIR names the folder of the COMn device (default /dev/).
)";

int Uso(const std::string &mensagem) {
  std::fprintf(stderr, "satd: %s (see --help)\n", mensagem.c_str());
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  std::string arquivo = "/etc/satd/satd.toml";
  for (int i = 1; i < argc; ++i) {
    const std::string opcao = argv[i];
    if (opcao == "--help") {
      std::fputs(kAjuda, stdout);
      return 0;
    } else if (opcao == "--config" && i + 1 < argc) {
      arquivo = argv[++i];
    } else {
      return Uso("unknown option or missing value: " + opcao);
    }
  }

  satd::Configuracao configuracao;
  std::string erro;
  if (!satd::LeConfiguracao(arquivo, configuracao, erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }

  // Signals reach only the thread that waits for them; every thread made from here on
  // inherits the mask. A client that goes away must not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t sinais;
  sigemptyset(&sinais);
  sigaddset(&sinais, SIGTERM);
  sigaddset(&sinais, SIGINT);
  pthread_sigmask(SIG_BLOCK, &sinais, nullptr);

  satd::Servidor servidor(configuracao);
  if (!servidor.Prepara(erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }
  if (!configuracao.usuario.empty() && configuracao.certificado.empty() &&
      !satd::Loopback(configuracao.endereco)) {
    std::fprintf(stderr, "satd: warning: credentials travel in clear text without TLS "
                         "(http.certificado, http.chave)\n");
  }
  std::printf("satd: listening on %s\n", servidor.Url().c_str());
  std::fflush(stdout);

  std::thread vigia([&] {
    int sinal = 0;
    sigwait(&sinais, &sinal);
    servidor.Para();
  });
  const bool ok = servidor.Atende();
  pthread_kill(vigia.native_handle(), SIGTERM); // ends the wait when no signal came
  vigia.join();
  return ok ? 0 : 1;
}
