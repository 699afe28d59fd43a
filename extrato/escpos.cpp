#include "escpos.h"

namespace extrato {

namespace {

constexpr char ESC = 0x1B;
constexpr char GS = 0x1D;
constexpr char LF = 0x0A;

// The barcode: 50 dots high, modules of 2 dots, no text under it.
constexpr int kAlturaBarras = 50;
constexpr int kModuloBarras = 2;
// The QR code: model 2, modules of 4 dots, error correction level M.
constexpr int kModuloQr = 4;

void Comando(std::string &s, std::initializer_list<int> bytes) {
  for (int b : bytes) {
    s += static_cast<char>(b);
  }
}

// GS ( k with its two-byte length.
void FuncaoQr(std::string &s, int funcao, const std::string &dados) {
  const size_t n = dados.size() + 2;
  Comando(s, {GS, '(', 'k', static_cast<int>(n & 0xFF), static_cast<int>(n >> 8), 49, funcao});
  s += dados;
}

void Codigo128(std::string &s, const std::string &digitos) {
  // Code set C: each pair of digits is one byte of 0..99.
  std::string dados = "{C";
  for (size_t i = 0; i + 1 < digitos.size(); i += 2) {
    dados += static_cast<char>((digitos[i] - '0') * 10 + (digitos[i + 1] - '0'));
  }
  Comando(s, {ESC, 'a', 1, GS, 'h', kAlturaBarras, GS, 'w', kModuloBarras, GS, 'H', 0});
  Comando(s, {GS, 'k', 73, static_cast<int>(dados.size())});
  s += dados;
  Comando(s, {ESC, 'J', 10, ESC, 'a', 0});
}

void QrCode(std::string &s, const std::string &conteudo) {
  Comando(s, {ESC, 'a', 1});
  FuncaoQr(s, 65, std::string{'2', '\0'});
  FuncaoQr(s, 67, std::string(1, static_cast<char>(kModuloQr)));
  FuncaoQr(s, 69, "1"); // 49: level M
  FuncaoQr(s, 80, "0" + conteudo);
  FuncaoQr(s, 81, "0");
  Comando(s, {LF, ESC, 'a', 0});
}

} // namespace

std::string EscPos(const Diagrama &diagrama) {
  std::string s;
  // Initialize, code page 850, left aligned, the default line spacing.
  Comando(s, {ESC, '@', ESC, 't', 2, ESC, 'a', 0, ESC, '2'});
  bool negrito = false;
  bool condensado = false;
  for (const Elemento &e : diagrama.elementos) {
    switch (e.tipo) {
    case Elemento::Tipo::Texto:
      if (e.condensado != condensado) {
        Comando(s, {ESC, 'M', e.condensado ? 1 : 0});
        condensado = e.condensado;
      }
      if (e.negrito != negrito) {
        Comando(s, {ESC, 'E', e.negrito ? 1 : 0});
        negrito = e.negrito;
      }
      s += EmPagina(e.texto, 850);
      s += LF;
      break;
    case Elemento::Tipo::Avanco:
      s += LF;
      break;
    case Elemento::Tipo::Codigo128:
      Codigo128(s, e.texto);
      break;
    case Elemento::Tipo::QRCode:
      QrCode(s, e.texto);
      break;
    case Elemento::Tipo::Corte:
      // Feed past the cutter, then a partial cut.
      Comando(s, {GS, 'V', 66, 3});
      break;
    }
  }
  return s;
}

} // namespace extrato
