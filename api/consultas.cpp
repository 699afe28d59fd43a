// The three query commands: ConsultarSAT, ConsultarStatusOperacional, ConsultarNumeroSessao.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/argumentos.h"
#include "api/venda.h"
#include "link/transacao.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/base64.h"
#include "support/log.h"

namespace {

constexpr int32_t LIMITE_CONSULTAR_SAT = 5000;
constexpr int32_t LIMITE_CONSULTAS_ATIVACAO = 20000;
constexpr int32_t SEM_BYTES_BRUTOS = -1;

} // namespace

extern "C" SAT_API char *SAT_CALL ConsultarSAT(int32_t numeroSessao) {
  char *resposta = BufferResposta;
  EnviaComando("ConsultarSAT", numeroSessao, nullptr, &resposta, LIMITE_CONSULTAR_SAT,
               SEM_BYTES_BRUTOS);
  GravaLog(BufferResposta);
  // A reply shorter than the message field becomes the error record's message.
  const size_t tamanho = strnlen(BufferResposta, TAMANHO_MENSAGEM_ERRO);
  if (RegistroErro.codigo == ERRO_NENHUM && tamanho < TAMANHO_MENSAGEM_ERRO) {
    std::memcpy(RegistroErro.mensagem, BufferResposta, tamanho + 1);
  }
  return BufferResposta;
}

extern "C" SAT_API char *SAT_CALL ConsultarStatusOperacional(int32_t numeroSessao,
                                                             const char *codigoDeAtivacao) {
  if (ArgumentoNulo(numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}})) {
    return BufferResposta;
  }
  char *resposta = BufferResposta;
  EnviaComando("ConsultarStatusOperacional", numeroSessao, codigoDeAtivacao, &resposta,
               LIMITE_CONSULTAS_ATIVACAO, SEM_BYTES_BRUTOS);
  GravaLog(BufferResposta);
  return BufferResposta;
}

extern "C" SAT_API char *SAT_CALL ConsultarNumeroSessao(int32_t numeroSessao,
                                                        const char *codigoDeAtivacao,
                                                        int32_t cNumeroDeSessao) {
  // Whatever the device answers, an earlier sale's CF-e must not pass for the one asked about.
  LimpaDecodificado();
  if (ArgumentoNulo(numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}})) {
    return BufferResposta;
  }
  char numero[16];
  std::snprintf(numero, sizeof numero, "%06d", static_cast<int>(cNumeroDeSessao));
  char *parametros = JuntaParametros(numeroSessao, {codigoDeAtivacao, numero});
  if (parametros == nullptr) {
    return BufferResposta;
  }
  char *resposta = BufferResposta;
  // The device answers with the stored reply of the session asked about.
  SessoesAceitas aceitas;
  aceitas.outra = true;
  aceitas.sessao = cNumeroDeSessao;
  const int32_t recebidos =
      EnviaComando("ConsultarNumeroSessao", numeroSessao, parametros, &resposta,
                   LIMITE_CONSULTAS_ATIVACAO, SEM_BYTES_BRUTOS, aceitas);
  std::free(parametros);
  RecuperaRespostaGuardada(static_cast<size_t>(recebidos));
  GravaLog(BufferResposta);
  return BufferResposta;
}
