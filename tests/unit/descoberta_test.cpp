#include <string>
#include <utility>
#include <vector>

#include "link/descoberta.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

class DescobertaTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
  }
};

const std::string SAT = "USB\\VID_0525&PID_A4A7\\";

DispositivoFalso Disp(const std::string &id, const std::string &porta, bool chave = true) {
  DispositivoFalso d;
  d.idInstancia = id;
  d.nomePorta = porta;
  d.chaveAberta = chave;
  d.idHardware = "USB\\VID_0525&PID_A4A7&REV_0100";
  return d;
}

DispositivoFalso Revisao(const std::string &porta, const std::string &idHardware, uint32_t tipo,
                         bool lidos = true) {
  DispositivoFalso d = Disp(SAT + "1", porta);
  d.idHardware = idHardware;
  d.tipoIdsHardware = tipo;
  d.idsHardwareLidos = lidos;
  return d;
}

const std::string NAO_ENCONTROU = "BRIVEL n\xE3o encontrou um SAT TAVRO no barramento USB!\n";

TEST_F(DescobertaTest, ProcuraPortaSATTakesTheFirstSatThatCanBeUsed) {
  const std::string longo =
      "Porta SAT " + SAT + "1 ignorada, nome com mais de 9 caracteres: COM1234567\r\n";
  const struct {
    const char *nome;
    std::vector<DispositivoFalso> dispositivos;
    bool usb, lista;
    std::string porta, saida, log;
    int entregues;
  } casos[] = {
      {"two SATs: the lower index, the walk stops",
       {Disp("ACPI\\PNP0501\\1", "COM1"), Disp(SAT + "ABC123", "COM5"), Disp(SAT + "2", "COM6")},
       true,
       true,
       "COM5",
       "Port: COM5   Serial number: ABC123\n",
       "",
       2},
      {"the prefix alone is a SAT with an empty serial number",
       {Disp(SAT, "COM9")},
       true,
       true,
       "COM9",
       "Port: COM9   Serial number: \n",
       "",
       1},
      {"lower case, text before the backslash, other ids, not anchored: no SAT",
       {Disp("usb\\vid_0525&pid_a4a7\\1", "COM2"), Disp("USB\\VID_0525&PID_A4A7&MI_00\\1", "COM3"),
        Disp("USB\\VID_067B&PID_2303\\1", "COM4"), Disp("X" + SAT + "1", "COM5")},
       true,
       true,
       "",
       "",
       "",
       4},
      {"a key that cannot be opened is passed over",
       {Disp(SAT + "1", "COM3", false), Disp(SAT + "2", "COM4")},
       true,
       true,
       "COM4",
       "Port: COM4   Serial number: 2\n",
       "",
       2},
      {"nothing attached", {}, true, true, "", "", "", 0},
      {"the PORTS class cannot be had",
       {Disp(SAT + "1", "COM3")},
       true,
       false,
       "",
       "",
       Registros({NAO_ENCONTROU}),
       0},
      {"no USB list: logged, the walk goes on",
       {Disp(SAT + "1", "COM3")},
       false,
       true,
       "COM3",
       "Port: COM3   Serial number: 1\n",
       Registros({"hDevInfo == INVALID_HANDLE_VALUE \n"}),
       1},
      {"neither list",
       {},
       false,
       false,
       "",
       "",
       Registros({"hDevInfo == INVALID_HANDLE_VALUE \n", NAO_ENCONTROU}),
       0},
      {"no PortName: passed over",
       {Disp(SAT + "1", ""), Disp(SAT + "2", "COM4")},
       true,
       true,
       "COM4",
       "Port: COM4   Serial number: 2\n",
       Registros({"Porta SAT sem nome (PortName) ignorada: " + SAT + "1\r\n"}),
       2},
      {"a name that does not fit NomePorta is passed over; nine characters fit",
       {Disp(SAT + "1", "COM1234567"), Disp(SAT + "2", "COM123456")},
       true,
       true,
       "COM123456",
       "Port: COM123456   Serial number: 2\n",
       Registros({longo}),
       2},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().dispositivos = c.dispositivos;
    sub().usbDisponivel = c.usb;
    sub().listaDisponivel = c.lista;
    sub().dispositivosEntregues = 0;
    sub().saidaPadrao.clear();
    sub().arquivos["sat.log"].clear();
    char nome[TAMANHO_NOME_PORTA] = "lixo";
    EXPECT_EQ(ProcuraPortaSAT(nome, sizeof nome), !c.porta.empty());
    EXPECT_EQ(std::string(nome), c.porta);
    EXPECT_EQ(sub().saidaPadrao, c.saida);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(sub().dispositivosEntregues, c.entregues);
  }
}

// The search for AbrePorta refuses a device whose REG_NONE hardware list names no revision
// 2498, and then ends. Lists are REG_MULTI_SZ in practice, so every revision passes.
TEST_F(DescobertaTest, RevisionTestOfTheSearch) {
  const std::string recusa = "BRIVEL n\xE3o encontrou um SAT TAVRO no barramento USB...!\n";
  const struct {
    const char *nome;
    DispositivoFalso primeiro;
    std::string porta, log;
  } casos[] = {
      {"REG_MULTI_SZ, revision 0100", Revisao("COM3", "USB\\VID_0525&PID_A4A7&REV_0100", 7), "COM3",
       ""},
      {"REG_NONE, revision 2498", Revisao("COM3", "USB\\VID_0525&PID_A4A7&REV_2498", 0), "COM3",
       ""},
      {"REG_NONE, mixed-case 2498", Revisao("COM3", "USB\\Vid_0525&Pid_a4a7&Rev_2498", 0), "COM3",
       ""},
      {"REG_NONE, list not read", Revisao("COM3", "", 0, false), "COM3", ""},
      {"REG_NONE, revision 0100: the search ends",
       Revisao("COM3", "USB\\VID_0525&PID_A4A7&REV_0100", 0), "", Registros({recusa})},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().dispositivos = {c.primeiro, Disp(SAT + "2", "COM4")};
    sub().arquivos["sat.log"].clear();
    char nome[TAMANHO_NOME_PORTA];
    ProcuraPortaSAT(nome, sizeof nome);
    EXPECT_EQ(std::string(nome), c.porta);
    EXPECT_EQ(Log(), c.log);
  }
}

std::vector<std::pair<std::string, std::string>> gVistos;

bool Anota(const PortaCandidata *c, void *contexto) {
  gVistos.emplace_back(c->nomePorta, c->numeroSerie);
  return gVistos.size() < *static_cast<size_t *>(contexto);
}

TEST_F(DescobertaTest, EnumeraPortasSATHandsEverySatInOrderUntilTheStepStops) {
  sub().dispositivos = {Disp(SAT + "A", "COM3"), Disp("PCI\\X", "COM1"),
                        Revisao("COM4", "USB\\VID_0525&PID_A4A7&REV_0100", 0),
                        Disp(SAT + "C", "COM5")};
  for (size_t parada : {size_t{99}, size_t{2}}) {
    gVistos.clear();
    EXPECT_EQ(EnumeraPortasSAT(Anota, &parada), ENUMERACAO_CONCLUIDA);
    std::vector<std::pair<std::string, std::string>> esperado = {
        {"COM3", "A"}, {"COM4", "1"}, {"COM5", "C"}};
    esperado.resize(std::min(parada, esperado.size()));
    EXPECT_EQ(gVistos, esperado);
  }
  sub().listaDisponivel = false;
  gVistos.clear();
  size_t todos = 99;
  EXPECT_EQ(EnumeraPortasSAT(Anota, &todos), ENUMERACAO_INDISPONIVEL);
  EXPECT_TRUE(gVistos.empty());
}

} // namespace
