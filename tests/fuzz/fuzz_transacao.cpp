// The engine against a device that sends any bytes: the input is cut into reads at each 0xA5
// 0x5A pair, the first read coming before the request (the drain) and the rest after it.
#include <cstdint>
#include <cstring>
#include <string>

#include "sat.h"
#include "tests/fuzz/apoio_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  Substituto &s = SubstitutoDoFuzz();
  const std::string fluxo(reinterpret_cast<const char *>(dados), tamanho);
  const std::string corte("\xA5\x5A", 2);
  size_t inicio = 0;
  bool antes = true;
  for (;;) {
    const size_t fim = fluxo.find(corte, inicio);
    const std::string leitura = fluxo.substr(inicio, fim - inicio);
    if (antes) {
      s.leituras.push_back(leitura);
      antes = false;
    } else {
      s.respostaAposEscrita.push_back(leitura);
    }
    if (fim == std::string::npos) {
      break;
    }
    inicio = fim + corte.size();
  }
  const char *resposta = ConsultarSAT(42);
  if (strnlen(resposta, TAMANHO_RESPOSTA_LIMPA) >= TAMANHO_RESPOSTA_LIMPA) {
    __builtin_trap();
  }
  return 0;
}
