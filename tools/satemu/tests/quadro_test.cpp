#include "quadro.h"

#include "apoio.h"

#include <gtest/gtest.h>

namespace {

using satemu::Controle;
using satemu::LeitorQuadros;
using satemu::Quadro;
using teste::DeHex;
using teste::ParaHex;

// Hand-computed frames. "abc" with sequence 5: 05 + 03 + 61 + 62 + 63 = 0x12E, sum byte 2E.
// Empty payload, sequence 200: the sum is the sequence, C8. ConsultarSAT of session 42:
// 0x13 + the 19 payload bytes 0x545 = 0x558, sum byte 58.
TEST(Quadro, RequisicaoComoOHostMonta) {
  EXPECT_EQ(ParaHex(satemu::MontaRequisicao(5, "abc")), "01050000030000006162632e");
  EXPECT_EQ(ParaHex(satemu::MontaRequisicao(200, "")), "01c8000000000000c8");
  EXPECT_EQ(ParaHex(satemu::MontaRequisicao(0, "000042|ConsultarSAT")),
            "0100000013000000" + ParaHex("000042|ConsultarSAT") + "58");
}

TEST(Quadro, RespostaComCabecalhoDeTrezeBytes) {
  EXPECT_EQ(ParaHex(satemu::MontaResposta(5, "abc")), "010500000000000000030000006162632e");
  // Sequence 0x80 and a 256-byte payload of 0x01: length bytes 00 01 00 00, sum
  // 0x80 + 0x01 + 256 * 1 = 0x181, sum byte 81.
  const std::string quadro = satemu::MontaResposta(0x80, std::string(256, '\x01'));
  EXPECT_EQ(ParaHex(quadro.substr(0, 13)), "01800000000000000000010000");
  EXPECT_EQ(static_cast<unsigned char>(quadro.back()), 0x81);
}

TEST(Quadro, QuadrosDeControle) {
  const struct {
    Controle tipo;
    const char *hex;
  } casos[] = {{Controle::Ack, "06"},
               {Controle::Nak, "150700000000"},
               {Controle::Dc1, "110700000000"},
               {Controle::Syn, "1607"}};
  for (const auto &caso : casos)
    EXPECT_EQ(ParaHex(satemu::MontaControle(caso.tipo, 7)), caso.hex);
}

// Streams a faulty line may carry, and the frames the reader must cut out of them.
TEST(LeitorQuadros, SeparaQuadrosDoRuido) {
  const std::string a = satemu::MontaRequisicao(1, "000001|ConsultarSAT");
  const std::string b = satemu::MontaRequisicao(2, "x");
  std::string somaErrada = b;
  somaErrada.back() ^= 0x40;
  const std::string longoDemais = DeHex("0109000001002000"); // announces 0x200001 bytes
  const struct {
    const char *nome;
    std::string fluxo;
    std::vector<std::string> quadros;
    std::vector<bool> somas;
    std::size_t descartados;
  } casos[] = {
      {"dois seguidos", a + b, {a, b}, {true, true}, 0},
      {"ruido antes", std::string("\xff\x00zz", 4) + a, {a}, {true}, 4},
      {"01 solto seguido de bytes nao nulos", "\x01\x05\x07" + a, {a}, {true}, 3},
      {"tamanho acima do maximo", longoDemais + a, {a}, {true}, longoDemais.size()},
      {"soma errada tambem e quadro", somaErrada + a, {somaErrada, a}, {false, true}, 0},
      {"so ruido", std::string("\x02\x03\x04", 3), {}, {}, 3},
  };
  for (const auto &caso : casos) {
    SCOPED_TRACE(caso.nome);
    // Fed whole and fed one byte at a time, the result is the same.
    for (const bool aos_poucos : {false, true}) {
      LeitorQuadros leitor;
      std::vector<std::string> achados;
      std::vector<bool> somas;
      Quadro q;
      const std::size_t passo = aos_poucos ? 1 : caso.fluxo.size();
      for (std::size_t i = 0; i < caso.fluxo.size(); i += passo) {
        leitor.Acrescenta(caso.fluxo.data() + i, std::min(passo, caso.fluxo.size() - i));
        while (leitor.Proximo(q)) {
          achados.push_back(q.bruto);
          somas.push_back(q.somaConfere);
        }
      }
      EXPECT_EQ(achados, caso.quadros);
      EXPECT_EQ(somas, caso.somas);
      EXPECT_EQ(leitor.Descartados(), caso.descartados);
      EXPECT_FALSE(leitor.TemParcial());
    }
  }
}

TEST(LeitorQuadros, CampoDoQuadroEntregue) {
  LeitorQuadros leitor;
  const std::string bruto = satemu::MontaRequisicao(0xFE, std::string("a\0b|", 4));
  leitor.Acrescenta(bruto.data(), bruto.size());
  Quadro q;
  ASSERT_TRUE(leitor.Proximo(q));
  EXPECT_EQ(q.sequencia, 0xFE);
  EXPECT_EQ(q.carga, std::string("a\0b|", 4));
  EXPECT_TRUE(q.somaConfere);
}

// A header whose payload never comes swallows the frame behind it until it is given up; then
// the frame inside is found.
TEST(LeitorQuadros, QuadroAbandonadoLiberaOSeguinte) {
  const std::string preso = DeHex("0107000040000000");
  const std::string bom = satemu::MontaRequisicao(3, "000003|ConsultarSAT");
  const std::string fluxo = preso + bom;
  LeitorQuadros leitor;
  leitor.Acrescenta(fluxo.data(), fluxo.size());
  Quadro q;
  EXPECT_FALSE(leitor.Proximo(q));
  EXPECT_TRUE(leitor.TemParcial());
  leitor.AbandonaParcial();
  ASSERT_TRUE(leitor.Proximo(q));
  EXPECT_EQ(q.bruto, bom);
  EXPECT_EQ(leitor.Descartados(), preso.size());
}

} // namespace
