// Benchmark, not a test: ConsultarSAT round trips of the shipped library against satemu.
//
//   sat_bench [--n N]        starts satemu --pronto on COM7 itself and times N round trips
//   sat_bench --callgrind K  against the device that $SAT_DEV_DIR/COM7 already leads to: K
//                            calls, then one more with callgrind collecting (callgrind_consulta.sh)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "tests/e2e/biblioteca.h"
#include "tests/e2e/emulador_bench.h"

namespace {

typedef int32_t(SAT_CALL *FnAbre)(int32_t, int32_t, int32_t, int32_t, int32_t);
typedef char *(SAT_CALL *FnConsulta)(int32_t);

double Percentil(const std::vector<double> &ordenado, double p) {
  const size_t i = static_cast<size_t>(p * static_cast<double>(ordenado.size() - 1) + 0.5);
  return ordenado[i];
}

int Cronometra(int n) {
  EmuladorBench emulador;
  if (!emulador.Inicia(false)) {
    std::fprintf(stderr, "satemu did not start\n");
    return 1;
  }
  Biblioteca lib;
  auto abre = lib.Funcao<FnAbre>("AbreSerialSAT");
  auto consulta = lib.Funcao<FnConsulta>("ConsultarSAT");
  if (abre == nullptr || consulta == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", Biblioteca::Caminho().c_str());
    return 1;
  }
  abre(7, 0, 0, 0, 0);
  std::vector<double> ms;
  for (int i = 0; i < n; i++) {
    const auto inicio = std::chrono::steady_clock::now();
    const char *resposta = consulta(1000 + i);
    const auto fim = std::chrono::steady_clock::now();
    if (std::strstr(resposta, "|08000|") == nullptr) {
      std::fprintf(stderr, "unexpected reply: %s\n", resposta);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(fim - inicio).count());
  }
  std::vector<double> ordenado = ms;
  std::sort(ordenado.begin(), ordenado.end());
  double media = 0;
  for (double v : ms) {
    media += v / n;
  }
  double variancia = 0;
  for (double v : ms) {
    variancia += (v - media) * (v - media) / n;
  }
  std::printf("ConsultarSAT round trip against satemu, %d calls (ms):\n", n);
  std::printf("  median %.2f  mean %.2f  stdev %.2f\n", Percentil(ordenado, 0.5), media,
              std::sqrt(variancia));
  std::printf("  min %.2f  p10 %.2f  p90 %.2f  max %.2f\n", ordenado.front(),
              Percentil(ordenado, 0.1), Percentil(ordenado, 0.9), ordenado.back());
  return 0;
}

int ParaCallgrind(int antes) {
  Biblioteca lib;
  auto abre = lib.Funcao<FnAbre>("AbreSerialSAT");
  auto consulta = lib.Funcao<FnConsulta>("ConsultarSAT");
  if (abre == nullptr || consulta == nullptr) {
    return 1;
  }
  abre(7, 0, 0, 0, 0);
  for (int i = 0; i < antes; i++) {
    consulta(1000 + i);
  }
  CALLGRIND_TOGGLE_COLLECT;
  const char *resposta = consulta(42);
  CALLGRIND_TOGGLE_COLLECT;
  std::printf("%s\n", resposta);
  return std::strstr(resposta, "|08000|") != nullptr ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--callgrind") == 0) {
    return ParaCallgrind(std::atoi(argv[2]));
  }
  if (argc == 3 && std::strcmp(argv[1], "--n") == 0) {
    return Cronometra(std::max(1, std::atoi(argv[2])));
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: sat_bench [--n N] | --callgrind K\n");
    return 2;
  }
  return Cronometra(50);
}
