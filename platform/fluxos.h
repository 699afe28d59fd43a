// Operations of both native tables that the C runtime's streams serve alike on every platform:
// standard output and the files of the log and of sat.ini.
#pragma once

void StdioSaidaPadrao(const char *texto);
long StdioLeArquivo(const char *nome, char *destino, unsigned long maximo);
// Binary append: the log turns line feeds into CR LF itself, so the bytes are the same on
// every platform. The C runtime opens files without denying other openers.
void *StdioAbreAnexo(const char *nome);
void StdioEscreveAnexo(void *arquivo, const char *dados, unsigned long tamanho);
void StdioFechaAnexo(void *arquivo);
