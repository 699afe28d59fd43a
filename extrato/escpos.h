// The extrato in the ESC/POS commands every thermal receipt printer of the trade knows: text in
// code page 850 (all the accents of Portuguese), emphasized and font B for the small lines, and
// the printer's own Code 128 (GS k) and QR code (GS ( k) commands, then the cut.
#pragma once

#include "diagrama.h"

#include <string>

namespace extrato {

std::string EscPos(const Diagrama &diagrama);

// UTF-8 text in a single-byte code page, 850 or 1252, a character it lacks as '?' (each
// platform's own converter).
std::string EmPagina(const std::string &utf8, int pagina);

} // namespace extrato
