#include "api/resposta.h"

#include <cstdio>
#include <cstring>

#include "support/armazenamento.h"

size_t LeCamposResposta(const char *resposta, const size_t *areas, CampoResposta *campos,
                        size_t quantos) {
  for (size_t i = 0; i < quantos; i++) {
    campos[i] = CampoResposta{};
  }
  const char *p = std::strchr(resposta, '|');
  if (p == nullptr || p == resposta) {
    return 0;
  }
  size_t lidos = 0;
  while (lidos < quantos) {
    const char *inicio = p + 1;
    const size_t tamanho = std::strcspn(inicio, "|");
    if (tamanho == 0 || tamanho >= areas[lidos]) {
      break;
    }
    campos[lidos++] = CampoResposta{inicio, tamanho};
    p = inicio + tamanho;
    if (*p != '|') {
      break;
    }
  }
  return lidos;
}

void DefineMensagemCodigo(const CampoResposta &codigo, const CampoResposta &mensagem) {
  std::memset(RegistroErro.mensagem, 0, sizeof RegistroErro.mensagem);
  std::snprintf(RegistroErro.mensagem, sizeof RegistroErro.mensagem, "Codigo: %.*s.\n%.*s",
                static_cast<int>(codigo.tamanho), codigo.texto, static_cast<int>(mensagem.tamanho),
                mensagem.texto);
}

const char *AposBarras(const char *resposta, int quantos) {
  const char *p = resposta;
  for (int i = 0; i < quantos; i++) {
    p = std::strchr(p, '|');
    if (p == nullptr) {
      return nullptr;
    }
    ++p;
  }
  return p;
}
