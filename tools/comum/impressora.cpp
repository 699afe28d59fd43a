#include "comum/impressora.h"

#include "comum/endereco_tcp.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace comum {

namespace {

using Relogio = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kConexao{5};      // to connect to a printer's port, each of its addresses
constexpr seconds kEnvio{60};       // to hand over all the bytes, and (TCP) for them to be acked
constexpr seconds kFechamento{2};   // the printer's port, after it acked everything, to close
constexpr milliseconds kFatia{100}; // how often the end of a TCP send looks at the send queue

const char kPrefixoTcp[] = "tcp://";
const char kPrefixoCups[] = "cups:";
const char kPrefixoFila[] = "fila:"; // the Windows build's print queues

bool Comeca(const std::string &texto, const char *prefixo) { return texto.rfind(prefixo, 0) == 0; }

std::string Causa(int erro) { return std::strerror(erro); }

int RestaMs(Relogio::time_point prazo) {
  const auto resta = std::chrono::ceil<milliseconds>(prazo - Relogio::now()).count();
  return resta <= 0 ? 0 : resta > INT_MAX ? INT_MAX : static_cast<int>(resta);
}

// Waits until `fd` is ready for `eventos`, by `prazo`: 0, or an errno value (ETIMEDOUT when the
// time ran out; EIO when the descriptor reports an error or a hang-up instead).
int Espera(int fd, short eventos, Relogio::time_point prazo) {
  for (;;) {
    const int resta = RestaMs(prazo);
    if (resta == 0) {
      return ETIMEDOUT;
    }
    pollfd p{fd, eventos, 0};
    const int r = poll(&p, 1, resta);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r < 0) {
      return errno;
    }
    if (r == 0) {
      continue; // the loop's own test tells whether the time is up
    }
    if ((p.revents & POLLNVAL) != 0) {
      return EBADF;
    }
    return (p.revents & eventos) != 0 ? 0 : EIO;
  }
}

// All of `bytes` to the non-blocking `fd` by `prazo`: 0, or an errno value.
int EscreveTudo(int fd, std::string_view bytes, bool soquete, Relogio::time_point prazo) {
  size_t feitos = 0;
  int espera = 0; // what the last wait said: an error or a hang-up is told by the next write
  while (feitos < bytes.size()) {
    const char *de = bytes.data() + feitos;
    const size_t quantos = bytes.size() - feitos;
    const ssize_t n = soquete ? send(fd, de, quantos, MSG_NOSIGNAL) : write(fd, de, quantos);
    if (n > 0) {
      feitos += static_cast<size_t>(n);
      espera = 0;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (espera == EIO) {
        return EIO;
      }
      espera = Espera(fd, POLLOUT, prazo);
      if (espera != 0 && espera != EIO) {
        return espera;
      }
    } else {
      return n == 0 ? EIO : errno;
    }
  }
  return 0;
}

// A descriptor closed when it goes out of scope.
class Descritor {
public:
  explicit Descritor(int fd) : fd_(fd) {}
  Descritor(const Descritor &) = delete;
  Descritor &operator=(const Descritor &) = delete;
  ~Descritor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int fd() const { return fd_; }
  // Hands the descriptor over: it is no longer closed here.
  int Solta() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes it now: 0, or the errno value of a close that failed.
  int Fecha() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && close(fd) != 0 && errno != EINTR ? errno : 0;
  }

private:
  int fd_;
};

// A write to a pipe whose reader is gone raises SIGPIPE, which would end the process: held back
// on this thread while the write runs, and the one it raised taken away before it is let go.
class SemSigpipe {
public:
  SemSigpipe() {
    sigemptyset(&sigpipe_);
    sigaddset(&sigpipe_, SIGPIPE);
    sigset_t pendentes;
    sigemptyset(&pendentes);
    pendenteAntes_ = sigpending(&pendentes) == 0 && sigismember(&pendentes, SIGPIPE) == 1;
    bloqueado_ = pthread_sigmask(SIG_BLOCK, &sigpipe_, &anterior_) == 0;
  }
  SemSigpipe(const SemSigpipe &) = delete;
  SemSigpipe &operator=(const SemSigpipe &) = delete;
  ~SemSigpipe() {
    if (!bloqueado_) {
      return;
    }
    if (!pendenteAntes_) {
      const timespec agora{0, 0};
      while (sigtimedwait(&sigpipe_, nullptr, &agora) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &anterior_, nullptr);
  }

private:
  sigset_t sigpipe_, anterior_;
  bool pendenteAntes_ = false;
  bool bloqueado_ = false;
};

// A device or a file. A path under /dev/ is never created: a printer that is not plugged in
// must not turn into a regular file there.
bool EnviaAoArquivo(const std::string &caminho, std::string_view bytes, std::string &erro) {
  const int criar = Comeca(caminho, "/dev/") ? 0 : O_CREAT;
  int aberto;
  do {
    aberto = open(caminho.c_str(), O_WRONLY | O_NOCTTY | O_APPEND | O_NONBLOCK | O_CLOEXEC | criar,
                  0644);
  } while (aberto < 0 && errno == EINTR);
  if (aberto < 0) {
    erro = "não foi possível abrir a impressora " + caminho + ": " + Causa(errno);
    return false;
  }
  Descritor fd(aberto);
  struct stat estado {};
  if (fstat(fd.fd(), &estado) != 0) {
    erro = "não foi possível examinar a impressora " + caminho + ": " + Causa(errno);
    return false;
  }
  const bool regular = S_ISREG(estado.st_mode);
  const bool dispositivo = S_ISCHR(estado.st_mode);
  const Relogio::time_point prazo = Relogio::now() + kEnvio;
  int falha = 0;
  {
    SemSigpipe semSigpipe;
    falha = EscreveTudo(fd.fd(), bytes, false, prazo);
  }
  // A printer's device in non-blocking mode takes the last block before it went out (usblp
  // discards one still on its way when the device is closed): ready again once it has.
  if (falha == 0 && dispositivo) {
    falha = Espera(fd.fd(), POLLOUT, prazo);
  }
  if (falha == ETIMEDOUT) {
    erro = "a impressora " + caminho + " não recebeu os dados em " +
           std::to_string(kEnvio.count()) + " s (desligada? sem papel?)";
    return false;
  }
  if (falha == 0 && regular && fsync(fd.fd()) != 0) {
    falha = errno;
  }
  if (falha == 0) {
    falha = fd.Fecha();
  }
  if (falha != 0) {
    erro = "não foi possível escrever na impressora " + caminho + ": " + Causa(falha);
    return false;
  }
  return true;
}

// A non-blocking socket connected to `endereco` within kConexao: its descriptor, or -1 with
// `falha` set to the errno value.
int Conecta(const addrinfo &endereco, int &falha) {
  const int fd = socket(endereco.ai_family, endereco.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        endereco.ai_protocol);
  if (fd < 0) {
    falha = errno;
    return -1;
  }
  Descritor soquete(fd);
  if (connect(fd, endereco.ai_addr, endereco.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      falha = errno;
      return -1;
    }
    falha = Espera(fd, POLLOUT, Relogio::now() + kConexao);
    if (falha == EIO || falha == 0) {
      int erro = 0;
      socklen_t tamanho = sizeof erro;
      falha = getsockopt(fd, SOL_SOCKET, SO_ERROR, &erro, &tamanho) != 0 ? errno : erro;
    }
    if (falha != 0) {
      return -1;
    }
  }
  falha = 0;
  return soquete.Solta();
}

// The end of a raw-port job: no more bytes from here, and everything sent acked by the printer;
// then a little while for it to close its side (most do once they have the job). Its own bytes
// (a status it volunteers) are read and dropped. 0, or an errno value.
int Encerra(int fd, Relogio::time_point prazo) {
  if (shutdown(fd, SHUT_WR) != 0) {
    return errno;
  }
  Relogio::time_point fim = prazo;
  bool confirmado = false;
  for (;;) {
    // What the printer has not acked, and the end of the stream (the shutdown's FIN counts one
    // until it is acked).
    int pendentes = 0;
    if (ioctl(fd, SIOCOUTQ, &pendentes) != 0) {
      return errno;
    }
    if (pendentes <= 1 && !confirmado) {
      confirmado = true;
      fim = std::min(prazo, Relogio::now() + kFechamento);
    }
    if (Relogio::now() >= fim) {
      return confirmado ? 0 : ETIMEDOUT;
    }
    const int espera = Espera(fd, POLLIN, std::min(fim, Relogio::now() + kFatia));
    if (espera == ETIMEDOUT) {
      continue;
    }
    char descarte[512];
    const ssize_t n = recv(fd, descarte, sizeof descarte, 0);
    if (n == 0) {
      // The printer closed its side: whatever it had not acked is gone with it.
      return ioctl(fd, SIOCOUTQ, &pendentes) == 0 && pendentes <= 1 ? 0 : ECONNRESET;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return errno;
    }
  }
}

bool EnviaPorTcp(const std::string &destino, std::string_view bytes, std::string &erro) {
  std::string host, porta;
  if (!EnderecoTcp(destino, host, porta)) {
    erro = destino + " não é um endereço tcp://HOST[:PORTA]";
    return false;
  }
  addrinfo pedido{};
  pedido.ai_family = AF_UNSPEC;
  pedido.ai_socktype = SOCK_STREAM;
  pedido.ai_flags = AI_NUMERICSERV;
  addrinfo *enderecos = nullptr;
  const int resolvido = getaddrinfo(host.c_str(), porta.c_str(), &pedido, &enderecos);
  if (resolvido != 0) {
    erro = "não foi possível encontrar o endereço de " + host + " (" + destino +
           "): " + (resolvido == EAI_SYSTEM ? Causa(errno) : gai_strerror(resolvido));
    return false;
  }
  int fd = -1;
  int falha = EHOSTUNREACH;
  for (const addrinfo *e = enderecos; e != nullptr && fd < 0; e = e->ai_next) {
    fd = Conecta(*e, falha);
  }
  freeaddrinfo(enderecos);
  if (fd < 0) {
    erro = falha == ETIMEDOUT
               ? "a impressora " + destino + " não atendeu em " + std::to_string(kConexao.count()) +
                     " s"
               : "não foi possível conectar à impressora " + destino + ": " + Causa(falha);
    return false;
  }
  Descritor soquete(fd);
  const Relogio::time_point prazo = Relogio::now() + kEnvio;
  falha = EscreveTudo(fd, bytes, true, prazo);
  if (falha == 0) {
    falha = Encerra(fd, prazo);
  }
  if (falha == 0) {
    falha = soquete.Fecha();
  }
  if (falha == ETIMEDOUT) {
    erro = "a impressora " + destino + " não recebeu os dados em " +
           std::to_string(kEnvio.count()) + " s";
  } else if (falha == ECONNRESET || falha == EPIPE) {
    erro = "a impressora " + destino + " encerrou a conexão antes de receber tudo";
  } else if (falha != 0) {
    erro = "não foi possível enviar à impressora " + destino + ": " + Causa(falha);
  }
  return falha == 0;
}

// No password is asked for on the terminal (nor in a server): a queue that wants one refuses.
const char *SemSenha(const char *, http_t *, const char *, const char *, void *) { return nullptr; }

// A CUPS request that waits longer than its time-out gives up.
int Desiste(http_t *, void *) { return 0; }

// The server libcups is set up for, as people write it.
std::string ServidorCups() {
  const std::string servidor = cupsServer();
  return servidor.empty() || servidor[0] == '/' ? servidor
                                                : servidor + ":" + std::to_string(ippPort());
}

bool EnviaAoCups(const std::string &destino, std::string_view bytes, std::string &erro) {
  const std::string fila = destino.substr(sizeof kPrefixoCups - 1);
  const std::string servidor = ServidorCups();
  cupsSetPasswordCB2(SemSenha, nullptr);
  http_t *http =
      httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                   static_cast<int>(std::chrono::milliseconds(kConexao).count()), nullptr);
  if (http == nullptr) {
    erro = "o servidor do CUPS em " + servidor + " não atende (" + destino +
           "): " + cupsLastErrorString();
    return false;
  }
  httpSetTimeout(http, std::chrono::duration<double>(kEnvio).count(), Desiste, nullptr);
  cups_dest_t *existe = cupsGetNamedDest(http, fila.c_str(), nullptr);
  cupsFreeDests(existe != nullptr ? 1 : 0, existe);
  const int trabalho =
      existe != nullptr ? cupsCreateJob(http, fila.c_str(), "extrato", 0, nullptr) : 0;
  if (trabalho == 0) {
    erro = existe == nullptr
               ? "a fila " + destino + " não existe no servidor do CUPS em " + servidor
               : "a fila " + destino + " (no servidor " + servidor +
                     ") não aceitou o trabalho: " + cupsLastErrorString();
    httpClose(http);
    return false;
  }
  std::string falha;
  if (cupsStartDocument(http, fila.c_str(), trabalho, "extrato", CUPS_FORMAT_RAW, 1) !=
      HTTP_STATUS_CONTINUE) {
    falha = "não foi possível começar o documento";
  } else if (cupsWriteRequestData(http, bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE) {
    falha = "não foi possível enviar os dados";
  } else if (cupsFinishDocument(http, fila.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
    falha = "o documento foi recusado";
  } else {
    httpClose(http);
    return true;
  }
  erro = "a fila " + destino + " (no servidor " + servidor + "), trabalho " +
         std::to_string(trabalho) + ": " + falha + ": " + cupsLastErrorString();
  if (cupsCancelJob2(http, fila.c_str(), trabalho, 0) > IPP_STATUS_OK_EVENTS_COMPLETE) {
    erro += " (e ele não pôde ser cancelado: " + std::string(cupsLastErrorString()) + ")";
  }
  httpClose(http);
  return false;
}

} // namespace

std::string ConfereImpressora(const std::string &destino) {
  if (destino.empty()) {
    return "a impressora é um caminho, tcp://HOST[:PORTA] ou cups:FILA";
  }
  if (Comeca(destino, "tcp:")) {
    return ConfereTcp(destino);
  }
  if (Comeca(destino, kPrefixoFila)) {
    return destino + ": fila:NOME é uma fila de impressão do Windows; no Linux, cups:FILA";
  }
  if (Comeca(destino, kPrefixoCups)) {
    const std::string fila = destino.substr(sizeof kPrefixoCups - 1);
    bool valida = !fila.empty() && fila.size() <= 127;
    for (const char c : fila) {
      valida = valida && static_cast<unsigned char>(c) > 0x20 && c != 0x7F && c != '/' &&
               c != '#' && c != '\\' && c != '\'' && c != '"';
    }
    return valida ? std::string() : destino + " não é o nome de uma fila do CUPS";
  }
  return std::string();
}

bool EnviaParaImpressora(const std::string &destino, std::string_view bytes, std::string &erro) {
  erro = ConfereImpressora(destino);
  if (!erro.empty()) {
    return false;
  }
  if (Comeca(destino, kPrefixoTcp)) {
    return EnviaPorTcp(destino, bytes, erro);
  }
  if (Comeca(destino, kPrefixoCups)) {
    return EnviaAoCups(destino, bytes, erro);
  }
  return EnviaAoArquivo(destino, bytes, erro);
}

} // namespace comum
