// Linux discovery end to end: no port chosen, the library finds the SAT in a sysfs tree (made
// here, as the kernel lays it out) whose tty is named COM7, and talks to satemu through it.
// Also the Linux device folder (SAT_DEV_DIR) of any length.
#include <stdlib.h>

#include <filesystem>

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

// The device folder is not bound by the 64 bytes of a Windows device path.
TEST(DiretorioLongo, ADeviceFolderOfAnyLengthTheSystemAllows) {
  const char *dispositivos = std::getenv("SAT_DEV_DIR");
  ASSERT_NE(dispositivos, nullptr);
  std::filesystem::path longo = std::filesystem::path(dispositivos) / std::string(100, 'd');
  std::filesystem::create_directories(longo);
  std::filesystem::create_symlink(std::filesystem::path(dispositivos) / "COM7", longo / "COM7");
  setenv("SAT_DEV_DIR", longo.c_str(), 1);
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  const std::string resposta = sat.ConsultarSAT(42);
  setenv("SAT_DEV_DIR", dispositivos, 1);
  EXPECT_EQ(resposta.rfind("000042|08000|", 0), 0u) << resposta;
}

} // namespace
