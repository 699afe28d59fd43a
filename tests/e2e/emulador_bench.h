// satemu for the benchmarks: started on a pseudo-terminal linked as DIR/COM7, with SAT_DEV_DIR
// pointing there; serving once its first line is out. Optionally the benchmark is told, by a
// steady-clock time stamp, when satemu had each request in (its --registro line, read from a
// pipe) and when its reply was ready (its --verboso line).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/processo.h"

inline int64_t AgoraNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class EmuladorBench {
public:
  std::atomic<int64_t> pedidoRecebido{0}; // satemu had the last request in
  std::atomic<int64_t> respostaPronta{0}; // satemu had the reply ready

  // `marcas`: also time-stamp each request and reply as satemu sees them.
  bool Inicia(bool marcas) {
    char modelo[] = "/tmp/satbench-XXXXXX";
    if (mkdtemp(modelo) == nullptr) {
      return false;
    }
    dir_ = modelo;
    const std::string registro = dir_ + "/registro";
    if (marcas && mkfifo(registro.c_str(), 0600) != 0) {
      return false;
    }
    std::vector<std::string> argumentos = {SATEMU_BINARIO, "--pronto", "--link", dir_ + "/COM7"};
    if (marcas) {
      argumentos.insert(argumentos.end(), {"--verboso", "--registro", registro});
    }
    teste::OpcoesProcesso opcoes;
    opcoes.avisos = marcas;
    std::string linha;
    if (!emulador_.Inicia(argumentos, linha, opcoes)) {
      return false;
    }
    if (marcas) {
      leitores_.emplace_back(
          [this, registro] { Marca(open(registro.c_str(), O_RDONLY), pedidoRecebido); });
      leitores_.emplace_back([this, fd = emulador_.TomaAvisos()] { Marca(fd, respostaPronta); });
    }
    setenv("SAT_DEV_DIR", dir_.c_str(), 1);
    return true;
  }

  // Waits until satemu's marks of the call that began at `inicio` are in; false after 2 s.
  bool EsperaMarcas(int64_t inicio) {
    for (int i = 0; i < 2000; i++) {
      if (pedidoRecebido.load() > inicio && respostaPronta.load() > inicio) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  ~EmuladorBench() {
    emulador_.Encerra();
    for (std::thread &t : leitores_) {
      t.join();
    }
    if (!dir_.empty()) {
      unlink((dir_ + "/registro").c_str());
      rmdir(dir_.c_str());
    }
  }

private:
  // Stamps `marca` at the end of every line read from `fd`, until the writer closes it.
  static void Marca(int fd, std::atomic<int64_t> &marca) {
    char bloco[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, bloco, sizeof bloco)) > 0;) {
      if (std::string(bloco, static_cast<size_t>(n)).find('\n') != std::string::npos) {
        marca.store(AgoraNs());
      }
    }
    if (fd >= 0) {
      close(fd);
    }
  }

  teste::Processo emulador_;
  std::string dir_;
  std::vector<std::thread> leitores_;
};
