// The commands that work on their reply, fed any reply payload: the sale (fields, length and
// compressed block), the cancellation, the log extraction, the reply rule of the maintenance
// commands and ConsultarSAT's copy. The first byte chooses the command; the rest is the payload.
#include <cstdint>
#include <cstring>
#include <string>

#include "sat.h"
#include "tests/fuzz/apoio_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  if (tamanho == 0) {
    return 0;
  }
  Substituto &s = SubstitutoDoFuzz();
  const std::string payload(reinterpret_cast<const char *>(dados + 1), tamanho - 1);
  s.respostaAposEscrita = {QuadroDados(payload)};
  const char *resposta = nullptr;
  switch (dados[0] % 6) {
  case 0:
    resposta = EnviarDadosVenda(42, "12345678", "<CFe><infCFe/></CFe>");
    break;
  case 1:
    resposta = CancelarUltimaVenda(42, "12345678", "CFe35", "<CFeCanc/>");
    break;
  case 2:
    resposta = ExtrairLogs(42, "12345678");
    break;
  case 3:
    resposta = AtivarSAT(42, 1, "12345678", "11222333000181", 35);
    break;
  case 4:
    resposta = ComunicarCertificadoICPBRASIL(42, "12345678", "MIIC");
    break;
  default:
    resposta = ConsultarSAT(42);
    break;
  }
  char registro[804];
  CodigoErro(registro);
  // The record's message and the reply are terminated texts within their buffers.
  if (strnlen(registro + 4, 800) >= 800 ||
      strnlen(resposta, TAMANHO_RESPOSTA_LIMPA) >= TAMANHO_RESPOSTA_LIMPA) {
    __builtin_trap();
  }
  Base64ToAscii();
  return 0;
}
