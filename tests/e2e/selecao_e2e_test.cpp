// The port selection exports end to end, in one walk through a device's life. Natively a fake
// sysfs tree names the SATs; satemu on COM7 (tests/com_satemu.sh) and a second satemu started
// here on COM8 answer the probes. Under wine the DLL walks wine's own list of serial ports,
// which holds no SAT: the exports find none and leave the port chosen before as it was (the
// Windows walk's logic runs over substitute device lists in the unit tests).
#include <chrono>
#include <future>
#include <thread>

#include "tests/e2e/enlace_e2e.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

const char CODIGO[] = "12345678";

long Processo() {
#if defined(_WIN32)
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

std::string Linha(const std::string &texto) {
  return texto + " @ " + std::to_string(Processo()) + "\r\n";
}

// Runs `f` on a thread of its own: a lock left taken would hold it there for ever (the lock
// lets its own holder in again, so only another thread can tell).
template <typename F> void EmOutraThread(F f) {
  auto pronto = std::make_shared<std::promise<void>>();
  std::future<void> fim = pronto->get_future();
  std::thread([f, pronto] {
    f();
    pronto->set_value();
  }).detach();
  if (fim.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "another thread could not take the lock";
    std::fflush(stdout);
    std::_Exit(1);
  }
}

#if !defined(_WIN32)

// A second satemu on $SAT_DEV_DIR/<porta>, serving while the object lives.
class OutroSatemu {
public:
  OutroSatemu(const std::string &porta, const std::string &numeroSerie) {
    const char *satemu = std::getenv("SAT_E2E_SATEMU");
    const char *dispositivos = std::getenv("SAT_DEV_DIR");
    int canal[2];
    if (satemu == nullptr || dispositivos == nullptr || pipe(canal) != 0) {
      ADD_FAILURE() << "SAT_E2E_SATEMU and SAT_DEV_DIR: run through tests/com_satemu.sh";
      return;
    }
    registro_ = std::string(dispositivos) + porta + ".hex";
    const std::string link = std::string(dispositivos) + porta;
    std::vector<std::string> argumentos = {satemu,    "--link",  link,        "--registro",
                                           registro_, "--serie", numeroSerie, "--pronto"};
    std::vector<char *> argv;
    for (std::string &a : argumentos) {
      argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, canal[1], 1);
    posix_spawn_file_actions_addclose(&acoes, canal[0]);
    if (posix_spawn(&pid_, satemu, &acoes, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&acoes);
    close(canal[1]);
    // It is serving once its first line (the slave side's path) is out.
    std::string linha;
    struct pollfd p = {canal[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && poll(&p, 1, 20000) == 1 && read(canal[0], &c, 1) == 1 && c != '\n') {
      linha += c;
    }
    saida_ = canal[0];
    serve_ = !linha.empty();
  }
  ~OutroSatemu() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (saida_ >= 0) {
      close(saida_);
    }
  }
  bool Serve() const { return serve_; }
  size_t QuadrosRecebidos() const {
    std::ifstream arquivo(registro_);
    size_t n = 0;
    for (std::string linha; std::getline(arquivo, linha);) {
      n += linha.empty() ? 0 : 1;
    }
    return n;
  }

private:
  pid_t pid_ = -1;
  int saida_ = -1;
  bool serve_ = false;
  std::string registro_;
};

TEST(Selecao, TheExportsFindProbeAndChooseTheSat) {
  SysfsFalso sysfs({{"COM7", "900000001"}});
  SatE2E sat;
  ASSERT_TRUE(sat.SelecaoPronta());
  sat.Loga(NomeUnico("selecao"));

  // One SAT: found, probed with the caller's session number, chosen.
  std::string porta;
  EXPECT_EQ(SaidaPadraoDe([&] { porta = sat.GetPortaSAT("S/N 1", 42, CODIGO); }),
            "Port: COM7   Serial number: 900000001\n");
  EXPECT_EQ(porta, "COM7");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(QuadrosRecebidosPeloSat(), std::vector<std::string>{QuadroPedidoHex(
                                           0, "000042|ConsultarStatusOperacional|12345678")});
  std::vector<std::string> registros = sat.Registros();
  ASSERT_EQ(registros.size(), 11u);
  const std::string status = registros[8];
  EXPECT_EQ(status.rfind("000042|10000|", 0), 0u) << status;
  EXPECT_EQ(registros,
            (std::vector<std::string>{
                Linha("Entered GetPortaSAT(S/N 1)"), "Port found: COM7\r\n", "abrindo porta: ",
                std::getenv("SAT_DEV_DIR") + std::string("COM7"), "\r\n", "Openned port COM7\r\n",
                "000042|ConsultarStatusOperacional|12345678", "GetCommModemStatus() Failed!\r\n",
                status, status, Linha("Exiting GetPortaSAT(S/N 1)")}));

  // The port is chosen: the next command opens it without searching the bus again.
  std::string consulta;
  EXPECT_EQ(SaidaPadraoDe([&] { consulta = sat.ConsultarSAT(43); }), "");
  EXPECT_EQ(consulta.rfind("000043|08000|", 0), 0u) << consulta;

  EXPECT_EQ(sat.SetPortaSAT("S/N 1", 44, CODIGO), "COM7");
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000001:COM7;");
  EXPECT_EQ(sat.GetMapaPortasSAT("errado"), "") << "a wrong code yields no serial number";

  // A second SAT whose port cannot be opened: the map keeps COM7's entry; COM8, probed last,
  // is the port chosen, so the next command cannot open it.
  sysfs.Acrescenta({"COM8", "900000002"});
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000001:COM7;");
  EXPECT_EQ(sat.Codigo(), 1);
  EXPECT_EQ(sat.ConsultarSAT(45), "Erro ao tentar abrir a porta");
  {
    // Now a device answers there too: the map holds the later SAT's entry, and GetPortaSAT
    // probes the first SAT only.
    OutroSatemu outro("COM8", "900000002");
    ASSERT_TRUE(outro.Serve());
    EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "900000002:COM8;");
    EXPECT_EQ(outro.QuadrosRecebidos(), 1u);
    EXPECT_EQ(sat.GetPortaSAT("S/N 1", 46, CODIGO), "COM7");
    EXPECT_EQ(outro.QuadrosRecebidos(), 1u);
  }

  // No SAT on the bus, then no list of ports at all: no candidate, then no exit line.
  const size_t antes = sat.Registros().size();
  {
    SysfsFalso vazio;
    EXPECT_EQ(sat.GetPortaSAT("S/N 1", 47, CODIGO), "<null>");
    EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "");
    vazio.TiraListaDePortas();
    EXPECT_EQ(sat.GetPortaSAT("S/N 1", 48, CODIGO), "<null>");
    EXPECT_EQ(sat.SetPortaSAT("S/N 1", 48, CODIGO), "<null>");
    EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "<null>");
  }
  registros = sat.Registros();
  EXPECT_EQ(std::vector<std::string>(registros.begin() + static_cast<long>(antes), registros.end()),
            (std::vector<std::string>{
                Linha("Entered GetPortaSAT(S/N 1)"), Linha("Exiting GetPortaSAT(S/N 1)"),
                Linha("Entered GetMapaPortasSAT"), Linha("Exiting GetPortaSAT"),
                Linha("Entered GetPortaSAT(S/N 1)"), Linha("Entered SetPortaSAT(S/N 1)"),
                Linha("Entered GetMapaPortasSAT")}));

  // Every path released the lock: another thread takes it.
  EmOutraThread([&sat] { EXPECT_EQ(sat.GetPortaSAT("S/N 1", 49, CODIGO), "COM7"); });
}

#else

TEST(Selecao, WithoutASatInWinesListTheExportsFindNone) {
  SatE2E sat;
  ASSERT_TRUE(sat.SelecaoPronta());
  sat.Loga(NomeUnico("selecao"));
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.GetPortaSAT("S/N 1", 42, CODIGO), "<null>");
  EXPECT_EQ(sat.SetPortaSAT("S/N 1", 42, CODIGO), "<null>");
  EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), "");
  EmOutraThread([&sat] { EXPECT_EQ(sat.GetMapaPortasSAT(CODIGO), ""); });
  EXPECT_EQ(sat.Registros(),
            (std::vector<std::string>{
                Linha("Entered GetPortaSAT(S/N 1)"), Linha("Exiting GetPortaSAT(S/N 1)"),
                Linha("Entered SetPortaSAT(S/N 1)"), Linha("Exiting SetPortaSAT(S/N 1)"),
                Linha("Entered GetMapaPortasSAT"), Linha("Exiting GetPortaSAT"),
                Linha("Entered GetMapaPortasSAT"), Linha("Exiting GetPortaSAT")}));
  // COM7, chosen before, is still the port.
  const std::string consulta = sat.ConsultarSAT(43);
  EXPECT_EQ(consulta.rfind("000043|08000|", 0), 0u) << consulta;
  EXPECT_TRUE(QuadrosRecebidosPeloSat().size() == 1u);
}

#endif

} // namespace
