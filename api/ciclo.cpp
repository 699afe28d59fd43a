#include "api/ciclo.h"

#include <cstdlib>

#include "link/porta.h"
#include "platform/plataforma.h"
#include "support/armazenamento.h"
#include "support/compressao.h"
#include "support/log.h"

const char VERSAO_BIBLIOTECA[] = "TAVRO DLL SAT Vers\xE3o: 02.00.11.05 gerada em 11/12/2017\n";

void InicializacaoEstatica() { AlocaBuffersTransacao(std::malloc); }

namespace {

void Carrega() {
  if (SecaoCritica == nullptr) {
    SecaoCritica = Plataforma->CriaTrava();
  }
  GravaLog(VERSAO_BIBLIOTECA);
  if (!BuffersAlocados()) {
    GravaLog("Sem mem\xF3ria para os buffers de transa\xE7\xE3o: os comandos responder\xE3o "
             "com erro");
  }
}

void Descarrega() {
  LiberaZlib();
  FechaPorta();
  LiberaBuffersTransacao();
}

} // namespace

int EntradaBiblioteca(int motivo) {
  if (motivo == MOTIVO_CARGA) {
    Carrega();
  } else if (motivo == MOTIVO_DESCARGA) {
    Descarrega();
  }
  return 1;
}
