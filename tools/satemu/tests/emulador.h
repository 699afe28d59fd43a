// Starting the real satemu as a child process and speaking to it through its serial port, the
// slave side of its pseudo-terminal. Used by the tests and by the benchmark.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "tests/processo.h"

#ifndef SATEMU_BINARIO
#error "SATEMU_BINARIO must name the satemu executable"
#endif

namespace teste {

// satemu started on a pseudo-terminal of its own; its first line is the slave's path.
class Emulador {
public:
  // Starts satemu with these arguments. With `avisos`, its standard error comes to this
  // process, to be read by EsperaAviso.
  bool Inicia(const std::vector<std::string> &argumentos, std::string &erro, bool avisos = false) {
    std::vector<std::string> linha = {SATEMU_BINARIO};
    linha.insert(linha.end(), argumentos.begin(), argumentos.end());
    OpcoesProcesso opcoes;
    opcoes.avisos = avisos;
    opcoes.segundos = 10;
    if (!processo_.Inicia(linha, escravo_, opcoes)) {
      erro = "satemu wrote no first line: " + escravo_;
      return false;
    }
    return true;
  }
  const std::string &Escravo() const { return escravo_; }
  bool EsperaAviso(std::string_view trecho, int limiteMs = 10000) {
    return processo_.EsperaAviso(trecho, limiteMs);
  }
  int Encerra(int sinal = SIGTERM) { return processo_.Encerra(sinal); }

private:
  Processo processo_;
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
