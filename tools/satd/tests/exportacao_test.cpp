// The month's zip over a real journal, filled as satd fills it, read back with libarchive.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <openssl/evp.h>

#include "diario.h"
#include "exportacao.h"
#include "zip.h"

namespace {

TEST(Exportacao, MonthsAndTotals) {
  int64_t c = 0;
  for (const char *texto : {"2024-13", "2024-00", "2024-2", "202a-02", "2024-02-01", ""}) {
    EXPECT_FALSE(satd::MesValido(texto) || satd::Centavos(texto, c)) << texto;
  }
  for (const char *texto :
       {"1.234", "-1.00", "1,00", "1.", ".50", " 1", "1e3", "1234567890123456"}) {
    EXPECT_FALSE(satd::Centavos(texto, c)) << texto;
  }
  EXPECT_TRUE(satd::MesValido("2024-12") && satd::Centavos("0.1", c) && c == 10 &&
              satd::Centavos("999999999999999.99", c) && c == 99999999999999999);
}

// Around February 2024 (a leap year): its first and last seconds and the seconds beside them,
// cents that floating point would not add exactly, a cancellation, a document of 1.5 MB.
const struct {
  const char *codigo, *instante, *total;
  size_t tamanho;
} kDocumentos[] = {
    {"06000", "20240131235959", "99.99", 300},    {"06000", "20240201000000", "0.10", 300},
    {"06000", "20240201120000", "0.20", 300},     {"07000", "20240201121500", "0.20", 300},
    {"06000", "20240210080000", "0.00", 1536000}, {"06000", "20240215093000", "1234.50", 300},
    {"06000", "20240229235959", "0.05", 300},     {"06000", "20240301000000", "7.00", 300},
};
const char kCabecalho[] = "\xEF\xBB\xBF"
                          "Data;Vendas;Valor das vendas;Cancelamentos;Valor dos cancelamentos;"
                          "Valor l\xC3\xADquido\r\n";

TEST(Exportacao, TheMonthWholeAndNothingElse) {
  std::string pasta = "/tmp/exportacao_test.XXXXXX", erro;
  ASSERT_NE(mkdtemp(pasta.data()), nullptr);
  const std::string arquivo = pasta + "/diario";
  satd::Diario diario;
  ASSERT_TRUE(diario.Abre(arquivo, erro)) << erro;
  std::map<std::string, std::string> esperado;
  int n = 0;
  // A document signed by the SAT through the journal, with bytes of every value.
  const auto guarda = [&](const char *codigo, const char *instante, const char *total,
                          size_t tamanho) {
    char digitos[64];
    ++n;
    std::snprintf(digitos, sizeof digitos, "352402%014d59000000001%06d1234561", n, n);
    std::string xml(tamanho, '\0');
    std::iota(xml.begin(), xml.end(), static_cast<char>(n));
    std::string base64(4 * (xml.size() + 2) / 3 + 4, '\0');
    base64.resize(static_cast<size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(base64.data()),
                        reinterpret_cast<const unsigned char *>(xml.data()), int(xml.size()))));
    const int64_t id = diario.Anota(1, n, "enviardadosvenda");
    EXPECT_TRUE(id > 0 &&
                diario.Conclui(id, std::to_string(n) + "|" + codigo + "|0000|ok|||" + base64 + "|" +
                                       instante + "|CFe" + digitos + "|" + total + "||QR"));
    if (std::string(instante).compare(0, 6, "202402") == 0) {
      esperado[(codigo[1] == '6' ? "CFe" : "CFeCanc") + std::string(digitos) + ".xml"] = xml;
    }
  };
  for (const auto &d : kDocumentos) {
    guarda(d.codigo, d.instante, d.total, d.tamanho);
  }
  esperado["resumo-2024-02.csv"] = std::string(kCabecalho) +
                                   "01/02/2024;2;0,30;1;0,20;0,10\r\n"
                                   "10/02/2024;1;0,00;0;0,00;0,00\r\n"
                                   "15/02/2024;1;1234,50;0;0,00;1234,50\r\n"
                                   "29/02/2024;1;0,05;0;0,00;0,05\r\n"
                                   "Total;5;1234,85;1;0,20;1234,65\r\n";
  const auto zip = [&](const std::string &mes) {
    std::string bytes;
    EXPECT_TRUE(satd::Exporta(
        arquivo, mes, [&](std::string_view b) { return bytes.append(b), true; }, erro))
        << erro;
    return bytes;
  };
  const std::string inteiro = zip("2024-02");
  EXPECT_EQ(teste::EntradasDoZip(inteiro), esperado);
  EXPECT_LT(inteiro.size(), 1536000u); // deflated

  // The same bytes a byte at a time, though a sale of the month is signed meanwhile: one
  // snapshot, and nothing of the block size in the zip.
  satd::Exportacao exportacao;
  std::string aos_poucos;
  ASSERT_TRUE(exportacao.Abre(arquivo, "2024-02", erro) && exportacao.Avanca(aos_poucos, 1, erro));
  guarda("06000", "20240220100000", "50.00", 300);
  while (!exportacao.Terminada()) {
    ASSERT_TRUE(exportacao.Avanca(aos_poucos, 1, erro)) << erro;
  }
  EXPECT_EQ(aos_poucos, inteiro);
  EXPECT_EQ(exportacao.Documentos(), 6u);
  // A month without documents: the summary alone.
  const std::map<std::string, std::string> vazio = {
      {"resumo-2023-02.csv", std::string(kCabecalho) + "Total;0;0,00;0;0,00;0,00\r\n"}};
  EXPECT_EQ(teste::EntradasDoZip(zip("2023-02")), vazio);

  // Nothing under the zip's name when it cannot be whole; no journal made where there is none.
  EXPECT_FALSE(satd::ExportaParaArquivo(pasta + "/outro", "2024-02", pasta + "/2.zip", erro));
  EXPECT_NE(erro.find("não foi possível abrir"), std::string::npos) << erro;
  EXPECT_FALSE(satd::ExportaParaArquivo(arquivo, "2024-02", pasta + "/nada/fev.zip", erro));
  EXPECT_NE(erro.find("não foi possível criar"), std::string::npos) << erro;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pasta), {}), 3); // and -wal, -shm
  std::filesystem::remove_all(pasta);
}

} // namespace
