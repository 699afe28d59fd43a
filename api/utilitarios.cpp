// The library's own small exports: the error record, session numbers, the version, the log
// file name, the (ignored) time-limit setter and the last decoded document.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "api/ciclo.h"
#include "api/utilitarios.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/base64.h"
#include "support/log.h"

namespace {

// The C runtime's rand() recurrence, with state of our own per thread, so that the
// application's rand() and ours never disturb each other. Never seeded: starts at 1.
thread_local uint32_t gEstadoSorteio = 1;

int32_t Sorteia() {
  gEstadoSorteio = gEstadoSorteio * 214013u + 2531011u;
  return static_cast<int32_t>((gEstadoSorteio >> 16) & 0x7FFF);
}

bool SessaoRecente(int32_t candidato) {
  for (int32_t s : UltimasSessoes) {
    if (s == candidato) {
      return true;
    }
  }
  return false;
}

} // namespace

int32_t SorteiaNumeroSessao() {
  int32_t base;
  do {
    base = Sorteia();
  } while (base > 1000);
  int32_t candidato;
  do {
    candidato = base + Sorteia() % (1000000 - base);
  } while (SessaoRecente(candidato));
  int32_t indice = IndiceSessoes;
  if (indice < 0 || indice >= static_cast<int32_t>(QUANTIDADE_ULTIMAS_SESSOES)) {
    indice = 0;
  }
  UltimasSessoes[indice] = candidato;
  IndiceSessoes = (indice + 1) % static_cast<int32_t>(QUANTIDADE_ULTIMAS_SESSOES);
  return candidato;
}

extern "C" SAT_API char *SAT_CALL CodigoErro(char *destino) {
  if (destino == nullptr) {
    return nullptr;
  }
  std::memcpy(destino, &RegistroErro, sizeof RegistroErro);
  return destino;
}

extern "C" SAT_API int32_t SAT_CALL GeraNumeroSessao(void) { return SorteiaNumeroSessao(); }

extern "C" SAT_API const char *SAT_CALL VersaoLib(void) { return VERSAO_BIBLIOTECA; }

extern "C" SAT_API void SAT_CALL ArquivoLog(const char *nome) {
  if (nome == nullptr) {
    GravaLog("ArquivoLog: nome nulo recusado; o log continua como estava");
    return;
  }
  if (!DefineCaminhoLog(nome)) {
    GravaLog("ArquivoLog: nome com 100 caracteres ou mais recusado; o log continua como estava");
  }
}

extern "C" SAT_API void SAT_CALL ConfiguraTimeout(int32_t) {}

extern "C" SAT_API char *SAT_CALL Base64ToAscii(void) {
  char *documento = reinterpret_cast<char *>(BufferDecodificado);
  const size_t tamanho = strnlen(documento, MAXIMO_DECODIFICADO);
  constexpr std::string_view FIM_CFE = "</CFe>";
  const size_t fim = std::string_view(documento, tamanho).find(FIM_CFE);
  size_t copia = tamanho;
  if (fim != std::string_view::npos) {
    copia = fim + FIM_CFE.size();
    documento[copia] = '\0';
  }
  LimpaResposta();
  std::memcpy(BufferResposta, documento, copia);
  MarcaResposta(BufferResposta, copia + 1);
  return BufferResposta;
}
