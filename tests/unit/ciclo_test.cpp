#include <cstdlib>
#include <cstring>
#include <string>

#include "api/ciclo.h"
#include "support/armazenamento.h"
#include "tests/unit/substituto.h"

namespace {

class CicloTest : public SubstitutoTest {};

int gAlocacoesPermitidas;
size_t gTamanhos[8];
int gAlocacoes;

void *AlocaLimitado(size_t tamanho) {
  if (gAlocacoes < 8) {
    gTamanhos[gAlocacoes] = tamanho;
  }
  if (gAlocacoes++ >= gAlocacoesPermitidas) {
    return nullptr;
  }
  return std::malloc(tamanho);
}

TEST_F(CicloTest, AllocatesTheFiveBuffersInOrder) {
  LiberaBuffersTransacao();
  gAlocacoes = 0;
  gAlocacoesPermitidas = 5;
  AlocaBuffersTransacao(AlocaLimitado);
  EXPECT_TRUE(BuffersAlocados());
  const size_t esperados[] = {2097152, 1024000, 2097152, 2097152, 1577864};
  ASSERT_EQ(gAlocacoes, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(gTamanhos[i], esperados[i]) << "allocation " << i;
  }
}

TEST_F(CicloTest, ABufferThatCannotBeHadLeavesNoneAllocated) {
  for (int permitidas = 0; permitidas < 5; ++permitidas) {
    SCOPED_TRACE(permitidas);
    LiberaBuffersTransacao();
    gAlocacoes = 0;
    gAlocacoesPermitidas = permitidas;
    AlocaBuffersTransacao(AlocaLimitado);
    EXPECT_FALSE(BuffersAlocados());
    EXPECT_EQ(BufferRecepcao, nullptr);
    EXPECT_EQ(BufferLeitura, nullptr);
    EXPECT_EQ(BufferComando, nullptr);
    EXPECT_EQ(BufferCopiaComando, nullptr);
    EXPECT_EQ(BufferPacote, nullptr);
  }
}

TEST_F(CicloTest, LoadLogsTheBannerFirst) {
  LigaLog();
  SecaoCritica = nullptr;
  EXPECT_EQ(EntradaBiblioteca(MOTIVO_CARGA), 1);
  EXPECT_NE(SecaoCritica, nullptr);
  EXPECT_EQ(Log(), "\r\n07/12/2017 14:03:09:42  TAVRO DLL SAT Vers\xE3o: 02.00.11.05 gerada em "
                   "11/12/2017\r\n");
}

TEST_F(CicloTest, LoadWithoutBuffersSaysSoInTheLog) {
  LigaLog();
  LiberaBuffersTransacao();
  EntradaBiblioteca(MOTIVO_CARGA);
  EXPECT_NE(Log().find("TAVRO DLL SAT"), std::string::npos);
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
