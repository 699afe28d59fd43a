// Load and unload: the banner, the lock and what unloading releases.
#include <string>

#include "api/ciclo.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"
#include "tests/versao.h"

namespace {

class CicloTest : public SubstitutoTest {};

TEST_F(CicloTest, LoadLogsTheBannerFirst) {
  LigaLog();
  SecaoCritica = nullptr;
  EXPECT_EQ(EntradaBiblioteca(MOTIVO_CARGA), 1);
  EXPECT_NE(SecaoCritica, nullptr);
  // The banner is the version text as the log stores it, its line feed as CR LF.
  EXPECT_EQ(Log(), Registros({kVersaoEsperada}));
}

TEST_F(CicloTest, LoadWithoutBuffersSaysSoInTheLog) {
  LigaLog();
  LiberaBuffersTransacao();
  EntradaBiblioteca(MOTIVO_CARGA);
  EXPECT_EQ(Log().rfind(Registros({kVersaoEsperada}), 0), 0u);
  EXPECT_NE(Log().find("buffers de transa\xE7\xE3o"), std::string::npos);
}

TEST_F(CicloTest, UnloadReleasesZlibClosesThePortAndFreesTheBuffers) {
  int modulo;
  ModuloZlib = &modulo;
  HandlePorta = 9;
  PortaAberta = 1;
  LigaLog();
  EXPECT_EQ(EntradaBiblioteca(MOTIVO_DESCARGA), 1);
  EXPECT_EQ(sub().modulosLiberados, 1);
  EXPECT_EQ(ModuloZlib, nullptr);
  EXPECT_EQ(sub().fechamentos, 1);
  EXPECT_EQ(PortaAberta, 0);
  EXPECT_FALSE(BuffersAlocados());
  EXPECT_TRUE(sub().anexosAbertos.empty()) << "nothing is logged at unload";
}

TEST_F(CicloTest, UnloadWithNothingOpenReleasesNothing) {
  const struct {
    void *zlib;
    HandleSerial porta;
  } casos[] = {{nullptr, HANDLE_NENHUM}, {reinterpret_cast<void *>(-1), HANDLE_INVALIDO}};
  for (const auto &caso : casos) {
    ModuloZlib = caso.zlib;
    HandlePorta = caso.porta;
    EntradaBiblioteca(MOTIVO_DESCARGA);
    EXPECT_EQ(sub().modulosLiberados, 0);
    EXPECT_EQ(sub().fechamentos, 0);
  }
}

TEST_F(CicloTest, ThreadNotificationsDoNothing) {
  LigaLog();
  EXPECT_EQ(EntradaBiblioteca(MOTIVO_THREAD_INICIO), 1);
  EXPECT_EQ(EntradaBiblioteca(MOTIVO_THREAD_FIM), 1);
  EXPECT_TRUE(BuffersAlocados());
  EXPECT_TRUE(sub().anexosAbertos.empty());
}

} // namespace
