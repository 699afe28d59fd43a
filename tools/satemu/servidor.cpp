#include "servidor.h"

#include "estado.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace satemu {

std::vector<Envio> PlanejaEnvio(const std::string &quadro, std::uint8_t sequencia,
                                const Falhas &falhas) {
  if (falhas.mudo)
    return {};
  std::string bytes = falhas.lixoAntes;
  if (falhas.controle) {
    bytes += MontaControle(*falhas.controle, sequencia);
  } else {
    std::string dados = quadro;
    if (falhas.somaErrada)
      dados.back() = static_cast<char>(~static_cast<unsigned char>(dados.back()));
    if (falhas.anunciaMais > 0 && dados.size() >= 13) {
      std::uint32_t tamanho = 0;
      for (int i = 12; i >= 9; --i)
        tamanho = tamanho << 8 | static_cast<unsigned char>(dados[i]);
      tamanho += falhas.anunciaMais;
      for (int i = 0; i < 4; ++i)
        dados[9 + i] = static_cast<char>(tamanho >> (8 * i) & 0xFF);
    }
    bytes += dados;
  }
  const std::size_t partes = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::max(falhas.partes, 1)), 1, bytes.size());
  std::vector<Envio> envios;
  std::size_t inicio = 0;
  for (std::size_t i = 0; i < partes; ++i) {
    // Pieces as even as the length allows; the first ones take the remainder.
    const std::size_t tamanho = bytes.size() / partes + (i < bytes.size() % partes ? 1 : 0);
    envios.push_back({i == 0 ? falhas.atrasoMs : falhas.pausaMs, bytes.substr(inicio, tamanho)});
    inicio += tamanho;
  }
  return envios;
}

namespace {

using Relogio = std::chrono::steady_clock;

void Avisa(const std::string &mensagem) { std::fprintf(stderr, "satemu: %s\n", mensagem.c_str()); }

void AvisaErro(const std::string &oQue) {
  std::fprintf(stderr, "satemu: %s: %s\n", oQue.c_str(), std::strerror(errno));
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigitos[] = "0123456789abcdef";
  std::string saida;
  saida.reserve(bytes.size() * 2 + 1);
  for (const char c : bytes) {
    saida += kDigitos[static_cast<unsigned char>(c) >> 4];
    saida += kDigitos[static_cast<unsigned char>(c) & 15];
  }
  return saida;
}

bool CriaDiretorios(const std::string &caminho) {
  for (std::size_t barra = caminho.find('/', 1); barra != std::string::npos;
       barra = caminho.find('/', barra + 1)) {
    const std::string parte = caminho.substr(0, barra);
    if (mkdir(parte.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
  }
  return true;
}

class Servidor {
public:
  Servidor(Sat &sat, const Configuracao &configuracao) : sat_(sat), config_(configuracao) {}
  ~Servidor();

  bool Prepara();
  void Executa();

private:
  bool AbrePseudoTerminal();
  bool CriaLink();
  void TrataQuadro(const Quadro &quadro);
  void ProcessaQuadros();
  void LeEventosPorta();
  bool Espera(int ms);
  bool EscreveTudo(std::string_view bytes);
  bool Rajada(int ms);
  void Salva();

  Sat &sat_;
  const Configuracao &config_;
  int sinais_ = -1;
  int mestre_ = -1;
  int escravo_ = -1;
  int eventos_ = -1;
  int registro_ = -1;
  std::string nomeEscravo_;
  bool linkCriado_ = false;
  bool encerrar_ = false;
  LeitorQuadros leitor_;
  Relogio::time_point ultimaChegada_;
};

Servidor::~Servidor() {
  if (linkCriado_) {
    // Only our own link goes: another emulator may have taken the name since.
    char destino[4096];
    const ssize_t n = readlink(config_.link.c_str(), destino, sizeof destino - 1);
    if (n > 0 && std::string_view(destino, static_cast<std::size_t>(n)) == nomeEscravo_)
      unlink(config_.link.c_str());
  }
  for (const int fd : {registro_, eventos_, escravo_, mestre_, sinais_})
    if (fd >= 0)
      close(fd);
}

bool Servidor::AbrePseudoTerminal() {
  mestre_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char nome[256];
  if (mestre_ < 0 || grantpt(mestre_) != 0 || unlockpt(mestre_) != 0 ||
      ptsname_r(mestre_, nome, sizeof nome) != 0) {
    AvisaErro("pseudo-terminal");
    return false;
  }
  nomeEscravo_ = nome;
  // Our own descriptor on the slave keeps the line up while no client has the port open:
  // without it the master reads EIO and polls as hung up between clients. It is opened before
  // any client, so a client's TIOCEXCL does not lock it out.
  escravo_ = open(nome, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios modo{};
  if (escravo_ < 0 || tcgetattr(escravo_, &modo) != 0) {
    AvisaErro(nomeEscravo_);
    return false;
  }
  cfmakeraw(&modo);
  modo.c_cflag |= CLOCAL | CREAD;
  modo.c_cc[VMIN] = 1;
  modo.c_cc[VTIME] = 0;
  cfsetispeed(&modo, B115200);
  cfsetospeed(&modo, B115200);
  if (tcsetattr(escravo_, TCSANOW, &modo) != 0 ||
      fcntl(mestre_, F_SETFL, fcntl(mestre_, F_GETFL) | O_NONBLOCK) != 0) {
    AvisaErro(nomeEscravo_);
    return false;
  }
  // A client's TIOCEXCL outlives its close on a pseudo-terminal (the tty lives as long as the
  // master), which would keep a client that is not root from opening the port again. A
  // serial port forgets it on close; so do we, when the slave is closed.
  eventos_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (eventos_ >= 0 && inotify_add_watch(eventos_, nome, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(eventos_);
    eventos_ = -1;
  }
  return true;
}

bool Servidor::CriaLink() {
  const std::string &link = config_.link;
  struct stat info {};
  if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    Avisa(link + " exists and is not a symbolic link");
    return false;
  }
  // Made beside the final name and renamed over it, so a stale link is replaced in one step.
  const std::string temporario = link + ".satemu-novo";
  unlink(temporario.c_str());
  if (!CriaDiretorios(link) || symlink(nomeEscravo_.c_str(), temporario.c_str()) != 0 ||
      rename(temporario.c_str(), link.c_str()) != 0) {
    AvisaErro(link);
    unlink(temporario.c_str());
    return false;
  }
  linkCriado_ = true;
  return true;
}

bool Servidor::Prepara() {
  // Signals are read from a descriptor in the loop, so one that comes during a reply or a
  // fault's pause ends the emulator cleanly (link removed, state saved).
  sigset_t conjunto;
  sigemptyset(&conjunto);
  sigaddset(&conjunto, SIGINT);
  sigaddset(&conjunto, SIGTERM);
  sigaddset(&conjunto, SIGHUP);
  sigprocmask(SIG_BLOCK, &conjunto, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  sinais_ = signalfd(-1, &conjunto, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sinais_ < 0) {
    AvisaErro("signalfd");
    return false;
  }
  if (!AbrePseudoTerminal())
    return false;
  if (!config_.link.empty() && !CriaLink())
    return false;
  if (!config_.registro.empty()) {
    registro_ = open(config_.registro.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (registro_ < 0) {
      AvisaErro(config_.registro);
      return false;
    }
  }
  std::printf("%s\n", nomeEscravo_.c_str());
  std::fflush(stdout);
  return true;
}

bool Servidor::Espera(int ms) {
  const auto fim = Relogio::now() + std::chrono::milliseconds(ms);
  for (;;) {
    // Rounded up: a pause is never shorter than asked.
    const auto falta = std::chrono::ceil<std::chrono::milliseconds>(fim - Relogio::now()).count();
    if (falta <= 0)
      return true;
    pollfd p{sinais_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(falta)) > 0) {
      encerrar_ = true;
      return false;
    }
  }
}

bool Servidor::EscreveTudo(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(mestre_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      AvisaErro("write");
      return true;
    }
    // The client is not reading; wait for room, but not past a signal.
    pollfd p[2] = {{mestre_, POLLOUT, 0}, {sinais_, POLLIN, 0}};
    if (poll(p, 2, -1) > 0 && (p[1].revents & POLLIN)) {
      encerrar_ = true;
      return false;
    }
  }
  return true;
}

bool Servidor::Rajada(int ms) {
  const auto fim = Relogio::now() + std::chrono::milliseconds(ms);
  const std::string bytes(16, kByteRajada);
  while (Relogio::now() < fim) {
    // Never blocks: a full line just loses what a faulty device babbles.
    if (write(mestre_, bytes.data(), bytes.size()) < 0 && errno != EAGAIN && errno != EINTR)
      return true;
    const auto falta = std::chrono::ceil<std::chrono::milliseconds>(fim - Relogio::now()).count();
    if (!Espera(static_cast<int>(std::clamp<long long>(falta, 0, 10))))
      return false;
  }
  return true;
}

void Servidor::Salva() {
  std::string erro;
  if (!config_.estado.empty() && !SalvaEstado(sat_, config_.estado, erro))
    Avisa(erro);
}

void Servidor::TrataQuadro(const Quadro &quadro) {
  if (registro_ >= 0) {
    const std::string linha = Hex(quadro.bruto) + "\n";
    if (write(registro_, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size()))
      AvisaErro(config_.registro);
  }
  std::string resposta;
  std::string palavra;
  if (!quadro.somaConfere) {
    // Nothing in a frame whose sum is wrong can be trusted, not even the session number to
    // echo: the device refuses the frame with a NAK, as it would refuse line noise.
    resposta = MontaControle(Controle::Nak, quadro.sequencia);
  } else {
    const Atendimento atendimento = Atende(sat_, quadro.carga);
    palavra = atendimento.palavra;
    // The state is on disk before the reply goes out, as a device commits before it answers.
    if (atendimento.estadoMudou)
      Salva();
    resposta = MontaResposta(quadro.sequencia, atendimento.resposta);
  }
  if (config_.verboso)
    std::fprintf(stderr, "satemu: seq %u %s (%zu bytes) -> %zu bytes\n", quadro.sequencia,
                 quadro.somaConfere ? palavra.substr(0, 64).c_str() : "(bad sum)",
                 quadro.carga.size(), resposta.size());
  const Falhas &falhas = config_.falhas;
  const bool estraga = falhas.soPara.empty() || falhas.soPara == palavra;
  if (!estraga) {
    EscreveTudo(resposta);
    return;
  }
  for (const Envio &envio : PlanejaEnvio(resposta, quadro.sequencia, falhas))
    if (!Espera(envio.pausaAntesMs) || !EscreveTudo(envio.bytes))
      return;
  if (falhas.rajadaMs > 0)
    Rajada(falhas.rajadaMs);
}

void Servidor::ProcessaQuadros() {
  Quadro quadro;
  while (!encerrar_ && leitor_.Proximo(quadro))
    TrataQuadro(quadro);
}

void Servidor::LeEventosPorta() {
  alignas(inotify_event) char eventos[4096];
  bool fechou = false;
  ssize_t n;
  while ((n = read(eventos_, eventos, sizeof eventos)) > 0) {
    for (ssize_t i = 0; i < n;) {
      const auto *evento = reinterpret_cast<const inotify_event *>(eventos + i);
      fechou = fechou || (evento->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0;
      i += static_cast<ssize_t>(sizeof(inotify_event) + evento->len);
    }
  }
  if (fechou)
    ioctl(escravo_, TIOCNXCL);
}

void Servidor::Executa() {
  char bloco[65536];
  while (!encerrar_) {
    int espera = -1;
    if (leitor_.TemParcial()) {
      const auto passou =
          std::chrono::duration_cast<std::chrono::milliseconds>(Relogio::now() - ultimaChegada_);
      espera = static_cast<int>(std::max<long long>(0, kEsperaQuadroMs - passou.count()));
    }
    pollfd p[3] = {{sinais_, POLLIN, 0}, {eventos_, POLLIN, 0}, {mestre_, POLLIN, 0}};
    const int prontos = poll(p, 3, espera);
    if (prontos < 0) {
      if (errno == EINTR)
        continue;
      AvisaErro("poll");
      return;
    }
    if (p[0].revents & POLLIN)
      return;
    // Closes are handled before the data that may follow them from the next client.
    if (p[1].revents & POLLIN)
      LeEventosPorta();
    if (prontos == 0) {
      leitor_.AbandonaParcial();
      ProcessaQuadros();
      continue;
    }
    if (p[2].revents & POLLIN) {
      const ssize_t n = read(mestre_, bloco, sizeof bloco);
      if (n > 0) {
        ultimaChegada_ = Relogio::now();
        leitor_.Acrescenta(bloco, static_cast<std::size_t>(n));
        ProcessaQuadros();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        AvisaErro("read");
        return;
      }
    }
  }
}

} // namespace

int Serve(Sat &sat, const Configuracao &configuracao) {
  Servidor servidor(sat, configuracao);
  if (!servidor.Prepara())
    return 1;
  servidor.Executa();
  std::string erro;
  if (!configuracao.estado.empty() && !SalvaEstado(sat, configuracao.estado, erro)) {
    Avisa(erro);
    return 1;
  }
  return 0;
}

} // namespace satemu
