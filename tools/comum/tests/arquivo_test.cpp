// The archive's one rule: a fiscal document already filed is never replaced.
#include "comum/arquivo.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

TEST(Arquivo, OMesmoDocumentoPodeVoltarOutroNunca) {
  const std::string pasta = testing::TempDir() + "arquivo_test";
  std::filesystem::remove_all(pasta);
  const std::string chave = "CFe35261211222333000181599000000010000011534262";
  const std::filesystem::path caminho = comum::NoArquivo(pasta, chave, "20261209231500", "CFe");
  EXPECT_EQ(comum::Arquiva(caminho, "<CFe/>"), "");
  EXPECT_EQ(comum::Arquiva(caminho, "<CFe/>"), "");
  EXPECT_EQ(comum::Arquiva(caminho, "<CFe></CFe>"),
            caminho.string() + " já existe com outro conteúdo e não foi substituído");
  std::ifstream arquivado(caminho, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(arquivado), {}), "<CFe/>");
  EXPECT_TRUE(comum::NoArquivo(pasta, chave, "20261309231500", "CFe").empty());
  EXPECT_TRUE(comum::NoArquivo(pasta, chave.substr(1), "20261209231500", "CFe").empty());
  std::filesystem::remove_all(pasta);
}
