#include "platform/fluxos.h"

#include <cstdio>

void StdioSaidaPadrao(const char *texto) {
  std::fputs(texto, stdout);
  std::fflush(stdout);
}

long StdioLeArquivo(const char *nome, char *destino, unsigned long maximo) {
  FILE *arquivo = std::fopen(nome, "rb");
  if (arquivo == nullptr) {
    return -1;
  }
  size_t lidos = std::fread(destino, 1, maximo, arquivo);
  std::fclose(arquivo);
  return static_cast<long>(lidos);
}

void *StdioAbreAnexo(const char *nome) { return std::fopen(nome, "ab"); }

void StdioEscreveAnexo(void *arquivo, const char *dados, unsigned long tamanho) {
  std::fwrite(dados, 1, tamanho, static_cast<FILE *>(arquivo));
}

void StdioFechaAnexo(void *arquivo) {
  std::fflush(static_cast<FILE *>(arquivo));
  std::fclose(static_cast<FILE *>(arquivo));
}
