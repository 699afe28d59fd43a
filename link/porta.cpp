#include "link/porta.h"

#include <cstdio>
#include <cstring>

#include "link/descoberta.h"
#include "platform/plataforma.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

bool HandleValido(HandleSerial h) { return h != HANDLE_NENHUM && h != HANDLE_INVALIDO; }

// CaminhoPorta = prefix + NomePorta, when the two fit the platform's device path with the
// terminator.
bool MontaCaminhoPorta() {
  std::memset(CaminhoPorta, 0, sizeof CaminhoPorta);
  const char *prefixo = Plataforma->PrefixoDispositivo();
  const size_t tamanhoPrefixo = std::strlen(prefixo);
  const size_t tamanhoNome = strnlen(NomePorta, sizeof NomePorta);
  size_t limite = Plataforma->TamanhoCaminhoDispositivo();
  if (limite > sizeof CaminhoPorta) {
    limite = sizeof CaminhoPorta;
  }
  if (tamanhoPrefixo + tamanhoNome >= limite) {
    GravaLogFormatado("Caminho da porta com mais de %u caracteres, n\xE3o aberta: %.512s%s\r\n",
                      static_cast<unsigned>(limite - 1), prefixo, NomePorta);
    return false;
  }
  std::memcpy(CaminhoPorta, prefixo, tamanhoPrefixo);
  std::memcpy(CaminhoPorta + tamanhoPrefixo, NomePorta, tamanhoNome);
  return true;
}

void ConfiguraPortaAberta() {
  if (Plataforma->ConfiguraLinha(HandlePorta) == 0) {
    GravaLog("SetCommState Error");
  }
  if (Plataforma->DescartaEntrada(HandlePorta) == 0) {
    GravaLog("PurgeComm Error");
  }
  if (Plataforma->EsvaziaSaida(HandlePorta) == 0) {
    GravaLog("FlushFileBuffers Error");
  }
  if (Plataforma->ConfiguraTempos(HandlePorta) == 0) {
    GravaLog("SetCommTimeouts Error");
  }
}

int32_t FalhaAbertura() {
  DefineRegistroErro(ERRO_ABRIR_PORTA, ERRO_ABRIR_PORTA_MENSAGEM);
  return 0;
}

} // namespace

int32_t AbrePorta() {
  if (PortaAberta == 0) {
    if (NomePorta[0] == '\0') {
      ProcuraPortaSAT(NomePorta, sizeof NomePorta);
    }
    if (NomePorta[0] == '\0' || !MontaCaminhoPorta()) {
      return FalhaAbertura();
    }
    GravaLog("abrindo porta: ");
    GravaLog(CaminhoPorta);
    GravaLog("\r\n");
    HandlePorta = Plataforma->AbreSerial(CaminhoPorta);
    if (HandleValido(HandlePorta)) {
      PortaAberta = 1;
      ConfiguraPortaAberta();
    }
  }
  if (PortaAberta == 0) {
    return FalhaAbertura();
  }
  DefineRegistroErro(ERRO_NENHUM, nullptr);
  return 1;
}

int32_t FechaPorta() {
  PortaAberta = 0;
  int32_t resultado = 0;
  if (HandleValido(HandlePorta)) {
    resultado = Plataforma->FechaSerial(HandlePorta);
  }
  HandlePorta = HANDLE_NENHUM;
  return resultado;
}

bool FormataNomePorta(char *destino, int32_t numero) {
  char nome[16];
  const int n = std::snprintf(nome, sizeof nome, "COM%d", static_cast<int>(numero));
  if (n < 0 || static_cast<size_t>(n) >= TAMANHO_NOME_PORTA) {
    return false;
  }
  std::memset(destino, 0, TAMANHO_NOME_PORTA);
  std::memcpy(destino, nome, static_cast<size_t>(n));
  return true;
}
