// A document written through a file beside its destination, renamed to it once whole:
// the destination is never a part of what was asked. mes and cfe --salva write satd's documents
// through it, extrato the PDF and the PNG.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "terminal.h"

class ArquivoParcial {
public:
  explicit ArquivoParcial(std::string destino)
      : destino_(std::move(destino)), parcial_(destino_ + ".parcial-" + std::to_string(getpid()) +
                                               "-" + std::to_string(++contador_)) {
    arquivo_ = std::fopen(parcial_.c_str(), "wb");
    if (arquivo_ == nullptr) {
      erro_ = "não foi possível criar " + parcial_ + ": " + std::strerror(errno);
    }
  }
  ArquivoParcial(const ArquivoParcial &) = delete;
  ArquivoParcial &operator=(const ArquivoParcial &) = delete;
  ~ArquivoParcial() { Desiste(); }

  bool Escreve(const char *dados, size_t n) {
    if (arquivo_ == nullptr || std::fwrite(dados, 1, n, arquivo_) != n) {
      if (erro_.empty()) {
        erro_ = "não foi possível gravar " + parcial_ + ": " + std::strerror(errno);
      }
      return false;
    }
    return true;
  }
  // Flushed to the disk and renamed over the destination; the error, or an empty text.
  std::string Conclui() {
    if (erro_.empty()) {
      const bool gravado = std::fflush(arquivo_) == 0 && GravaNoDisco(arquivo_);
      const int causa = errno;
      const bool fechado = std::fclose(arquivo_) == 0;
      arquivo_ = nullptr;
      if (!gravado || !fechado) {
        erro_ =
            "não foi possível gravar " + parcial_ + ": " + std::strerror(gravado ? errno : causa);
      } else if (!Substitui(parcial_, destino_)) {
        erro_ = "não foi possível renomear " + parcial_ + " para " + destino_ + ": " +
                std::strerror(errno);
      } else {
        concluido_ = true;
      }
    }
    Desiste();
    return erro_;
  }
  void Desiste() {
    if (arquivo_ != nullptr) {
      std::fclose(arquivo_);
      arquivo_ = nullptr;
    }
    if (!concluido_) {
      std::remove(parcial_.c_str());
    }
  }
  const std::string &Erro() const { return erro_; }

private:
  static inline int contador_ = 0;
  std::string destino_, parcial_, erro_;
  FILE *arquivo_ = nullptr;
  bool concluido_ = false;
};
