// The library's own small exports: session numbers, the error record and the log file name.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sat.h"
#include "support/armazenamento.h"
#include "support/log.h"
#include "tests/unit/substituto.h"

namespace {

class UtilitariosTest : public SubstitutoTest {};

// The generator's state is per thread and starts fresh in a new one.
std::vector<int32_t> SorteiaEmThreadNova(int quantos, bool misturaRandDaAplicacao) {
  std::vector<int32_t> numeros;
  std::thread t([&] {
    for (int i = 0; i < quantos; ++i) {
      if (misturaRandDaAplicacao) {
        std::srand(99);
        (void)std::rand();
      }
      numeros.push_back(GeraNumeroSessao());
    }
  });
  t.join();
  return numeros;
}

TEST_F(UtilitariosTest, FirstSessionNumbersOfAFreshThread) {
  EXPECT_EQ(SorteiaEmThreadNova(4, false), (std::vector<int32_t>{18508, 3486, 445, 13094}));
}

TEST_F(UtilitariosTest, TheApplicationsRandDoesNotDisturbTheSeries) {
  EXPECT_EQ(SorteiaEmThreadNova(4, true), (std::vector<int32_t>{18508, 3486, 445, 13094}));
}

TEST_F(UtilitariosTest, NoRepeatWithinAHundredAndWithinRange) {
  std::vector<int32_t> numeros = SorteiaEmThreadNova(1000, false);
  for (size_t i = 0; i < numeros.size(); ++i) {
    EXPECT_GE(numeros[i], 0);
    EXPECT_LE(numeros[i], 1000 + 32767);
    if (i < 100) {
      EXPECT_NE(numeros[i], 0) << "0 is among the recent ones until 100 were issued";
    }
    std::set<int32_t> janela(numeros.begin() + (i >= 99 ? i - 99 : 0), numeros.begin() + i + 1);
    ASSERT_EQ(janela.size(), std::min<size_t>(i + 1, 100)) << "repeat at " << i;
  }
  EXPECT_EQ(IndiceSessoes, 1000 % 100);
}

TEST_F(UtilitariosTest, ARecentNumberIsDrawnAgain) {
  // With 18508 already among the recent ones, a fresh thread's first draw moves on.
  UltimasSessoes[50] = 18508;
  std::vector<int32_t> numeros = SorteiaEmThreadNova(1, false);
  EXPECT_NE(numeros[0], 18508);
  EXPECT_EQ(UltimasSessoes[0], numeros[0]);
}

TEST_F(UtilitariosTest, CodigoErroCopiesTheWholeRecord) {
  RegistroErro.codigo = 0x01020304;
  std::memset(RegistroErro.mensagem, 'm', sizeof RegistroErro.mensagem);
  RegistroErro.mensagem[799] = '\0';
  unsigned char destino[805];
  std::memset(destino, 0xAA, sizeof destino);
  EXPECT_EQ(CodigoErro(reinterpret_cast<char *>(destino)), reinterpret_cast<char *>(destino));
  EXPECT_EQ(destino[0], 0x04);
  EXPECT_EQ(destino[3], 0x01);
  EXPECT_EQ(destino[4], 'm');
  EXPECT_EQ(destino[802], 'm');
  EXPECT_EQ(destino[803], 0);
  EXPECT_EQ(destino[804], 0xAA) << "not one byte past the record";
  EXPECT_EQ(RegistroErro.codigo, 0x01020304) << "the copy leaves the record as it was";
  EXPECT_EQ(CodigoErro(nullptr), nullptr);
}

TEST_F(UtilitariosTest, ArquivoLogMovesTheLogAndRefusesNamesThatDoNotFit) {
  ArquivoLog("abcdef.log");
  GravaLog("primeiro");
  ArquivoLog("b.log");
  GravaLog("segundo");
  EXPECT_EQ(std::string(CaminhoLog), "b.log");
  EXPECT_NE(sub().arquivos["abcdef.log"].find("primeiro"), std::string::npos);
  EXPECT_NE(sub().arquivos["b.log"].find("segundo"), std::string::npos);

  std::string cem(100, 'x');
  ArquivoLog(cem.c_str());
  EXPECT_EQ(std::string(CaminhoLog), "b.log");
  EXPECT_NE(sub().arquivos["b.log"].find("recusado"), std::string::npos);
  ArquivoLog(nullptr);
  EXPECT_EQ(std::string(CaminhoLog), "b.log");

  std::string noventaENove(99, 'y');
  ArquivoLog(noventaENove.c_str());
  EXPECT_EQ(std::string(CaminhoLog), noventaENove);
}

} // namespace
