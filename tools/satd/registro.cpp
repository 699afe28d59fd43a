#include "registro.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace satd {

std::string AgoraLocal(const char *formato) {
  const auto agora = std::chrono::system_clock::now();
  const std::time_t segundos = std::chrono::system_clock::to_time_t(agora);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(agora.time_since_epoch()).count() %
      1000);
  std::tm local{};
  localtime_r(&segundos, &local);
  char quando[40];
  std::strftime(quando, sizeof quando, formato, &local);
  char texto[48];
  std::snprintf(texto, sizeof texto, "%s.%03d", quando, ms);
  return texto;
}

bool Registro::Abre(const std::string &arquivo, std::string &erro) {
  if (arquivo.empty()) {
    return true;
  }
  FILE *f = std::fopen(arquivo.c_str(), "a");
  if (f == nullptr) {
    erro = "não foi possível abrir o registro " + arquivo + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> trava(mutex_);
  if (saida_ != stdout) {
    std::fclose(saida_);
  }
  saida_ = f;
  arquivo_ = arquivo;
  return true;
}

bool Registro::Reabre(std::string &erro) {
  std::string arquivo;
  {
    std::lock_guard<std::mutex> trava(mutex_);
    arquivo = arquivo_;
  }
  return arquivo.empty() || Abre(arquivo, erro);
}

Registro::~Registro() {
  if (saida_ != stdout) {
    std::fclose(saida_);
  }
}

void Registro::Escreve(const std::string &texto, bool recente) {
  const std::string linha = AgoraLocal("%Y-%m-%d %H:%M:%S") + " ";
  std::lock_guard<std::mutex> trava(mutex_);
  const bool escrita =
      std::fprintf(saida_, "%s%s\n", linha.c_str(), texto.c_str()) >= 0 && std::fflush(saida_) == 0;
  if (!escrita) {
    const int causa = errno;
    std::clearerr(saida_);
    ++falhas_;
    const auto instante = std::chrono::steady_clock::now();
    if (instante - ultimoAviso_ >= std::chrono::seconds(1)) {
      ultimoAviso_ = instante;
      std::fprintf(stderr,
                   "satd: não foi possível gravar o registro %s (%s); %llu linhas perdidas até "
                   "agora\n",
                   arquivo_.empty() ? "(saída padrão)" : arquivo_.c_str(), std::strerror(causa),
                   static_cast<unsigned long long>(falhas_.load()));
    }
  }
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
