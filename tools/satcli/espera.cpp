#include "espera.h"

#include <chrono>

#include "terminal.h"

namespace {

std::string Minutos(long segundos) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%ld:%02ld", segundos / 60, segundos % 60);
  return texto;
}

} // namespace

LinhaDeEspera::LinhaDeEspera(bool mostra, const char *comando, long limiteMs)
    : comando_(comando), limiteMs_(limiteMs) {
  if (mostra) {
    linha_ = std::thread(&LinhaDeEspera::Mostra, this);
  }
}

LinhaDeEspera::~LinhaDeEspera() {
  if (!linha_.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> trava(trava_);
    fim_ = true;
  }
  acabou_.notify_one();
  linha_.join();
}

void LinhaDeEspera::Mostra() {
  const auto inicio = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> trava(trava_);
  long segundos = 0;
  while (!acabou_.wait_until(trava, inicio + std::chrono::seconds(segundos + 1),
                             [this] { return fim_; })) {
    segundos = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - inicio)
            .count());
    std::string texto = comando_ + ": aguardando o SAT h\xE1 " + Minutos(segundos);
    if (limiteMs_ > 0) {
      texto += " (limite de " + Minutos(limiteMs_ / 1000) + ")";
    }
    // Windows-1252: one byte a column, to wipe the line with.
    std::fprintf(stderr, "\r%s", DeWindows1252(texto, Destino::Erro).c_str());
    std::fflush(stderr);
    escritos_ = texto.size();
  }
  if (escritos_ > 0) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(escritos_), "");
    std::fflush(stderr);
  }
}
