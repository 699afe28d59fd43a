#include "registro.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace satd {

bool Registro::Abre(const std::string &arquivo, std::string &erro) {
  if (arquivo.empty()) {
    return true;
  }
  FILE *f = std::fopen(arquivo.c_str(), "a");
  if (f == nullptr) {
    erro = "cannot open the log " + arquivo + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> trava(mutex_);
  saida_ = f;
  return true;
}

Registro::~Registro() {
  if (saida_ != stdout) {
    std::fclose(saida_);
  }
}

void Registro::Escreve(const std::string &texto, bool recente) {
  const auto agora = std::chrono::system_clock::now();
  const std::time_t segundos = std::chrono::system_clock::to_time_t(agora);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(agora.time_since_epoch()).count() %
      1000);
  std::tm local{};
  localtime_r(&segundos, &local);
  char quando[40];
  std::strftime(quando, sizeof quando, "%Y-%m-%d %H:%M:%S", &local);
  char linha[48];
  std::snprintf(linha, sizeof linha, "%s.%03d ", quando, ms);
  std::lock_guard<std::mutex> trava(mutex_);
  std::fprintf(saida_, "%s%s\n", linha, texto.c_str());
  std::fflush(saida_);
  if (recente) {
    recentes_.push_back(linha + texto);
    if (recentes_.size() > kRecentes) {
      recentes_.pop_front();
    }
  }
}

std::vector<std::string> Registro::Recentes() const {
  std::lock_guard<std::mutex> trava(mutex_);
  return std::vector<std::string>(recentes_.begin(), recentes_.end());
}

} // namespace satd
