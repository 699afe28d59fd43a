// Benchmark, not a test: what a command costs beyond the device's own time. Runs against satemu
// started by tests/com_satemu.sh (natively, or for the DLL under wine), which has satemu write
// its own time for every request to $SAT_E2E_TEMPOS. For each command, N calls: the device's
// time, the library's round trip and their difference, as median and p99.
//   latencia_bench [N]   (N defaults to 50)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/exportacoes.h"
#include "tests/e2e/venda_exemplo.h"

namespace {

constexpr char CODIGO[] = "12345678";

// The device's own time for the requests it has answered so far, in ms, in order.
std::vector<double> TemposDoDispositivo() {
  std::vector<double> tempos;
  const char *caminho = std::getenv("SAT_E2E_TEMPOS");
  std::ifstream arquivo(caminho != nullptr ? caminho : "");
  for (std::string linha; std::getline(arquivo, linha);) {
    const size_t espaco = linha.find_last_of(' ');
    if (espaco != std::string::npos) {
      tempos.push_back(std::atof(linha.c_str() + espaco + 1) / 1000.0);
    }
  }
  return tempos;
}

double Percentil(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  Exportacoes sat;
  if (!sat.Completa() || std::getenv("SAT_E2E_TEMPOS") == nullptr) {
    std::fprintf(stderr, "run through tests/com_satemu.sh with the library beside the program\n");
    return 2;
  }
  sat.AbreSerialSAT(7, 0, 0, 0, 0);
  const std::string venda1k = VendaDe(1), venda1m = VendaDe(1000);
  int sessao = 1;
  const struct {
    const char *nome;
    const char *codigo; // the success code the reply must carry
    std::function<const char *()> chama;
  } comandos[] = {
      {"ConsultarSAT", "|08000|", [&] { return sat.ConsultarSAT(sessao++); }},
      {"ConsultarStatusOperacional", "|10000|",
       [&] { return sat.ConsultarStatusOperacional(sessao++, CODIGO); }},
      {"EnviarDadosVenda 1 KB", "|06000|",
       [&] { return sat.EnviarDadosVenda(sessao++, CODIGO, venda1k.c_str()); }},
      {"EnviarDadosVenda 1 MB", "|06000|",
       [&] { return sat.EnviarDadosVenda(sessao++, CODIGO, venda1m.c_str()); }},
  };
  std::printf("%d calls of each against satemu; ms, median (p99)\n", n);
  std::printf("%-28s %18s %18s %18s\n", "command", "device", "round trip", "difference");
  for (const auto &c : comandos) {
    std::vector<double> dispositivo, total, diferenca;
    for (int i = 0; i < n; i++) {
      const size_t antes = TemposDoDispositivo().size();
      const auto inicio = std::chrono::steady_clock::now();
      const char *resposta = c.chama();
      const auto fim = std::chrono::steady_clock::now();
      const std::vector<double> tempos = TemposDoDispositivo();
      if (std::strstr(resposta, c.codigo) == nullptr || tempos.size() != antes + 1) {
        std::fprintf(stderr, "%s: unexpected reply or device record: %.120s\n", c.nome, resposta);
        return 1;
      }
      total.push_back(std::chrono::duration<double, std::milli>(fim - inicio).count());
      dispositivo.push_back(tempos.back());
      diferenca.push_back(total.back() - dispositivo.back());
    }
    char colunas[3][40];
    const std::vector<double> *series[] = {&dispositivo, &total, &diferenca};
    for (int k = 0; k < 3; k++) {
      std::snprintf(colunas[k], sizeof colunas[k], "%.2f (%.2f)", Percentil(*series[k], 0.5),
                    Percentil(*series[k], 0.99));
    }
    std::printf("%-28s %18s %18s %18s\n", c.nome, colunas[0], colunas[1], colunas[2]);
  }
  return 0;
}
