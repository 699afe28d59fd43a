// The health checks over any reply and any host time: every outcome is a finding, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "saude.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  if (tamanho < 6) {
    return 0;
  }
  // The first six bytes choose the host's time and the thresholds; the rest is the reply.
  const saude::Instante agora{1970 + dados[0] % 130, 1 + dados[1] % 12, 1 + dados[2] % 28,
                              dados[3] % 24,         dados[4] % 60,     dados[5] % 60};
  saude::Limites limites;
  limites.certificadoDias = 1 + dados[0];
  limites.relogioMinutos = 1 + dados[1];
  const std::string_view resposta(reinterpret_cast<const char *>(dados + 6), tamanho - 6);
  const saude::Avaliacao a = saude::Avalia(resposta, agora, limites);
  if (a.verificacoes.empty() || a.verificacoes.size() > 7 || a.verificacoes[0].id != "consulta") {
    __builtin_trap();
  }
  for (const saude::Verificacao &v : a.verificacoes) {
    if (v.mensagem.empty() || static_cast<int>(v.nivel) > static_cast<int>(a.nivel)) {
      __builtin_trap();
    }
  }
  return 0;
}
