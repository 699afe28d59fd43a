// A thermal receipt printer on paper, for the tests: reads ESC/POS as the printers' command
// reference describes it and gives back the printed text, the codes and the picture, so that the
// extrato's bytes can be checked by what a printer would make of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace escpos {

// One printed text line. The flags hold for all of its visible characters (spaces aside); a
// line without any carries the modes in force when it was printed.
struct Linha {
  std::string texto; // UTF-8, spaces kept
  bool negrito;
  bool condensado;                         // font B
  int alinhamento;                         // 0 left, 1 centre, 2 right
  int escalaLargura = 1, escalaAltura = 1; // the largest magnification on the line
};

// A QR code or a bar code as the printer was given it.
struct Codigo {
  std::string tipo;  // "QR" or "CODE128"
  std::string dados; // CODE128: the characters, without the code-set switches
  int x = 0, y = 0, largura = 0, altura = 0; // where its modules are, in dots
};

struct Impressao {
  std::vector<Linha> linhas;   // every printed text line, in order (empty lines too)
  std::vector<Codigo> codigos; // every QR and bar code printed
  int cortes = 0;
  int largura = 0, altura = 0; // the printable area used, in dots
  std::vector<uint8_t> pontos; // largura*altura, row after row: 0 white, 1 black
};

// Runs `bytes` through a printer of `larguraPontos` printable dots at 8 dots/mm (576 for 80 mm
// paper, 384 for 58 mm). False, with `erro` naming the byte, for a command the reference does not
// define or this printer does not take, a parameter out of its documented range, a truncated
// command, text or a code wider than the paper, or text left in the buffer (a command that a
// printer would ignore there, or that would throw it away, or the end of the stream). Bytes are
// counted from 0; after a failure `saida` holds what was printed before it.
bool Interpreta(std::string_view bytes, int larguraPontos, Impressao &saida, std::string &erro);

// The picture as a PNG, with a white margin of 32 dots around the printable area.
bool GravaPng(const Impressao &impressao, const std::string &arquivo, std::string &erro);

} // namespace escpos
