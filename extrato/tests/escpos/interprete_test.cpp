// The interpreter on streams written byte by byte from the printers' command reference, its
// picture read back by zbarimg.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "interprete.h"

namespace {

using namespace std::string_literals;

// A 400-odd byte text of the shape of the extrato's QR: key, date, value, signature.
std::string TextoQr() {
  const std::string base64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string texto = "35240112345678000190590000123456789012345678|20240115103000|25.90||";
  for (int i = 0; i < 344; ++i) {
    texto += base64[(i * 37 + 11) % 64];
  }
  return texto;
}

// The lines zbarimg reads in the picture; false when it cannot run or finds nothing.
bool Decodifica(const std::string &png, std::set<std::string> &lidos, std::string &erro) {
  FILE *zbar = popen(("zbarimg --raw -q '" + png + "' 2>/dev/null").c_str(), "r");
  if (zbar == nullptr) {
    erro = "popen falhou";
    return false;
  }
  std::string saida;
  char bloco[4096];
  for (size_t n; (n = std::fread(bloco, 1, sizeof bloco, zbar)) > 0;) {
    saida.append(bloco, n);
  }
  const int status = pclose(zbar);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    erro = WIFEXITED(status) && WEXITSTATUS(status) == 127
               ? "zbarimg não encontrado (pacote zbar-tools)"
               : "zbarimg saiu com " + std::to_string(status);
    return false;
  }
  for (size_t inicio = 0, fim; (fim = saida.find('\n', inicio)) != std::string::npos;
       inicio = fim + 1) {
    lidos.insert(saida.substr(inicio, fim - inicio));
  }
  return true;
}

// GS ( k of the QR code (cn 49): function `fn` and its parameters.
std::string Qr(char fn, const std::string &parametros) {
  const size_t n = parametros.size() + 2;
  return "\x1d(k"s + static_cast<char>(n % 256) + static_cast<char>(n / 256) + '1' + fn +
         parametros;
}

TEST(Interprete, ExtratoDeExemplo) {
  const std::string qr = TextoQr();
  ASSERT_GT(qr.size(), 400u);
  const std::string ESC = "\x1b", GS = "\x1d";
  std::string bytes = ESC + "@" + ESC + "t\x02";
  bytes += "P\xc6o de queijo\n"; // CP850: C6 is ã
  bytes += ESC + "E\x01TOTAL" + ESC + "E\x00\n"s;
  bytes += ESC + "M\x01" + "fonte B\n" + ESC + "M\x00"s;
  // Centred, 80 dots high, 2 dots a module, code set C: 35 24 01 12 34 56 78 00 01 90 59.
  bytes += ESC + "a\x01" + GS + "h\x50" + GS + "w\x02";
  bytes += GS + "k\x49\x0d{C\x23\x18\x01\x0c\x22\x38\x4e\x00\x01\x5a\x3b"s;
  // QR: module of 4 dots, level M (49), store, print.
  bytes += Qr('C', "\x04") + Qr('E', "1") + Qr('P', "0" + qr) + Qr('Q', "0");
  // A 16x16 raster square (2 bytes by 16 rows), then a full cut.
  bytes += GS + "v0\x00\x02\x00\x10\x00"s + std::string(32, '\xff') + GS + "V\x00"s;

  escpos::Impressao impressao;
  std::string erro;
  ASSERT_TRUE(escpos::Interpreta(bytes, 576, impressao, erro)) << erro;

  ASSERT_EQ(impressao.linhas.size(), 3u);
  EXPECT_EQ(impressao.linhas[0].texto, "Pão de queijo");
  EXPECT_FALSE(impressao.linhas[0].negrito);
  EXPECT_EQ(impressao.linhas[1].texto, "TOTAL");
  EXPECT_TRUE(impressao.linhas[1].negrito);
  EXPECT_EQ(impressao.linhas[2].texto, "fonte B");
  EXPECT_TRUE(impressao.linhas[2].condensado);
  EXPECT_FALSE(impressao.linhas[2].negrito);
  EXPECT_EQ(impressao.cortes, 1);

  ASSERT_EQ(impressao.codigos.size(), 2u);
  const escpos::Codigo &barras = impressao.codigos[0];
  EXPECT_EQ(barras.tipo, "CODE128");
  EXPECT_EQ(barras.dados, "3524011234567800019059");
  EXPECT_EQ(barras.x, (576 - barras.largura) / 2);
  EXPECT_EQ(barras.altura, 80);
  EXPECT_EQ(impressao.codigos[1].tipo, "QR");
  EXPECT_EQ(impressao.codigos[1].dados, qr);
  // 411 bytes take version 15 at level M (77 modules, 412 bytes at most), at 4 dots a module.
  EXPECT_EQ(qr.size(), 411u);
  EXPECT_EQ(impressao.codigos[1].largura, 77 * 4);

  // The square, centred, is the last thing on the paper.
  ASSERT_EQ(impressao.largura, 576);
  ASSERT_EQ(impressao.pontos.size(), 576u * impressao.altura);
  int pretos = 0;
  for (int y = impressao.altura - 16; y < impressao.altura; ++y) {
    for (int x = 279; x <= 296; ++x) {
      pretos += impressao.pontos[static_cast<size_t>(y) * 576 + x];
    }
    EXPECT_EQ(impressao.pontos[static_cast<size_t>(y) * 576 + 279], 0);
    EXPECT_EQ(impressao.pontos[static_cast<size_t>(y) * 576 + 296], 0);
  }
  EXPECT_EQ(pretos, 16 * 16);

  char modelo[] = "/tmp/escpos_XXXXXX";
  ASSERT_NE(mkdtemp(modelo), nullptr);
  const std::string png = std::string(modelo) + "/extrato.png";
  ASSERT_TRUE(escpos::GravaPng(impressao, png, erro)) << erro;
  std::set<std::string> lidos;
  const bool leu = Decodifica(png, lidos, erro);
  std::remove(png.c_str());
  rmdir(modelo);
  ASSERT_TRUE(leu) << erro;
  EXPECT_EQ(lidos, (std::set<std::string>{qr, "3524011234567800019059"}));
}

TEST(Interprete, RecusaOQueAImpressoraNaoImprimiria) {
  const struct {
    const char *caso;
    std::string bytes;
  } casos[] = {
      {"GS ( k truncado", "\x1d(k\x03\x00"s + "1"},
      {"ESC desconhecido", "\x1bz"s},
      {"GS v 0 com dados a menos", "\x1dv0\x00\x02\x00\x02\x00\xff\xff\xff"s},
      {"Code 128 mais largo que o papel", "\x1dw\x06\x1dk\x49\x20{B"s + std::string(30, 'A')},
      {"texto mais largo que o papel", std::string(49, 'x') + "\n"},
      {"texto sem LF no fim", "abc"s},
      {"ESC a no meio da linha", "ab\x1b"s + "a\x01" + "cd\n"},
      {"QR sem dados guardados", Qr('Q', "0")},
      {"GS ! fora da faixa", "\x1d!\x08"s},
      {"Code 128 sem {A/{B/{C", "\x1dk\x49\x03"s + "123"},
  };
  for (const auto &c : casos) {
    escpos::Impressao impressao;
    std::string erro;
    EXPECT_FALSE(escpos::Interpreta("\x1b@"s + c.bytes, 576, impressao, erro)) << c.caso;
    EXPECT_FALSE(erro.empty()) << c.caso;
  }
  escpos::Impressao impressao;
  std::string erro;
  ASSERT_FALSE(escpos::Interpreta("\x1b@\x1bz"s, 576, impressao, erro));
  EXPECT_EQ(erro, "comando desconhecido 0x1B 0x7A no byte 2");
}

} // namespace
