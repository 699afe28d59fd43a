// Linux discovery end to end: no port chosen, the library finds the SAT in a sysfs tree (made
// here, as the kernel lays it out) whose tty is named COM7, and talks to satemu through it.
#include "tests/e2e/enlace_e2e.h"

namespace {

TEST(Descoberta, WithNoPortChosenTheSatIsFoundOnTheUsbBus) {
  SysfsFalso sysfs({{"COM7", "900000001"}});
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  std::string resposta;
  const std::string saida = SaidaPadraoDe([&] { resposta = sat.ConsultarSAT(42); });
  EXPECT_EQ(resposta.rfind("000042|08000|SAT em opera\xE7\xE3o|", 0), 0u) << resposta;
  EXPECT_EQ(saida, "Port: COM7   Serial number: 900000001\n");
  EXPECT_EQ(QuadrosRecebidosPeloSat(),
            std::vector<std::string>{QuadroPedidoHex(0, "000042|ConsultarSAT")});
}

TEST(DescobertaSemSat, WithNoSatOnTheBusNoPortOpens) {
  SysfsFalso sysfs;
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.Loga(NomeUnico("semsat"));
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);
  // No "abrindo porta": the engine's reply and the export's, nothing else.
  EXPECT_EQ(sat.Registros(), (std::vector<std::string>{"Erro ao tentar abrir a porta",
                                                       "Erro ao tentar abrir a porta"}));
}

} // namespace
