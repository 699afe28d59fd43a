#include "servidor.h"

#include "codifica.h"
#include "estado.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>

#include <dirent.h>
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
using std::chrono::milliseconds;

// A piece of output: bytes that go out after a pause, or a burst of stray bytes.
struct Peca {
  int esperaMs = 0; // from the end of the piece before it (or from the request, for the first)
  std::string bytes;
  int rajadaMs = 0; // a burst instead of bytes: 0xAA bytes keep coming for this long
};

// Opens and closes of the slave side since they were last read, in the order they came.
struct EventosPorta {
  bool fechou = false;
  bool abriuDepois = false; // a client opened the port after the last close
  bool abriu = false;
};

// Whether another process has `caminho` open, as far as /proc shows: the opens and closes that
// inotify reports cannot be counted (two opens in a row come as one event). A process this one
// may not look into does not count.
bool OutroTemAPorta(const std::string &caminho) {
  DIR *processos = opendir("/proc");
  if (processos == nullptr)
    return true;
  const std::string eu = std::to_string(getpid());
  bool tem = false;
  while (const dirent *p = tem ? nullptr : readdir(processos)) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9' || eu == p->d_name)
      continue;
    const std::string pasta = std::string("/proc/") + p->d_name + "/fd/";
    DIR *descritores = opendir(pasta.c_str());
    if (descritores == nullptr)
      continue;
    while (const dirent *d = tem ? nullptr : readdir(descritores)) {
      char destino[256];
      const ssize_t n = readlink((pasta + d->d_name).c_str(), destino, sizeof destino);
      tem = n > 0 && std::string_view(destino, static_cast<std::size_t>(n)) == caminho;
    }
    closedir(descritores);
  }
  closedir(processos);
  return tem;
}

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

int MsAte(Relogio::time_point quando) {
  // Rounded up: a pause is never shorter than asked.
  const auto falta = std::chrono::ceil<milliseconds>(quando - Relogio::now()).count();
  return static_cast<int>(std::clamp<long long>(falta, 0, 3'600'000));
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
  bool LeMestre(std::size_t limite);
  EventosPorta LeEventos();
  void AtendeFechamentos();
  void Enfileira(std::vector<Peca> pecas);
  void IniciaPeca();
  std::size_t DescartaSaida();
  void EscrevePendente();
  void Salva();

  Sat &sat_;
  const Configuracao &config_;
  int sinais_ = -1;
  int mestre_ = -1;
  int escravo_ = -1;
  int eventos_ = -1;
  int registro_ = -1;
  int tempos_ = -1;
  std::string nomeEscravo_;
  bool linkCriado_ = false;
  bool encerrar_ = false;
  bool semCliente_ = false; // the requests read now came from a client that has left
  LeitorQuadros leitor_;
  Relogio::time_point ultimaChegada_;

  // Output waits here and goes out as the line takes it: the loop never blocks on a write.
  std::deque<Peca> saida_;
  std::size_t enviados_ = 0;          // of the first piece
  Relogio::time_point prontaEm_;      // the first piece may start then
  Relogio::time_point fimRajada_;     // a burst ends then
  Relogio::time_point proximaRajada_; // and writes its next bytes then
};

Servidor::~Servidor() {
  if (linkCriado_) {
    // Only our own link goes: another emulator may have taken the name since.
    char destino[4096];
    const ssize_t n = readlink(config_.link.c_str(), destino, sizeof destino - 1);
    if (n > 0 && std::string_view(destino, static_cast<std::size_t>(n)) == nomeEscravo_)
      unlink(config_.link.c_str());
  }
  for (const int fd : {registro_, tempos_, eventos_, escravo_, mestre_, sinais_})
    if (fd >= 0)
      close(fd);
}

bool Servidor::AbrePseudoTerminal() {
  mestre_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char nome[256];
  if (mestre_ < 0 || grantpt(mestre_) != 0 || unlockpt(mestre_) != 0 ||
      ptsname_r(mestre_, nome, sizeof nome) != 0) {
    AvisaErro("pseudoterminal");
    return false;
  }
  nomeEscravo_ = nome;
  // Our own descriptor on the slave keeps the line up while no client has the port open:
  // without it the master reads EIO and polls as hung up between clients. It also lets us
  // flush what a client left unread. It is opened once, before any client, and never takes
  // the exclusive lock: a client's TIOCEXCL (and its TIOCNXCL) are the client's own business,
  // but for the lock a client leaves behind when it dies (see LeEventos).
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
  // A pseudo-terminal tells its master nothing of its clients: their opens and closes are
  // watched on the slave's path, so that what a client leaves behind is not served to the next.
  eventos_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (eventos_ < 0 ||
      inotify_add_watch(eventos_, nome, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    AvisaErro("inotify em " + nomeEscravo_ + " (um cliente que sair passará despercebido)");
    if (eventos_ >= 0)
      close(eventos_);
    eventos_ = -1;
  }
  return true;
}

bool Servidor::CriaLink() {
  const std::string &link = config_.link;
  struct stat info {};
  if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    Avisa(link + " existe e não é um link simbólico");
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
  for (const auto &[nome, fd] :
       {std::pair{&config_.registro, &registro_}, std::pair{&config_.tempos, &tempos_}}) {
    if (nome->empty())
      continue;
    *fd = open(nome->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (*fd < 0) {
      AvisaErro(*nome);
      return false;
    }
  }
  std::printf("%s\n", nomeEscravo_.c_str());
  std::fflush(stdout);
  return true;
}

void Servidor::Salva() {
  std::string erro;
  if (!config_.estado.empty() && !SalvaEstado(sat_, config_.estado, erro))
    Avisa(erro);
}

void Servidor::IniciaPeca() {
  enviados_ = 0;
  if (saida_.empty())
    return;
  const Peca &peca = saida_.front();
  prontaEm_ = Relogio::now() + milliseconds(peca.esperaMs);
  fimRajada_ = prontaEm_ + milliseconds(peca.rajadaMs);
  proximaRajada_ = prontaEm_;
}

void Servidor::Enfileira(std::vector<Peca> pecas) {
  const bool vazia = saida_.empty();
  for (Peca &peca : pecas)
    saida_.push_back(std::move(peca));
  if (vazia)
    IniciaPeca();
}

std::size_t Servidor::DescartaSaida() {
  std::size_t bytes = 0;
  for (const Peca &peca : saida_)
    bytes += peca.bytes.size();
  bytes -= std::min(bytes, enviados_);
  saida_.clear();
  enviados_ = 0;
  return bytes;
}

void Servidor::EscrevePendente() {
  while (!saida_.empty()) {
    const auto agora = Relogio::now();
    if (agora < prontaEm_)
      return;
    const Peca &peca = saida_.front();
    if (peca.rajadaMs > 0) {
      if (agora >= fimRajada_) {
        saida_.pop_front();
        IniciaPeca();
        continue;
      }
      if (agora >= proximaRajada_) {
        // Never waits for room: a full line just loses what a faulty device babbles.
        const std::string bytes(16, kByteRajada);
        if (write(mestre_, bytes.data(), bytes.size()) < 0 && errno != EAGAIN && errno != EINTR)
          AvisaErro("write");
        proximaRajada_ = agora + milliseconds(10);
      }
      return;
    }
    if (enviados_ < peca.bytes.size()) {
      const ssize_t n =
          write(mestre_, peca.bytes.data() + enviados_, peca.bytes.size() - enviados_);
      if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
      if (n < 0) {
        AvisaErro("write");
        DescartaSaida();
        return;
      }
      enviados_ += static_cast<std::size_t>(n);
      if (enviados_ < peca.bytes.size())
        continue;
    }
    saida_.pop_front();
    IniciaPeca();
  }
}

void Servidor::TrataQuadro(const Quadro &quadro) {
  if (registro_ >= 0) {
    const std::string linha = Hex(quadro.bruto) + "\n";
    if (write(registro_, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size()))
      AvisaErro(config_.registro);
  }
  const auto inicio = Relogio::now();
  std::string resposta;
  std::string palavra;
  std::string motivo;
  if (!quadro.somaConfere) {
    // Nothing in a frame whose sum is wrong can be trusted, not even the session number to
    // echo: the device refuses the frame with a NAK, as it would refuse line noise.
    resposta = MontaControle(Controle::Nak, quadro.sequencia);
  } else {
    Atendimento atendimento = Atende(sat_, quadro.carga);
    palavra = std::move(atendimento.palavra);
    motivo = std::move(atendimento.motivo);
    // The state is on disk before the reply goes out, as a device commits before it answers.
    if (atendimento.estadoMudou)
      Salva();
    resposta = MontaResposta(quadro.sequencia, atendimento.resposta);
  }
  if (tempos_ >= 0) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Relogio::now() - inicio).count();
    const std::string linha = std::to_string(quadro.sequencia) + " " + Mostra(palavra, 64) + " " +
                              std::to_string(micros) + "\n";
    if (write(tempos_, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size()))
      AvisaErro(config_.tempos);
  }
  // Why a document was refused is what a POS developer needs to see; the reply cannot carry it.
  if (!motivo.empty())
    Avisa(Mostra(palavra, 64) + " recusado: " + Utf8DoLog(TextoDoLog(motivo, 300)));
  if (config_.verboso)
    std::fprintf(stderr, "satemu: seq %u %s (%zu bytes) -> %zu bytes%s\n", quadro.sequencia,
                 quadro.somaConfere ? Mostra(palavra, 64).c_str() : "(soma errada)",
                 quadro.carga.size(), resposta.size(),
                 semCliente_ ? " (resposta não enviada: o cliente saiu)" : "");
  if (semCliente_)
    return;
  const Falhas &falhas = config_.falhas;
  std::vector<Peca> pecas;
  if (!falhas.soPara.empty() && falhas.soPara != palavra) {
    pecas.push_back({0, std::move(resposta), 0});
  } else {
    for (Envio &envio : PlanejaEnvio(resposta, quadro.sequencia, falhas))
      pecas.push_back({envio.pausaAntesMs, std::move(envio.bytes), 0});
    if (falhas.rajadaMs > 0)
      pecas.push_back({0, {}, falhas.rajadaMs});
  }
  Enfileira(std::move(pecas));
}

void Servidor::ProcessaQuadros() {
  // One request at a time: the next is read once the reply to this one is out.
  Quadro quadro;
  while (!encerrar_ && (semCliente_ || saida_.empty()) && leitor_.Proximo(quadro))
    TrataQuadro(quadro);
}

bool Servidor::LeMestre(std::size_t limite) {
  char bloco[65536];
  std::size_t lidos = 0;
  while (lidos < limite) {
    const ssize_t n = read(mestre_, bloco, sizeof bloco);
    if (n > 0) {
      ultimaChegada_ = Relogio::now();
      leitor_.Acrescenta(bloco, static_cast<std::size_t>(n));
      lidos += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN) {
      AvisaErro("read");
      return false;
    }
    break;
  }
  return true;
}

EventosPorta Servidor::LeEventos() {
  EventosPorta e;
  if (eventos_ < 0)
    return e;
  alignas(inotify_event) char bloco[4096];
  ssize_t n;
  while ((n = read(eventos_, bloco, sizeof bloco)) > 0) {
    for (ssize_t i = 0; i < n;) {
      const auto *evento = reinterpret_cast<const inotify_event *>(bloco + i);
      if (evento->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        e.fechou = true;
        e.abriuDepois = false;
      }
      if (evento->mask & IN_OPEN) {
        e.abriu = true;
        e.abriuDepois = e.fechou;
      }
      i += static_cast<ssize_t>(sizeof(inotify_event) + evento->len);
    }
  }
  // A device's tty is released at its last close, and the exclusive lock with it; ours lives
  // on through our own descriptor, so a client that died holding the lock (no TIOCNXCL) would
  // keep everyone but root out. When no other process has the port open, the lock goes too.
  if (e.fechou && !OutroTemAPorta(nomeEscravo_))
    ioctl(escravo_, TIOCNXCL);
  return e;
}

// A client closed the port. Its reply, if it still had one coming, is for nobody: what waits
// here and what the line still holds are dropped. So is the frame it left unfinished, which
// would otherwise swallow the next client's request. Only bytes read before the close was seen
// are surely the closing client's: once the next client has opened, what comes may be its own
// request, even when another close follows (a client that opened and closed without a word).
void Servidor::AtendeFechamentos() {
  EventosPorta eventos = LeEventos();
  bool doQueFechou = true; // what the reader holds came before the close
  while (eventos.fechou && !encerrar_) {
    const std::size_t saida = DescartaSaida();
    tcflush(escravo_, TCIFLUSH);
    const bool tinhaParcial = doQueFechou && leitor_.TemParcial();
    // A read that finds nothing first pushes through what the kernel still holds, so all the
    // client wrote before it closed is read now.
    if (!LeMestre(kCargaMaxima * 2)) {
      encerrar_ = true;
      return;
    }
    const EventosPorta depois = LeEventos();
    std::size_t parcial = 0;
    if (eventos.abriuDepois || depois.abriu) {
      // The next client has opened the port and may have written already: its bytes stay,
      // and only the frame begun before the close is given up.
      if (tinhaParcial) {
        leitor_.AbandonaParcial();
        parcial = 1;
      }
      doQueFechou = false;
    } else {
      // Requests it sent whole are carried out, as a device does when its host goes away
      // (the host asks later what became of them); their replies go nowhere.
      semCliente_ = true;
      ProcessaQuadros();
      semCliente_ = false;
      parcial = leitor_.DescartaTudo();
    }
    if (config_.verboso)
      std::fprintf(stderr,
                   "satemu: o cliente fechou a porta: %zu bytes de resposta e %zu bytes de um "
                   "quadro incompleto descartados\n",
                   saida, parcial);
    eventos = depois;
  }
}

void Servidor::Executa() {
  while (!encerrar_) {
    EscrevePendente();
    if (saida_.empty()) {
      ProcessaQuadros();
      if (!saida_.empty())
        continue;
    }
    // What the loop waits for: a request while nothing is going out, otherwise room on the
    // line or the end of a pause; a frame begun and not finished for kEsperaQuadroMs.
    int espera = -1;
    short mestre = 0;
    bool esperaQuadro = false;
    if (saida_.empty()) {
      mestre = POLLIN;
      if (leitor_.TemParcial()) {
        espera = MsAte(ultimaChegada_ + milliseconds(kEsperaQuadroMs));
        esperaQuadro = true;
      }
    } else if (Relogio::now() < prontaEm_) {
      espera = MsAte(prontaEm_);
    } else if (saida_.front().rajadaMs > 0) {
      espera = MsAte(std::min(proximaRajada_, fimRajada_));
    } else {
      mestre = POLLOUT;
    }
    pollfd p[3] = {{sinais_, POLLIN, 0}, {mestre_, mestre, 0}, {eventos_, POLLIN, 0}};
    const int prontos = poll(p, eventos_ >= 0 ? 3 : 2, espera);
    if (prontos < 0) {
      if (errno == EINTR)
        continue;
      AvisaErro("poll");
      return;
    }
    if (p[0].revents & POLLIN)
      return;
    // Closes are handled before the data that may follow them from the next client.
    if (eventos_ >= 0 && (p[2].revents & POLLIN)) {
      if (config_.falhas.surdoAoFechamento)
        LeEventos();
      else
        AtendeFechamentos();
    }
    if (p[1].revents & (POLLERR | POLLNVAL)) {
      Avisa("o pseudoterminal falhou");
      return;
    }
    if (p[1].revents & POLLIN) {
      // One read at a time: the reader holds no more than a frame and a read.
      if (!LeMestre(1))
        return;
    } else if (prontos == 0 && esperaQuadro) {
      leitor_.AbandonaParcial();
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
