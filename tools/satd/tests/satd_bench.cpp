// Benchmark, not a test: calls per second through satd against satemu, and the latency each
// checkout sees, for one checkout alone and for eight at once.
//   satd_bench [--n CALLS-PER-CHECKOUT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ambiente.h"

namespace {

using Relogio = std::chrono::steady_clock;

void Mede(const teste::Loja &loja, const char *funcao, int caixas, int chamadas) {
  std::vector<std::vector<double>> latencias(caixas);
  std::vector<int> falhas(caixas, 0);
  const auto inicio = Relogio::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < caixas; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client cliente = loja.Cliente();
      for (int i = 0; i < chamadas; ++i) {
        httplib::Params campos = {{"numero_caixa", std::to_string(c + 1)}};
        if (std::strcmp(funcao, "enviardadosvenda") == 0) {
          campos.emplace("dados_venda", teste::Venda(2, 100 + i));
        }
        const auto antes = Relogio::now();
        const auto r = cliente.Post(loja.base + "/" + funcao, campos);
        latencias[c].push_back(
            std::chrono::duration<double, std::milli>(Relogio::now() - antes).count());
        falhas[c] += !r || r->status != 200;
      }
    });
  }
  for (std::thread &t : threads) {
    t.join();
  }
  const double segundos = std::chrono::duration<double>(Relogio::now() - inicio).count();
  std::vector<double> todas;
  int totalFalhas = 0;
  for (int c = 0; c < caixas; ++c) {
    todas.insert(todas.end(), latencias[c].begin(), latencias[c].end());
    totalFalhas += falhas[c];
  }
  std::sort(todas.begin(), todas.end());
  const auto percentil = [&](double p) {
    return todas[std::min(todas.size() - 1, static_cast<size_t>(p * todas.size()))];
  };
  std::printf("%-16s %d checkout(s) x %d: %6.1f calls/s  p50 %7.1f ms  p99 %7.1f ms  max %7.1f "
              "ms  failures %d\n",
              funcao, caixas, chamadas, todas.size() / segundos, percentil(0.50), percentil(0.99),
              todas.back(), totalFalhas);
}

} // namespace

int main(int argc, char **argv) {
  int chamadas = 50;
  if (argc == 3 && std::strcmp(argv[1], "--n") == 0) {
    chamadas = std::max(1, std::atoi(argv[2]));
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: satd_bench [--n CALLS-PER-CHECKOUT]\n");
    return 2;
  }
  teste::Loja loja;
  if (!loja.IniciaEmulador({"--pronto"}) || !loja.IniciaServidor()) {
    std::fprintf(stderr, "satd_bench: %s\n", loja.erro.c_str());
    return 1;
  }
  std::printf("satd against satemu (one SAT, one worker); latency as each checkout sees it\n");
  for (const char *funcao : {"consultarsat", "enviardadosvenda"}) {
    Mede(loja, funcao, 1, chamadas);
    Mede(loja, funcao, 8, chamadas);
  }
  return 0;
}
