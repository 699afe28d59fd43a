// The bridge to zlib: loaded once, from the library's folder or by its name, whichever of
// compression and expansion comes first, and released at unload.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/ciclo.h"
#include "support/armazenamento.h"
#include "support/compressao.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

class CompressaoTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
  }
};

TEST_F(CompressaoTest, ZlibIsLoadedOnceByNameOrFromTheLibrarysFolder) {
  const struct {
    const char *nome;
    std::string caminho, arquivo;
    char separador;
    std::string carregado, logDoCaminho;
  } casos[] = {
      {"Windows", "C:\\POS\\sat.dll", "zlib.dll", '\\', "C:\\POS\\zlib.dll", "C:\\POS\\sat.dll"},
      {"Linux", "/opt/pos/libsat.so", "libz.so.1", '/', "/opt/pos/libz.so.1", "/opt/pos/libsat.so"},
      {"no separator", "libsat.so", "libz.so.1", '/', "libz.so.1", "libsat.so"},
      {"no path", "", "libz.so.1", '/', "libz.so.1",
       "Pasta da biblioteca desconhecida: zlib procurada pelo nome"},
      {"not in the library's folder", "/usr/lib/libsat.so.2", "libz.so.1", '/', "libz.so.1",
       "/usr/lib/libsat.so.2"},
  };
  const std::string bloco = Comprime("texto");
  const auto Expande = [&] {
    EXPECT_EQ(Descompacta(reinterpret_cast<const unsigned char *>(bloco.data()), bloco.size()), 5);
    EXPECT_EQ(std::string(BufferDescompactado), "texto");
  };
  const auto Comprime3 = [] {
    std::strcpy(BufferVenda, "abc");
    EXPECT_EQ(Compacta(3), static_cast<int32_t>(Comprime("abc", 2).size()));
  };
  // Whichever comes first loads it (a sale compresses before it expands); the other uses it.
  for (const bool vendaPrimeiro : {false, true}) {
    for (const auto &c : casos) {
      SCOPED_TRACE(std::string(c.nome) + (vendaPrimeiro ? ", compressing first" : ""));
      LiberaZlib();
      sub().modulos.clear();
      sub().modulosCarregados.clear();
      sub().arquivos["sat.log"].clear();
      sub().caminhoModulo = c.caminho;
      sub().arquivoZlib = c.arquivo;
      sub().separador = c.separador;
      ZlibDisponivel(c.carregado);
      vendaPrimeiro ? Comprime3() : Expande();
      ASSERT_EQ(sub().modulosCarregados, std::vector<std::string>{c.carregado});
      if (!vendaPrimeiro) {
        EXPECT_NE(Log().find(c.logDoCaminho), std::string::npos);
      }
      vendaPrimeiro ? Expande() : Comprime3();
      EXPECT_EQ(sub().modulosCarregados.size(), 1u);
    }
  }
  // Unloading releases it once; a missing library is looked for again at the next call.
  sub().modulosLiberados = 0;
  EntradaBiblioteca(MOTIVO_DESCARGA);
  EXPECT_EQ(sub().modulosLiberados, 1);
  AlocaBuffersTransacao(std::malloc);
  sub().modulos.clear();
  EXPECT_EQ(Compacta(3), ZLIB_INDISPONIVEL);
  EXPECT_EQ(Descompacta(reinterpret_cast<const unsigned char *>(bloco.data()), bloco.size()),
            ZLIB_INDISPONIVEL);
  ZlibDisponivel("libz.so.1");
  EXPECT_GT(Compacta(3), 0);
}

} // namespace
