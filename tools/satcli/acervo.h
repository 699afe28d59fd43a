// The subcommands that read satd's archive of signed CF-e over HTTP: cfe (one document, or the
// list of a period) and mes (a month's zip). Built with libcurl (acervo.cpp); a build without it
// (Windows: Debian has no mingw libcurl) has acervo_ausente.cpp, which only says so.
#pragma once

#include <string>

#include "comandos.h"

// Whether this build can talk to satd.
extern const bool kAcervoDisponivel;

// GET {base}/cfe/{chave}, or GET {base}/cfe?de=&ate=[&caixa=] without a key.
Resultado AcervoCfe(Execucao &execucao, const Passo &passo);
// GET {base}/arquivo/AAAA-MM.zip, streamed to a file beside ARQUIVO and renamed to it once whole.
Resultado AcervoMes(Execucao &execucao, const Passo &passo);
