#include "estado.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

using satemu::Leitura;
using satemu::Sat;

class ArquivoEstado : public ::testing::Test {
protected:
  ArquivoEstado() {
    char modelo[] = "/tmp/satemu-estado-XXXXXX";
    diretorio_ = mkdtemp(modelo);
    caminho_ = diretorio_ + "/sat.estado";
  }
  ~ArquivoEstado() override {
    std::remove(caminho_.c_str());
    std::remove((caminho_ + ".tmp").c_str());
    rmdir(diretorio_.c_str());
  }
  void Escreve(const std::string &texto) { std::ofstream(caminho_, std::ios::binary) << texto; }

  std::string diretorio_;
  std::string caminho_;
};

TEST_F(ArquivoEstado, IdaEVolta) {
  Sat original;
  original.serie = "900000123";
  original.codigoAtivacao = "c%d|g\xE3o=1";
  original.codigoEmergencia = "emerg\n";
  original.ativacao = satemu::Ativacao::AguardandoCertificado;
  original.cnpjContribuinte = "11222333000181";
  original.uf = 43;
  original.dataAtivacao = "20240105";
  original.bloqueado = true;
  original.cnpjSoftwareHouse = "22233344000183";
  original.assinaturaAC = "QUJD+/==";
  original.ultimoNumero = 999999;
  original.ultimaVenda = {"3524011122233300018159900000001000001123456"
                          "0",
                          "30.02", "12345678909", "20240105101112"};
  original.vendaCancelavel = true;
  original.chaveUltimoCFe = "35240111222333000181599000000010000021234560";
  original.dataHoraUltimoCFe = "20240105101112";
  original.rede.tipoLan = "IPFIX";
  original.rede.ip = "10.1.2.3";
  original.rede.dns2 = "10.1.2.4";
  original.log = "linha 1\r\nlinha 2 \x01\xFF\n";
  original.sessoes[5] = "nao sobrevive";

  std::string erro;
  ASSERT_TRUE(satemu::SalvaEstado(original, caminho_, erro)) << erro;
  EXPECT_NE(access((caminho_ + ".tmp").c_str(), F_OK), 0);

  Sat lido;
  lido.sessoes[9] = "fica";
  ASSERT_EQ(satemu::CarregaEstado(lido, caminho_, erro), Leitura::Carregado) << erro;
  // Saved again, what was read gives the same file: every field came back as it went.
  std::ifstream primeiro(caminho_, std::ios::binary);
  const std::string antes((std::istreambuf_iterator<char>(primeiro)), {});
  ASSERT_TRUE(satemu::SalvaEstado(lido, caminho_, erro)) << erro;
  std::ifstream segundo(caminho_, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(segundo)), {}), antes);
  EXPECT_EQ(lido.codigoAtivacao, original.codigoAtivacao);
  EXPECT_EQ(lido.codigoEmergencia, original.codigoEmergencia);
  EXPECT_EQ(lido.ativacao, original.ativacao);
  EXPECT_EQ(lido.ultimoNumero, original.ultimoNumero);
  EXPECT_EQ(lido.ultimaVenda.chave, original.ultimaVenda.chave);
  EXPECT_EQ(lido.rede.ip, original.rede.ip);
  EXPECT_EQ(lido.log, original.log);
  // Replies of past sessions belong to the running process only.
  EXPECT_EQ(lido.sessoes.size(), 1u);
  EXPECT_EQ(lido.sessoes.count(9), 1u);
}

TEST_F(ArquivoEstado, ArquivoAusenteNaoMudaNada) {
  Sat sat;
  sat.codigoAtivacao = "x";
  std::string erro;
  EXPECT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Ausente);
  EXPECT_EQ(sat.codigoAtivacao, "x");
}

TEST_F(ArquivoEstado, ArquivosInvalidosSaoRecusadosInteiros) {
  const char *casos[] = {"",
                         "outro formato\n",
                         "satemu-estado 1\nserie=12345\n",
                         "satemu-estado 1\ncodigo_ativacao=abc\nativacao=7\n",
                         "satemu-estado 1\nultimo_numero=1000000\n",
                         "satemu-estado 1\nbloqueado=sim\n",
                         "satemu-estado 1\ncodigo_ativacao=a%2\n",
                         "satemu-estado 1\ncodigo_ativacao=a%zz\n",
                         "satemu-estado 1\ndesconhecido=1\n",
                         "satemu-estado 1\nsem igual\n"};
  for (const char *caso : casos) {
    Escreve(caso);
    Sat sat;
    std::string erro;
    EXPECT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Invalido) << caso;
    EXPECT_EQ(sat.codigoAtivacao, "12345678") << caso;
    EXPECT_FALSE(erro.empty());
  }
}

} // namespace
