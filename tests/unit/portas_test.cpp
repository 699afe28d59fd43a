// The port exports: naming the port by number (AbreSerialSAT), and the refusals of the
// selection exports before any walk (the walk itself is in selecao_test.cpp).
#include <climits>
#include <cstring>
#include <string>

#include "sat.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

class PortasTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
  }
};

TEST_F(PortasTest, AbreSerialSATNamesThePortOrRefusesANameThatDoesNotFit) {
  const struct {
    int32_t numero;
    int32_t resultado;
    const char *nome; // NomePorta afterwards, starting from "COM77"
  } casos[] = {
      {3, 0, "COM3"},         {12, 0, "COM12"},         {0, 0, "COM0"},
      {-1, 0, "COM-1"},       {999999, 0, "COM999999"}, {-99999, 0, "COM-99999"},
      {1000000, -1, "COM77"}, {-100000, -1, "COM77"},   {INT_MIN, -1, "COM77"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.numero);
    std::memset(NomePorta, 'Z', sizeof NomePorta);
    std::strcpy(NomePorta, "COM77");
    EXPECT_EQ(AbreSerialSAT(c.numero, 1, 2, 3, 4), c.resultado);
    EXPECT_EQ(std::string(NomePorta, sizeof NomePorta).c_str(), std::string(c.nome));
  }
  EXPECT_TRUE(sub().chamadas.empty()); // it neither opens nor closes
  EXPECT_EQ(Log(),
            Registros({"AbreSerialSAT: COM1000000 recusada, nome com mais de 9 caracteres\r\n",
                       "AbreSerialSAT: COM-100000 recusada, nome com mais de 9 caracteres\r\n",
                       "AbreSerialSAT: COM-2147483648 recusada, nome com mais de 9 "
                       "caracteres\r\n"}));
}

// Absent texts and a missing lock are refused before a SAT is walked to.
TEST_F(PortasTest, NullArgumentsAndAMissingLockAreRefusedBeforeTheWalk) {
  SecaoCritica = Plataforma->CriaTrava(); // made at load
  DispositivoFalso sat;
  sat.idInstancia = "USB\\VID_0525&PID_A4A7\\idCOM3";
  sat.nomePorta = "COM3";
  sub().dispositivos = {sat};
  for (char *(*chamada)() :
       {+[] { return GetPortaSAT(nullptr, 1, "c"); }, +[] { return SetPortaSAT("s", 1, nullptr); },
        +[] { return GetMapaPortasSAT(nullptr); }}) {
    sub().dispositivosEntregues = 0;
    DefineRegistroErro(ERRO_NENHUM, nullptr);
    EXPECT_EQ(chamada(), nullptr);
    EXPECT_EQ(RegistroErro.codigo, ERRO_RECUSADO);
    EXPECT_EQ(std::string(RegistroErro.mensagem).rfind("Argumento nulo: ", 0), 0u);
    EXPECT_EQ(sub().dispositivosEntregues, 0);
    EXPECT_EQ(sub().travas, sub().destravas);
  }
  SecaoCritica = nullptr;
  EXPECT_EQ(GetMapaPortasSAT("12345678"), nullptr);
  EXPECT_EQ(sub().dispositivosEntregues, 0);
}

} // namespace
