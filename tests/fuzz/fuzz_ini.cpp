// sat.ini of any content: the log's file name stays within CaminhoLog and is printable ASCII.
#include <cstdint>
#include <cstring>
#include <string>

#include "support/log.h"
#include "tests/fuzz/apoio_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  Substituto &s = SubstitutoDoFuzz();
  s.arquivos.clear();
  s.arquivos["sat.ini"] = std::string(reinterpret_cast<const char *>(dados), tamanho);
  std::memset(CaminhoLog, 0, sizeof CaminhoLog);
  GravaLog("registro");
  const size_t n = strnlen(CaminhoLog, sizeof CaminhoLog);
  if (n >= sizeof CaminhoLog) {
    __builtin_trap();
  }
  for (size_t i = 0; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(CaminhoLog[i]);
    if (c < 0x20 || c > 0x7F) {
      __builtin_trap();
    }
  }
  return 0;
}
