// The month's zip through real satd and satemu processes: what the route and satd --exporta
// give against the archive, who may have it, and clients that stop reading it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "ambiente.h"
#include "zip.h"

namespace {

using nlohmann::json;
using teste::Loja;

const std::map<std::string, std::string> kConfiguracao = {
    {"http", "usuario = \"caixa\"\nsenha = \"s3nha\"\nprazo_ms = 1000"},
    {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
    {"metricas", "usuario = \"prometheus\"\nsenha = \"leitura\""},
    {"arquivo", "usuario = \"contador\"\nsenha = \"c0ntas\""}};

httplib::Client Como(const Loja &loja, const char *usuario, const char *senha) {
  httplib::Client cliente = loja.Cliente();
  cliente.set_basic_auth(usuario, senha);
  cliente.set_read_timeout(30, 0);
  return cliente;
}

// The reply's fields of a fiscal call that succeeded with `codigo`; empty otherwise.
std::vector<std::string> Fiscal(const httplib::Result &r, const std::string &codigo) {
  if (!r || r->status != 200) {
    ADD_FAILURE() << (r ? r->body : httplib::to_string(r.error()));
    return {};
  }
  const std::vector<std::string> campos =
      teste::Campos(json::parse(r->body)["retorno"].get<std::string>());
  EXPECT_TRUE(campos.size() > 9 && campos[1] == codigo) << r->body;
  return campos.size() > 9 ? campos : std::vector<std::string>();
}

std::map<std::string, std::string> Mapa(const std::string &zip) {
  const auto entradas = teste::EntradasDoZip(zip);
  std::map<std::string, std::string> mapa(entradas.begin(), entradas.end());
  EXPECT_EQ(mapa.size(), entradas.size()) << "an entry twice";
  return mapa;
}

std::string Le(const std::string &arquivo) {
  std::ifstream entrada(arquivo, std::ios::binary);
  std::stringstream bytes;
  bytes << entrada.rdbuf();
  return bytes.str();
}

TEST(Arquivo, TheMonthAsTheArchiveHasIt) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor(kConfiguracao)) << loja.erro;
  loja.usuario = "caixa";
  loja.senha = "s3nha";
  std::vector<std::string> chaves; // as the replies gave them, "CFe" and 44 digits
  for (int i = 1; i <= 3; ++i) {
    const auto campos =
        Fiscal(loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda(i)}}), "06000");
    ASSERT_FALSE(campos.empty());
    chaves.push_back(campos[8]);
  }
  const auto cancelamento =
      Fiscal(loja.Chama("cancelarultimavenda",
                        {{"chave_cfe", chaves.back()},
                         {"dados_cancelamento", teste::Cancelamento(chaves.back())}}),
             "07000");
  ASSERT_FALSE(cancelamento.empty());
  const std::string mes = cancelamento[7].substr(0, 4) + "-" + cancelamento[7].substr(4, 2);

  httplib::Client contador = Como(loja, "contador", "c0ntas");
  httplib::Client tecnico = Como(loja, "tecnico", "t3cnico");
  const std::string rota = loja.base + "/arquivo/" + mes + ".zip";
  const httplib::Result r = contador.Get(rota);
  ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/zip");
  EXPECT_EQ(r->get_header_value("Content-Disposition"),
            "attachment; filename=\"cfe-" + mes + ".zip\"");
  EXPECT_EQ(r->get_header_value("Transfer-Encoding"), "chunked");
  // Each document is what GET cfe/{chave} gives, under its name; and the summary.
  std::map<std::string, std::string> esperado;
  for (const std::string &chave : chaves) {
    const httplib::Result xml = tecnico.Get(loja.base + "/cfe/" + chave);
    ASSERT_TRUE(xml && xml->status == 200 && !xml->body.empty());
    esperado[chave + ".xml"] = xml->body;
  }
  const httplib::Result canc = contador.Get(loja.base + "/cfe/" + cancelamento[8]);
  ASSERT_TRUE(canc && canc->status == 200 && !canc->body.empty());
  esperado["CFeCanc" + cancelamento[8].substr(3) + ".xml"] = canc->body;
  std::map<std::string, std::string> lidas = Mapa(r->body);
  const std::string resumo = lidas["resumo-" + mes + ".csv"];
  lidas.erase("resumo-" + mes + ".csv");
  EXPECT_EQ(lidas, esperado);
  EXPECT_NE(resumo.find("\r\nTotal;3;"), std::string::npos) << resumo;
  EXPECT_NE(
      resumo.find(";1;" + std::string(cancelamento[9]).replace(cancelamento[9].find('.'), 1, ",")),
      std::string::npos)
      << resumo;
  // A reader apart from libarchive finds the zip sound.
  const std::string arquivo = loja.Pasta() + "/rota.zip";
  std::ofstream(arquivo, std::ios::binary) << r->body;
  EXPECT_EQ(std::system(("python3 -m zipfile -t " + arquivo + " >/dev/null").c_str()), 0);

  // satd --exporta, satd running, from the journal of the same configuration.
  const std::string offline = loja.Pasta() + "/offline.zip";
  EXPECT_EQ(std::system((std::string(SATD_BINARIO) + " --exporta " + mes + " " + offline +
                         " --config " + loja.Pasta() + "/satd.toml")
                            .c_str()),
            0);
  EXPECT_EQ(Mapa(Le(offline)), Mapa(r->body));

  // The accountant reads the archive, and nothing else; a checkout does not read it.
  const struct {
    httplib::Client *cliente;
    const char *caminho; // GET, unless it is a function
    int status;
    const char *trecho;
  } acessos[] = {
      {&contador, "/cfe?de=2020-01-01&ate=2099-12-31", 200, "documentos"},
      {&contador, "/arquivo/2024-13.zip", 400, "AAAA-MM.zip"},
      {&contador, "/arquivo/2024-01.tar", 400, "AAAA-MM.zip"},
      {&contador, "/enviardadosvenda", 403, "arquivo de CF-e"},
      {&contador, "/status", 403, "arquivo de CF-e"},
      {&contador, "/metrics", 403, "arquivo de CF-e"},
      {&contador, "/", 403, "arquivo de CF-e"},
      {&tecnico, "/arquivo/2001-01.zip", 200, ""},
  };
  httplib::Client caixa = Como(loja, "caixa", "s3nha");
  for (const auto &a : acessos) {
    SCOPED_TRACE(a.caminho);
    const std::string caminho =
        a.caminho[1] == 'm' || a.caminho[1] == '\0' ? a.caminho : loja.base + a.caminho;
    const httplib::Result x =
        std::string(a.caminho) == "/enviardadosvenda"
            ? a.cliente->Post(caminho, "numero_caixa=1", "application/x-www-form-urlencoded")
            : a.cliente->Get(caminho);
    ASSERT_TRUE(x);
    EXPECT_EQ(x->status, a.status) << x->body;
    EXPECT_NE(x->body.find(a.trecho), std::string::npos) << x->body;
  }
  const httplib::Result recusa = caixa.Get(rota);
  ASSERT_TRUE(recusa);
  EXPECT_EQ(recusa->status, 403);
  EXPECT_NE(recusa->body.find("contador"), std::string::npos) << recusa->body;
  EXPECT_FALSE(loja.EsperaLinha({" arquivo ", "http=200", "mes=" + mes + " documentos=4"}).empty());
}

// A connection that asks for the zip and then reads a few bytes only, through a tiny window.
int Parado(int porta, const std::string &caminho) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int pequeno = 4096;
  sockaddr_in endereco{};
  endereco.sin_family = AF_INET;
  endereco.sin_port = htons(static_cast<uint16_t>(porta));
  endereco.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string pedido = "GET " + caminho +
                             " HTTP/1.1\r\nHost: satd\r\nAuthorization: Basic "
                             "Y29udGFkb3I6YzBudGFz\r\n\r\n"; // contador:c0ntas
  char bytes[512] = {};
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &pequeno, sizeof pequeno) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&endereco), sizeof endereco) != 0 ||
      send(fd, pedido.data(), pedido.size(), 0) != static_cast<ssize_t>(pedido.size()) ||
      recv(fd, bytes, sizeof bytes, 0) <= 0 || std::string_view(bytes, 12) != "HTTP/1.1 200") {
    ADD_FAILURE() << "the export did not begin";
  }
  return fd;
}

// Clients that stop reading hold neither the sales nor satd: two at most at once, each dropped
// when a block waits beyond prazo_ms, and the room is there again after them.
TEST(Arquivo, ReadersThatStopHoldNothing) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor(kConfiguracao)) << loja.erro;
  loja.usuario = "caixa";
  loja.senha = "s3nha";
  // January 2020: 3000 documents of 8 KB that do not compress, far beyond the sockets' buffers.
  sqlite3 *banco = nullptr;
  ASSERT_EQ(sqlite3_open((loja.Pasta() + "/diario.sqlite3").c_str(), &banco), SQLITE_OK);
  sqlite3_busy_timeout(banco, 5000);
  EXPECT_EQ(sqlite3_exec(banco,
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                         " WHERE i < 3000) INSERT INTO cfe SELECT printf('%044d', i), 'venda',"
                         " '11111111111111', 1, i, printf('2020-01-%02d 10:00:00', 1 + i % 28),"
                         " '1.00', randomblob(8192) FROM n",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(banco);
  sqlite3_close(banco);

  const std::string rota = loja.base + "/arquivo/2020-01.zip";
  const int primeiro = Parado(loja.porta, rota), segundo = Parado(loja.porta, rota);
  httplib::Client contador = Como(loja, "contador", "c0ntas");
  const httplib::Result terceiro = contador.Get(rota);
  ASSERT_TRUE(terceiro);
  EXPECT_EQ(terceiro->status, 503) << terceiro->body;
  EXPECT_FALSE(
      Fiscal(loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}}), "06000").empty());
  EXPECT_TRUE(loja.EsperaLinhas("interrompida: o cliente não leu um bloco em 1000 ms", 2));
  close(primeiro);
  close(segundo);
  const httplib::Result inteiro = contador.Get(rota);
  ASSERT_TRUE(inteiro && inteiro->status == 200);
  const auto entradas = Mapa(inteiro->body);
  EXPECT_EQ(entradas.size(), 3001u);
  EXPECT_EQ(entradas.at("CFe" + std::string(40, '0') + "3000.xml").size(), 8192u);
  EXPECT_NE(entradas.at("resumo-2020-01.csv").find("\r\nTotal;3000;3000,00;0;0,00;3000,00\r\n"),
            std::string::npos);
}

} // namespace
