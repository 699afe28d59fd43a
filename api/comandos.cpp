// The SAT commands that share one pattern: the arguments joined by '|' into the parameter text,
// one exchange with the device, and the device's code and message (fields 2 and 3 of the reply)
// written into the error record. What sets each command apart is data, in the table below.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/argumentos.h"
#include "api/resposta.h"
#include "link/transacao.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/base64.h"
#include "support/log.h"

namespace {

// When the reply's code and message reach the error record: only after an exchange that left
// its code at 0, or whatever the exchange left.
enum class Regra { SemErro, Sempre };

// A document the reply carries in base64: decoded when `marca` occurs anywhere in the reply,
// from the character after its `barras`-th '|' to the end of the reply.
struct DocumentoResposta {
  const char *marca;
  int barras;
};

struct ComandoTexto {
  const char *palavra; // the command word on the wire
  int32_t tempoLimite; // ms
  size_t areaCodigo;   // bytes for the reply's code field, terminator included
  Regra regra;
  DocumentoResposta documento; // marca null: none
};

constexpr size_t CODIGO_CURTO = 28;
constexpr size_t CODIGO_LONGO = 280;
constexpr size_t AREA_MENSAGEM = 2097152;
constexpr DocumentoResposta SEM_DOCUMENTO{nullptr, 0};

constexpr ComandoTexto kAtivarSAT{"AtivarSAT", 300000, CODIGO_CURTO, Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kComunicarCertificado{"ComunicarCertificadoICPBRASIL", 300000, CODIGO_LONGO,
                                             Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kAssociarAssinatura{"AssociarAssinatura", 900000, CODIGO_CURTO,
                                           Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kTrocarCodigo{"TrocarCodigoDeAtivacaoSAT", 120000, CODIGO_CURTO,
                                     Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kAtualizarSoftware{"AtualizarSoftwareSAT", 1800000, CODIGO_CURTO,
                                          Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kBloquear{"BloquearSAT", 300000, CODIGO_LONGO, Regra::SemErro,
                                 SEM_DOCUMENTO};
constexpr ComandoTexto kDesbloquear{"DesbloquearSAT", 20000, CODIGO_LONGO, Regra::SemErro,
                                    SEM_DOCUMENTO};
constexpr ComandoTexto kConfigurarRede{"ConfigurarInterfaceDeRede", 20000, CODIGO_LONGO,
                                       Regra::SemErro, SEM_DOCUMENTO};
constexpr ComandoTexto kExtrairLogs{
    "ExtrairLogs", 120000, CODIGO_LONGO, Regra::Sempre, {"15000", 5}};
constexpr ComandoTexto kTesteFimAFim{"TesteFimAFim", 20000, CODIGO_CURTO, Regra::SemErro,
                                     SEM_DOCUMENTO};

constexpr size_t MAXIMO_PARTES = 4;

void CodigoEMensagem(const ComandoTexto &comando, const char *resposta) {
  const size_t areas[] = {comando.areaCodigo, AREA_MENSAGEM};
  CampoResposta campos[2];
  if (LeCamposResposta(resposta, areas, campos, 2) == 2) {
    DefineMensagemCodigo(campos[0], campos[1]);
  }
}

void DecodificaDocumento(const DocumentoResposta &documento, const char *resposta) {
  if (std::strstr(resposta, documento.marca) == nullptr) {
    return;
  }
  const char *inicio = AposBarras(resposta, documento.barras);
  if (inicio != nullptr) {
    DecodificaBase64(inicio);
  }
}

// One command: `partes` are its arguments in order, each named for the refusal of a null one.
char *Executa(const ComandoTexto &comando, int32_t numeroSessao,
              std::initializer_list<ArgumentoTexto> partes) {
  // A command that decodes a document forgets the previous one on every path, so that
  // Base64ToAscii never hands out a document this call did not bring.
  if (comando.documento.marca != nullptr) {
    LimpaDecodificado();
  }
  if (ArgumentoNulo(numeroSessao, partes)) {
    return BufferResposta;
  }
  const char *textos[MAXIMO_PARTES];
  size_t quantas = 0;
  for (const ArgumentoTexto &parte : partes) {
    if (quantas < MAXIMO_PARTES) {
      textos[quantas++] = parte.valor;
    }
  }
  char *parametros = JuntaParametros(numeroSessao, textos, quantas);
  if (parametros == nullptr) {
    return BufferResposta;
  }
  char *resposta = BufferResposta;
  EnviaComando(comando.palavra, numeroSessao, parametros, &resposta, comando.tempoLimite, -1);
  std::free(parametros);
  if (comando.regra == Regra::Sempre || RegistroErro.codigo == ERRO_NENHUM) {
    CodigoEMensagem(comando, BufferResposta);
  }
  if (comando.documento.marca != nullptr) {
    DecodificaDocumento(comando.documento, BufferResposta);
  }
  GravaLog(BufferResposta);
  return BufferResposta;
}

// A number as the parameter text writes it; 12 bytes hold any 32-bit value.
struct Numero {
  char texto[16];
  Numero(const char *formato, int32_t valor) {
    std::snprintf(texto, sizeof texto, formato, static_cast<int>(valor));
  }
};

} // namespace

extern "C" SAT_API char *SAT_CALL AtivarSAT(int32_t numeroSessao, int32_t subComando,
                                            const char *codigoDeAtivacao, const char *CNPJ,
                                            int32_t cUF) {
  const Numero sub("%01d", subComando), uf("%02d", cUF);
  return Executa(kAtivarSAT, numeroSessao,
                 {{sub.texto, "subComando"},
                  {codigoDeAtivacao, "codigoDeAtivacao"},
                  {CNPJ, "CNPJ"},
                  {uf.texto, "cUF"}});
}

extern "C" SAT_API char *SAT_CALL ComunicarCertificadoICPBRASIL(int32_t numeroSessao,
                                                                const char *codigoDeAtivacao,
                                                                const char *certificado) {
  return Executa(kComunicarCertificado, numeroSessao,
                 {{codigoDeAtivacao, "codigoDeAtivacao"}, {certificado, "certificado"}});
}

extern "C" SAT_API char *SAT_CALL AssociarAssinatura(int32_t numeroSessao,
                                                     const char *codigoDeAtivacao,
                                                     const char *CNPJvalue,
                                                     const char *assinaturaCNPJs) {
  return Executa(kAssociarAssinatura, numeroSessao,
                 {{codigoDeAtivacao, "codigoDeAtivacao"},
                  {CNPJvalue, "CNPJvalue"},
                  {assinaturaCNPJs, "assinaturaCNPJs"}});
}

extern "C" SAT_API char *SAT_CALL TrocarCodigoDeAtivacao(int32_t numeroSessao,
                                                         const char *codigoDeAtivacao,
                                                         int32_t opcao, const char *novoCodigo,
                                                         const char *confNovoCodigo) {
  const Numero numeroOpcao("%d", opcao);
  return Executa(kTrocarCodigo, numeroSessao,
                 {{codigoDeAtivacao, "codigoDeAtivacao"},
                  {numeroOpcao.texto, "opcao"},
                  {novoCodigo, "novoCodigo"},
                  {confNovoCodigo, "confNovoCodigo"}});
}

extern "C" SAT_API char *SAT_CALL AtualizarSoftwareSAT(int32_t numeroSessao,
                                                       const char *codigoDeAtivacao) {
  return Executa(kAtualizarSoftware, numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}});
}

extern "C" SAT_API char *SAT_CALL BloquearSAT(int32_t numeroSessao, const char *codigoDeAtivacao) {
  return Executa(kBloquear, numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}});
}

extern "C" SAT_API char *SAT_CALL DesbloquearSAT(int32_t numeroSessao,
                                                 const char *codigoDeAtivacao) {
  return Executa(kDesbloquear, numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}});
}

extern "C" SAT_API char *SAT_CALL ConfigurarInterfaceDeRede(int32_t numeroSessao,
                                                            const char *codigoDeAtivacao,
                                                            const char *dadosConfiguracao) {
  return Executa(
      kConfigurarRede, numeroSessao,
      {{codigoDeAtivacao, "codigoDeAtivacao"}, {dadosConfiguracao, "dadosConfiguracao"}});
}

extern "C" SAT_API char *SAT_CALL ExtrairLogs(int32_t numeroSessao, const char *codigoDeAtivacao) {
  return Executa(kExtrairLogs, numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}});
}

extern "C" SAT_API char *SAT_CALL TesteFimAFim(int32_t numeroSessao, const char *codigoDeAtivacao,
                                               const char *dadosVenda) {
  return Executa(kTesteFimAFim, numeroSessao,
                 {{codigoDeAtivacao, "codigoDeAtivacao"}, {dadosVenda, "dadosVenda"}});
}
