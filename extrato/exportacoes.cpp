// The library's exports: read the documents, lay out the extrato, hand back the output asked.
#include "satextrato.h"

#include "diagrama.h"
#include "documento.h"
#include "escpos.h"
#if defined(SATEXTRATO_DESENHO)
#include "desenho.h"
#endif

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

using namespace extrato;

namespace {

// Each thread's last error, in Windows-1252.
thread_local std::string g_erro;

int32_t Falha(int32_t codigo, const std::string &mensagem) {
  g_erro = EmPagina(mensagem, 1252);
  return codigo;
}

bool Parametros(const char *documento, int32_t tamanho, int32_t larguraPapel,
                unsigned char **extrato, int32_t *tamanhoExtrato, std::string &erro) {
  if (extrato == nullptr || tamanhoExtrato == nullptr) {
    erro = "extrato e tamanho não podem ser nulos";
  } else if (documento == nullptr || tamanho <= 0) {
    erro = "o documento está vazio";
  } else if (larguraPapel != 80 && larguraPapel != 58) {
    erro = "a largura do papel é 80 ou 58 (mm), não " + std::to_string(larguraPapel);
  } else {
    return true;
  }
  return false;
}

int32_t Formatos() {
  int32_t f = 1 << EXTRATO_ESCPOS;
#if defined(SATEXTRATO_DESENHO)
  f |= (1 << EXTRATO_ESCPOS_IMAGEM) | (1 << EXTRATO_PDF) | (1 << EXTRATO_PNG);
#endif
  return f;
}

int32_t Gera(const Diagrama &diagrama, int32_t formato, unsigned char **extrato, int32_t *tamanho) {
  std::string saida;
  if (formato == EXTRATO_ESCPOS) {
    saida = EscPos(diagrama);
  } else if (formato < EXTRATO_ESCPOS || formato > EXTRATO_PNG ||
             (Formatos() & (1 << formato)) == 0) {
    return Falha(EXTRATO_ERRO_FORMATO,
                 "esta biblioteca não gera o formato " + std::to_string(formato));
  } else {
#if defined(SATEXTRATO_DESENHO)
    const Desenho desenho = formato == EXTRATO_PDF   ? Desenho::Pdf
                            : formato == EXTRATO_PNG ? Desenho::Png
                                                     : Desenho::Raster;
    std::string erro;
    if (!Desenha(diagrama, desenho, saida, erro)) {
      return Falha(EXTRATO_ERRO_INTERNO, erro);
    }
#endif
  }
  if (saida.size() > 0x7FFFFFFF) {
    return Falha(EXTRATO_ERRO_INTERNO, "o extrato passa de 2 GB");
  }
  auto *memoria = static_cast<unsigned char *>(std::malloc(saida.size() + 1));
  if (memoria == nullptr) {
    return Falha(EXTRATO_ERRO_INTERNO, "sem memória para o extrato");
  }
  std::memcpy(memoria, saida.data(), saida.size());
  memoria[saida.size()] = 0;
  *extrato = memoria;
  *tamanho = static_cast<int32_t>(saida.size());
  g_erro.clear();
  return EXTRATO_OK;
}

template <typename F> int32_t Protegido(F &&f) {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    return Falha(EXTRATO_ERRO_INTERNO, "sem memória para o extrato");
  } catch (const std::exception &e) {
    return Falha(EXTRATO_ERRO_INTERNO, std::string("falha interna: ") + e.what());
  } catch (...) {
    return Falha(EXTRATO_ERRO_INTERNO, "falha interna");
  }
}

} // namespace

extern "C" {

SATEXTRATO_API int32_t SATEXTRATO_CALL ExtratoVenda(const char *cfe, int32_t tamanhoCfe,
                                                    int32_t formato, int32_t larguraPapel,
                                                    unsigned char **extrato, int32_t *tamanho) {
  return Protegido([&] {
    std::string erro;
    if (!Parametros(cfe, tamanhoCfe, larguraPapel, extrato, tamanho, erro)) {
      return Falha(EXTRATO_ERRO_PARAMETRO, erro);
    }
    Documento venda;
    if (!LeDocumento(std::string_view(cfe, static_cast<size_t>(tamanhoCfe)), venda, erro)) {
      return Falha(EXTRATO_ERRO_DOCUMENTO, "CF-e: " + erro);
    }
    if (venda.cancelamento) {
      return Falha(EXTRATO_ERRO_DOCUMENTO,
                   "CF-e: o documento é um cancelamento: use ExtratoCancelamento");
    }
    return Gera(DiagramaVenda(venda, larguraPapel), formato, extrato, tamanho);
  });
}

SATEXTRATO_API int32_t SATEXTRATO_CALL ExtratoCancelamento(
    const char *cancelamento, int32_t tamanhoCancelamento, const char *venda, int32_t tamanhoVenda,
    int32_t formato, int32_t larguraPapel, unsigned char **extrato, int32_t *tamanho) {
  return Protegido([&] {
    std::string erro;
    if (!Parametros(cancelamento, tamanhoCancelamento, larguraPapel, extrato, tamanho, erro) ||
        !Parametros(venda, tamanhoVenda, larguraPapel, extrato, tamanho, erro)) {
      return Falha(EXTRATO_ERRO_PARAMETRO, erro);
    }
    Documento c;
    Documento v;
    if (!LeDocumento(std::string_view(cancelamento, static_cast<size_t>(tamanhoCancelamento)), c,
                     erro)) {
      return Falha(EXTRATO_ERRO_DOCUMENTO, "cancelamento: " + erro);
    }
    if (!c.cancelamento) {
      return Falha(EXTRATO_ERRO_DOCUMENTO, "cancelamento: o documento é uma venda");
    }
    if (!LeDocumento(std::string_view(venda, static_cast<size_t>(tamanhoVenda)), v, erro)) {
      return Falha(EXTRATO_ERRO_DOCUMENTO, "venda: " + erro);
    }
    if (v.cancelamento || v.chave != c.chaveVenda) {
      return Falha(EXTRATO_ERRO_DOCUMENTO,
                   "venda: não é a venda que o cancelamento cancela (" + c.chaveVenda + ")");
    }
    return Gera(DiagramaCancelamento(c, v, larguraPapel), formato, extrato, tamanho);
  });
}

SATEXTRATO_API void SATEXTRATO_CALL LiberaExtrato(unsigned char *extrato) { std::free(extrato); }

SATEXTRATO_API const char *SATEXTRATO_CALL ErroExtrato(void) { return g_erro.c_str(); }

SATEXTRATO_API int32_t SATEXTRATO_CALL FormatosExtrato(void) { return Formatos(); }

} // extern "C"
