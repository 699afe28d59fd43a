// The port selection exports end to end, in one walk through a device's life. Natively a fake
// sysfs tree names the SATs and satemu answers on COM7. Under wine the DLL walks wine's own
// list of serial ports, which holds no SAT: the exports find none and leave the port chosen
// before as it was (the Windows walk runs over substitute device lists in the unit tests).
#include "tests/e2e/enlace_e2e.h"

namespace {

const char CODIGO[] = "12345678";

#if !defined(_WIN32)

TEST(Selecao, TheExportsFindProbeAndChooseTheSat) {
  SysfsFalso sysfs({{"COM7", "900000001"}});
  SatE2E sat;
  ASSERT_TRUE(sat.SelecaoPronta());

  // One SAT: found, probed with the caller's session number, made the port.
  std::string porta;
  EXPECT_EQ(SaidaPadraoDe([&] { porta = sat.GetPortaSAT("S/N 1", 42, CODIGO); }),
            "Port: COM7   Serial number: 900000001\n");
  EXPECT_EQ(porta, "COM7");
  EXPECT_EQ(QuadrosRecebidosPeloSat(), std::vector<std::string>{QuadroPedidoHex(
                                           0, "000042|ConsultarStatusOperacional|12345678")});
  // The next command opens it without searching the bus again.
  std::string consulta;
  EXPECT_EQ(SaidaPadraoDe([&] { consulta = sat.ConsultarSAT(43); }), "");
  EXPECT_EQ(consulta.rfind("000043|08000|", 0), 0u) << consulta;

  EXPECT_EQ(sat.SetPortaSAT("S/N 1", 44, CODIGO), "COM7");
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000001:COM7;");
  EXPECT_EQ(sat.GetMapaPortasSAT("errado"), "") << "a wrong code yields no serial number";
  EXPECT_EQ(QuadrosRecebidosPeloSat().size(), 5u);

  // A second SAT whose port cannot be opened: the map keeps COM7's entry; COM8, probed last,
  // is the port now, so the next command cannot open it.
  sysfs.Acrescenta({"COM8", "900000002"});
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000001:COM7;");
  EXPECT_EQ(sat.Codigo(), 1);
  EXPECT_EQ(sat.ConsultarSAT(45), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.GetPortaSAT("S/N 1", 46, CODIGO), "COM7") << "the first SAT only";

  // No SAT on the bus, then no list of ports at all; then the SAT again: nothing stayed locked.
  {
    SysfsFalso vazio;
    EXPECT_EQ(sat.GetPortaSAT("S/N 1", 47, CODIGO), "<null>");
    EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "");
    vazio.TiraListaDePortas();
    EXPECT_EQ(sat.SetPortaSAT("S/N 1", 48, CODIGO), "<null>");
    EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "<null>");
  }
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000001:COM7;");
}

#else

TEST(Selecao, WithoutASatInWinesListTheExportsFindNone) {
  SatE2E sat;
  ASSERT_TRUE(sat.SelecaoPronta());
  sat.Loga(NomeUnico("selecao"));
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.GetPortaSAT("S/N 1", 42, CODIGO), "<null>");
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "");
  const std::string pid = std::to_string(GetCurrentProcessId());
  EXPECT_EQ(sat.Registros(),
            (std::vector<std::string>{"Entered GetPortaSAT(S/N 1) @ " + pid + "\r\n",
                                      "Exiting GetPortaSAT(S/N 1) @ " + pid + "\r\n",
                                      "Entered GetMapaPortasSAT @ " + pid + "\r\n",
                                      "Exiting GetPortaSAT @ " + pid + "\r\n"}));
  // COM7, chosen before, is still the port.
  const std::string consulta = sat.ConsultarSAT(43);
  EXPECT_EQ(consulta.rfind("000043|08000|", 0), 0u) << consulta;
}

#endif

} // namespace
