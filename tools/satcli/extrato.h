// The extrato of a signed CF-e through libsatextrato (satextrato.h): the extrato subcommand, and
// the print that venda and cancelar --imprime make of the document the SAT signed. Built with
// libsatextrato and the printer's code (comum/impressora.h): extrato.cpp, on Linux and on
// Windows (where the library makes ESC/POS only, and refuses the rest with its reason); a build
// without libsatextrato (SAT_EXTRATO off) has extrato_ausente.cpp, and the command line refuses
// extrato and --imprime before anything runs.
#pragma once

#include <string>

#include "comandos.h"

// Whether this build has the extrato.
extern const bool kExtratoDisponivel;

// Why `destino` is not a printer --impressora takes, or an empty text.
std::string ConfereImpressora(const std::string &destino);

// extrato ARQUIVO [--cancelamento ARQUIVO]: the extrato to --pdf's or --png's file, or to the
// printer.
Resultado Extrato(Execucao &execucao, const Passo &passo);

// venda and cancelar --imprime, once the command is done: the extrato of `documento` (the
// signed CF-e the reply brought) on the step's printer. A print that fails leaves the command's
// success in `r` and says why in `r.falhaImpressao`.
void ImprimeExtrato(Resultado &r, const Passo &passo, const std::string &documento);
