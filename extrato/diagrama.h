// The extrato as one list of printed lines and codes, the same for every output: the ESC/POS
// encoder turns it into printer commands, the drawing into a PDF, a PNG or a raster image. Text
// is laid out in the printer's columns here (a monospaced grid), already wrapped and aligned, so
// that every output prints the same characters in the same places.
#pragma once

#include <string>
#include <vector>

namespace extrato {

struct Documento;

struct Elemento {
  enum class Tipo {
    Texto,     // one line of `texto` (UTF-8), at most the font's columns, padded by the layout
    Codigo128, // `texto`: the digits of a Code 128 barcode (code set C), centred
    QRCode,    // `texto`: the QR code's content (byte mode, level M), centred
    Avanco,    // an empty line
    Corte,     // the paper is cut (a partial cut, after feeding past the cutter)
  };
  Tipo tipo = Tipo::Texto;
  std::string texto;
  bool negrito = false;
  bool condensado = false; // the printer's small font (font B)
};

struct Diagrama {
  int larguraPapel = 80;       // millimetres: 80 or 58
  int larguraPontos = 576;     // printable width in dots at 8 dots a millimetre (576 or 384)
  int colunas = 48;            // characters a line of the normal font (font A, 12 x 24 dots)
  int colunasCondensadas = 64; // of the small font (font B, 9 x 17 dots)
  std::vector<Elemento> elementos;
};

// The geometry of a paper width (80 or 58), with no elements.
Diagrama Papel(int larguraPapel);

// The extrato of a sale, or of a cancellation (then `venda` is the sale it cancels).
Diagrama DiagramaVenda(const Documento &venda, int larguraPapel);
Diagrama DiagramaCancelamento(const Documento &cancelamento, const Documento &venda,
                              int larguraPapel);

} // namespace extrato
