// A program started by a test as a child process, ready once its first line is on standard
// output: satemu prints its port's path, satd the address it listens on. Shared by satemu's,
// satd's and the library's end-to-end tests and benchmarks.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace teste {

// Milliseconds left until `fim`, for poll(); 0 once it has passed.
int MsRestantes(std::chrono::steady_clock::time_point fim);

struct OpcoesProcesso {
  std::vector<std::string> ambiente; // NAME=VALUE, added to this process's environment
  bool avisos = false;               // its standard error comes through a pipe (EsperaAviso)
  rlim_t limiteArquivo = 0;          // RLIMIT_FSIZE in bytes for the child (0: none)
  int segundos = 20;                 // how long to wait for the first line
};

class Processo {
public:
  Processo() = default;
  Processo(const Processo &) = delete;
  Processo &operator=(const Processo &) = delete;
  ~Processo() { Encerra(SIGKILL); }

  // Starts argumentos[0] with the rest as its arguments and waits for its first output line;
  // false when it wrote none in time (the line so far is in `primeiraLinha`).
  bool Inicia(const std::vector<std::string> &argumentos, std::string &primeiraLinha,
              const OpcoesProcesso &opcoes = {});
  void Sinaliza(int sinal) const;
  // Sends the signal and waits: the exit status, or -1 when it did not exit by itself.
  int Encerra(int sinal = SIGTERM);
  // Waits `segundos` at most for it to exit by itself: its exit status (-1 if a signal ended it).
  std::optional<int> Aguarda(int segundos);
  bool Vivo() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Reads standard error until a line holds `trecho`; false when none does in time. The lines
  // read up to it are gone.
  bool EsperaAviso(std::string_view trecho, int limiteMs = 10000);
  // Hands the read end of standard error over to the caller, who closes it.
  int TomaAvisos();

private:
  void Fecha();

  pid_t pid_ = -1;
  int saida_ = -1;
  int avisos_ = -1;
  std::string avisosLidos_;
};

} // namespace teste
