/* A POS program in miniature, built from outside the tree against an installed libsat: asks the
   SAT whether it is in operation and prints the reply. Exit status 0 on code 08000. */
#include <stdio.h>
#include <string.h>

#include <sat.h>

int main(void) {
  const char *resposta;
  if (AbreSerialSAT(7, 0, 0, 0, 0) != 0) {
    return 2;
  }
  resposta = ConsultarSAT(GeraNumeroSessao());
  printf("%s\n", resposta);
  return strstr(resposta, "|08000|") != NULL ? 0 : 1;
}
