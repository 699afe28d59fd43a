// Benchmark, not a test: sales of the shipped library against satemu.
//
//   venda_bench [--n N]             sales of 1 KB, 100 KB and 1 MB, N of each: the round trip
//                                   split into the library's CPU time, satemu's own time and the
//                                   rest (the drain before the write, the line, the waiting)
//   venda_bench --callgrind-venda KB       one sale of KB kilobytes, collected by callgrind
//   venda_bench --callgrind-referencia KB  zlib's compress2 and uncompress and a plain base64
//                                          decoder on the same data, collected by callgrind
// The callgrind modes run against the device that $SAT_DEV_DIR/COM7 leads to
// (venda_callgrind.sh starts it).
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "tests/e2e/emulador_bench.h"
#include "tests/e2e/exportacoes.h"
#include "tests/e2e/venda_exemplo.h"

namespace {

constexpr char CODIGO[] = "12345678";

int64_t CpuDaThreadNs() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double P99(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(v.size())))];
}

int Cronometra(int n) {
  EmuladorBench emulador;
  if (!emulador.Inicia(true)) {
    std::fprintf(stderr, "satemu did not start\n");
    return 1;
  }
  Exportacoes sat;
  if (!sat.Completa()) {
    std::fprintf(stderr, "cannot load %s\n", Biblioteca::Caminho().c_str());
    return 1;
  }
  sat.AbreSerialSAT(7, 0, 0, 0, 0);
  std::printf("Sales against satemu, %d of each size; median (p99) in ms:\n", n);
  std::printf("%8s %10s %18s %18s %18s %18s\n", "sale", "CF-e", "round trip", "library CPU",
              "satemu", "drain+line+wait");
  int sessao = 1;
  for (size_t kb : {1, 100, 1000}) {
    const std::string venda = VendaDe(kb);
    std::vector<double> total, cpu, dispositivo, resto;
    size_t tamanhoCfe = 0;
    for (int i = 0; i < n; i++) {
      const int64_t inicio = AgoraNs();
      const int64_t cpuInicio = CpuDaThreadNs();
      const std::string resposta = sat.EnviarDadosVenda(sessao++, CODIGO, venda.c_str());
      const int64_t cpuFim = CpuDaThreadNs();
      const int64_t fim = AgoraNs();
      if (resposta.find("|06000|") == std::string::npos) {
        std::fprintf(stderr, "unexpected reply: %.200s\n", resposta.c_str());
        return 1;
      }
      if (!emulador.EsperaMarcas(inicio)) {
        std::fprintf(stderr, "satemu's time stamps did not come\n");
        return 1;
      }
      tamanhoCfe = std::strlen(sat.Base64ToAscii());
      total.push_back((fim - inicio) / 1e6);
      cpu.push_back((cpuFim - cpuInicio) / 1e6);
      dispositivo.push_back((emulador.respostaPronta - emulador.pedidoRecebido) / 1e6);
      resto.push_back(total.back() - cpu.back() - dispositivo.back());
    }
    auto coluna = [](const std::vector<double> &v) {
      static char texto[4][32];
      static int i = 0;
      i = (i + 1) % 4;
      std::snprintf(texto[i], sizeof texto[i], "%.2f (%.2f)", Mediana(v), P99(v));
      return texto[i];
    };
    std::printf("%5.0f KB %7.0f KB %18s %18s %18s %18s\n", venda.size() / 1e3, tamanhoCfe / 1e3,
                coluna(total), coluna(cpu), coluna(dispositivo), coluna(resto));
  }
  return 0;
}

// A plain table-driven base64 decoder: the reference the library's decoding is measured against.
size_t DecodificaReferencia(const char *texto, size_t n, unsigned char *saida) {
  static signed char tabela[256];
  static bool pronta = false;
  if (!pronta) {
    std::memset(tabela, -1, sizeof tabela);
    const char alfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; i++) {
      tabela[static_cast<unsigned char>(alfabeto[i])] = static_cast<signed char>(i);
    }
    pronta = true;
  }
  size_t escritos = 0;
  unsigned acumulado = 0;
  int bits = 0;
  for (size_t i = 0; i < n; i++) {
    const int v = tabela[static_cast<unsigned char>(texto[i])];
    if (v < 0) {
      continue;
    }
    acumulado = acumulado << 6 | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      saida[escritos++] = static_cast<unsigned char>(acumulado >> bits);
    }
  }
  return escritos;
}

int ParaCallgrind(bool referencia, size_t kb) {
  Exportacoes sat;
  if (!sat.Completa()) {
    return 1;
  }
  sat.AbreSerialSAT(7, 0, 0, 0, 0);
  const std::string venda = VendaDe(kb);
  // A first sale: the library's one-time work (loading zlib) is not part of a sale's cost, and
  // its reply gives the data the reference works on.
  const std::string resposta = sat.EnviarDadosVenda(1, CODIGO, venda.c_str());
  size_t sexta = 0;
  for (int i = 0; i < 6 && sexta != std::string::npos; i++) {
    sexta = resposta.find('|', i == 0 ? 0 : sexta + 1);
  }
  if (resposta.find("|06000|") == std::string::npos || sexta == std::string::npos) {
    return 1;
  }
  const std::string cauda = resposta.substr(sexta + 1);
  if (!referencia) {
    CALLGRIND_TOGGLE_COLLECT;
    const char *segunda = sat.EnviarDadosVenda(2, CODIGO, venda.c_str());
    CALLGRIND_TOGGLE_COLLECT;
    return std::strstr(segunda, "|06000|") != nullptr ? 0 : 1;
  }
  std::vector<unsigned char> comprimida(compressBound(cauda.size()));
  uLongf tamanhoComprimida = comprimida.size();
  compress2(comprimida.data(), &tamanhoComprimida, reinterpret_cast<const Bytef *>(cauda.data()),
            cauda.size(), Z_DEFAULT_COMPRESSION);
  std::vector<unsigned char> saida(2 * venda.size() + cauda.size() + 1024);
  const size_t campo7 = cauda.find('|');

  CALLGRIND_TOGGLE_COLLECT;
  uLongf n = saida.size();
  compress2(saida.data(), &n, reinterpret_cast<const Bytef *>(venda.data()), venda.size(), 2);
  n = saida.size();
  uncompress(saida.data(), &n, comprimida.data(), tamanhoComprimida);
  const size_t decodificados = DecodificaReferencia(cauda.data(), campo7, saida.data());
  CALLGRIND_TOGGLE_COLLECT;
  return decodificados > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--callgrind-venda") == 0) {
    return ParaCallgrind(false, static_cast<size_t>(std::atoi(argv[2])));
  }
  if (argc == 3 && std::strcmp(argv[1], "--callgrind-referencia") == 0) {
    return ParaCallgrind(true, static_cast<size_t>(std::atoi(argv[2])));
  }
  if (argc == 3 && std::strcmp(argv[1], "--n") == 0) {
    return Cronometra(std::max(1, std::atoi(argv[2])));
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: venda_bench [--n N] | --callgrind-venda KB | "
                         "--callgrind-referencia KB\n");
    return 2;
  }
  return Cronometra(20);
}
