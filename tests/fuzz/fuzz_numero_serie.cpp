// ExtraiNumeroSerie over any status reply: it reads nothing past the bytes it is given (the
// copy here has no terminator), always leaves a terminated serial number of at most 19
// characters, and what it reads is the reply's sixth field, a '|' after it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/selecao.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  const std::vector<char> resposta(dados, dados + tamanho);
  char destino[TAMANHO_NUMERO_SERIE];
  std::memset(destino, 'x', sizeof destino);
  const ResultadoNumeroSerie r = ExtraiNumeroSerie(resposta.data(), resposta.size(), destino);
  const size_t n = strnlen(destino, sizeof destino);
  if (n >= sizeof destino || (r != NUMERO_SERIE_LIDO && n != 0)) {
    __builtin_trap();
  }
  if (r == NUMERO_SERIE_LIDO) {
    // Five '|' before the field and one right after it, none inside.
    const size_t fim = strnlen(resposta.data(), resposta.size());
    size_t barras = 0, i = 0;
    for (; i < fim && barras < 5; i++) {
      barras += resposta[i] == '|' ? 1 : 0;
    }
    if (barras != 5 || i + n >= fim || std::memcmp(resposta.data() + i, destino, n) != 0 ||
        resposta[i + n] != '|') {
      __builtin_trap();
    }
  }
  return 0;
}
