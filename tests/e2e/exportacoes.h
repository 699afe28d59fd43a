// Every export of the shipped library, looked up by name in a freshly loaded module, as an
// application that loads it at run time sees them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/biblioteca.h"
#include "tests/registro_erro.h"

#define SAT_EXPORTACAO(nome) decltype(&::nome) nome = lib.Funcao<decltype(&::nome)>(#nome)

struct Exportacoes {
  Biblioteca lib;
  SAT_EXPORTACAO(AtivarSAT);
  SAT_EXPORTACAO(ComunicarCertificadoICPBRASIL);
  SAT_EXPORTACAO(EnviarDadosVenda);
  SAT_EXPORTACAO(CancelarUltimaVenda);
  SAT_EXPORTACAO(ConsultarSAT);
  SAT_EXPORTACAO(TesteFimAFim);
  SAT_EXPORTACAO(ConsultarStatusOperacional);
  SAT_EXPORTACAO(ConsultarNumeroSessao);
  SAT_EXPORTACAO(ConfigurarInterfaceDeRede);
  SAT_EXPORTACAO(AssociarAssinatura);
  SAT_EXPORTACAO(AtualizarSoftwareSAT);
  SAT_EXPORTACAO(ExtrairLogs);
  SAT_EXPORTACAO(BloquearSAT);
  SAT_EXPORTACAO(DesbloquearSAT);
  SAT_EXPORTACAO(TrocarCodigoDeAtivacao);
  SAT_EXPORTACAO(ConsultarUltimaSessaoFiscal);
  SAT_EXPORTACAO(CodigoErro);
  SAT_EXPORTACAO(AbreSerialSAT);
  SAT_EXPORTACAO(ArquivoLog);
  SAT_EXPORTACAO(Base64ToAscii);
  SAT_EXPORTACAO(GeraNumeroSessao);
  SAT_EXPORTACAO(VersaoLib);
  SAT_EXPORTACAO(ConfiguraTimeout);
  SAT_EXPORTACAO(CloseSerial);
  SAT_EXPORTACAO(GetPortaSAT);
  SAT_EXPORTACAO(SetPortaSAT);
  SAT_EXPORTACAO(GetMapaPortasSAT);

  // True when the library loaded and every export above was found.
  bool Completa() const {
    const void *funcoes[] = {
        reinterpret_cast<const void *>(AtivarSAT),
        reinterpret_cast<const void *>(ComunicarCertificadoICPBRASIL),
        reinterpret_cast<const void *>(EnviarDadosVenda),
        reinterpret_cast<const void *>(CancelarUltimaVenda),
        reinterpret_cast<const void *>(ConsultarSAT),
        reinterpret_cast<const void *>(TesteFimAFim),
        reinterpret_cast<const void *>(ConsultarStatusOperacional),
        reinterpret_cast<const void *>(ConsultarNumeroSessao),
        reinterpret_cast<const void *>(ConfigurarInterfaceDeRede),
        reinterpret_cast<const void *>(AssociarAssinatura),
        reinterpret_cast<const void *>(AtualizarSoftwareSAT),
        reinterpret_cast<const void *>(ExtrairLogs),
        reinterpret_cast<const void *>(BloquearSAT),
        reinterpret_cast<const void *>(DesbloquearSAT),
        reinterpret_cast<const void *>(TrocarCodigoDeAtivacao),
        reinterpret_cast<const void *>(ConsultarUltimaSessaoFiscal),
        reinterpret_cast<const void *>(CodigoErro),
        reinterpret_cast<const void *>(AbreSerialSAT),
        reinterpret_cast<const void *>(ArquivoLog),
        reinterpret_cast<const void *>(Base64ToAscii),
        reinterpret_cast<const void *>(GeraNumeroSessao),
        reinterpret_cast<const void *>(VersaoLib),
        reinterpret_cast<const void *>(ConfiguraTimeout),
        reinterpret_cast<const void *>(CloseSerial),
        reinterpret_cast<const void *>(GetPortaSAT),
        reinterpret_cast<const void *>(SetPortaSAT),
        reinterpret_cast<const void *>(GetMapaPortasSAT),
    };
    if (!lib.Carregada()) {
      return false;
    }
    for (const void *f : funcoes) {
      if (f == nullptr) {
        return false;
      }
    }
    return true;
  }

  int32_t Codigo() { return LeRegistroErro(CodigoErro).first; }
  std::string Mensagem() { return LeRegistroErro(CodigoErro).second; }
};

#undef SAT_EXPORTACAO
