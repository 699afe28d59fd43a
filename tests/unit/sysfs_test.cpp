// Linux discovery over a fake sysfs tree laid out as the kernel lays it out: class/tty links
// into devices/, the tty two levels below the USB interface, the USB device above that.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/descoberta.h"
#include "platform/posix/interno.h"
#include "support/armazenamento.h"
#include "tests/unit/substituto.h"

namespace {

namespace fs = std::filesystem;

const std::string HUB = "devices/pci0000:00/0000:00:14.0/usb1";

class SysfsTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    char modelo[] = "/tmp/sat-sysfs-XXXXXX";
    raiz_ = mkdtemp(modelo);
    setenv("SAT_SYSFS_ROOT", raiz_.c_str(), 1);
    fs::create_directories(raiz_ / "class/tty");
    fs::create_directories(raiz_ / "bus/usb/devices");
  }
  void TearDown() override {
    unsetenv("SAT_SYSFS_ROOT");
    fs::remove_all(raiz_);
    SubstitutoTest::TearDown();
  }
  void Escreve(const fs::path &arquivo, const std::string &texto) {
    std::ofstream(arquivo) << texto << "\n";
  }
  // A USB device directory (e.g. 1-1) with its attributes; an empty serial writes none.
  void Usb(const std::string &dir, const std::string &vid, const std::string &pid,
           const std::string &serie, const std::string &bcd = "0100") {
    const fs::path d = raiz_ / HUB / dir;
    fs::create_directories(d);
    Escreve(d / "idVendor", vid);
    Escreve(d / "idProduct", pid);
    Escreve(d / "bcdDevice", bcd);
    if (!serie.empty()) {
      Escreve(d / "serial", serie);
    }
  }
  // A tty below `dispositivo` (relative to the root), linked from class/tty.
  void Tty(const std::string &nome, const std::string &dispositivo) {
    const fs::path d = raiz_ / dispositivo / "tty" / nome;
    fs::create_directories(d);
    fs::create_symlink("../../../" + fs::path(dispositivo).filename().string(), d / "device");
    fs::create_symlink("../../" + dispositivo + "/tty/" + nome, raiz_ / "class/tty" / nome);
  }
  fs::path raiz_;
};

std::vector<std::string> gDispositivos;

int Anota(const DispositivoPorta *d, void *) {
  gDispositivos.push_back(std::string(d->idInstancia) + " " + d->nomePorta + " " +
                          (d->idsHardwareLidos ? d->idHardware : "-") + " " +
                          std::to_string(d->chaveAberta) + std::to_string(d->tipoIdsHardware));
  return 1;
}

TEST_F(SysfsTest, EveryTtyWithADeviceIsPresentedAsWindowsWould) {
  Usb("1-1", "0525", "a4a7", "900000001", "2498");
  Tty("ttyACM10", HUB + "/1-1/1-1:1.0");
  Usb("1-1.2", "0525", "a4a7", "");
  Tty("ttyACM2", HUB + "/1-1.2/1-1.2:1.0");
  Usb("2-1", "067b", "2303", "X1");
  Tty("ttyUSB0", HUB + "/2-1/2-1:1.0");
  fs::create_directories(raiz_ / "devices/platform/serial8250");
  Tty("ttyS0", "devices/platform/serial8250");
  fs::create_directories(raiz_ / "devices/virtual/tty/tty0");
  fs::create_symlink("../../devices/virtual/tty/tty0", raiz_ / "class/tty/tty0");
  fs::create_symlink("../../devices/gone/tty/ttyACM3", raiz_ / "class/tty/ttyACM3");

  gDispositivos.clear();
  ASSERT_EQ(PosixListaPortas(Anota, nullptr), 0);
  const std::vector<std::string> esperado = {
      "USB\\VID_0525&PID_A4A7\\1-1.2 ttyACM2 USB\\VID_0525&PID_A4A7&REV_0100 17",
      "USB\\VID_0525&PID_A4A7\\900000001 ttyACM10 USB\\VID_0525&PID_A4A7&REV_2498 17",
      "TTY\\ttyS0 ttyS0 - 17",
      "USB\\VID_067B&PID_2303\\X1 ttyUSB0 USB\\VID_067B&PID_2303&REV_0100 17",
  };
  EXPECT_EQ(gDispositivos, esperado);
  EXPECT_EQ(PosixVerificaUSB(), 1);

  // The shared search over this list, as AbrePorta runs it.
  OperacoesPlataforma tabela = *sub().Instala();
  tabela.ListaPortas = PosixListaPortas;
  tabela.VerificaUSB = PosixVerificaUSB;
  UsaPlataforma(&tabela);
  char nome[TAMANHO_NOME_PORTA];
  EXPECT_TRUE(ProcuraPortaSAT(nome, sizeof nome));
  EXPECT_EQ(std::string(nome), "ttyACM2");
  EXPECT_EQ(sub().saidaPadrao, "Port: ttyACM2   Serial number: 1-1.2\n");
}

TEST_F(SysfsTest, AMissingTreeIsUnavailable) {
  setenv("SAT_SYSFS_ROOT", (raiz_ / "nada").c_str(), 1);
  EXPECT_EQ(PosixListaPortas(Anota, nullptr), -1);
  EXPECT_EQ(PosixVerificaUSB(), 0);
}

// The tty class without the USB device list: the ports can be walked, the USB check fails.
TEST_F(SysfsTest, TheUsbCheckLooksForTheUsbDeviceListItself) {
  fs::remove(raiz_ / "bus/usb/devices");
  EXPECT_EQ(PosixVerificaUSB(), 0);
  EXPECT_EQ(PosixListaPortas(Anota, nullptr), 0);
}

} // namespace
