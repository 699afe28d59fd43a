#include "interprete.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include <cairo.h>
#include <iconv.h>
#include <qrencode.h>
#include <zint.h>

namespace escpos {

namespace {

constexpr uint8_t LF = 0x0A;
constexpr uint8_t ESC = 0x1B;
constexpr uint8_t GS = 0x1D;

// Past this the picture is surely a runaway feed, not a receipt.
constexpr int LimiteAltura = 20000;

// The reference's 203 dpi models (TM-L90, the Japanese TM-T90) feed 30/203" (3.75 mm) a line;
// the vertical motion unit there is one dot.
constexpr int EspacamentoPadrao = 30;

// Font A 12x24, font B 9x17.
struct Fonte {
  int largura, altura;
};
constexpr Fonte FonteA{12, 24};
constexpr Fonte FonteB{9, 17};

const Fonte &FonteDe(bool fonteB) { return fonteB ? FonteB : FonteA; }

// The code tables of ESC t this printer knows, by their number in the reference.
const std::map<int, const char *> &Tabelas() {
  static const std::map<int, const char *> tabelas = {
      {0, "IBM437"},  {2, "IBM850"},  {3, "IBM860"},  {4, "IBM863"}, {5, "IBM865"},
      {16, "CP1252"}, {17, "IBM866"}, {18, "IBM852"}, {19, "IBM858"}};
  return tabelas;
}

std::string Hex(uint8_t b) {
  char texto[8];
  std::snprintf(texto, sizeof texto, "0x%02X", b);
  return texto;
}

struct Caractere {
  std::string utf8;
  bool negrito;
  bool fonteB;
  int escalaLargura, escalaAltura;
  int sublinhado; // thickness in dots, 0 for none
};

struct Modos {
  bool negrito = false;
  bool fonteB = false;
  int escalaLargura = 1, escalaAltura = 1;
  int sublinhado = 0;
  int alinhamento = 0;
  int tabela = 0;
  int espacamento = EspacamentoPadrao;
  // Bar codes (GS h, GS w, GS H, GS f).
  int barrasAltura = 162;
  int barrasModulo = 3;
  int hriPosicao = 0; // 0 none, 1 above, 2 below, 3 both
  bool hriFonteB = false;
  // QR code (GS ( k, cn 49).
  int qrModulo = 3;
  QRecLevel qrNivel = QR_ECLEVEL_L;
  std::optional<std::string> qrDados;
};

struct FecharCairo {
  void operator()(cairo_t *cr) const { cairo_destroy(cr); }
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
  void operator()(cairo_font_options_t *o) const { cairo_font_options_destroy(o); }
};

class Impressora {
public:
  Impressora(std::string_view bytes, int largura, Impressao &saida, std::string &erro)
      : bytes_(bytes), largura_(largura), saida_(saida), erro_(erro) {}

  bool Executa();

private:
  bool Falha(const std::string &mensagem) {
    erro_ = mensagem + " no byte " + std::to_string(inicio_);
    return false;
  }
  // The `n` parameter bytes of the command being read, or false for a truncated one.
  bool Parametros(size_t n, std::string_view &p);
  bool Comando(std::string_view nome) { return Falha("comando desconhecido " + std::string(nome)); }
  bool SemTextoPendente(const char *comando) {
    if (linha_.empty()) {
      return true;
    }
    return Falha(std::string(comando) + " com texto no buffer de linha (a impressora o " +
                 "ignoraria ou descartaria o texto)");
  }

  bool Esc();
  bool Gs();
  bool GsParentesesK();
  bool Code128();
  bool RasterGsV0();
  bool Corte();
  bool Texto(uint8_t b);

  bool SelecionaTabela(int n);
  bool Reinicia();
  bool Avanca(int pontos);
  bool Garante(int altura);
  int Margem(int largura) const {
    return modos_.alinhamento == 1   ? (largura_ - largura) / 2
           : modos_.alinhamento == 2 ? largura_ - largura
                                     : 0;
  }
  void Ponto(int x, int y) { saida_.pontos[static_cast<size_t>(y) * largura_ + x] = 1; }
  bool ImprimeLinha(int avanco);
  bool DesenhaTexto(const std::vector<Caractere> &caracteres, int x0, int y0, int altura);
  bool ImprimeQr();

  std::string_view bytes_;
  int largura_;
  Impressao &saida_;
  std::string &erro_;
  size_t pos_ = 0, inicio_ = 0;
  int y_ = 0;
  Modos modos_;
  std::array<std::string, 128> alta_; // bytes 0x80..0xFF of the code table, in UTF-8
  std::vector<Caractere> linha_;
  int linhaLargura_ = 0;
};

bool Impressora::Parametros(size_t n, std::string_view &p) {
  if (bytes_.size() - pos_ < n) {
    std::string nome;
    for (size_t i = inicio_; i < bytes_.size() && i < inicio_ + 3; ++i) {
      nome += (nome.empty() ? "" : " ") + Hex(static_cast<uint8_t>(bytes_[i]));
    }
    return Falha("comando truncado " + nome);
  }
  p = bytes_.substr(pos_, n);
  pos_ += n;
  return true;
}

bool Impressora::SelecionaTabela(int n) {
  const auto tabela = Tabelas().find(n);
  if (tabela == Tabelas().end()) {
    return Falha("ESC t: tabela de caracteres " + std::to_string(n) + " não suportada");
  }
  iconv_t cd = iconv_open("UTF-8", tabela->second);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return Falha(std::string("iconv não conhece ") + tabela->second);
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    char entrada = static_cast<char>(b);
    char convertido[8];
    char *de = &entrada, *para = convertido;
    size_t restaEntrada = 1, restaSaida = sizeof convertido;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool bom = iconv(cd, &de, &restaEntrada, &para, &restaSaida) != static_cast<size_t>(-1);
    // An undefined byte stays empty and fails where it is printed.
    alta_[b - 0x80] = bom ? std::string(convertido, para - convertido) : std::string();
  }
  iconv_close(cd);
  modos_.tabela = n;
  return true;
}

bool Impressora::Reinicia() {
  modos_ = Modos();
  return SelecionaTabela(0);
}

bool Impressora::Garante(int altura) {
  if (altura > LimiteAltura) {
    return Falha("a imagem passaria de " + std::to_string(LimiteAltura) + " linhas de pontos");
  }
  if (altura > saida_.altura) {
    saida_.altura = altura;
    saida_.pontos.resize(static_cast<size_t>(altura) * largura_, 0);
  }
  return true;
}

bool Impressora::Avanca(int pontos) {
  if (!Garante(y_ + pontos)) {
    return false;
  }
  y_ += pontos;
  return true;
}

bool Impressora::Executa() {
  saida_ = Impressao();
  saida_.largura = largura_;
  if (largura_ < 8 || largura_ > 4096) {
    erro_ = "largura de " + std::to_string(largura_) + " pontos fora do razoável";
    return false;
  }
  if (!Reinicia()) {
    return false;
  }
  while (pos_ < bytes_.size()) {
    inicio_ = pos_;
    const auto b = static_cast<uint8_t>(bytes_[pos_++]);
    bool bom;
    if (b == ESC) {
      bom = Esc();
    } else if (b == GS) {
      bom = Gs();
    } else if (b == LF) {
      bom = ImprimeLinha(modos_.espacamento);
    } else if (b < 0x20 || b == 0x7F) {
      bom = Falha("byte de controle " + Hex(b) + " não suportado");
    } else {
      bom = Texto(b);
    }
    if (!bom) {
      return false;
    }
  }
  inicio_ = bytes_.size();
  if (!linha_.empty()) {
    return Falha("texto sem LF no fim (a impressora não o imprimiria)");
  }
  return true;
}

bool Impressora::Texto(uint8_t b) {
  Caractere c{std::string(1, static_cast<char>(b)),
              modos_.negrito,
              modos_.fonteB,
              modos_.escalaLargura,
              modos_.escalaAltura,
              modos_.sublinhado};
  if (b >= 0x80) {
    c.utf8 = alta_[b - 0x80];
    if (c.utf8.empty()) {
      return Falha("byte " + Hex(b) + " sem caractere na tabela " + std::to_string(modos_.tabela));
    }
  }
  const int largura = FonteDe(c.fonteB).largura * c.escalaLargura;
  if (linhaLargura_ + largura > largura_) {
    return Falha("linha mais larga que o papel (" + std::to_string(largura_) + " pontos)");
  }
  linhaLargura_ += largura;
  linha_.push_back(std::move(c));
  return true;
}

bool Impressora::Esc() {
  std::string_view p;
  if (!Parametros(1, p)) {
    return false;
  }
  const auto comando = static_cast<uint8_t>(p[0]);
  const auto um = [&](int &n) {
    std::string_view q;
    if (!Parametros(1, q)) {
      return false;
    }
    n = static_cast<uint8_t>(q[0]);
    return true;
  };
  int n = 0;
  switch (comando) {
  case '@':
    if (!SemTextoPendente("ESC @")) {
      return false;
    }
    return Reinicia();
  case 't':
    return um(n) && SelecionaTabela(n);
  case 'E':
    if (!um(n)) {
      return false;
    }
    modos_.negrito = n & 1;
    return true;
  case 'M':
    if (!um(n)) {
      return false;
    }
    if (n != 0 && n != 1 && n != 48 && n != 49) {
      return Falha("ESC M " + std::to_string(n) + " fora da faixa (0, 1, 48, 49)");
    }
    modos_.fonteB = n % 48 == 1;
    return true;
  case '!':
    if (!um(n)) {
      return false;
    }
    modos_.fonteB = n & 0x01;
    modos_.negrito = n & 0x08;
    modos_.escalaAltura = n & 0x10 ? 2 : 1;
    modos_.escalaLargura = n & 0x20 ? 2 : 1;
    modos_.sublinhado = n & 0x80 ? std::max(modos_.sublinhado, 1) : 0;
    return true;
  case '-':
    if (!um(n)) {
      return false;
    }
    if (n % 48 > 2 || (n > 2 && n < 48) || n > 50) {
      return Falha("ESC - " + std::to_string(n) + " fora da faixa (0..2, 48..50)");
    }
    modos_.sublinhado = n % 48;
    return true;
  case 'a':
    if (!um(n)) {
      return false;
    }
    if (n % 48 > 2 || (n > 2 && n < 48) || n > 50) {
      return Falha("ESC a " + std::to_string(n) + " fora da faixa (0..2, 48..50)");
    }
    if (!SemTextoPendente("ESC a")) {
      return false;
    }
    modos_.alinhamento = n % 48;
    return true;
  case 'd':
    if (!um(n)) {
      return false;
    }
    if (n == 0) {
      return linha_.empty() || ImprimeLinha(0);
    }
    for (int i = 0; i < n; ++i) {
      if (!ImprimeLinha(modos_.espacamento)) {
        return false;
      }
    }
    return true;
  case 'J':
    if (!um(n)) {
      return false;
    }
    return linha_.empty() ? Avanca(n) : ImprimeLinha(n);
  case '2':
    modos_.espacamento = EspacamentoPadrao;
    return true;
  case '3':
    if (!um(n)) {
      return false;
    }
    modos_.espacamento = n;
    return true;
  default:
    return Comando("0x1B " + Hex(comando));
  }
}

bool Impressora::Gs() {
  std::string_view p;
  if (!Parametros(1, p)) {
    return false;
  }
  const auto comando = static_cast<uint8_t>(p[0]);
  int n = 0;
  if (comando == '!' || comando == 'h' || comando == 'w' || comando == 'H' || comando == 'f') {
    if (!Parametros(1, p)) {
      return false;
    }
    n = static_cast<uint8_t>(p[0]);
  }
  const std::string nome = std::string("GS ") + static_cast<char>(comando) + " ";
  switch (comando) {
  case '!':
    if ((n & 0x0F) > 7 || (n >> 4) > 7) {
      return Falha(nome + std::to_string(n) + " fora da faixa (1 a 8 vezes em cada sentido)");
    }
    modos_.escalaAltura = (n & 0x0F) + 1;
    modos_.escalaLargura = (n >> 4) + 1;
    return true;
  case 'h':
    if (n < 1) {
      return Falha(nome + "0 fora da faixa (1..255)");
    }
    modos_.barrasAltura = n;
    return true;
  case 'w':
    if (n < 2 || n > 6) {
      return Falha(nome + std::to_string(n) + " fora da faixa (2..6)");
    }
    modos_.barrasModulo = n;
    return true;
  case 'H':
    if (n % 48 > 3 || (n > 3 && n < 48) || n > 51) {
      return Falha(nome + std::to_string(n) + " fora da faixa (0..3, 48..51)");
    }
    modos_.hriPosicao = n % 48;
    return true;
  case 'f':
    if (n != 0 && n != 1 && n != 48 && n != 49) {
      return Falha(nome + std::to_string(n) + " fora da faixa (0, 1, 48, 49)");
    }
    modos_.hriFonteB = n % 48 == 1;
    return true;
  case 'k':
    return Code128();
  case '(':
    if (!Parametros(1, p)) {
      return false;
    }
    if (p[0] != 'k') {
      return Comando("0x1D 0x28 " + Hex(static_cast<uint8_t>(p[0])));
    }
    return GsParentesesK();
  case 'v':
    if (!Parametros(1, p)) {
      return false;
    }
    if (p[0] != '0') {
      return Comando("0x1D 0x76 " + Hex(static_cast<uint8_t>(p[0])));
    }
    return RasterGsV0();
  case 'V':
    return Corte();
  default:
    return Comando("0x1D " + Hex(comando));
  }
}

// The characters of GS k 73's data, which opens with the start code set ({A, {B or {C) and
// writes the other special characters as '{' and one more. `simbolos` counts the symbol
// characters the printer draws from it, the start code included, before the check and the stop.
bool DecodificaCode128(std::string_view d, std::string &caracteres, int &simbolos,
                       std::string &erro) {
  if (d.size() < 2 || d[0] != '{' || d[1] < 'A' || d[1] > 'C') {
    erro = "GS k 73 sem {A, {B ou {C no início";
    return false;
  }
  for (const char c : d) {
    if (static_cast<uint8_t>(c) > 127) {
      erro = "GS k 73 com byte " + Hex(static_cast<uint8_t>(c)) + " fora da faixa (0..127)";
      return false;
    }
  }
  // Whether the byte can be written in code set A or B (C takes the pairs of digits 0..99).
  const auto cabe = [](char conjunto, char c) { return conjunto == 'A' ? c <= 0x5F : c >= 0x20; };
  char conjunto = d[1];
  simbolos = 1;
  for (size_t i = 2; i < d.size(); ++i) {
    const char c = d[i];
    if (c != '{') {
      if (conjunto == 'C' ? c > 99 : !cabe(conjunto, c)) {
        erro = "GS k 73: byte " + Hex(static_cast<uint8_t>(c)) + " fora do código " + conjunto;
        return false;
      }
      if (conjunto == 'C') {
        caracteres += static_cast<char>('0' + c / 10);
        caracteres += static_cast<char>('0' + c % 10);
      } else {
        caracteres += c;
      }
      ++simbolos;
      continue;
    }
    if (++i == d.size()) {
      erro = "GS k 73 termina em '{'";
      return false;
    }
    const char especial = d[i];
    if (especial >= 'A' && especial <= 'C') {
      // Code A within code set A is FNC4 to the symbology: the reference leaves it undefined.
      if (especial == conjunto) {
        erro = std::string("GS k 73: {") + especial + " com o código " + conjunto + " em uso";
        return false;
      }
      conjunto = especial;
      ++simbolos;
    } else if (especial == 'S') {
      const char outro = conjunto == 'A' ? 'B' : 'A';
      if (conjunto == 'C' || i + 1 == d.size() || d[i + 1] == '{' || !cabe(outro, d[i + 1])) {
        erro = "GS k 73: {S sem um caractere do outro código depois, ou no código C";
        return false;
      }
      caracteres += d[++i];
      simbolos += 2;
    } else if (especial == '{') {
      if (conjunto != 'B') {
        erro = std::string("GS k 73: '{' não se escreve no código ") + conjunto;
        return false;
      }
      caracteres += '{';
      ++simbolos;
    } else if (especial >= '1' && especial <= '4') {
      // zint writes no FNC of our choosing in a plain Code 128: the picture could not show it.
      erro = std::string("GS k 73: FNC") + especial + " não suportado por este intérprete";
      return false;
    } else {
      erro = std::string("GS k 73: {") + especial + " não definido";
      return false;
    }
  }
  if (caracteres.empty()) {
    erro = "GS k 73 sem dados";
    return false;
  }
  return true;
}

bool Impressora::Code128() {
  std::string_view p;
  if (!Parametros(1, p)) {
    return false;
  }
  const int m = static_cast<uint8_t>(p[0]);
  if (m != 73) {
    if (m <= 6 || (m >= 65 && m <= 72)) {
      return Falha("GS k " + std::to_string(m) + ": só o Code 128 (73) é suportado");
    }
    return Falha("GS k " + std::to_string(m) + " fora da faixa");
  }
  if (!Parametros(1, p)) {
    return false;
  }
  const int n = static_cast<uint8_t>(p[0]);
  if (n < 2) {
    return Falha("GS k 73 com n=" + std::to_string(n) + " (2..255)");
  }
  std::string_view d;
  if (!Parametros(n, d) || !SemTextoPendente("GS k")) {
    return false;
  }
  Codigo codigo{"CODE128", "", 0, 0, 0, 0};
  int simbolos = 0;
  std::string mensagem;
  if (!DecodificaCode128(d, codigo.dados, simbolos, mensagem)) {
    return Falha(mensagem);
  }
  // The printer's own symbol: 11 modules a character and the check, 13 the stop.
  const int modulo = modos_.barrasModulo;
  const int larguraImpressora = ((simbolos + 1) * 11 + 13) * modulo;
  if (larguraImpressora > largura_) {
    return Falha("Code 128 de " + std::to_string(larguraImpressora) + " pontos mais largo que o " +
                 "papel (" + std::to_string(largura_) + ")");
  }

  std::unique_ptr<zint_symbol, void (*)(zint_symbol *)> simbolo(ZBarcode_Create(), ZBarcode_Delete);
  if (!simbolo) {
    return Falha("zint sem memória");
  }
  simbolo->symbology = BARCODE_CODE128;
  simbolo->input_mode = DATA_MODE;
  simbolo->show_hrt = 0;
  const int r =
      ZBarcode_Encode(simbolo.get(), reinterpret_cast<const unsigned char *>(codigo.dados.data()),
                      static_cast<int>(codigo.dados.size()));
  if (r != 0) {
    return Falha(std::string("zint recusou o Code 128: ") + simbolo->errtxt);
  }
  const int modulos = simbolo->width;
  codigo.largura = modulos * modulo;
  if (simbolo->rows != 1 || codigo.largura > largura_) {
    return Falha("Code 128 do zint não cabe no papel");
  }

  // HRI: the characters in the HRI font, controls as spaces, centred on the bars.
  std::vector<Caractere> hri;
  const Fonte &fonteHri = FonteDe(modos_.hriFonteB);
  for (const char c : codigo.dados) {
    hri.push_back(
        {std::string(1, c < 0x20 || c == 0x7F ? ' ' : c), false, modos_.hriFonteB, 1, 1, 0});
  }
  const int hriLargura = static_cast<int>(hri.size()) * fonteHri.largura;
  if (modos_.hriPosicao != 0 && hriLargura > largura_) {
    return Falha("HRI do Code 128 mais largo que o papel");
  }
  codigo.x = Margem(codigo.largura);
  const int hriX =
      std::clamp(codigo.x + (codigo.largura - hriLargura) / 2, 0, largura_ - hriLargura);
  if ((modos_.hriPosicao & 1) != 0) {
    if (!Garante(y_ + fonteHri.altura) || !DesenhaTexto(hri, hriX, y_, fonteHri.altura) ||
        !Avanca(fonteHri.altura)) {
      return false;
    }
  }
  codigo.y = y_;
  codigo.altura = modos_.barrasAltura;
  if (!Garante(y_ + codigo.altura)) {
    return false;
  }
  for (int coluna = 0; coluna < modulos; ++coluna) {
    if (((simbolo->encoded_data[0][coluna >> 3] >> (coluna & 7)) & 1) == 0) {
      continue;
    }
    for (int y = 0; y < codigo.altura; ++y) {
      for (int x = 0; x < modulo; ++x) {
        Ponto(codigo.x + coluna * modulo + x, y_ + y);
      }
    }
  }
  if (!Avanca(codigo.altura)) {
    return false;
  }
  if ((modos_.hriPosicao & 2) != 0) {
    if (!Garante(y_ + fonteHri.altura) || !DesenhaTexto(hri, hriX, y_, fonteHri.altura) ||
        !Avanca(fonteHri.altura)) {
      return false;
    }
  }
  saida_.codigos.push_back(std::move(codigo));
  return true;
}

bool Impressora::GsParentesesK() {
  std::string_view p;
  if (!Parametros(2, p)) {
    return false;
  }
  const size_t tamanho = static_cast<uint8_t>(p[0]) + static_cast<uint8_t>(p[1]) * 256u;
  std::string_view corpo;
  if (!Parametros(tamanho, corpo)) {
    return false;
  }
  if (tamanho < 2) {
    return Falha("GS ( k com pL+pH*256=" + std::to_string(tamanho));
  }
  const int cn = static_cast<uint8_t>(corpo[0]);
  const int fn = static_cast<uint8_t>(corpo[1]);
  if (cn != 49) {
    return Falha("GS ( k cn=" + std::to_string(cn) + ": só o QR (49) é suportado");
  }
  const std::string nome = "GS ( k fn=" + std::to_string(fn);
  const auto exige = [&](size_t esperado) {
    if (tamanho == esperado) {
      return true;
    }
    return Falha(nome + " com pL+pH*256=" + std::to_string(tamanho) + " (deve ser " +
                 std::to_string(esperado) + ")");
  };
  switch (fn) {
  case 65: { // model
    if (!exige(4)) {
      return false;
    }
    const int n1 = static_cast<uint8_t>(corpo[2]);
    if (corpo[3] != 0 || n1 < 49 || n1 > 51) {
      return Falha(nome + ": modelo fora da faixa (n1 49..51, n2 0)");
    }
    if (n1 != 50) {
      return Falha(nome + ": só o modelo 2 é suportado");
    }
    return true;
  }
  case 67: { // module size
    if (!exige(3)) {
      return false;
    }
    const int n = static_cast<uint8_t>(corpo[2]);
    if (n < 1 || n > 16) {
      return Falha(nome + ": módulo " + std::to_string(n) + " fora da faixa (1..16)");
    }
    modos_.qrModulo = n;
    return true;
  }
  case 69: { // error correction level
    if (!exige(3)) {
      return false;
    }
    const int n = static_cast<uint8_t>(corpo[2]);
    if (n < 48 || n > 51) {
      return Falha(nome + ": nível " + std::to_string(n) + " fora da faixa (48..51)");
    }
    static constexpr QRecLevel niveis[] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
    modos_.qrNivel = niveis[n - 48];
    return true;
  }
  case 80: // store the data
    if (tamanho < 4 || tamanho > 7092 || corpo[2] != 48) {
      return Falha(nome + ": m deve ser 48 e pL+pH*256 entre 4 e 7092");
    }
    modos_.qrDados = std::string(corpo.substr(3));
    return true;
  case 81: // print the stored data
    if (!exige(3)) {
      return false;
    }
    if (corpo[2] != 48) {
      return Falha(nome + ": m deve ser 48");
    }
    return SemTextoPendente("GS ( k fn=81") && ImprimeQr();
  default:
    return Falha(nome + " não suportado");
  }
}

bool Impressora::ImprimeQr() {
  if (!modos_.qrDados) {
    return Falha("QR impresso sem dados guardados");
  }
  const std::string &dados = *modos_.qrDados;
  std::unique_ptr<QRcode, void (*)(QRcode *)> qr(
      QRcode_encodeData(static_cast<int>(dados.size()),
                        reinterpret_cast<const unsigned char *>(dados.data()), 0, modos_.qrNivel),
      QRcode_free);
  if (!qr) {
    return Falha(std::string("libqrencode recusou os dados: ") + std::strerror(errno));
  }
  const int modulo = modos_.qrModulo;
  Codigo codigo{"QR", dados, 0, y_, qr->width * modulo, qr->width * modulo};
  if (codigo.largura > largura_) {
    return Falha("QR de " + std::to_string(codigo.largura) + " pontos mais largo que o papel (" +
                 std::to_string(largura_) + ")");
  }
  codigo.x = Margem(codigo.largura);
  if (!Garante(y_ + codigo.altura)) {
    return false;
  }
  for (int linha = 0; linha < qr->width; ++linha) {
    for (int coluna = 0; coluna < qr->width; ++coluna) {
      if ((qr->data[linha * qr->width + coluna] & 1) == 0) {
        continue;
      }
      for (int dy = 0; dy < modulo; ++dy) {
        for (int dx = 0; dx < modulo; ++dx) {
          Ponto(codigo.x + coluna * modulo + dx, y_ + linha * modulo + dy);
        }
      }
    }
  }
  saida_.codigos.push_back(codigo);
  return Avanca(codigo.altura);
}

bool Impressora::RasterGsV0() {
  std::string_view p;
  if (!Parametros(5, p)) {
    return false;
  }
  const int m = static_cast<uint8_t>(p[0]);
  const int x = static_cast<uint8_t>(p[1]) + static_cast<uint8_t>(p[2]) * 256;
  const int y = static_cast<uint8_t>(p[3]) + static_cast<uint8_t>(p[4]) * 256;
  if (m % 48 > 3 || (m > 3 && m < 48) || m > 51) {
    return Falha("GS v 0 com m=" + std::to_string(m) + " fora da faixa (0..3, 48..51)");
  }
  if (x < 1 || y < 1 || static_cast<uint8_t>(p[4]) > 8) {
    return Falha("GS v 0 de " + std::to_string(x) + " bytes por " + std::to_string(y) +
                 " linhas fora da faixa (k > 0, yH <= 8)");
  }
  std::string_view d;
  if (!Parametros(static_cast<size_t>(x) * y, d) || !SemTextoPendente("GS v 0")) {
    return false;
  }
  const int escalaX = ((m % 48) & 1) != 0 ? 2 : 1, escalaY = ((m % 48) & 2) != 0 ? 2 : 1;
  const int largura = x * 8 * escalaX;
  if (largura > largura_) {
    return Falha("GS v 0 de " + std::to_string(largura) + " pontos mais largo que o papel (" +
                 std::to_string(largura_) + ")");
  }
  const int x0 = Margem(largura);
  if (!Garante(y_ + y * escalaY)) {
    return false;
  }
  for (int linha = 0; linha < y; ++linha) {
    for (int bit = 0; bit < x * 8; ++bit) {
      const auto byte = static_cast<uint8_t>(d[static_cast<size_t>(linha) * x + bit / 8]);
      if (((byte >> (7 - bit % 8)) & 1) == 0) {
        continue;
      }
      for (int dy = 0; dy < escalaY; ++dy) {
        for (int dx = 0; dx < escalaX; ++dx) {
          Ponto(x0 + bit * escalaX + dx, y_ + linha * escalaY + dy);
        }
      }
    }
  }
  return Avanca(y * escalaY);
}

bool Impressora::Corte() {
  std::string_view p;
  if (!Parametros(1, p)) {
    return false;
  }
  const int m = static_cast<uint8_t>(p[0]);
  int avanco = 0;
  if (m == 65 || m == 66) {
    // Feeds to the cutter and n dots more, then cuts.
    if (!Parametros(1, p)) {
      return false;
    }
    avanco = static_cast<uint8_t>(p[0]);
  } else if (m != 0 && m != 1 && m != 48 && m != 49) {
    return Falha("GS V " + std::to_string(m) + " não suportado (0, 1, 48, 49, 65, 66)");
  }
  if (!SemTextoPendente("GS V") || !Avanca(avanco)) {
    return false;
  }
  ++saida_.cortes;
  return true;
}

// Prints the line buffer and feeds `avanco` dots, or the height of the line's tallest character
// when that is more. Characters of different heights stand on the same bottom.
bool Impressora::ImprimeLinha(int avanco) {
  Linha linha{"",
              modos_.negrito,
              modos_.fonteB,
              modos_.alinhamento,
              modos_.escalaLargura,
              modos_.escalaAltura};
  int altura = 0;
  bool visivel = false;
  for (const Caractere &c : linha_) {
    linha.texto += c.utf8;
    altura = std::max(altura, FonteDe(c.fonteB).altura * c.escalaAltura);
    if (c.utf8 == " ") {
      continue;
    }
    if (!visivel) {
      linha.negrito = linha.condensado = true;
      linha.escalaLargura = linha.escalaAltura = 1;
      visivel = true;
    }
    linha.negrito = linha.negrito && c.negrito;
    linha.condensado = linha.condensado && c.fonteB;
    linha.escalaLargura = std::max(linha.escalaLargura, c.escalaLargura);
    linha.escalaAltura = std::max(linha.escalaAltura, c.escalaAltura);
  }
  if (altura > 0 &&
      (!Garante(y_ + altura) || !DesenhaTexto(linha_, Margem(linhaLargura_), y_, altura))) {
    return false;
  }
  saida_.linhas.push_back(std::move(linha));
  linha_.clear();
  linhaLargura_ = 0;
  return Avanca(std::max(avanco, altura));
}

// Draws the characters from column x0 on a band `altura` dots high from row y0, each in its cell
// of the font's size, and ORs the band into the picture.
bool Impressora::DesenhaTexto(const std::vector<Caractere> &caracteres, int x0, int y0,
                              int altura) {
  std::unique_ptr<cairo_surface_t, FecharCairo> superficie(
      cairo_image_surface_create(CAIRO_FORMAT_A8, largura_, altura));
  std::unique_ptr<cairo_t, FecharCairo> cr(cairo_create(superficie.get()));
  std::unique_ptr<cairo_font_options_t, FecharCairo> opcoes(cairo_font_options_create());
  cairo_font_options_set_antialias(opcoes.get(), CAIRO_ANTIALIAS_NONE);
  cairo_set_font_options(cr.get(), opcoes.get());
  cairo_set_source_rgba(cr.get(), 0, 0, 0, 1);
  int x = x0;
  for (const Caractere &c : caracteres) {
    const Fonte &fonte = FonteDe(c.fonteB);
    cairo_select_font_face(cr.get(), "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL,
                           c.negrito ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    // The size at which a glyph fills the cell in both directions.
    cairo_set_font_size(cr.get(), 100);
    cairo_font_extents_t medidas;
    cairo_font_extents(cr.get(), &medidas);
    cairo_text_extents_t letra;
    cairo_text_extents(cr.get(), "M", &letra);
    if (letra.x_advance <= 0 || medidas.ascent + medidas.descent <= 0) {
      return Falha("a fonte DejaVu Sans Mono não tem medidas");
    }
    const double corpo = 100 * std::min(fonte.largura / letra.x_advance,
                                        fonte.altura / (medidas.ascent + medidas.descent));
    cairo_matrix_t matriz;
    cairo_matrix_init_scale(&matriz, corpo * c.escalaLargura, corpo * c.escalaAltura);
    cairo_set_font_matrix(cr.get(), &matriz);
    const int celulaAltura = fonte.altura * c.escalaAltura;
    const int topo = altura - celulaAltura;
    cairo_move_to(cr.get(), x, topo + medidas.ascent * corpo / 100 * c.escalaAltura);
    cairo_show_text(cr.get(), c.utf8.c_str());
    const int largura = fonte.largura * c.escalaLargura;
    if (c.sublinhado > 0) {
      cairo_rectangle(cr.get(), x, altura - c.sublinhado, largura, c.sublinhado);
      cairo_fill(cr.get());
    }
    x += largura;
  }
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
    return Falha(std::string("cairo: ") + cairo_status_to_string(cairo_status(cr.get())));
  }
  cairo_surface_flush(superficie.get());
  const unsigned char *dados = cairo_image_surface_get_data(superficie.get());
  const int passo = cairo_image_surface_get_stride(superficie.get());
  for (int linha = 0; linha < altura; ++linha) {
    for (int coluna = 0; coluna < largura_; ++coluna) {
      if (dados[linha * passo + coluna] >= 128) {
        Ponto(coluna, y0 + linha);
      }
    }
  }
  return true;
}

} // namespace

bool Interpreta(std::string_view bytes, int larguraPontos, Impressao &saida, std::string &erro) {
  erro.clear();
  Impressora impressora(bytes, larguraPontos, saida, erro);
  return impressora.Executa();
}

bool GravaPng(const Impressao &impressao, const std::string &arquivo, std::string &erro) {
  constexpr int margem = 32;
  const int largura = impressao.largura + 2 * margem, altura = impressao.altura + 2 * margem;
  if (impressao.pontos.size() != static_cast<size_t>(impressao.largura) * impressao.altura) {
    erro = "impressão com pontos a mais ou a menos";
    return false;
  }
  std::unique_ptr<cairo_surface_t, FecharCairo> superficie(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, largura, altura));
  if (cairo_surface_status(superficie.get()) != CAIRO_STATUS_SUCCESS) {
    erro = std::string("cairo: ") + cairo_status_to_string(cairo_surface_status(superficie.get()));
    return false;
  }
  cairo_surface_flush(superficie.get());
  unsigned char *dados = cairo_image_surface_get_data(superficie.get());
  const int passo = cairo_image_surface_get_stride(superficie.get());
  for (int y = 0; y < altura; ++y) {
    auto *linha = reinterpret_cast<uint32_t *>(dados + static_cast<size_t>(y) * passo);
    for (int x = 0; x < largura; ++x) {
      const int px = x - margem, py = y - margem;
      const bool preto = px >= 0 && py >= 0 && px < impressao.largura && py < impressao.altura &&
                         impressao.pontos[static_cast<size_t>(py) * impressao.largura + px] != 0;
      linha[x] = preto ? 0x000000 : 0xFFFFFF;
    }
  }
  cairo_surface_mark_dirty(superficie.get());
  const cairo_status_t status = cairo_surface_write_to_png(superficie.get(), arquivo.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    erro = arquivo + ": " + cairo_status_to_string(status);
    return false;
  }
  return true;
}

} // namespace escpos
