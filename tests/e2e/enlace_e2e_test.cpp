// Faulty devices and refused calls, end to end: the shipped library, the real serial path and
// satemu with the options each suite names in cenarios.cmake.
#include "tests/e2e/enlace_e2e.h"

namespace {

const std::string PRONTO = "000042|08000|SAT em opera\xE7\xE3o|";
const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";

bool Comeca(const std::string &texto, const std::string &inicio) {
  return texto.compare(0, inicio.size(), inicio) == 0;
}

// --soma-errada: a reply whose checksum does not match is delivered, and the log says so.
TEST(SomaErrada, TheReplyIsDeliveredAndTheMismatchLogged) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.Loga(NomeUnico("soma"));
  sat.AbreSerialSAT(7);
  const std::string resposta = sat.ConsultarSAT(42);
  EXPECT_TRUE(Comeca(resposta, PRONTO)) << resposta;
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_NE(sat.Log().find("Checksum do pacote recebido n\xE3o confere"), std::string::npos);
}

// --em-partes: a reply that comes in nine pieces is put together again.
TEST(EmPartes, AReplyInPiecesIsWhole) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  const std::string status = sat.ConsultarStatusOperacional(42, "12345678");
  EXPECT_TRUE(Comeca(status, "000042|10000|")) << status;
  EXPECT_NE(status.find("|900000001|"), std::string::npos) << status;
}

// --controle ack: a control frame never completes a command.
TEST(SoControle, AControlFrameAloneEndsAsATimeOut) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.ConsultarSAT(42), TIMEOUT);
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), TIMEOUT);
}

// --anuncia-mais 5: at the limit, a reply that has at least its announced payload length in
// counts as received although its last bytes never come.
TEST(AnunciaMais, AReplyShortOfItsAnnouncedLengthCountsAtTheLimit) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  const std::string resposta = sat.ConsultarSAT(42);
  EXPECT_TRUE(Comeca(resposta, PRONTO)) << resposta;
  EXPECT_EQ(sat.Codigo(), 0);
}

// --rajada: stray bytes after a reply are drained before the next request is sent.
TEST(Rajada, StrayBytesAfterAReplyDoNotSpoilTheNext) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_TRUE(Comeca(sat.ConsultarSAT(42), PRONTO));
  const std::string segunda = sat.ConsultarSAT(43);
  EXPECT_TRUE(Comeca(segunda, "000043|08000|")) << segunda;
  const std::vector<std::string> quadros = QuadrosRecebidosPeloSat();
  ASSERT_EQ(quadros.size(), 2u);
  EXPECT_EQ(quadros[1], QuadroPedidoHex(1, "000043|ConsultarSAT"));
}

// Calls the library refuses send nothing and use no sequence number.
TEST(Recusas, RefusedCallsSendNothing) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.AbreSerialSAT(7), 0);
  EXPECT_EQ(sat.AbreSerialSAT(1234567), -1); // COM1234567 does not fit: COM7 stays
  for (const std::string &recusa :
       {sat.ConsultarStatusOperacional(42, nullptr), sat.ConsultarNumeroSessao(42, nullptr, 41)}) {
    EXPECT_EQ(recusa, "000042|9999|Argumento nulo: codigoDeAtivacao");
    EXPECT_EQ(sat.Codigo(), 9999);
    EXPECT_EQ(sat.Mensagem(), "Argumento nulo: codigoDeAtivacao");
  }
  EXPECT_TRUE(QuadrosRecebidosPeloSat().empty());
  EXPECT_TRUE(Comeca(sat.ConsultarNumeroSessao(43, "12345678", 42), "000043|11003|"));
  EXPECT_EQ(QuadrosRecebidosPeloSat(), std::vector<std::string>{QuadroPedidoHex(
                                           0, "000043|ConsultarNumeroSessao|12345678|000042")});
}

// No port chosen and no SAT on the machine's bus: the platform's own device walk finds none.
TEST(SemPortaEscolhida, WithoutASatNoPortOpens) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), "Erro ao tentar abrir a porta");
}

} // namespace
