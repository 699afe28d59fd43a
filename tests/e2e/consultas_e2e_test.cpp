// The three query commands of the shipped binary against satemu, through the real serial
// path: natively through SAT_DEV_DIR, and for the DLL under wine through dosdevices/com7.
// Each suite needs its own device, which tests/com_satemu.sh starts:
//   Dispositivo.*     satemu --pronto
//   Mudo.*            satemu --mudo (never answers)
//   SemDispositivo.*  no device at all
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/enlace_e2e.h"
#include "tests/e2e/exportacoes.h"
#include "tests/e2e/venda_exemplo.h"

namespace {

TEST(Dispositivo, QueryCommandsOverTheSerialPort) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.AbreSerialSAT(7), 0);

  std::string consulta = sat.ConsultarSAT(42);
  EXPECT_EQ(consulta.rfind("000042|08000|SAT em opera\xE7\xE3o|", 0), 0u) << consulta;
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), consulta) << "a short reply is copied into the error record";

  std::string status = sat.ConsultarStatusOperacional(43, "12345678");
  std::vector<std::string> campos = CamposDaResposta(status);
  ASSERT_GE(campos.size(), 6u) << status;
  EXPECT_EQ(campos[0], "000043");
  EXPECT_EQ(campos[1], "10000");
  EXPECT_EQ(campos[5], "900000001") << "the serial number stands in the sixth field";
  EXPECT_EQ(sat.Mensagem(), "") << "the status query leaves the record as is";

  std::string numero = sat.ConsultarNumeroSessao(44, "12345678", 42);
  EXPECT_EQ(numero, consulta) << "the device answers with session 42's reply";

  std::vector<std::string> quadros = QuadrosRecebidosPeloSat();
  ASSERT_EQ(quadros.size(), 3u);
  // The first request after load: sequence 0, 19 payload bytes, checksum 0x58.
  EXPECT_EQ(quadros[0], "0100000013000000303030303432"
                        "7c436f6e73756c74617253415458");
  EXPECT_EQ(quadros[1], QuadroPedidoHex(1, "000043|ConsultarStatusOperacional|12345678"));
  EXPECT_EQ(quadros[2], QuadroPedidoHex(2, "000044|ConsultarNumeroSessao|12345678|000042"));
}

TEST(Mudo, ADeviceThatNeverAnswersTimesOut) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  std::string resposta = sat.ConsultarSAT(42);
  EXPECT_EQ(resposta, "000042|9999|Timeout de comunica\xE7\xE3o");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), resposta);
  EXPECT_EQ(QuadrosRecebidosPeloSat().size(), 1u) << "the request did go out";
}

TEST(SemDispositivo, APortThatCannotBeOpened) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.ConsultarStatusOperacional(43, "12345678"), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Mensagem(), "") << "no copy for the status query";
}

} // namespace
