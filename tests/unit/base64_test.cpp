// The base64 decoder, read back through Base64ToAscii (which also ends a CF-e at its closing
// tag).
#include <cstring>
#include <string>

#include "support/armazenamento.h"
#include "support/base64.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

class Base64Test : public SubstitutoTest {};

TEST_F(Base64Test, Base64DecodesTheStandardAlphabetAndSkipsTheRest) {
  std::string linhas;
  const std::string documento(300, 'x');
  const std::string codificado = Base64(documento);
  for (size_t i = 0; i < codificado.size(); i += 76) {
    linhas += codificado.substr(i, 76) + "\r\n";
  }
  const struct {
    std::string texto, bytes;
  } casos[] = {
      {"TWFu", "Man"},
      {"TWFu\n", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TQ", "M"},
      {"T", ""},
      {"", ""},
      {"TQ==TQ==", "\x4D\x04\xD0"},
      {"T-W_F u\t\xC3\xA9", "Man"},
      {linhas, documento},
      {Base64("<CFe>a</CFe>resto"), "<CFe>a</CFe>"},
      {Base64("<CFeCanc>a</CFeCanc>"), "<CFeCanc>a</CFeCanc>"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.texto);
    LimpaDecodificado();
    DecodificaBase64(c.texto.c_str());
    EXPECT_EQ(std::string(Base64ToAscii()), c.bytes);
    EXPECT_EQ(std::string(Base64ToAscii()), c.bytes) << "twice, the same";
  }
}

// A document longer than the decode buffer's cleared part is cut there, ending in a zero.
TEST_F(Base64Test, Base64NeverWritesPastTheDecodeBuffer) {
  const std::string texto(TAMANHO_DECODIFICADO_LIMPO * 4 / 3 + 400, '/');
  LimpaDecodificado();
  DecodificaBase64(texto.c_str());
  EXPECT_EQ(strnlen(reinterpret_cast<char *>(BufferDecodificado), TAMANHO_BUFFER_DECODIFICADO),
            TAMANHO_DECODIFICADO_LIMPO - 1);
  EXPECT_EQ(std::string(Base64ToAscii()).size(), TAMANHO_DECODIFICADO_LIMPO - 1);
  LimpaDecodificado();
  EXPECT_EQ(BufferDecodificado[0], 0);
  EXPECT_EQ(BufferDecodificado[TAMANHO_DECODIFICADO_LIMPO - 2], 0);
}

} // namespace
