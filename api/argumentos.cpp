#include "api/argumentos.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/transacao.h"
#include "support/armazenamento.h"

bool ArgumentoNulo(int32_t numeroSessao, std::initializer_list<ArgumentoTexto> argumentos) {
  for (const ArgumentoTexto &argumento : argumentos) {
    if (argumento.valor == nullptr) {
      char mensagem[128];
      std::snprintf(mensagem, sizeof mensagem, "Argumento nulo: %s", argumento.nome);
      RecusaComando(BufferResposta, numeroSessao, mensagem);
      return true;
    }
  }
  return false;
}

char *JuntaParametros(int32_t numeroSessao, const char *const *partes, size_t quantas) {
  size_t total = 1;
  for (size_t i = 0; i < quantas; i++) {
    total += std::strlen(partes[i]) + 1;
  }
  char *texto = static_cast<char *>(std::malloc(total));
  if (texto == nullptr) {
    RecusaComando(BufferResposta, numeroSessao, "Mem\xF3ria insuficiente para os par\xE2metros");
    return nullptr;
  }
  // Separators are counted by parts, not by what was written: an empty part still has its
  // place, so every later field stays where the device expects it.
  char *fim = texto;
  for (size_t i = 0; i < quantas; i++) {
    if (i > 0) {
      *fim++ = '|';
    }
    const size_t n = std::strlen(partes[i]);
    std::memcpy(fim, partes[i], n);
    fim += n;
  }
  *fim = '\0';
  return texto;
}

char *JuntaParametros(int32_t numeroSessao, std::initializer_list<const char *> partes) {
  return JuntaParametros(numeroSessao, partes.begin(), partes.size());
}
