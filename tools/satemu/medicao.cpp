// Benchmark: how soon satemu answers ConsultarSAT. Starts satemu, sends the request many times
// and measures from the moment the request's last byte is written to the moment the reply's
// last byte is read. Prints median and spread; the target is a median well under 1 ms.

#include "quadro.h"
#include "tests/emulador.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  const int vezes = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (vezes <= 0) {
    std::fprintf(stderr, "usage: satemu_medicao [REQUESTS]\n");
    return 2;
  }
  teste::Emulador emulador;
  std::string erro;
  if (!emulador.Inicia({}, erro)) {
    std::fprintf(stderr, "satemu_medicao: %s\n", erro.c_str());
    return 1;
  }
  teste::Porta porta;
  if (!porta.Abre(emulador.Escravo())) {
    std::fprintf(stderr, "satemu_medicao: cannot open %s\n", emulador.Escravo().c_str());
    return 1;
  }
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(vezes));
  for (int i = 0; i < vezes; ++i) {
    char carga[32];
    std::snprintf(carga, sizeof carga, "%06d|ConsultarSAT", i);
    const std::string pedido = satemu::MontaRequisicao(static_cast<std::uint8_t>(i), carga);
    std::string resposta;
    porta.Escreve(pedido);
    const auto inicio = std::chrono::steady_clock::now();
    if (!porta.LeQuadro(resposta)) {
      std::fprintf(stderr, "satemu_medicao: no reply to request %d\n", i);
      return 1;
    }
    const auto fim = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(fim - inicio).count());
  }
  std::sort(micros.begin(), micros.end());
  auto quantil = [&](double q) {
    return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))];
  };
  std::printf("ConsultarSAT round trip over the pseudo-terminal, %d requests (microseconds):\n",
              vezes);
  std::printf("  min %.1f  median %.1f  p90 %.1f  p99 %.1f  max %.1f\n", micros.front(),
              quantil(0.5), quantil(0.9), quantil(0.99), micros.back());
  std::printf("  within 1 ms: %.1f%%\n",
              100.0 *
                  static_cast<double>(std::count_if(micros.begin(), micros.end(),
                                                    [](double us) { return us <= 1000.0; })) /
                  static_cast<double>(micros.size()));
  return emulador.Encerra() == 0 ? 0 : 1;
}
