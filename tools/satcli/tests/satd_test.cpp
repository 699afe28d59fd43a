// satcli's cfe and mes against a real satd (over HTTPS, with its own CA) in front of satemu:
// what satcli brings is what satd serves, and each refusal reaches the user with satd's reason
// and satcli's exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <fstream>
#include <set>
#include <sstream>

#include "ambiente.h"
#include "zip.h"

namespace {

using nlohmann::json;
using teste::Loja;

struct Execucao {
  int status = -1;
  std::string saida, erro;
};

std::string Le(const std::string &caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::stringstream conteudo;
  conteudo << arquivo.rdbuf();
  return conteudo.str();
}

// satcli with `argumentos` (already quoted for the shell) and SATD_SENHA=senha (unset when
// empty).
Execucao Satcli(const Loja &loja, const std::string &argumentos, const std::string &senha) {
  const std::string saida = loja.Pasta() + "/saida", erro = loja.Pasta() + "/erro";
  const std::string ambiente = senha.empty() ? "-u SATD_SENHA" : "SATD_SENHA='" + senha + "'";
  const std::string linha = "env " + ambiente + " LC_ALL=C.UTF-8 " SATCLI_BINARIO " " + argumentos +
                            " >" + saida + " 2>" + erro + " </dev/null";
  const int status = std::system(linha.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Le(saida), Le(erro)};
}

TEST(SatcliSatd, TheArchiveAsSatdServesItAndEveryRefusal) {
  Loja loja;
  const std::string ca = loja.Pasta() + "/certificado.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                         "-nodes -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -days 2 "
                         "-keyout " +
                         loja.Pasta() + "/chave.pem -out " + ca + " 2>/dev/null")
                            .c_str()),
            0);
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(
      loja.IniciaServidor({{"http", "usuario = \"caixa\"\nsenha = \"s3nha\"\ncertificado = \"" +
                                        ca + "\"\nchave = \"" + loja.Pasta() + "/chave.pem\""},
                           {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
                           {"arquivo", "usuario = \"contador\"\nsenha = \"c0ntador\""}}))
      << loja.erro;
  ASSERT_EQ(loja.esquema, "https");
  loja.usuario = "caixa";
  loja.senha = "s3nha";

  // Two sales from two checkouts, and each one's CF-e as satd serves it.
  std::vector<std::string> chaves, xmls;
  std::string dia, mes;
  for (const int caixa : {1, 2}) {
    const httplib::Result r =
        loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}}, caixa);
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
    const auto campos = teste::Campos(json::parse(r->body)["retorno"].get<std::string>());
    chaves.push_back(campos.at(8));
    const std::string ts = campos.at(7);
    mes = ts.substr(0, 4) + "-" + ts.substr(4, 2);
    dia = mes + "-" + ts.substr(6, 2);
  }
  httplib::Client tecnico = loja.Cliente();
  tecnico.set_basic_auth("tecnico", "t3cnico");
  for (const std::string &chave : chaves) {
    const httplib::Result r = tecnico.Get(loja.base + "/cfe/" + chave);
    ASSERT_TRUE(r && r->status == 200);
    ASSERT_NE(r->body.find("<CFe"), std::string::npos);
    xmls.push_back(r->body);
  }
  const httplib::Result lista = tecnico.Get(loja.base + "/cfe?de=" + dia + "&ate=" + dia);
  ASSERT_TRUE(lista && lista->status == 200);
  const json documentos = json::parse(lista->body)["documentos"];
  ASSERT_EQ(documentos.size(), 2u) << lista->body;

  const std::string url = "https://127.0.0.1:" + std::to_string(loja.porta);
  const std::string satd = "--satd " + url + " --ca " + ca + " --usuario ";
  const std::string arquivo = loja.Pasta() + "/cfe.xml", zip = loja.Pasta() + "/mes.zip";
  std::ofstream(loja.Pasta() + "/senha") << "t3cnico\n";
  const std::string periodo = "cfe --de " + dia + " --ate " + dia;
  const struct {
    std::string argumentos, senha;
    int status;
    std::string saida; // held by standard output (all of it, when `exata`)
    bool exata;
    std::string erro; // held by standard error, or it is empty
  } casos[] = {
      {satd + "tecnico cfe " + chaves[0], "t3cnico", 0, xmls[0], true, ""},
      {satd + "tecnico --senha-arquivo " + loja.Pasta() + "/senha cfe " + chaves[1] + " --salva " +
           arquivo,
       "", 0, "bytes gravados em " + arquivo, false, ""},
      {satd + "contador " + periodo, "c0ntador", 0, "2 CF-e de " + dia + " a " + dia, false, ""},
      {satd + "tecnico " + periodo + " --caixa 2", "t3cnico", 0, chaves[1], false, ""},
      {satd + "tecnico --json " + periodo, "t3cnico", 0, "\"completa\":true", false, ""},
      {satd + "tecnico cfe " + std::string(44, '1'), "t3cnico", 1, "", true,
       "não encontrado (404: nenhum CF-e com a chave " + std::string(44, '1') + ")"},
      {satd + "tecnico cfe " + chaves[0], "t3cnic", 1, "", true,
       "o satd recusou as credenciais (401: credenciais válidas necessárias)"},
      {satd + "caixa cfe " + chaves[0], "s3nha", 1, "", true,
       "esta credencial não dá acesso a isto (403: "},
      {satd + "tecnico cfe --de 2026-02-30 --ate " + dia, "t3cnico", 1, "", true,
       "o satd recusou o pedido (400: de deve ser uma data AAAA-MM-DD)"},
      {"--satd " + url + " --usuario tecnico cfe " + chaves[0], "t3cnico", 5, "", true,
       "o certificado TLS de " + url + " não foi verificado: dê a CA da loja com --ca"},
      {satd + "contador mes " + mes + " " + zip, "c0ntador", 0, "bytes gravados em " + zip, false,
       ""},
      {satd + "tecnico cfe CFe123", "t3cnico", 64, "", true, "não é uma chave de acesso"},
      {satd + "tecnico cfe " + chaves[0], "", 64, "", true, "SATD_SENHA"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.argumentos);
    const Execucao e = Satcli(loja, c.argumentos, c.senha);
    EXPECT_EQ(e.status, c.status) << e.erro;
    if (c.exata) {
      EXPECT_EQ(e.saida, c.saida);
    } else {
      EXPECT_NE(e.saida.find(c.saida), std::string::npos) << e.saida;
    }
    EXPECT_TRUE(c.erro.empty() ? e.erro.empty() : e.erro.find(c.erro) != std::string::npos)
        << e.erro;
    if (c.argumentos.find("--json") != std::string::npos) {
      EXPECT_EQ(json::parse(e.saida, nullptr, false)["documentos"], documentos) << e.saida;
    }
  }
  EXPECT_EQ(Le(arquivo), xmls[1]);
  // The month's zip holds each CF-e of the list under its key, byte for byte, and nothing is
  // left beside it.
  std::set<std::string> esperadas = {"resumo-" + mes + ".csv"};
  for (size_t i = 0; i < chaves.size(); ++i) {
    esperadas.insert(chaves[i] + ".xml");
  }
  std::set<std::string> nomes;
  for (const auto &[nome, conteudo] : teste::EntradasDoZip(Le(zip))) {
    nomes.insert(nome);
    for (size_t i = 0; i < chaves.size(); ++i) {
      EXPECT_TRUE(nome != chaves[i] + ".xml" || conteudo == xmls[i]) << nome;
    }
  }
  EXPECT_EQ(nomes, esperadas);
  size_t arquivos = 0;
  for ([[maybe_unused]] const auto &f : std::filesystem::directory_iterator(loja.Pasta())) {
    arquivos += f.path().string().find(".parcial-") != std::string::npos;
  }
  EXPECT_EQ(arquivos, 0u);

  // With satd gone, the connection is refused.
  ASSERT_EQ(loja.EncerraServidor(), 0);
  const Execucao e = Satcli(loja, satd + "tecnico cfe " + chaves[0], "t3cnico");
  EXPECT_EQ(e.status, 5);
  EXPECT_NE(e.erro.find("o satd em " + url + " não aceitou a conexão"), std::string::npos)
      << e.erro;
}

} // namespace
