#include "desenho.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <zint.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace extrato {

namespace {

// The picture is laid out in printer dots, 8 a millimetre, as the printer prints it: the printable
// area is Diagrama::larguraPontos dots wide, centred on the paper. The PDF and the PNG scale it.
constexpr int kPontosPorMm = 8;
constexpr int kPixelsPorMm = 12;
constexpr double kPixelsPorPonto = static_cast<double>(kPixelsPorMm) / kPontosPorMm;
constexpr double kPdfPorPonto = 72.0 / 25.4 / kPontosPorMm; // PDF points a dot

constexpr int kMargem = 24;             // 3 mm of paper above the first line and below the last
constexpr int kLinha = 30;              // a line of the normal font (font A), and an Avanco
constexpr int kLinhaCondensada = 24;    // a line of the small font (font B)
constexpr double kAvanco = 12;          // a character of the normal font, as font A's
constexpr double kAvancoCondensado = 9; // of the small font, as font B's
constexpr int kAlturaBarras = 50;
constexpr int kZonaBarras = 10;       // modules of white paper at each end of the bars, at least
constexpr int kZonaQr = 4;            // modules of white paper around the QR code
constexpr int kIntervalo = 10;        // below a code
constexpr int kAlturaMaxima = 40000;  // 5 m of paper
constexpr int kImagemMaxima = 32767;  // cairo's largest image surface, in pixels
constexpr int kLinhasFaixa = 256;     // rows of one GS v 0 image
constexpr char kAvancoCorte = 0;      // GS V 66 n: feeds to the cutter and n units more, then cuts
constexpr unsigned char kTinta = 128; // a dot of the raster is printed below this grey

const char kFonte[] = "DejaVu Sans Mono";

struct ApagaContexto {
  void operator()(cairo_t *contexto) const { cairo_destroy(contexto); }
};
struct ApagaSuperficie {
  void operator()(cairo_surface_t *superficie) const { cairo_surface_destroy(superficie); }
};
struct ApagaOpcoes {
  void operator()(cairo_font_options_t *opcoes) const { cairo_font_options_destroy(opcoes); }
};
struct ApagaSimbolo {
  void operator()(zint_symbol *simbolo) const { ZBarcode_Delete(simbolo); }
};
using Contexto = std::unique_ptr<cairo_t, ApagaContexto>;
using Superficie = std::unique_ptr<cairo_surface_t, ApagaSuperficie>;
using Opcoes = std::unique_ptr<cairo_font_options_t, ApagaOpcoes>;
using Simbolo = std::unique_ptr<zint_symbol, ApagaSimbolo>;

bool Falha(const std::string &motivo, std::string &erro) {
  erro = "falha ao desenhar o extrato: " + motivo;
  return false;
}

bool FalhaCairo(cairo_status_t status, std::string &erro) {
  return Falha(std::string("cairo: ") + cairo_status_to_string(status), erro);
}

bool Invalido(const std::string &motivo, std::string &erro) {
  erro = "diagrama do extrato inválido: " + motivo;
  return false;
}

std::string NomeElemento(size_t indice) { return "o elemento " + std::to_string(indice + 1); }

// cairo's stream writer: appends to the std::string at `destino`.
cairo_status_t Escreve(void *destino, const unsigned char *dados, unsigned int tamanho) {
  try {
    static_cast<std::string *>(destino)->append(reinterpret_cast<const char *>(dados), tamanho);
    return CAIRO_STATUS_SUCCESS;
  } catch (...) {
    return CAIRO_STATUS_WRITE_ERROR;
  }
}

// A rectangle of dark modules of a code, in modules from the symbol's top left corner.
struct Retangulo {
  int x = 0;
  int y = 0;
  int largura = 0;
  int altura = 0;
};

// A code as zint encoded it, without quiet zones: its dark modules.
struct Codigo {
  std::vector<Retangulo> escuros;
  int largura = 0; // modules
  int altura = 0;  // rows of modules: 1 for the barcode, whose bars are drawn to kAlturaBarras
};

// `valor`, in zint's vector units, as a whole number of modules of `unidade` units; false when it
// is not on the grid of modules.
bool Modulos(float valor, double unidade, int &modulos) {
  const double medida = valor / unidade;
  modulos = static_cast<int>(std::lround(medida));
  return std::fabs(medida - modulos) < 1e-3;
}

bool Codifica(int simbologia, const std::string &conteudo, Codigo &codigo, std::string &erro) {
  Simbolo simbolo(ZBarcode_Create());
  if (!simbolo) {
    return Falha("zint: sem memória", erro);
  }
  simbolo->symbology = simbologia;
  simbolo->input_mode = DATA_MODE; // the bytes as they are, with no ECI
  simbolo->show_hrt = 0;
  simbolo->warn_level = WARN_FAIL_ALL; // a symbol zint had to compromise on is a failure
  const bool qr = simbologia == BARCODE_QRCODE;
  if (qr) {
    simbolo->option_1 = 2; // error correction level M
  }
  const int codificado =
      ZBarcode_Encode(simbolo.get(), reinterpret_cast<const unsigned char *>(conteudo.data()),
                      static_cast<int>(conteudo.size()));
  if (codificado != 0) {
    return Falha(std::string("zint: ") + simbolo->errtxt, erro);
  }
  const int desenhado = ZBarcode_Buffer_Vector(simbolo.get(), 0);
  if (desenhado != 0 || simbolo->vector == nullptr) {
    return Falha(std::string("zint: ") + simbolo->errtxt, erro);
  }
  const zint_vector &vetor = *simbolo->vector;
  if (simbolo->width <= 0 || simbolo->rows <= 0 || !(vetor.width > 0) || !(vetor.height > 0) ||
      vetor.hexagons != nullptr || vetor.circles != nullptr || vetor.strings != nullptr) {
    return Falha("zint: o desenho do código não é o de um símbolo de módulos", erro);
  }
  // zint's vector units are not modules (2.11 makes a module 2 units at scale 1): the symbol is
  // `width` modules wide, with no quiet zone of zint's own, and that gives the unit.
  const double unidade = static_cast<double>(vetor.width) / simbolo->width;
  codigo.largura = simbolo->width;
  codigo.altura = qr ? simbolo->rows : 1;
  int alturaVetor = 0;
  if (qr && (!Modulos(vetor.height, unidade, alturaVetor) || alturaVetor != codigo.altura)) {
    return Falha("zint: o QR Code não é quadrado", erro);
  }
  codigo.escuros.clear();
  for (const zint_vector_rect *r = vetor.rectangles; r != nullptr; r = r->next) {
    Retangulo escuro;
    bool naGrade = r->colour == -1 && Modulos(r->x, unidade, escuro.x) &&
                   Modulos(r->width, unidade, escuro.largura);
    if (qr) {
      naGrade =
          naGrade && Modulos(r->y, unidade, escuro.y) && Modulos(r->height, unidade, escuro.altura);
    } else {
      // One row of bars, each as tall as the symbol.
      escuro.altura = 1;
      naGrade = naGrade && std::fabs(r->y) < 1e-3 && std::fabs(r->height - vetor.height) < 1e-3;
    }
    if (!naGrade || escuro.largura <= 0 || escuro.altura <= 0 || escuro.x < 0 || escuro.y < 0 ||
        escuro.x + escuro.largura > codigo.largura || escuro.y + escuro.altura > codigo.altura) {
      return Falha("zint: um módulo do código fora da grade do símbolo", erro);
    }
    codigo.escuros.push_back(escuro);
  }
  if (codigo.escuros.empty()) {
    return Falha("zint: o código saiu sem módulos", erro);
  }
  return true;
}

bool Barras(const std::string &digitos, size_t indice, Codigo &codigo, std::string &erro) {
  if (digitos.size() % 2 != 0 || digitos.find_first_not_of("0123456789") != std::string::npos) {
    return Invalido(NomeElemento(indice) +
                        " (código de barras) não é um número par de dígitos (code set C)",
                    erro);
  }
  if (!Codifica(BARCODE_CODE128, digitos, codigo, erro)) {
    return false;
  }
  // Code set C throughout: the start, a symbol for each pair of digits and the check symbol, of 11
  // modules each, and the stop, of 13.
  const int pares = static_cast<int>(digitos.size() / 2);
  if (codigo.largura != 11 * (pares + 2) + 13) {
    return Falha("zint: o código de barras não saiu todo em code set C", erro);
  }
  return true;
}

// The widest of `modulos` (dots a module) at which a code `largura` modules wide fits the printable
// width, with `zona` modules of white paper each side still on the paper; 0 when none does.
int Modulo(const Diagrama &diagrama, int largura, int zona, std::initializer_list<int> modulos) {
  const int papel = diagrama.larguraPapel * kPontosPorMm;
  for (const int modulo : modulos) {
    if (largura * modulo <= diagrama.larguraPontos && (largura + 2 * zona) * modulo <= papel) {
      return modulo;
    }
  }
  return 0;
}

// A code's left edge in the printable area: centred, on an even dot, so that the PNG's 1.5 pixels
// a dot puts the edges of modules of 2 and 4 dots on whole pixels.
int Esquerda(const Diagrama &diagrama, int largura) {
  return (diagrama.larguraPontos - largura) / 4 * 2;
}

// The size of the font for each kind of line, and where its baseline goes in the line.
struct Fonte {
  double tamanho = 0;
  double linhaBase = 0; // dots below the top of the line
};

struct Fontes {
  Opcoes opcoes;
  Fonte fonte[2][2]; // [condensado][negrito]
};

void Escolhe(cairo_t *contexto, const Fontes &fontes, bool condensado, bool negrito) {
  cairo_select_font_face(contexto, kFonte, CAIRO_FONT_SLANT_NORMAL,
                         negrito ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(contexto, fontes.fonte[condensado][negrito].tamanho);
}

bool CriaOpcoes(Fontes &fontes, std::string &erro) {
  fontes.opcoes.reset(cairo_font_options_create());
  const cairo_status_t status = cairo_font_options_status(fontes.opcoes.get());
  if (status != CAIRO_STATUS_SUCCESS) {
    return FalhaCairo(status, erro);
  }
  // The advances as the font has them, not rounded to whole pixels, so that the columns add up at
  // 1.5 pixels a dot too; and outlines unhinted, the same at every size.
  cairo_font_options_set_hint_metrics(fontes.opcoes.get(), CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(fontes.opcoes.get(), CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_antialias(fontes.opcoes.get(), CAIRO_ANTIALIAS_GRAY);
  return true;
}

// Sizes the fonts so that a character of the normal font advances kAvanco dots and one of the small
// font kAvancoCondensado, on `medidor`, whose user space is in dots.
bool Mede(cairo_t *medidor, Fontes &fontes, std::string &erro) {
  if (!CriaOpcoes(fontes, erro)) {
    return false;
  }
  cairo_set_font_options(medidor, fontes.opcoes.get());
  // Characters of different widths in a proportional font, accented ones among them (É, ç): when
  // fontconfig has no DejaVu Sans Mono it hands over another font, and the columns would not hold.
  static const char *const kAmostra[] = {"0", "i", "W", "M", " ", "\xc3\x89", "\xc3\xa7"};
  constexpr double kTamanhoMedida = 100;
  for (const bool condensado : {false, true}) {
    for (const bool negrito : {false, true}) {
      cairo_select_font_face(medidor, kFonte, CAIRO_FONT_SLANT_NORMAL,
                             negrito ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
      cairo_set_font_size(medidor, kTamanhoMedida);
      double avanco = 0;
      for (const char *const caractere : kAmostra) {
        cairo_text_extents_t medida;
        cairo_text_extents(medidor, caractere, &medida);
        const cairo_status_t status = cairo_status(medidor);
        if (status != CAIRO_STATUS_SUCCESS) {
          return FalhaCairo(status, erro);
        }
        if (avanco == 0) {
          avanco = medida.x_advance;
        }
        if (!(avanco > 0) || std::fabs(medida.x_advance - avanco) > 1e-6 * avanco) {
          return Falha(std::string("a fonte ") + kFonte +
                           " (fonts-dejavu-core) não está instalada: a que há não é monoespaçada",
                       erro);
        }
      }
      Fonte &fonte = fontes.fonte[condensado][negrito];
      fonte.tamanho = kTamanhoMedida * (condensado ? kAvancoCondensado : kAvanco) / avanco;
      cairo_set_font_size(medidor, fonte.tamanho);
      cairo_font_extents_t extensao;
      cairo_font_extents(medidor, &extensao);
      const cairo_status_t status = cairo_status(medidor);
      if (status != CAIRO_STATUS_SUCCESS) {
        return FalhaCairo(status, erro);
      }
      // The font's height centred in the line.
      const int linha = condensado ? kLinhaCondensada : kLinha;
      fonte.linhaBase = (linha - (extensao.ascent + extensao.descent)) / 2 + extensao.ascent;
    }
  }
  return true;
}

// An element where it goes in the picture.
struct Item {
  const Elemento *elemento = nullptr;
  int topo = 0;   // its first row
  int altura = 0; // the rows it takes, the gap below a code included
  Codigo codigo;
  int modulo = 0;   // dots a module of the code
  int esquerda = 0; // the code's left edge in the printable area
  int cimo = 0;     // the code's first row below `topo` (the QR code's quiet zone)
};

struct Leiaute {
  std::vector<Item> itens;
  std::vector<int> cortes; // rows where the paper is cut, in order; the last may be `altura`
  int altura = 0;
};

bool Valida(const Diagrama &diagrama, std::string &erro) {
  if (diagrama.larguraPapel != 80 && diagrama.larguraPapel != 58) {
    return Invalido("papel de " + std::to_string(diagrama.larguraPapel) + " mm (só 58 ou 80)",
                    erro);
  }
  const int papel = diagrama.larguraPapel * kPontosPorMm;
  if (diagrama.larguraPontos <= 0 || diagrama.larguraPontos % 8 != 0 ||
      diagrama.larguraPontos > papel) {
    return Invalido("largura impressa de " + std::to_string(diagrama.larguraPontos) +
                        " pontos num papel de " + std::to_string(papel),
                    erro);
  }
  if (diagrama.colunas <= 0 || diagrama.colunas * kAvanco > diagrama.larguraPontos ||
      diagrama.colunasCondensadas <= 0 ||
      diagrama.colunasCondensadas * kAvancoCondensado > diagrama.larguraPontos) {
    return Invalido("as colunas não cabem na largura impressa", erro);
  }
  if (diagrama.elementos.empty()) {
    return Invalido("o diagrama não tem elementos", erro);
  }
  return true;
}

bool Organiza(const Diagrama &diagrama, cairo_t *medidor, const Fontes &fontes, Leiaute &leiaute,
              std::string &erro) {
  int y = kMargem;
  const size_t total = diagrama.elementos.size();
  for (size_t i = 0; i < total; ++i) {
    const Elemento &elemento = diagrama.elementos[i];
    Item item;
    item.elemento = &elemento;
    item.topo = y;
    switch (elemento.tipo) {
    case Elemento::Tipo::Texto: {
      const auto controle = [](char c) { return (c >= 0 && c < 0x20) || c == 0x7f; };
      if (std::any_of(elemento.texto.begin(), elemento.texto.end(), controle)) {
        return Invalido(NomeElemento(i) + " tem um caractere de controle", erro);
      }
      Escolhe(medidor, fontes, elemento.condensado, elemento.negrito);
      cairo_text_extents_t medida;
      cairo_text_extents(medidor, elemento.texto.c_str(), &medida);
      const cairo_status_t status = cairo_status(medidor);
      if (status == CAIRO_STATUS_INVALID_STRING) {
        return Invalido(NomeElemento(i) + " não é texto UTF-8", erro);
      }
      if (status != CAIRO_STATUS_SUCCESS) {
        return FalhaCairo(status, erro);
      }
      if (medida.x_advance > diagrama.larguraPontos + 1e-6) {
        return Invalido(NomeElemento(i) + " passa da largura impressa", erro);
      }
      item.altura = elemento.condensado ? kLinhaCondensada : kLinha;
      break;
    }
    case Elemento::Tipo::Avanco:
      item.altura = kLinha;
      break;
    case Elemento::Tipo::Codigo128: {
      if (elemento.texto.empty()) {
        return Invalido(NomeElemento(i) + " (código de barras) não tem dígitos", erro);
      }
      if (!Barras(elemento.texto, i, item.codigo, erro)) {
        return false;
      }
      item.modulo = Modulo(diagrama, item.codigo.largura, kZonaBarras, {2, 1});
      if (item.modulo == 0) {
        return Invalido(NomeElemento(i) + " (código de barras) não cabe na largura impressa", erro);
      }
      item.esquerda = Esquerda(diagrama, item.codigo.largura * item.modulo);
      item.altura = kAlturaBarras + kIntervalo;
      break;
    }
    case Elemento::Tipo::QRCode: {
      if (elemento.texto.empty()) {
        return Invalido(NomeElemento(i) + " (QR Code) não tem conteúdo", erro);
      }
      if (!Codifica(BARCODE_QRCODE, elemento.texto, item.codigo, erro)) {
        return false;
      }
      item.modulo = Modulo(diagrama, item.codigo.largura, kZonaQr, {4, 3, 2});
      if (item.modulo == 0) {
        return Invalido(NomeElemento(i) + " (QR Code) não cabe na largura impressa", erro);
      }
      item.esquerda = Esquerda(diagrama, item.codigo.largura * item.modulo);
      item.cimo = kZonaQr * item.modulo;
      item.altura = (item.codigo.altura + 2 * kZonaQr) * item.modulo + kIntervalo;
      break;
    }
    case Elemento::Tipo::Corte:
      // The last one cuts below the bottom margin; one between parts ends the part above with the
      // bottom margin and starts the next with the top one.
      if (i + 1 < total) {
        y += kMargem;
        leiaute.cortes.push_back(y);
        y += kMargem;
      }
      continue;
    default:
      return Invalido(NomeElemento(i) + " é de um tipo desconhecido", erro);
    }
    y += item.altura;
    leiaute.itens.push_back(std::move(item));
    if (y + kMargem > kAlturaMaxima) {
      return Invalido("o extrato passa de " + std::to_string(kAlturaMaxima) +
                          " pontos de altura (" + std::to_string(kAlturaMaxima / kPontosPorMm) +
                          " mm)",
                      erro);
    }
  }
  leiaute.altura = y + kMargem;
  if (diagrama.elementos.back().tipo == Elemento::Tipo::Corte) {
    leiaute.cortes.push_back(leiaute.altura);
  }
  return true;
}

// Draws on `contexto`, whose user space is the printable area in dots, the items that reach the
// rows [de, ate), with its source and operator; marks each cut inside the picture with a dashed
// line when `marcaCortes`.
bool Pinta(cairo_t *contexto, const Diagrama &diagrama, const Leiaute &leiaute,
           const Fontes &fontes, int de, int ate, bool marcaCortes, std::string &erro) {
  cairo_set_font_options(contexto, fontes.opcoes.get());
  for (const Item &item : leiaute.itens) {
    // A line's accents and descenders may reach a little past its rows.
    if (item.topo + item.altura + kLinha <= de || item.topo - kLinha >= ate) {
      continue;
    }
    const Elemento &elemento = *item.elemento;
    switch (elemento.tipo) {
    case Elemento::Tipo::Texto: {
      if (elemento.texto.empty()) {
        break;
      }
      Escolhe(contexto, fontes, elemento.condensado, elemento.negrito);
      const Fonte &fonte = fontes.fonte[elemento.condensado][elemento.negrito];
      cairo_move_to(contexto, 0, item.topo + fonte.linhaBase);
      // The whole line at once, its spaces kept: the layout aligned it in the columns.
      cairo_show_text(contexto, elemento.texto.c_str());
      break;
    }
    case Elemento::Tipo::Codigo128:
    case Elemento::Tipo::QRCode: {
      const double largura = item.modulo;
      const double altura =
          elemento.tipo == Elemento::Tipo::Codigo128 ? kAlturaBarras : item.modulo;
      cairo_new_path(contexto);
      for (const Retangulo &escuro : item.codigo.escuros) {
        cairo_rectangle(contexto, item.esquerda + escuro.x * largura,
                        item.topo + item.cimo + escuro.y * altura, escuro.largura * largura,
                        escuro.altura * altura);
      }
      // One fill for the whole code: no seams between the rectangles.
      cairo_fill(contexto);
      break;
    }
    default:
      break;
    }
  }
  if (marcaCortes) {
    for (const int corte : leiaute.cortes) {
      if (corte >= leiaute.altura) {
        continue;
      }
      static const double kTraco[] = {8, 8};
      cairo_save(contexto);
      cairo_set_line_width(contexto, 2);
      cairo_set_dash(contexto, kTraco, 2, 0);
      cairo_move_to(contexto, 0, corte);
      cairo_line_to(contexto, diagrama.larguraPontos, corte);
      cairo_stroke(contexto);
      cairo_restore(contexto);
    }
  }
  const cairo_status_t status = cairo_status(contexto);
  return status == CAIRO_STATUS_SUCCESS || FalhaCairo(status, erro);
}

// Paper for an A8 surface, where cairo keeps only alpha and writes it to a PNG as 8-bit grey: the
// paper is painted opaque (white), and the ink takes the alpha away (DEST_OUT), as black on white.
void Papel(cairo_t *contexto) {
  cairo_set_operator(contexto, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(contexto, 0, 0, 0, 1);
  cairo_paint(contexto);
  cairo_set_operator(contexto, CAIRO_OPERATOR_DEST_OUT);
}

bool Pdf(const Diagrama &diagrama, const Leiaute &leiaute, const Fontes &fontes, std::string &saida,
         std::string &erro) {
  const int papel = diagrama.larguraPapel * kPontosPorMm;
  Superficie superficie(cairo_pdf_surface_create_for_stream(Escreve, &saida, papel * kPdfPorPonto,
                                                            leiaute.altura * kPdfPorPonto));
  cairo_status_t status = cairo_surface_status(superficie.get());
  if (status != CAIRO_STATUS_SUCCESS) {
    return FalhaCairo(status, erro);
  }
  // No creation date, so that the same extrato gives the same bytes (cairo 1.16 writes a date set
  // here without the "D:" a PDF date starts with; an empty one leaves the entry out).
  cairo_pdf_surface_set_metadata(superficie.get(), CAIRO_PDF_METADATA_CREATE_DATE, "");
  cairo_pdf_surface_set_metadata(superficie.get(), CAIRO_PDF_METADATA_CREATOR, "libsatextrato");
  {
    Contexto contexto(cairo_create(superficie.get()));
    status = cairo_status(contexto.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
    cairo_scale(contexto.get(), kPdfPorPonto, kPdfPorPonto);
    cairo_translate(contexto.get(), (papel - diagrama.larguraPontos) / 2.0, 0);
    cairo_set_source_rgb(contexto.get(), 0, 0, 0);
    if (!Pinta(contexto.get(), diagrama, leiaute, fontes, 0, leiaute.altura, true, erro)) {
      return false;
    }
    cairo_show_page(contexto.get());
    status = cairo_status(contexto.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
  }
  cairo_surface_finish(superficie.get());
  status = cairo_surface_status(superficie.get());
  return status == CAIRO_STATUS_SUCCESS || FalhaCairo(status, erro);
}

bool Png(const Diagrama &diagrama, const Leiaute &leiaute, const Fontes &fontes, std::string &saida,
         std::string &erro) {
  const int papel = diagrama.larguraPapel * kPontosPorMm;
  const int largura = diagrama.larguraPapel * kPixelsPorMm;
  const int altura = static_cast<int>(std::ceil(leiaute.altura * kPixelsPorPonto));
  if (altura > kImagemMaxima) {
    return Invalido("o extrato passa de " + std::to_string(kImagemMaxima) +
                        " pixels de altura, o maior PNG que se desenha",
                    erro);
  }
  Superficie superficie(cairo_image_surface_create(CAIRO_FORMAT_A8, largura, altura));
  cairo_status_t status = cairo_surface_status(superficie.get());
  if (status != CAIRO_STATUS_SUCCESS) {
    return FalhaCairo(status, erro);
  }
  {
    Contexto contexto(cairo_create(superficie.get()));
    status = cairo_status(contexto.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
    Papel(contexto.get());
    cairo_scale(contexto.get(), kPixelsPorPonto, kPixelsPorPonto);
    cairo_translate(contexto.get(), (papel - diagrama.larguraPontos) / 2.0, 0);
    if (!Pinta(contexto.get(), diagrama, leiaute, fontes, 0, leiaute.altura, true, erro)) {
      return false;
    }
  }
  cairo_surface_flush(superficie.get());
  status = cairo_surface_write_to_png_stream(superficie.get(), Escreve, &saida);
  return status == CAIRO_STATUS_SUCCESS || FalhaCairo(status, erro);
}

// Draws the rows [topo, topo + linhas) on `faixa`, an A8 surface larguraPontos wide, and appends
// them as one GS v 0 image: 1 bit a dot, the leftmost the most significant, 1 printed.
bool Faixa(cairo_surface_t *faixa, const Diagrama &diagrama, const Leiaute &leiaute,
           const Fontes &fontes, int topo, int linhas, std::string &saida, std::string &erro) {
  {
    Contexto contexto(cairo_create(faixa));
    const cairo_status_t status = cairo_status(contexto.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
    Papel(contexto.get());
    cairo_translate(contexto.get(), 0, -topo);
    if (!Pinta(contexto.get(), diagrama, leiaute, fontes, topo, topo + linhas, false, erro)) {
      return false;
    }
  }
  cairo_surface_flush(faixa);
  const unsigned char *dados = cairo_image_surface_get_data(faixa);
  const int passo = cairo_image_surface_get_stride(faixa);
  if (dados == nullptr || passo < diagrama.larguraPontos) {
    return Falha("cairo: a faixa do desenho não tem pixels", erro);
  }
  const int octetos = diagrama.larguraPontos / 8;
  const char cabecalho[] = {0x1d,
                            'v',
                            '0',
                            0,
                            static_cast<char>(octetos & 0xff),
                            static_cast<char>(octetos >> 8),
                            static_cast<char>(linhas & 0xff),
                            static_cast<char>(linhas >> 8)};
  saida.append(cabecalho, sizeof cabecalho);
  for (int linha = 0; linha < linhas; ++linha) {
    const unsigned char *pixel = dados + static_cast<size_t>(linha) * passo;
    for (int octeto = 0; octeto < octetos; ++octeto) {
      unsigned char pontos = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (*pixel++ < kTinta) {
          pontos |= static_cast<unsigned char>(0x80 >> bit);
        }
      }
      saida.push_back(static_cast<char>(pontos));
    }
  }
  return true;
}

bool Raster(const Diagrama &diagrama, const Leiaute &leiaute, const Fontes &fontes,
            std::string &saida, std::string &erro) {
  const size_t faixas = leiaute.altura / kLinhasFaixa + leiaute.cortes.size() + 1;
  saida.reserve(2 + faixas * 8 + leiaute.cortes.size() * 4 +
                static_cast<size_t>(leiaute.altura) * (diagrama.larguraPontos / 8));
  saida.append("\x1b@", 2);
  // One band's surface at a time, drawn again for each band: the memory does not grow with the
  // extrato.
  Superficie faixa(
      cairo_image_surface_create(CAIRO_FORMAT_A8, diagrama.larguraPontos, kLinhasFaixa));
  const cairo_status_t status = cairo_surface_status(faixa.get());
  if (status != CAIRO_STATUS_SUCCESS) {
    return FalhaCairo(status, erro);
  }
  int de = 0;
  for (size_t parte = 0; parte <= leiaute.cortes.size(); ++parte) {
    const int ate = parte < leiaute.cortes.size() ? leiaute.cortes[parte] : leiaute.altura;
    for (int topo = de; topo < ate; topo += kLinhasFaixa) {
      const int linhas = std::min(kLinhasFaixa, ate - topo);
      if (!Faixa(faixa.get(), diagrama, leiaute, fontes, topo, linhas, saida, erro)) {
        return false;
      }
    }
    if (parte < leiaute.cortes.size()) {
      const char corte[] = {0x1d, 'V', 66, kAvancoCorte}; // partial cut, function B
      saida.append(corte, sizeof corte);
    }
    de = ate;
  }
  return true;
}

} // namespace

bool Desenha(const Diagrama &diagrama, Desenho desenho, std::string &saida, std::string &erro) {
  std::string().swap(saida);
  erro.clear();
  try {
    if (!Valida(diagrama, erro)) {
      return false;
    }
    Superficie rascunho(cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1));
    cairo_status_t status = cairo_surface_status(rascunho.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
    Contexto medidor(cairo_create(rascunho.get()));
    status = cairo_status(medidor.get());
    if (status != CAIRO_STATUS_SUCCESS) {
      return FalhaCairo(status, erro);
    }
    Fontes fontes;
    Leiaute leiaute;
    if (!Mede(medidor.get(), fontes, erro) ||
        !Organiza(diagrama, medidor.get(), fontes, leiaute, erro)) {
      return false;
    }
    bool desenhado = false;
    switch (desenho) {
    case Desenho::Pdf:
      desenhado = Pdf(diagrama, leiaute, fontes, saida, erro);
      break;
    case Desenho::Png:
      desenhado = Png(diagrama, leiaute, fontes, saida, erro);
      break;
    case Desenho::Raster:
      desenhado = Raster(diagrama, leiaute, fontes, saida, erro);
      break;
    default:
      erro = "formato de desenho desconhecido";
      break;
    }
    if (!desenhado) {
      std::string().swap(saida);
    }
    return desenhado;
  } catch (const std::bad_alloc &) {
    std::string().swap(saida);
    return Falha("sem memória", erro);
  }
}

} // namespace extrato
