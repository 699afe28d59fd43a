// The port exports: choosing the SAT's port by walking the SATs (GetPortaSAT, SetPortaSAT,
// GetMapaPortasSAT), naming it by number (AbreSerialSAT) and closing it (CloseSerial). The walk
// itself is link/selecao.cpp; it gets the status query and the session-number draw from here.
#include <cstdio>
#include <initializer_list>

#include "api/argumentos.h"
#include "api/utilitarios.h"
#include "link/porta.h"
#include "link/selecao.h"
#include "platform/plataforma.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

// Holds SecaoCritica from its making to the end of the export, on every way out. When the lock
// could not be made at load, it logs so and holds nothing (Tomada() is false).
class TravaSelecao {
public:
  TravaSelecao() : trava_(SecaoCritica) {
    if (trava_ == nullptr) {
      GravaLog("Trava da biblioteca indispon\xEDvel: sele\xE7\xE3o de porta recusada\r\n");
      return;
    }
    Plataforma->Trava(trava_);
  }
  ~TravaSelecao() {
    if (trava_ != nullptr) {
      Plataforma->Destrava(trava_);
    }
  }
  TravaSelecao(const TravaSelecao &) = delete;
  TravaSelecao &operator=(const TravaSelecao &) = delete;

  bool Tomada() const { return trava_ != nullptr; }

private:
  void *const trava_; // the lock taken, released by the same pointer whatever happens meanwhile
};

constexpr FuncoesSelecao kFuncoesSelecao{ConsultarStatusOperacional, SorteiaNumeroSessao};

// A null text argument: nothing is walked; RegistroErro holds ERRO_RECUSADO and the reason.
bool RecusaNulo(const char *funcao, std::initializer_list<ArgumentoTexto> argumentos) {
  for (const ArgumentoTexto &argumento : argumentos) {
    if (argumento.valor == nullptr) {
      char mensagem[96];
      std::snprintf(mensagem, sizeof mensagem, "Argumento nulo: %s", argumento.nome);
      GravaLogFormatado("%s: %s\r\n", funcao, mensagem);
      DefineRegistroErro(ERRO_RECUSADO, mensagem);
      return true;
    }
  }
  return false;
}

char *ProcuraPorta(const char *funcao, const char *numeroSerie, int32_t numeroSessao,
                   const char *codigoDeAtivacao) {
  const TravaSelecao trava;
  if (!trava.Tomada() ||
      RecusaNulo(funcao, {{numeroSerie, "numeroSerie"}, {codigoDeAtivacao, "codigoDeAtivacao"}})) {
    return nullptr;
  }
  return SelecionaPortaSAT(funcao, numeroSerie, numeroSessao, codigoDeAtivacao, kFuncoesSelecao);
}

} // namespace

extern "C" SAT_API char *SAT_CALL GetPortaSAT(const char *numeroSerie, int32_t numeroSessao,
                                              const char *codigoDeAtivacao) {
  return ProcuraPorta("GetPortaSAT", numeroSerie, numeroSessao, codigoDeAtivacao);
}

extern "C" SAT_API char *SAT_CALL SetPortaSAT(const char *numeroSerie, int32_t numeroSessao,
                                              const char *codigoDeAtivacao) {
  return ProcuraPorta("SetPortaSAT", numeroSerie, numeroSessao, codigoDeAtivacao);
}

extern "C" SAT_API char *SAT_CALL GetMapaPortasSAT(const char *codigoDeAtivacao) {
  const TravaSelecao trava;
  if (!trava.Tomada() || RecusaNulo("GetMapaPortasSAT", {{codigoDeAtivacao, "codigoDeAtivacao"}})) {
    return nullptr;
  }
  return MapeiaPortasSAT(codigoDeAtivacao, kFuncoesSelecao);
}

// A number of seven or more digits (or below -99999) gives a name that NomePorta cannot hold:
// it is refused with -1 and the port chosen before stays chosen.
extern "C" SAT_API int32_t SAT_CALL AbreSerialSAT(int32_t porta, int32_t, int32_t, int32_t,
                                                  int32_t) {
  if (!FormataNomePorta(NomePorta, porta)) {
    GravaLogFormatado("AbreSerialSAT: COM%d recusada, nome com mais de %u caracteres\r\n",
                      static_cast<int>(porta), static_cast<unsigned>(TAMANHO_NOME_PORTA - 1));
    return -1;
  }
  return 0;
}

extern "C" SAT_API int32_t SAT_CALL CloseSerial(void) { return FechaPorta(); }
