// satemu for the benchmarks: started on a pseudo-terminal linked as DIR/COM7, with SAT_DEV_DIR
// pointing there; serving once its first line is out. Optionally the benchmark is told, by a
// steady-clock time stamp, when satemu had each request in (its --registro line, read from a
// pipe) and when its reply was ready (its --verboso line).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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
    int saida[2], erro[2];
    if (pipe(saida) != 0 || pipe(erro) != 0) {
      return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(saida[1], 1);
      dup2(erro[1], 2);
      close(saida[0]);
      close(erro[0]);
      const std::string link = dir_ + "/COM7";
      std::vector<const char *> argumentos = {SATEMU_BINARIO, "--pronto", "--link", link.c_str()};
      if (marcas) {
        argumentos.insert(argumentos.end(), {"--verboso", "--registro", registro.c_str()});
      }
      argumentos.push_back(nullptr);
      execv(SATEMU_BINARIO, const_cast<char *const *>(argumentos.data()));
      _exit(127);
    }
    close(saida[1]);
    close(erro[1]);
    if (marcas) {
      leitores_.emplace_back(
          [this, registro] { Marca(open(registro.c_str(), O_RDONLY), pedidoRecebido); });
      leitores_.emplace_back([this, fd = erro[0]] { Marca(fd, respostaPronta); });
    } else {
      close(erro[0]);
    }
    FILE *f = fdopen(saida[0], "r");
    char linha[512];
    const bool pronto = f != nullptr && std::fgets(linha, sizeof linha, f) != nullptr;
    setenv("SAT_DEV_DIR", dir_.c_str(), 1);
    return pronto;
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
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
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

  pid_t pid_ = -1;
  std::string dir_;
  std::vector<std::thread> leitores_;
};
