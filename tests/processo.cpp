#include "tests/processo.h"

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace teste {

using Relogio = std::chrono::steady_clock;

int MsRestantes(Relogio::time_point fim) {
  const auto falta = std::chrono::duration_cast<std::chrono::milliseconds>(fim - Relogio::now());
  return falta.count() < 0 ? 0 : static_cast<int>(falta.count());
}

bool Processo::Inicia(const std::vector<std::string> &argumentos, std::string &primeiraLinha,
                      const OpcoesProcesso &opcoes) {
  primeiraLinha.clear();
  Encerra(SIGKILL);
  int tubo[2];
  int tuboAvisos[2] = {-1, -1};
  if (argumentos.empty() || pipe2(tubo, O_CLOEXEC) != 0) {
    return false;
  }
  if (opcoes.avisos && pipe2(tuboAvisos, O_CLOEXEC) != 0) {
    close(tubo[0]);
    close(tubo[1]);
    return false;
  }
  // Everything the child needs is built before fork: it only calls what is safe there.
  std::vector<std::string> args = argumentos;
  std::vector<char *> argv;
  for (std::string &a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env = opcoes.ambiente;
  for (char **e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  std::vector<char *> envp;
  for (std::string &e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const rlimit limite{opcoes.limiteArquivo, opcoes.limiteArquivo};

  pid_ = fork();
  if (pid_ == 0) {
    dup2(tubo[1], STDOUT_FILENO);
    if (opcoes.avisos) {
      dup2(tuboAvisos[1], STDERR_FILENO);
    }
    if (opcoes.limiteArquivo == 0 || setrlimit(RLIMIT_FSIZE, &limite) == 0) {
      execve(argv[0], argv.data(), envp.data());
    }
    _exit(127);
  }
  close(tubo[1]);
  if (opcoes.avisos) {
    close(tuboAvisos[1]);
  }
  saida_ = tubo[0];
  avisos_ = tuboAvisos[0];
  if (pid_ < 0) {
    Fecha();
    return false;
  }
  const auto fim = Relogio::now() + std::chrono::seconds(opcoes.segundos);
  for (char c = 0; c != '\n';) {
    pollfd p{saida_, POLLIN, 0};
    if (poll(&p, 1, MsRestantes(fim)) <= 0 || read(saida_, &c, 1) != 1) {
      return false;
    }
    primeiraLinha += c;
  }
  primeiraLinha.pop_back();
  return true;
}

void Processo::Sinaliza(int sinal) const {
  if (pid_ > 0) {
    kill(pid_, sinal);
  }
}

int Processo::Encerra(int sinal) {
  Sinaliza(sinal);
  return Aguarda(86400).value_or(-1);
}

std::optional<int> Processo::Aguarda(int segundos) {
  if (pid_ <= 0) {
    return std::nullopt;
  }
  const auto fim = Relogio::now() + std::chrono::seconds(segundos);
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid_, &status, WNOHANG)) == 0) {
    if (Relogio::now() > fim) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
  Fecha();
  return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Processo::EsperaAviso(std::string_view trecho, int limiteMs) {
  const auto fim = Relogio::now() + std::chrono::milliseconds(limiteMs);
  for (;;) {
    for (size_t fimLinha; (fimLinha = avisosLidos_.find('\n')) != std::string::npos;) {
      const bool achou = avisosLidos_.substr(0, fimLinha).find(trecho) != std::string::npos;
      avisosLidos_.erase(0, fimLinha + 1);
      if (achou) {
        return true;
      }
    }
    pollfd p{avisos_, POLLIN, 0};
    char bloco[4096];
    if (avisos_ < 0 || poll(&p, 1, MsRestantes(fim)) <= 0) {
      return false;
    }
    const ssize_t n = read(avisos_, bloco, sizeof bloco);
    if (n <= 0) {
      return false;
    }
    avisosLidos_.append(bloco, static_cast<size_t>(n));
  }
}

int Processo::TomaAvisos() {
  const int fd = avisos_;
  avisos_ = -1;
  return fd;
}

void Processo::Fecha() {
  for (int *fd : {&saida_, &avisos_}) {
    if (*fd >= 0) {
      close(*fd);
    }
    *fd = -1;
  }
  avisosLidos_.clear();
}

} // namespace teste
