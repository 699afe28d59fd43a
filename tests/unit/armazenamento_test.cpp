// The five transaction buffers: allocated at load in a fixed order, all of them or none.
#include <cstdlib>

#include "support/armazenamento.h"
#include "tests/unit/substituto.h"

namespace {

class ArmazenamentoTest : public SubstitutoTest {};

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

TEST_F(ArmazenamentoTest, AllocatesTheFiveBuffersInOrder) {
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

TEST_F(ArmazenamentoTest, ABufferThatCannotBeHadLeavesNoneAllocated) {
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

} // namespace
