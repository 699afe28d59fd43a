// Opening the chosen port (AbrePorta): its path, its settings, the search for a SAT while no
// port is named, and closing it.
#include <cstring>
#include <string>
#include <vector>

#include "link/porta.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

class PortaTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
  }
  std::string Abertura(const std::string &caminho) {
    return Registros({"abrindo porta: ", caminho, "\r\n"});
  }
};

const std::string ERRO_ABRIR = "Erro ao tentar abrir a porta de comunicacao!!";

TEST_F(PortaTest, AbrePortaOpensAndConfiguresTheChosenPort) {
  AbreSerialSAT(12, 0, 0, 0, 0);
  RegistroErro.codigo = 5;
  std::strcpy(RegistroErro.mensagem, "velha");
  EXPECT_EQ(AbrePorta(), 1);
  EXPECT_EQ(sub().caminhosAbertos, std::vector<std::string>{"\\\\.\\COM12"});
  EXPECT_EQ(sub().chamadas,
            (std::vector<std::string>{"AbreSerial", "ConfiguraLinha", "DescartaEntrada",
                                      "EsvaziaSaida", "ConfiguraTempos"}));
  EXPECT_EQ(Log(), Abertura("\\\\.\\COM12"));
  EXPECT_EQ(PortaAberta, 1);
  EXPECT_EQ(HandlePorta, sub().proximoHandle);
  const RegistroErroLib limpo{};
  EXPECT_EQ(std::memcmp(&RegistroErro, &limpo, sizeof limpo), 0);

  // Open already: only the error record is reset.
  RegistroErro.codigo = 1;
  EXPECT_EQ(AbrePorta(), 1);
  EXPECT_EQ(RegistroErro.codigo, 0);
  EXPECT_EQ(sub().caminhosAbertos.size(), 1u);

  EXPECT_EQ(CloseSerial(), 1);
  EXPECT_EQ(PortaAberta, 0);
  EXPECT_EQ(HandlePorta, HANDLE_NENHUM);
  EXPECT_EQ(CloseSerial(), 0);
  EXPECT_EQ(sub().fechamentos, 1);
}

TEST_F(PortaTest, FailedSettingsAreLoggedAndThePortIsUsedAsItIs) {
  sub().configuraLinhaFalha = sub().descartaFalha = true;
  sub().esvaziaFalha = sub().configuraTemposFalha = true;
  std::strcpy(NomePorta, "COM3");
  EXPECT_EQ(AbrePorta(), 1);
  EXPECT_EQ(Log(), Abertura("\\\\.\\COM3") +
                       Registros({"SetCommState Error", "PurgeComm Error", "FlushFileBuffers Error",
                                  "SetCommTimeouts Error"}));
}

TEST_F(PortaTest, APortThatCannotBeOpenedSetsCodeOne) {
  const struct {
    const char *nome;
    const char *nomePorta;
    bool abreFalha;
    std::string prefixo;
    std::vector<std::string> abertos;
    std::string log;
    unsigned long limite = 64; // the platform's device path limit
  } casos[] = {
      {"missing port", "COM4", true, "\\\\.\\", {"\\\\.\\COM4"}, Abertura("\\\\.\\COM4")},
      {"no name and no SAT: nothing logged", "", false, "\\\\.\\", {}, ""},
      {"prefix and name fill 63 bytes",
       "COM12",
       false,
       std::string(58, 'd'),
       {std::string(58, 'd') + "COM12"},
       ""},
      {"prefix and name need 65 bytes",
       "COM12",
       false,
       std::string(60, 'd'),
       {},
       Registros({"Caminho da porta com mais de 63 caracteres, n\xE3o aberta: " +
                  std::string(60, 'd') + "COM12\r\n"})},
      {"a long device folder where the system allows it",
       "COM12",
       false,
       std::string(100, 'd') + "/",
       {std::string(100, 'd') + "/COM12"},
       "",
       4096},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    std::strcpy(NomePorta, c.nomePorta);
    sub().abreFalha = c.abreFalha;
    sub().prefixo = c.prefixo;
    sub().tamanhoCaminhoDispositivo = c.limite;
    sub().caminhosAbertos.clear();
    sub().arquivos["sat.log"].clear();
    const bool abre = !c.abreFalha && !c.abertos.empty();
    EXPECT_EQ(AbrePorta(), abre ? 1 : 0);
    EXPECT_EQ(sub().caminhosAbertos, c.abertos);
    if (!abre) {
      EXPECT_EQ(RegistroErro.codigo, 1);
      EXPECT_EQ(std::string(RegistroErro.mensagem), ERRO_ABRIR);
      EXPECT_EQ(std::string(NomePorta), c.nomePorta); // the next command tries it again
      EXPECT_EQ(Log(), c.log);
    }
    FechaPorta();
  }
}

TEST_F(PortaTest, TheSearchRunsOnlyUntilANameWasFoundOnce) {
  DispositivoFalso sat;
  sat.idInstancia = "USB\\VID_0525&PID_A4A7\\77";
  sat.nomePorta = "COM5";
  sub().dispositivos = {sat};
  EXPECT_EQ(AbrePorta(), 1);
  FechaPorta();
  sub().dispositivos.clear(); // unplugged
  EXPECT_EQ(AbrePorta(), 1);
  EXPECT_EQ(sub().caminhosAbertos, (std::vector<std::string>{"\\\\.\\COM5", "\\\\.\\COM5"}));
  EXPECT_EQ(sub().dispositivosEntregues, 1);
}

} // namespace
