// The base64 decoder and Base64ToAscii over any text: bounded, and always a terminated result.
#include <cstdint>
#include <cstring>
#include <string>

#include "sat.h"
#include "support/base64.h"
#include "tests/fuzz/apoio_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  SubstitutoDoFuzz();
  const std::string texto(reinterpret_cast<const char *>(dados), tamanho);
  LimpaDecodificado();
  DecodificaBase64(texto.c_str());
  const char *documento = Base64ToAscii();
  if (strnlen(documento, TAMANHO_RESPOSTA_LIMPA) >= TAMANHO_RESPOSTA_LIMPA) {
    __builtin_trap();
  }
  // Decoding never yields more than three bytes per four characters.
  if (std::strlen(documento) > tamanho * 3 / 4) {
    __builtin_trap();
  }
  return 0;
}
