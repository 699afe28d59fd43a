// satd: one SAT shared by every checkout of a shop, over HTTP. It owns the SAT through libsat
// (nothing but sat.h) and serves the REST interface that POS client libraries speak for a
// shared SAT.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>

#include "comum/opcoes.h"
#include "configuracao.h"
#include "servidor.h"

namespace {

const char kAjuda[] =
    R"(Usage: satd [--config FILE]

Owns the SAT through libsat and serves every checkout of the shop over HTTP:
  POST {base}/{function}   form-encoded fields (numero_caixa 0-999, in the body, the URL's
                           query or a numero-caixa header, and the function's own; others are
                           left out and logged); 200 {"funcao": "<the library's name>",
                           "retorno": "<its reply>"}, 4xx {"erro": "<why>"}, 401 without valid
                           credentials, 403 for another role's function, 503 when the queue is
                           full or the wait too long
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
Checkout functions: enviardadosvenda cancelarultimavenda consultarsat testefimafim
  consultarstatusoperacional consultarnumerosessao consultarultimasessaofiscal
Technician functions: ativarsat comunicarcertificadoicpbrasil associarassinatura
  configurarinterfacederede atualizarsoftwaresat bloquearsat desbloquearsat
  trocarcodigodeativacao extrairlogs

Roles: [http] usuario and senha are the checkouts' credential; [tecnico] usuario and senha the
technician's, good for every function; [metricas] usuario and senha a monitor's, good for GET
/metrics only. [http] clientes lists the addresses and networks whose requests have the
checkout role without credentials (the hub clients of POS programs send none); plain HTTP
beyond loopback is allowed only then. Without any credential configured, a caller on loopback
is the technician (those of clientes are checkouts, and every other one gets 401).

Nothing signed is lost: every sale and cancellation is noted in the journal ([diario] arquivo,
SQLite) before it goes to the SAT, and its reply is written there before the HTTP reply goes
out; the log line says whether the client took it (entregue=sim or nao). A checkout gets its
own last fiscal reply with consultarultimasessaofiscal and its numero_caixa, and any session's
with consultarnumerosessao. A call under way when satd died is asked of the SAT at the next
start. A request whose client has closed the connection before its turn is not sent.

Bounds: a request's header at most 16 KiB and 100 fields (431); its body at most
[http] corpo_maximo bytes, chunked or not (413), never compressed (415); header and body within
[http] prazo_ms of the first byte, or the connection is dropped; [http] conexoes connections
at once and conexoes_por_endereco from one address (an idle one is closed to make room, or the
new one gets 503); [fila] tamanho requests waiting and espera_ms of waiting (503).

The page, {base}/saude and /metrics ask the SAT for its status (ConsultarStatusOperacional)
through the same worker and queue as the checkouts, at most once per [saude] intervalo_s
(default 30 s); /metrics asks only when the SAT is idle, and otherwise serves the last status
with its age, so that scraping never waits behind a sale. The checks of the reply: certificate
expired (critical) or expiring within certificado_dias (default 60, attention); CF-e waiting
to be transmitted (attention), critical when the last transmission or contact with SEFAZ is
more than 5 days old; the SAT's clock more than relogio_minutos (default 5) from satd's
(attention); working memory above 80 % (attention) or 95 % (critical); battery BAIXO
(attention); a blocked SAT (critical).

Every device call runs on one worker, in arrival order. satd draws the session numbers and
keeps the activation code; checkouts send neither. The first line on standard output is
"satd: listening on URL"; then one line per request goes to the log ([registro] arquivo, or
standard output): time, client, checkout, function, session, device code, HTTP status,
duration. Files are created 0640. SIGHUP opens the logs again (after logrotate). SIGTERM or
SIGINT: queued requests get 503, the call in progress ends, satd exits.

Options:
)";

// Options without a letter, by getopt_long's code.
enum : int { OPCAO_CONFIG = 256, OPCAO_VERSAO };
constexpr opcoes::Opcao kOpcoes[] = {
    {"config", OPCAO_CONFIG, "FILE",
     "the configuration (TOML; default /etc/satd/satd.toml); README.md shows\n"
     "every key with a full example"},
    {"help", 'h', nullptr, "this text"},
    {"version", OPCAO_VERSAO, nullptr, "satd's version"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

const char kAjudaFim[] = R"(
Exit status:
  0   after a clean stop
  1   the configuration or the address refused, or the log, the journal or the TLS files could
      not be opened
  64  usage error: nothing was started

On Linux, SAT_DEV_DIR names the folder of the COMn device (default /dev/).
)";

int Uso(const std::string &mensagem) {
  std::fprintf(stderr, "satd: %s (see --help)\n", mensagem.c_str());
  return 64; // EX_USAGE
}

} // namespace

int main(int argc, char **argv) {
  // Signals reach only the thread that waits for them, from the start (a SIGHUP from logrotate
  // while satd starts must not kill it); every thread made from here on inherits the mask. A
  // client that goes away, a full disk or a size limit fails a write; none kills the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // The logs and the journal hold activation codes and buyers' documents.
  umask(027);
  sigset_t sinais;
  sigemptyset(&sinais);
  sigaddset(&sinais, SIGTERM);
  sigaddset(&sinais, SIGINT);
  sigaddset(&sinais, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sinais, nullptr);

  std::string arquivo = "/etc/satd/satd.toml";
  opcoes::Leitor leitor(kOpcoes, argc, argv);
  for (opcoes::Achado a = leitor.Proximo(); a.codigo != opcoes::kFim; a = leitor.Proximo()) {
    switch (a.codigo) {
    case 'h':
      std::fputs(kAjuda, stdout);
      std::fputs(opcoes::Ajuda(kOpcoes, 18).c_str(), stdout);
      std::fputs(kAjudaFim, stdout);
      return 0;
    case OPCAO_VERSAO:
      std::printf("%s\n", opcoes::Versao("satd").c_str());
      return 0;
    case OPCAO_CONFIG:
      if (a.valor == nullptr) {
        return Uso(a.nome + " takes a file name");
      }
      arquivo = a.valor;
      break;
    case opcoes::kPalavra:
      return Uso(std::string("unexpected argument ") + a.valor);
    case opcoes::kErro:
      return Uso(a.erro);
    default:
      return Uso("unknown option " + a.nome);
    }
  }

  satd::Configuracao configuracao;
  std::string erro;
  if (!satd::LeConfiguracao(arquivo, configuracao, erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }

  satd::Servidor servidor(configuracao);
  if (!servidor.Prepara(erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }
  if (satd::HttpSemTls(configuracao)) {
    std::fprintf(stderr, "satd: warning: plain HTTP beyond loopback, for the checkouts of "
                         "http.clientes: requests and replies travel in clear text\n");
  }
  std::printf("satd: listening on %s\n", servidor.Url().c_str());
  std::fflush(stdout);

  std::atomic<bool> parando{false};
  std::thread vigia([&] {
    for (;;) {
      int sinal = 0;
      if (sigwait(&sinais, &sinal) != 0) {
        continue;
      }
      if (sinal == SIGHUP && !parando) {
        servidor.ReabreRegistros();
        continue;
      }
      servidor.Para();
      return;
    }
  });
  const bool ok = servidor.Atende();
  parando = true;
  pthread_kill(vigia.native_handle(), SIGTERM); // ends the wait when no signal came
  vigia.join();
  return ok ? 0 : 1;
}
