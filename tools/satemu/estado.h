// The device's memory across restarts: one text file of "name=value" lines in a fixed order,
// closed by a line holding the CRC-32 of everything before it, replaced whole (written beside
// it, flushed to disk, then renamed over it) so that a crash leaves the old or the new state.
#pragma once

#include "dispositivo.h"

#include <string>

namespace satemu {

enum class Leitura { Carregado, Ausente, Invalido };

// Loads what the file holds over `sat`. Absent file: `sat` is left as it is. A file that is
// not whole, or any of whose values is not one the device could have written, is refused
// whole with a message naming its line ("FILE:LINE: ...") and `sat` is left as it is.
Leitura CarregaEstado(Sat &sat, const std::string &caminho, std::string &erro);

bool SalvaEstado(const Sat &sat, const std::string &caminho, std::string &erro);

// The taxpayer's name and address from a file of "name=value" lines (UTF-8), the names those
// of the document (xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, CEP, cRegTrib); blank lines
// and lines starting with '#' are skipped, a name left out keeps its value in `emitente`.
// False, with "FILE:LINE: reason", for a name that is not one of those, given twice, or a
// value the document could not hold.
bool LeEmitente(const std::string &caminho, Emitente &emitente, std::string &erro);

// The file's text for `sat`, as SalvaEstado writes it.
std::string TextoEstado(const Sat &sat);

} // namespace satemu
