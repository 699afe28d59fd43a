/* usage: gera FORMATO PAPEL VENDA.xml [CANCELAMENTO.xml] > saida
   The extrato through satextrato.h alone, natively and from satextrato.dll (compara_win32.sh
   compares them). A failure exits 1, with the code and ErroExtrato (Windows-1252), then
   FormatosExtrato, on standard error. */
#include "satextrato.h"

#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

/* A whole file of at most the library's 4 MiB (malloc'ed), or null. */
static char *Le(const char *caminho, int32_t *tamanho) {
  const size_t maior = (4 << 20) + 1;
  FILE *f = fopen(caminho, "rb");
  char *dados = f != NULL ? malloc(maior) : NULL;
  *tamanho = dados != NULL ? (int32_t)fread(dados, 1, maior, f) : 0;
  if (dados == NULL || ferror(f) || !feof(f)) {
    fprintf(stderr, "gera: %s: not read\n", caminho);
    free(dados);
    dados = NULL;
  }
  if (f != NULL) {
    fclose(f);
  }
  return dados;
}

int main(int argc, char **argv) {
  char *fim[2] = {NULL, NULL};
  const long formato = argc > 2 ? strtol(argv[1], &fim[0], 10) : 0;
  const long papel = argc > 2 ? strtol(argv[2], &fim[1], 10) : 0;
  if ((argc != 4 && argc != 5) || *fim[0] != '\0' || *fim[1] != '\0') {
    fprintf(stderr, "usage: gera FORMATO PAPEL VENDA.xml [CANCELAMENTO.xml] > saida\n");
    return 1;
  }
#ifdef _WIN32
  /* The bytes as they are, the messages' too: no LF becomes CR LF. */
  if (_setmode(_fileno(stdout), _O_BINARY) == -1 || _setmode(_fileno(stderr), _O_BINARY) == -1) {
    return 1;
  }
#endif
  int32_t tamanhos[2] = {0, 0};
  char *venda = Le(argv[3], &tamanhos[0]);
  char *cancelamento = argc == 5 ? Le(argv[4], &tamanhos[1]) : NULL;
  unsigned char *extrato = NULL;
  int32_t tamanho = 0;
  int32_t r = -1;
  if (venda != NULL && argc == 4) {
    r = ExtratoVenda(venda, tamanhos[0], (int32_t)formato, (int32_t)papel, &extrato, &tamanho);
  } else if (venda != NULL && cancelamento != NULL) {
    r = ExtratoCancelamento(cancelamento, tamanhos[1], venda, tamanhos[0], (int32_t)formato,
                            (int32_t)papel, &extrato, &tamanho);
  }
  free(venda);
  free(cancelamento);
  if (r > 0) {
    fprintf(stderr, "%s: erro %d: %s\n", argc == 5 ? "ExtratoCancelamento" : "ExtratoVenda", (int)r,
            ErroExtrato());
    fprintf(stderr, "FormatosExtrato: %d\n", (int)FormatosExtrato());
  }
  const int escrito = r == 0 && tamanho > 0 &&
                      fwrite(extrato, 1, (size_t)tamanho, stdout) == (size_t)tamanho &&
                      fflush(stdout) == 0;
  LiberaExtrato(extrato);
  return escrito ? 0 : 1;
}
