// Starting the real satemu as a child process and speaking to it through its serial port, the
// slave side of its pseudo-terminal. Used by the tests and by the benchmark.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace teste {

class Emulador {
public:
  Emulador() = default;
  Emulador(const Emulador &) = delete;
  Emulador &operator=(const Emulador &) = delete;
  ~Emulador();

  // Starts satemu with these arguments and waits for its first output line, the slave's path.
  // With `avisos`, its standard error comes to this process, to be read by EsperaAviso.
  bool Inicia(const std::vector<std::string> &argumentos, std::string &erro, bool avisos = false);
  const std::string &Escravo() const { return escravo_; }

  // Reads satemu's standard error until a line holds `trecho`; false when none does in time.
  // The lines read up to it are gone.
  bool EsperaAviso(std::string_view trecho, int limiteMs = 10000);

  // Sends the signal and waits for the process; its exit status, or -1 if it did not exit.
  int Encerra(int sinal = SIGTERM);

private:
  pid_t pid_ = -1;
  int saida_ = -1;
  int avisos_ = -1;
  std::string avisosLidos_;
  std::string escravo_;
};

class Porta {
public:
  Porta() = default;
  Porta(const Porta &) = delete;
  Porta &operator=(const Porta &) = delete;
  ~Porta() { Fecha(); }

  // Opens the port as a host does: raw mode, exclusive (TIOCEXCL).
  bool Abre(const std::string &caminho);
  void Fecha();
  bool Escreve(std::string_view bytes);

  // Whether the port is held exclusively (TIOCGEXCL).
  bool Exclusiva() const;

  // Exactly `quantos` bytes, or false when they do not come within the limit.
  bool Le(std::size_t quantos, std::string &bytes, int limiteMs = 10000);

  // One whole data frame (13-byte header, payload, sum), or false.
  bool LeQuadro(std::string &quadro, int limiteMs = 10000);

private:
  int fd_ = -1;
};

} // namespace teste
