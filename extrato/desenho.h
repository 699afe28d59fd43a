// The extrato drawn from its diagram with cairo and zint: a PDF page, a PNG picture, or one raster
// image in ESC/POS for printers that have no commands of their own for the QR code and the
// barcode. Every output draws the same picture: text in the printer's columns, the codes centred.
#pragma once

#include <string>

#include "diagrama.h"

namespace extrato {

enum class Desenho { Pdf, Png, Raster };

// Draws the diagram: Pdf, one page as wide as the paper (Diagrama::larguraPapel mm) and as long as
// the extrato, text as real text; Png, the same page at 12 pixels a millimetre, 8-bit grey, white
// paper; Raster, ESC/POS bytes that print the same picture at 8 dots a millimetre,
// Diagrama::larguraPontos wide: ESC @, then the picture in GS v 0 bands (at most 256 rows each, 1
// bit a dot), with a partial cut (GS V 66) where a Corte element is, and at the end when the last
// element is a Corte. False with `erro` (in Portuguese) when the diagram is not one that can be
// drawn, or when cairo or zint fail; `saida` is then empty.
bool Desenha(const Diagrama &diagrama, Desenho desenho, std::string &saida, std::string &erro);

} // namespace extrato
