// Linux discovery end to end: no port chosen, the library finds the SAT in a sysfs tree (made
// here, as the kernel lays it out) whose tty is named COM7, and talks to satemu through it.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "tests/e2e/enlace_e2e.h"

namespace {

namespace fs = std::filesystem;

class SysfsFalso {
public:
  explicit SysfsFalso(bool comSat) {
    char modelo[] = "/tmp/sate2e-sys-XXXXXX";
    raiz_ = mkdtemp(modelo);
    fs::create_directories(raiz_ / "class/tty");
    if (comSat) {
      const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-1";
      fs::create_directories(raiz_ / usb / "1-1:1.0/tty/COM7");
      for (auto [nome, valor] : {std::pair<const char *, const char *>{"idVendor", "0525"},
                                 {"idProduct", "a4a7"},
                                 {"serial", "900000001"},
                                 {"bcdDevice", "0100"}}) {
        std::ofstream(raiz_ / usb / nome) << valor << "\n";
      }
      fs::create_symlink("../../../1-1:1.0", raiz_ / usb / "1-1:1.0/tty/COM7/device");
      fs::create_symlink("../../" + usb + "/1-1:1.0/tty/COM7", raiz_ / "class/tty/COM7");
    }
    setenv("SAT_SYSFS_ROOT", raiz_.c_str(), 1);
  }
  ~SysfsFalso() { fs::remove_all(raiz_); }

private:
  fs::path raiz_;
};

// What the library writes to standard output while `f` runs.
template <typename F> std::string SaidaPadraoDe(F f) {
  char modelo[] = "/tmp/sate2e-out-XXXXXX";
  const int arquivo = mkstemp(modelo);
  std::fflush(stdout);
  const int copia = dup(1);
  dup2(arquivo, 1);
  f();
  std::fflush(stdout);
  dup2(copia, 1);
  close(copia);
  std::string texto(4096, '\0');
  texto.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(arquivo, &texto[0], 4096, 0))));
  close(arquivo);
  unlink(modelo);
  return texto;
}

TEST(Descoberta, WithNoPortChosenTheSatIsFoundOnTheUsbBus) {
  SysfsFalso sysfs(true);
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
  SysfsFalso sysfs(false);
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.Loga(NomeUnico("semsat"));
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Log().find("abrindo porta"), std::string::npos);
}

} // namespace
