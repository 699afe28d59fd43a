// Benchmark, not a test: calls per second through satd against satemu, and the latency each
// checkout sees on its kept-alive connection, for one checkout alone and for 8, 32 and 64 at
// once (more than [fila] tamanho: some get 503); and a reply on a kept-alive connection against
// one on a new connection.
//   satd_bench [--n CALLS-PER-CHECKOUT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "ambiente.h"

namespace {

using Relogio = std::chrono::steady_clock;

void Mede(const teste::Loja &loja, const char *funcao, int caixas, int chamadas) {
  std::vector<std::vector<double>> latencias(caixas);
  std::vector<int> falhas(caixas, 0);
  std::vector<int> ocupados(caixas, 0);
  const auto inicio = Relogio::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < caixas; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client cliente = loja.Cliente();
      cliente.set_keep_alive(true);
      for (int i = 0; i < chamadas; ++i) {
        httplib::Params campos = {{"numero_caixa", std::to_string(c + 1)}};
        if (std::strcmp(funcao, "enviardadosvenda") == 0) {
          campos.emplace("dados_venda", teste::Venda(2, 100 + i));
        }
        const auto antes = Relogio::now();
        const auto r = cliente.Post(loja.base + "/" + funcao, campos);
        latencias[c].push_back(
            std::chrono::duration<double, std::milli>(Relogio::now() - antes).count());
        ocupados[c] += r && r->status == 503;
        falhas[c] += !r || (r->status != 200 && r->status != 503);
      }
    });
  }
  for (std::thread &t : threads) {
    t.join();
  }
  const double segundos = std::chrono::duration<double>(Relogio::now() - inicio).count();
  std::vector<double> todas;
  int totalFalhas = 0;
  int totalOcupados = 0;
  for (int c = 0; c < caixas; ++c) {
    todas.insert(todas.end(), latencias[c].begin(), latencias[c].end());
    totalFalhas += falhas[c];
    totalOcupados += ocupados[c];
  }
  std::sort(todas.begin(), todas.end());
  const auto percentil = [&](double p) {
    return todas[std::min(todas.size() - 1, static_cast<size_t>(p * todas.size()))];
  };
  std::printf("%-16s %2d checkout(s) x %d: %6.1f calls/s  p50 %7.1f ms  p99 %7.1f ms  max %7.1f "
              "ms  503 %d  failures %d\n",
              funcao, caixas, chamadas, todas.size() / segundos, percentil(0.50), percentil(0.99),
              todas.back(), totalOcupados, totalFalhas);
}

// GET {base}/status (no device call) on one kept-alive connection, and on a new one each time.
void MedeConexao(const teste::Loja &loja, int vezes) {
  for (const bool mantida : {true, false}) {
    std::vector<double> tempos;
    httplib::Client cliente = loja.Cliente();
    cliente.set_keep_alive(mantida);
    for (int i = 0; i < vezes; ++i) {
      const auto antes = Relogio::now();
      const auto r = cliente.Get(loja.base + "/status");
      tempos.push_back(std::chrono::duration<double, std::milli>(Relogio::now() - antes).count());
      if (!r || r->status != 200) {
        std::fprintf(stderr, "satd_bench: GET status failed\n");
        return;
      }
    }
    std::sort(tempos.begin(), tempos.end());
    std::printf("GET status, %s connection: p50 %.3f ms  p99 %.3f ms\n",
                mantida ? "kept-alive" : "a new", tempos[tempos.size() / 2],
                tempos[tempos.size() * 99 / 100]);
  }
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
  MedeConexao(loja, 200);
  for (const char *funcao : {"consultarsat", "enviardadosvenda"}) {
    for (const int caixas : {1, 8, 32, 64}) {
      Mede(loja, funcao, caixas, chamadas);
    }
  }
  // What the archive takes on disk: the journal keeps each sale's reply and its XML.
  const auto metricas = loja.Cliente().Get("/metrics");
  const auto valor = [&](const std::string &nome) {
    const size_t p = metricas ? metricas->body.find("\n" + nome + " ") : std::string::npos;
    return p == std::string::npos ? 0.0 : std::atof(metricas->body.c_str() + p + nome.size() + 2);
  };
  const double vendas = valor("satd_arquivo_documentos{tipo=\"venda\"}");
  // Measured once satd has stopped, which folds the write-ahead log into the file.
  if (loja.EncerraServidor() != 0) {
    std::fprintf(stderr, "satd_bench: satd did not stop cleanly\n");
    return 1;
  }
  std::error_code ec;
  const double arquivo =
      static_cast<double>(std::filesystem::file_size(loja.Pasta() + "/diario.sqlite3", ec));
  if (vendas <= 0) {
    std::fprintf(stderr, "satd_bench: /metrics gave no archived sales\n");
    return 1;
  }
  std::printf("archive: %.0f sales; per 1000 sales %.0f KiB of XML, %.0f KiB of journal file\n",
              vendas, valor("satd_arquivo_bytes") / vendas * 1000 / 1024,
              arquivo / vendas * 1000 / 1024);
  return 0;
}
