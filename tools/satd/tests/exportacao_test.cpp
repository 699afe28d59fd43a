// The month's zip over a real journal, filled as satd fills it, read back with libarchive.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <openssl/evp.h>
#include <sstream>

#include "diario.h"
#include "exportacao.h"
#include "zip.h"

namespace {

std::string Base64(const std::string &bytes) {
  std::string saida(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(saida.data()),
                                reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()));
  saida.resize(static_cast<size_t>(n));
  return saida;
}

struct Documento {
  const char *codigo; // 06000 a sale, 07000 a cancellation
  const char *instante;
  const char *total;
  bool doMes; // of February 2024
};

// Around February 2024 (a leap year): its first and last seconds, the seconds beside them,
// cents that floating point would not add exactly, and one cancellation.
const Documento kDocumentos[] = {
    {"06000", "20240131235959", "99.99", false},  {"06000", "20240201000000", "0.10", true},
    {"06000", "20240201120000", "0.20", true},    {"07000", "20240201121500", "0.20", true},
    {"06000", "20240215093000", "1234.50", true}, {"06000", "20240229235959", "0.05", true},
    {"06000", "20240301000000", "7.00", false},
};

const char kResumo[] =
    "\xEF\xBB\xBF"
    "Data;Vendas;Valor das vendas;Cancelamentos;Valor dos cancelamentos;Valor l\xC3\xADquido\r\n"
    "01/02/2024;2;0,30;1;0,20;0,10\r\n"
    "15/02/2024;1;1234,50;0;0,00;1234,50\r\n"
    "29/02/2024;1;0,05;0;0,00;0,05\r\n"
    "Total;4;1234,85;1;0,20;1234,65\r\n";

class ExportacaoTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(pasta_.data()), nullptr);
    std::string erro;
    ASSERT_TRUE(diario_.Abre(Arquivo(), erro)) << erro;
  }
  void TearDown() override { std::filesystem::remove_all(pasta_); }
  std::string Arquivo() const { return pasta_ + "/diario"; }

  // A document signed by the SAT through the journal; its key's digits. Bytes of every value,
  // so that the zip must keep them as they are.
  std::string Guarda(const Documento &d, size_t tamanho = 300) {
    const int n = ++numero_;
    char digitos[64];
    std::snprintf(digitos, sizeof digitos, "352402%014d59000000001%06d1234561", n, n);
    std::string xml = std::string(d.codigo[1] == '6' ? "<CFe>" : "<CFeCanc>") + digitos;
    for (size_t i = 0; xml.size() < tamanho; ++i) {
      xml += static_cast<char>((i * 7 + static_cast<size_t>(n)) % 256);
    }
    const int64_t id = diario_.Anota(1, n, "enviardadosvenda");
    EXPECT_TRUE(id > 0 && diario_.Conclui(id, std::to_string(n) + "|" + d.codigo + "|0000|ok|||" +
                                                  Base64(xml) + "|" + d.instante + "|CFe" +
                                                  digitos + "|" + d.total + "||QR"));
    xmls_[digitos] = xml;
    return digitos;
  }
  std::string Zip(const std::string &mes, size_t bloco = 256 * 1024) {
    std::string zip, erro;
    EXPECT_TRUE(satd::Exporta(
        Arquivo(), mes, [&](std::string_view b) { return zip.append(b), true; }, erro, bloco))
        << erro;
    return zip;
  }

  satd::Diario diario_;
  std::string pasta_ = "/tmp/exportacao_test.XXXXXX";
  std::map<std::string, std::string> xmls_;
  int numero_ = 0;
};

TEST(Exportacao, MonthsAndTotals) {
  const struct {
    const char *mes;
    bool valido;
  } meses[] = {{"2024-02", true},  {"1999-12", true}, {"2024-01", true},  {"2024-13", false},
               {"2024-00", false}, {"2024-2", false}, {"202a-02", false}, {"2024-02-01", false},
               {"2024/02", false}, {"", false}};
  for (const auto &m : meses) {
    EXPECT_EQ(satd::MesValido(m.mes), m.valido) << m.mes;
  }
  const struct {
    const char *total;
    bool valido;
    int64_t centavos;
  } totais[] = {{"12.34", true, 1234}, {"0.1", true, 10},
                {"5", true, 500},      {"0.00", true, 0},
                {"1.234", false, 0},   {"-1.00", false, 0},
                {"1,00", false, 0},    {"1.", false, 0},
                {".50", false, 0},     {"", false, 0},
                {"1.2a", false, 0},    {"9999999999999999.00", false, 0},
                {" 1.00", false, 0},   {"999999999999999.99", true, 99999999999999999}};
  for (const auto &t : totais) {
    int64_t centavos = 0;
    EXPECT_EQ(satd::Centavos(t.total, centavos), t.valido) << t.total;
    EXPECT_EQ(centavos, t.centavos) << t.total;
  }
}

// Every document of the month once, under its name and with its bytes, and the summary; the
// months beside it left out; the same zip whatever the block size.
TEST_F(ExportacaoTest, TheMonthWholeAndNothingElse) {
  std::map<std::string, std::string> esperado;
  for (const Documento &d : kDocumentos) {
    const std::string digitos = Guarda(d);
    if (d.doMes) {
      esperado[(d.codigo[1] == '6' ? "CFe" : "CFeCanc") + digitos + ".xml"] = xmls_[digitos];
    }
  }
  // A document of a megabyte and more goes in many slices.
  const std::string grande = Guarda({"06000", "20240210080000", "0.00", true}, 1500 * 1024);
  esperado["CFe" + grande + ".xml"] = xmls_[grande];
  std::string resumo = kResumo;
  resumo.replace(resumo.find("15/02"), 0, "10/02/2024;1;0,00;0;0,00;0,00\r\n");
  resumo.replace(resumo.find("Total;4"), 7, "Total;5");
  esperado["resumo-2024-02.csv"] = resumo;

  const std::string zip = Zip("2024-02");
  const auto entradas = teste::EntradasDoZip(zip);
  const std::map<std::string, std::string> lidas(entradas.begin(), entradas.end());
  EXPECT_EQ(lidas, esperado);
  EXPECT_EQ(entradas.size(), esperado.size()); // none twice
  ASSERT_FALSE(entradas.empty());
  EXPECT_EQ(entradas.back().first, "resumo-2024-02.csv");
  EXPECT_EQ(Zip("2024-02", 1), zip);
  EXPECT_LT(zip.size(), 1500u * 1024); // deflated

  // A month without documents: the summary alone, with its zeros.
  const auto vazio = teste::EntradasDoZip(Zip("2023-02"));
  ASSERT_EQ(vazio.size(), 1u);
  EXPECT_EQ(vazio[0].second, std::string(kResumo).substr(0, std::string(kResumo).find("01/")) +
                                 "Total;0;0,00;0;0,00;0,00\r\n");
}

// What the checkouts sign while an export is under way is not in it: one snapshot.
TEST_F(ExportacaoTest, OneSnapshotWhileSalesGoOn) {
  for (const Documento &d : kDocumentos) {
    Guarda(d);
  }
  satd::Exportacao exportacao;
  std::string zip, erro;
  ASSERT_TRUE(exportacao.Abre(Arquivo(), "2024-02", erro)) << erro;
  ASSERT_TRUE(exportacao.Avanca(zip, 1, erro)) << erro;
  Guarda({"06000", "20240220100000", "50.00", true});
  while (!exportacao.Terminada()) {
    ASSERT_TRUE(exportacao.Avanca(zip, 1, erro)) << erro;
  }
  EXPECT_EQ(exportacao.Documentos(), 5u);
  const auto entradas = teste::EntradasDoZip(zip);
  ASSERT_EQ(entradas.size(), 6u);
  EXPECT_EQ(entradas.back().second, kResumo);
}

TEST_F(ExportacaoTest, ToAFileWholeOrNotAtAll) {
  Guarda(kDocumentos[1]);
  std::string erro;
  const std::string saida = pasta_ + "/fev.zip";
  ASSERT_TRUE(satd::ExportaParaArquivo(Arquivo(), "2024-02", saida, erro)) << erro;
  std::ifstream arquivo(saida, std::ios::binary);
  std::stringstream bytes;
  bytes << arquivo.rdbuf();
  EXPECT_EQ(bytes.str(), Zip("2024-02"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pasta_), {}), 4); // -wal, -shm
  // A journal that is not there is not created; a folder that is not there gets no file.
  EXPECT_FALSE(satd::ExportaParaArquivo(pasta_ + "/outro", "2024-02", saida + "2", erro));
  EXPECT_NE(erro.find("não foi possível abrir"), std::string::npos) << erro;
  EXPECT_FALSE(std::filesystem::exists(pasta_ + "/outro"));
  EXPECT_FALSE(satd::ExportaParaArquivo(Arquivo(), "2024-02", pasta_ + "/nada/fev.zip", erro));
  EXPECT_NE(erro.find("não foi possível criar"), std::string::npos) << erro;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pasta_), {}), 4);
}

} // namespace
