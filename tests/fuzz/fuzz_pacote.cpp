// InterpretaPacote over any bytes a device may send: never reads past what arrived, never
// writes past the payload area.
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/pacote.h"
#include "tests/fuzz/apoio_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  SubstitutoDoFuzz();
  if (tamanho > TAMANHO_BUFFER_RECEPCAO) {
    return 0;
  }
  std::memcpy(BufferRecepcao, dados, tamanho);
  static std::vector<unsigned char> area(TAMANHO_DADOS_RESPOSTA);
  Pacote pacote;
  std::memset(&pacote, 0, sizeof pacote);
  pacote.DadosResposta = area.data();
  InterpretaPacote(&pacote, tamanho);
  if (pacote.TamanhoResposta > TAMANHO_DADOS_RESPOSTA) {
    __builtin_trap();
  }
  return 0;
}
