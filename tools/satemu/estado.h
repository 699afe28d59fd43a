// The device's memory across restarts: one text file of "name=value" lines, replaced whole
// (written beside it, then renamed over it) so that a crash leaves the old or the new state.
#pragma once

#include "dispositivo.h"

#include <string>

namespace satemu {

enum class Leitura { Carregado, Ausente, Invalido };

// Loads what the file holds over `sat`. Absent file: `sat` is left as it is.
Leitura CarregaEstado(Sat &sat, const std::string &caminho, std::string &erro);

bool SalvaEstado(const Sat &sat, const std::string &caminho, std::string &erro);

} // namespace satemu
