#include "processo.h"

#include "apoio.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef SATEMU_BINARIO
#error "SATEMU_BINARIO must name the satemu executable"
#endif

namespace teste {

namespace {

using Relogio = std::chrono::steady_clock;

int MsRestantes(Relogio::time_point fim) {
  const auto falta = std::chrono::duration_cast<std::chrono::milliseconds>(fim - Relogio::now());
  return falta.count() < 0 ? 0 : static_cast<int>(falta.count());
}

} // namespace

Emulador::~Emulador() { Encerra(SIGKILL); }

bool Emulador::Inicia(const std::vector<std::string> &argumentos, std::string &erro, bool avisos) {
  int tubo[2];
  int tuboAvisos[2] = {-1, -1};
  if (pipe2(tubo, O_CLOEXEC) != 0 || (avisos && pipe2(tuboAvisos, O_CLOEXEC) != 0)) {
    erro = std::strerror(errno);
    return false;
  }
  std::vector<char *> argv;
  std::string binario = SATEMU_BINARIO;
  argv.push_back(binario.data());
  std::vector<std::string> copia = argumentos;
  for (std::string &a : copia)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(tubo[1], STDOUT_FILENO);
    if (avisos)
      dup2(tuboAvisos[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(tubo[1]);
  saida_ = tubo[0];
  if (avisos) {
    close(tuboAvisos[1]);
    avisos_ = tuboAvisos[0];
  }
  // The first line is the slave's path; nothing is waited for but that line.
  const auto fim = Relogio::now() + std::chrono::seconds(10);
  std::string linha;
  char c;
  while (linha.empty() || linha.back() != '\n') {
    pollfd p{saida_, POLLIN, 0};
    if (poll(&p, 1, MsRestantes(fim)) <= 0 || read(saida_, &c, 1) != 1) {
      erro = "satemu wrote no first line: " + linha;
      return false;
    }
    linha += c;
  }
  linha.pop_back();
  escravo_ = linha;
  return true;
}

int Emulador::Encerra(int sinal) {
  if (pid_ <= 0)
    return -1;
  kill(pid_, sinal);
  int status = 0;
  const pid_t r = waitpid(pid_, &status, 0);
  pid_ = -1;
  for (int *fd : {&saida_, &avisos_}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
  return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Emulador::EsperaAviso(std::string_view trecho, int limiteMs) {
  const auto fim = Relogio::now() + std::chrono::milliseconds(limiteMs);
  for (;;) {
    for (std::size_t fimLinha; (fimLinha = avisosLidos_.find('\n')) != std::string::npos;) {
      const bool achou = avisosLidos_.substr(0, fimLinha).find(trecho) != std::string::npos;
      avisosLidos_.erase(0, fimLinha + 1);
      if (achou)
        return true;
    }
    pollfd p{avisos_, POLLIN, 0};
    char bloco[4096];
    if (avisos_ < 0 || poll(&p, 1, MsRestantes(fim)) <= 0)
      return false;
    const ssize_t n = read(avisos_, bloco, sizeof bloco);
    if (n <= 0)
      return false;
    avisosLidos_.append(bloco, static_cast<std::size_t>(n));
  }
}

bool Porta::Abre(const std::string &caminho) {
  Fecha();
  fd_ = open(caminho.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0)
    return false;
  termios modo{};
  tcgetattr(fd_, &modo);
  cfmakeraw(&modo);
  tcsetattr(fd_, TCSANOW, &modo);
  ioctl(fd_, TIOCEXCL);
  return true;
}

bool Porta::Exclusiva() const {
  int exclusiva = 0;
  return ioctl(fd_, TIOCGEXCL, &exclusiva) == 0 && exclusiva != 0;
}

void Porta::Fecha() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool Porta::Escreve(std::string_view bytes) {
  // A device that stops reading must fail the test, not hang it.
  const auto fim = Relogio::now() + std::chrono::seconds(20);
  while (!bytes.empty()) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, MsRestantes(fim)) <= 0)
        return false;
    } else {
      return false;
    }
  }
  return true;
}

bool Porta::Le(std::size_t quantos, std::string &bytes, int limiteMs) {
  bytes.clear();
  const auto fim = Relogio::now() + std::chrono::milliseconds(limiteMs);
  char bloco[65536];
  while (bytes.size() < quantos) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, MsRestantes(fim)) <= 0)
      return false;
    const ssize_t n = read(fd_, bloco, std::min(sizeof bloco, quantos - bytes.size()));
    if (n > 0)
      bytes.append(bloco, static_cast<std::size_t>(n));
    else if (n < 0 && errno != EAGAIN)
      return false;
  }
  return true;
}

bool Porta::LeQuadro(std::string &quadro, int limiteMs) {
  std::string resto;
  if (!Le(13, quadro, limiteMs) || quadro[0] != '\x01')
    return false;
  if (!Le(Le32(quadro, 9) + 1u, resto, limiteMs))
    return false;
  quadro += resto;
  return true;
}

} // namespace teste
