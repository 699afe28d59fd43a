// satd end to end: satemu on a pseudo-terminal, satd in front of it, ordinary HTTP clients, and
// the library called directly to say what satd should have answered.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <ctime>
#include <future>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ambiente.h"
#include "sat.h"
#include "satextrato.h"
#include "texto.h"

namespace {

using nlohmann::json;
using teste::Campos;
using teste::Loja;

const char kTipoFormulario[] = "application/x-www-form-urlencoded";
const std::string kEmitido = "Emitido com sucesso + conte\xC3\xBA"
                             "do notas.";

// The reply's retorno, when it is a 200 with exactly {"funcao": the library's name, "retorno":
// text}.
testing::AssertionResult Retorno(const httplib::Result &r, std::string &retorno) {
  if (!r) {
    return testing::AssertionFailure() << "no reply: " << httplib::to_string(r.error());
  }
  const json corpo = json::parse(r->body, nullptr, false);
  if (r->status != 200 || corpo.is_discarded() || corpo.size() != 2 || !corpo.contains("retorno") ||
      !corpo["retorno"].is_string() || !corpo.contains("funcao") || !corpo["funcao"].is_string()) {
    return testing::AssertionFailure() << r->status << " " << r->body;
  }
  retorno = corpo["retorno"];
  return testing::AssertionSuccess();
}

// A refusal: this status and {"erro": text holding `trecho`}.
testing::AssertionResult Recusa(const httplib::Result &r, int status, const std::string &trecho) {
  if (!r) {
    return testing::AssertionFailure() << "no reply: " << httplib::to_string(r.error());
  }
  const json corpo = json::parse(r->body, nullptr, false);
  if (r->status != status || corpo.is_discarded() || !corpo.contains("erro") ||
      corpo["erro"].get<std::string>().find(trecho) == std::string::npos) {
    return testing::AssertionFailure() << r->status << " " << r->body;
  }
  return testing::AssertionSuccess();
}

// The reply up to and including its sixth '|': a sale's text fields, before the binary tail
// that the device keeps and the library expands.
std::string Cabeca(const std::string &resposta) {
  size_t fim = 0;
  for (int i = 0; i < 6 && fim != std::string::npos; ++i) {
    fim = resposta.find('|', fim == 0 ? 0 : fim + 1);
  }
  return fim == std::string::npos ? resposta : resposta.substr(0, fim + 1);
}

// Every byte percent-escaped: the largest form a text can take.
std::string TudoEscapado(const std::string &texto) {
  std::string saida;
  char hex[4];
  for (const unsigned char c : texto) {
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    saida += hex;
  }
  return saida;
}

// One sample of a /metrics text ("name" or "name{labels}"), or NaN when it is not there.
double Metrica(const std::string &texto, const std::string &serie) {
  const size_t p = texto.find("\n" + serie + " ");
  return p == std::string::npos ? std::nan("")
                                : std::strtod(texto.c_str() + p + serie.size() + 2, nullptr);
}

// The status queries the device received (satemu records each request frame in hex).
int ConsultasDeStatus(const Loja &loja) {
  std::istringstream registro(loja.LeArquivo("registro.hex"));
  int consultas = 0;
  for (std::string hex; registro >> hex;) {
    std::string quadro;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      quadro += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    consultas += quadro.find("|ConsultarStatusOperacional|") != std::string::npos;
  }
  return consultas;
}

// base64 decoded here, apart from satd's decoder.
std::string DeBase64(const std::string &texto) {
  const std::string alfabeto = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string saida;
  uint32_t bits = 0;
  int quantos = 0;
  for (const char c : texto.substr(0, texto.find_last_not_of('=') + 1)) {
    bits = bits << 6 | static_cast<uint32_t>(alfabeto.find(c));
    saida += (quantos += 6) >= 8 ? std::string(1, char(bits >> (quantos -= 8))) : "";
  }
  return saida;
}

std::string Preco(int centavos) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%d.%02d", centavos / 100, centavos % 100);
  return texto;
}

// The walk of a SAT's life through every function: each reply is what the library gives for
// the same session when called directly. For a command the device keeps, the library's
// ConsultarNumeroSessao gives that reply back byte for byte (a sale's with its tail expanded, as
// the sale gave it); queries the device does not keep are asked again. Asked through satd, the
// sale's session gives the whole sale back.
TEST(Vida, EveryFunctionAnswersAsTheLibraryDoes) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  setenv("SAT_DEV_DIR", (loja.Pasta() + "/").c_str(), 1);
  ASSERT_EQ(AbreSerialSAT(7, 0, 0, 0, 0), 0);

  std::string codigo = "12345678";
  int32_t sessaoDireta = 1000000; // above every number satd draws
  std::map<std::string, std::vector<std::string>> visto;
  const auto campo = [&](const char *funcao, size_t i) { return visto[funcao].at(i); };

  enum Comparacao { Guardada, Venda, Repetida, AVenda };
  const struct {
    const char *funcao;
    std::function<httplib::Params()> campos;
    const char *codigo; // nullptr: whichever the device gives
    Comparacao como;
    const char *novoCodigo; // the device's code from this step on
    bool reinicia;          // satd stops and starts again before this step
  } passos[] = {
      {"consultarsat", [] { return httplib::Params{}; }, "08000", Repetida, nullptr, false},
      {"ativarsat",
       [] {
         return httplib::Params{
             {"tipo_certificado", "2"}, {"cnpj", teste::kCnpj}, {"codigo_uf", "35"}};
       },
       "04006", Guardada, nullptr, false},
      {"comunicarcertificadoicpbrasil",
       [] {
         return httplib::Params{{"certificado", "-----BEGIN CERTIFICATE-----\nTUlJQ2VqQ0NB\n"
                                                "-----END CERTIFICATE-----\n"}};
       },
       "05000", Guardada, nullptr, false},
      {"associarassinatura",
       [] {
         return httplib::Params{
             {"sequencia_cnpj", std::string(teste::kCnpjSoftwareHouse) + teste::kCnpj},
             {"assinatura_ac", teste::kAssinatura}};
       },
       "13000", Guardada, nullptr, false},
      {"configurarinterfacederede",
       [] {
         return httplib::Params{{"configuracao",
                                 "<config><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.5</lanIP><lanMask>"
                                 "255.255.255.0</lanMask><lanGW>10.0.0.1</lanGW></config>"}};
       },
       "12000", Guardada, nullptr, false},
      {"consultarstatusoperacional", [] { return httplib::Params{}; }, "10000", Guardada, nullptr,
       false},
      {"enviardadosvenda",
       [] {
         return httplib::Params{{"dados_venda", teste::Venda()}};
       },
       "06000", Venda, nullptr, false},
      {"consultarultimasessaofiscal", [] { return httplib::Params{}; }, "06000", Repetida, nullptr,
       false},
      {"consultarnumerosessao",
       [&] {
         return httplib::Params{{"numero_sessao", campo("enviardadosvenda", 0)}};
       },
       "06000", AVenda, nullptr, false},
      {"cancelarultimavenda",
       [&] {
         const std::string chave = campo("enviardadosvenda", 8);
         return httplib::Params{{"chave_cfe", chave},
                                {"dados_cancelamento", teste::Cancelamento(chave)}};
       },
       "07000", Guardada, nullptr, false},
      {"testefimafim",
       [] {
         return httplib::Params{{"dados_venda", teste::Venda(1)}};
       },
       "09000", Guardada, nullptr, false},
      {"atualizarsoftwaresat", [] { return httplib::Params{}; }, "14000", Guardada, nullptr, false},
      {"extrairlogs", [] { return httplib::Params{}; }, "15000", Guardada, nullptr, false},
      {"trocarcodigodeativacao",
       [] {
         return httplib::Params{{"novo_codigo_ativacao", "novo1234"}, {"opcao", "1"}};
       },
       "18000", Guardada, "novo1234", false},
      // A new satd: the new code comes from its file.
      {"bloquearsat", [] { return httplib::Params{}; }, "16000", Guardada, nullptr, true},
      {"desbloquearsat", [] { return httplib::Params{}; }, "17000", Guardada, nullptr, false},
      {"consultarstatusoperacional", [] { return httplib::Params{}; }, "10000", Guardada, nullptr,
       false},
      {"trocarcodigodeativacao",
       [] {
         return httplib::Params{{"novo_codigo_ativacao", "12345678"},
                                {"opcao", "2"},
                                {"codigo_emergencia", "87654321"}};
       },
       "18000", Guardada, "12345678", false},
  };
  std::set<std::string> funcoes;
  std::vector<std::pair<int32_t, std::string>> pendentes; // to compare with the device's copy
  std::string venda;                                      // the sale's reply through satd
  for (const auto &p : passos) {
    SCOPED_TRACE(p.funcao);
    funcoes.insert(p.funcao);
    if (p.reinicia) {
      ASSERT_EQ(loja.EncerraServidor(), 0);
      ASSERT_EQ(loja.LeArquivo("codigo"), "novo1234\n");
      ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
    }
    std::string retorno;
    ASSERT_TRUE(Retorno(loja.Chama(p.funcao, p.campos()), retorno));
    const std::vector<std::string> campos = Campos(retorno);
    ASSERT_GE(campos.size(), 2u) << retorno;
    if (p.codigo != nullptr) {
      EXPECT_EQ(campos[1], p.codigo) << retorno;
    }
    if (p.novoCodigo != nullptr) {
      codigo = p.novoCodigo;
    }
    const int32_t sessao = std::atoi(campos[0].c_str());
    // A session query answers with the reply of the session asked about, and the last fiscal
    // session with that of the sale.
    const std::string funcao = p.funcao;
    const std::string sessaoNoLog =
        funcao == "consultarnumerosessao" || funcao == "consultarultimasessaofiscal" ? ""
                                                                                     : campos[0];
    EXPECT_NE(loja.EsperaLinha({"caixa=001 " + std::string(p.funcao) + " sessao=" + sessaoNoLog,
                                " codigo=" + campos[1] + " http=200"}),
              "");
    switch (p.como) {
    case Guardada:
      pendentes.emplace_back(sessao, retorno);
      break;
    case Repetida: // queries the device does not keep: the same query, same session, again
      EXPECT_EQ(retorno, satd::Windows1252ParaUtf8(
                             std::string(p.funcao) == "consultarsat"
                                 ? ConsultarSAT(sessao)
                                 : ConsultarUltimaSessaoFiscal(sessao, codigo.c_str())));
      break;
    case AVenda:
      EXPECT_EQ(retorno, venda);
      break;
    case Venda:
      venda = retorno;
      EXPECT_EQ(retorno, satd::Windows1252ParaUtf8(
                             ConsultarNumeroSessao(sessaoDireta++, codigo.c_str(), sessao)));
      ASSERT_EQ(campos.size(), 12u) << retorno;
      EXPECT_EQ(campos[3], kEmitido);
      EXPECT_EQ(campos[8].size(), 47u);
      EXPECT_EQ(campos[9], "5.00");
      EXPECT_EQ(campos[10], "11144477735");
      break;
    }
    // Until its certificate is in, the device answers no query about past sessions.
    if (std::string(p.funcao) != "ativarsat") {
      for (const auto &[s, r] : pendentes) {
        EXPECT_EQ(
            r, satd::Windows1252ParaUtf8(ConsultarNumeroSessao(sessaoDireta++, codigo.c_str(), s)));
      }
      pendentes.clear();
    }
    visto[p.funcao] = campos;
  }
  EXPECT_EQ(funcoes.size(), 16u);
  EXPECT_NE(loja.EsperaLinha({"nota: código de ativação trocado e guardado em"}), "");
  EXPECT_EQ(loja.LeArquivo("codigo"), "12345678\n");
  ASSERT_EQ(loja.EncerraServidor(), 0);
  EXPECT_NE(loja.EsperaLinha({"satd parou"}), "");
}

// Eight checkouts, fifty calls each, all at once: every reply is the checkout's own. Sales carry
// a price no other sale has, and each checkout then asks for its own sale by session.
TEST(Concorrencia, EightCheckoutsFiftyCallsEach) {
  constexpr int kCaixas = 8;
  constexpr int kChamadas = 50;
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;

  std::vector<std::vector<std::string>> sessoes(kCaixas);
  std::vector<std::vector<std::string>> chaves(kCaixas);
  std::vector<std::thread> caixas;
  for (int c = 0; c < kCaixas; ++c) {
    caixas.emplace_back([&, c] {
      httplib::Client cliente = loja.Cliente();
      const std::string caixa = std::to_string(c + 1);
      std::string cabeca;
      for (int i = 0; i < kChamadas; ++i) {
        std::string retorno;
        if (i % 2 == 0) {
          const int centavos = 100 + c * kChamadas + i;
          const httplib::Params campos = {{"numero_caixa", caixa},
                                          {"dados_venda", teste::Venda(1, centavos)}};
          if (!Retorno(cliente.Post(loja.base + "/enviardadosvenda", campos), retorno)) {
            ADD_FAILURE() << "checkout " << caixa << " sale " << i;
            continue;
          }
          const std::vector<std::string> f = Campos(retorno);
          EXPECT_EQ(f.size(), 12u) << retorno;
          EXPECT_EQ(f[1], "06000") << retorno;
          EXPECT_EQ(f.size() > 9 ? f[9] : "", Preco(centavos)) << retorno;
          sessoes[c].push_back(f[0]);
          chaves[c].push_back(f.size() > 8 ? f[8] : "");
          cabeca = Cabeca(retorno);
        } else {
          const httplib::Params campos = {{"numero_caixa", caixa},
                                          {"numero_sessao", sessoes[c].back()}};
          EXPECT_TRUE(Retorno(cliente.Post(loja.base + "/consultarnumerosessao", campos), retorno));
          EXPECT_EQ(Cabeca(retorno), cabeca);
        }
      }
    });
  }
  for (std::thread &t : caixas) {
    t.join();
  }
  std::set<std::string> todasSessoes;
  std::set<std::string> todasChaves;
  ASSERT_TRUE(loja.EsperaLinhas(" http=200 ", size_t{kCaixas * kChamadas}));
  const std::string log = loja.LeArquivo("satd.log");
  for (int c = 0; c < kCaixas; ++c) {
    EXPECT_EQ(sessoes[c].size(), size_t{kChamadas / 2});
    char caixa[16];
    std::snprintf(caixa, sizeof caixa, "caixa=%03d ", c + 1);
    for (const std::string &s : sessoes[c]) {
      todasSessoes.insert(s);
      EXPECT_NE(log.find(caixa + std::string("enviardadosvenda sessao=") + s + " codigo=06000"),
                std::string::npos)
          << caixa << s;
    }
    todasChaves.insert(chaves[c].begin(), chaves[c].end());
    size_t linhas = 0;
    for (size_t p = log.find(caixa); p != std::string::npos; p = log.find(caixa, p + 1)) {
      linhas += log.compare(log.find(" http=", p), 10, " http=200 ") == 0;
    }
    EXPECT_EQ(linhas, size_t{kChamadas}) << caixa;
  }
  EXPECT_EQ(todasSessoes.size(), size_t{kCaixas * kChamadas / 2});
  EXPECT_EQ(todasChaves.size(), size_t{kCaixas * kChamadas / 2});
}

// A full queue answers 503 at once; a request that waits too long for its turn gets 503 too,
// and neither reaches the device. satemu is stopped (SIGSTOP) to hold the call in progress.
// A port is one satd's: a second one on the same port does not start, rather than share the port
// and receive part of the first one's checkouts.
TEST(Porta, ASecondSatdOnTheSamePortDoesNotStart) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  const std::string configuracao = loja.Pasta() + "/segundo.toml";
  std::ofstream(configuracao) << "[http]\nporta = " << loja.porta
                              << "\n[sat]\ncodigo_ativacao = \"12345678\"\nporta = 7\n";
  teste::Processo segundo;
  std::string linha;
  teste::OpcoesProcesso opcoes;
  opcoes.ambiente = {"SAT_DEV_DIR=" + loja.Pasta() + "/"};
  EXPECT_FALSE(segundo.Inicia({SATD_BINARIO, "--config", configuracao}, linha, opcoes)) << linha;
  EXPECT_NE(segundo.Encerra(), 0);
  std::string retorno;
  EXPECT_TRUE(Retorno(loja.Chama("consultarsat"), retorno));
}

TEST(Fila, FullQueueAndLongWait) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(
      loja.IniciaServidor({{"http", "conexoes = 8"}, {"fila", "tamanho = 2\nespera_ms = 5000"}}))
      << loja.erro;
  loja.emulador.Sinaliza(SIGSTOP);
  struct Continua {
    Loja &loja;
    ~Continua() { loja.emulador.Sinaliza(SIGCONT); }
  } continua{loja};

  auto chama = [&](const char *funcao) {
    return std::async(std::launch::async, [&loja, funcao] { return loja.Chama(funcao); });
  };
  auto a = chama("consultarstatusoperacional");
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
  auto b = chama("consultarsat");
  auto c = chama("consultarsat");
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["esperando"] == 2; }));
  const httplib::Result d = loja.Chama("consultarsat");
  EXPECT_TRUE(Recusa(d, 503, "fila do SAT está cheia"));
  EXPECT_EQ(d ? d->get_header_value("Retry-After") : "", "1");
  EXPECT_TRUE(Recusa(b.get(), 503, "esperou 5000 ms"));
  EXPECT_TRUE(Recusa(c.get(), 503, "esperou 5000 ms"));
  loja.emulador.Sinaliza(SIGCONT);
  std::string retorno;
  EXPECT_TRUE(Retorno(a.get(), retorno));
  EXPECT_EQ(Campos(retorno).at(1), "10000");
  EXPECT_TRUE(loja.EsperaEstado([](const json &e) {
    return e["atendidas"] == 1 && e["recusadas"] == 3 && e["porta"] == "COM7";
  }));
  // The device saw one request only.
  EXPECT_EQ(loja.LeArquivo("registro.hex").find('\n'), loja.LeArquivo("registro.hex").size() - 1);
}

// A sale written whole on a socket of its own, its reply left unread: the socket, or -1.
int VendeCru(const Loja &loja, int caixa) {
  const std::string corpo =
      "numero_caixa=" + std::to_string(caixa) + "&dados_venda=" + TudoEscapado(teste::Venda());
  const std::string pedido =
      "POST " + loja.base +
      "/enviardadosvenda HTTP/1.1\r\nHost: satd\r\nContent-Type: " + kTipoFormulario +
      "\r\nContent-Length: " + std::to_string(corpo.size()) + "\r\n\r\n" + corpo;
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in endereco{};
  endereco.sin_family = AF_INET;
  endereco.sin_port = htons(static_cast<uint16_t>(loja.porta));
  inet_pton(AF_INET, "127.0.0.1", &endereco.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr *>(&endereco), sizeof endereco) != 0 ||
      send(s, pedido.data(), pedido.size(), MSG_NOSIGNAL) != ssize_t(pedido.size())) {
    close(s);
    return -1;
  }
  return s;
}

// A checkout that drops in the middle of a sale, and a SIGTERM while the sale is still with the
// device: the sale ends, its line is logged, satd exits cleanly, and the reply can be had again.
TEST(Interrupcoes, ADroppedSaleAndAStopLoseNothing) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  loja.emulador.Sinaliza(SIGSTOP);
  struct Continua {
    Loja &loja;
    ~Continua() { loja.emulador.Sinaliza(SIGCONT); }
  } continua{loja};

  const int s = VendeCru(loja, 4);
  ASSERT_GE(s, 0);
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
  close(s);

  auto seguinte = std::async(std::launch::async, [&] { return loja.Chama("consultarsat", {}, 5); });
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["esperando"] == 1; }));
  loja.servidor.Sinaliza(SIGTERM);
  EXPECT_TRUE(Recusa(seguinte.get(), 503, "o satd está parando"));
  loja.emulador.Sinaliza(SIGCONT);
  EXPECT_EQ(loja.EncerraServidor(), 0);

  const std::string linha = loja.EsperaLinha({"caixa=004 enviardadosvenda", "codigo=06000"});
  ASSERT_NE(linha, "");
  const std::string log = loja.LeArquivo("satd.log");
  EXPECT_LT(log.find(linha), log.find("satd parou"));
  const size_t s0 = linha.find("sessao=") + 7;
  const std::string sessao = linha.substr(s0, linha.find(' ', s0) - s0);

  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  std::string retorno;
  ASSERT_TRUE(
      Retorno(loja.Chama("consultarnumerosessao", {{"numero_sessao", sessao}}, 4), retorno));
  EXPECT_EQ(retorno.rfind(sessao + "|06000|0000|" + kEmitido + "|", 0), 0u) << retorno;
}

// Behind a sale that holds the SAT, a checkout that closes its connection and one that only
// half-closes are not sent to the SAT when their turn comes: the first sees nothing, the second
// reads the 503. The sale whose client went during the call is kept, and the log says its reply
// was not delivered.
TEST(Interrupcoes, ClientsGoneBeforeTheirTurnSendNothing) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  loja.emulador.Sinaliza(SIGSTOP);
  const int emCurso = VendeCru(loja, 4);
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
  const int fechado = VendeCru(loja, 6);
  const int meio = VendeCru(loja, 7);
  ASSERT_TRUE(emCurso >= 0 && fechado >= 0 && meio >= 0);
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["esperando"] == 2; }));
  close(emCurso);
  close(fechado);
  shutdown(meio, SHUT_WR);
  loja.emulador.Sinaliza(SIGCONT);
  char resposta[64] = {};
  EXPECT_GT(recv(meio, resposta, sizeof resposta - 1, MSG_WAITALL), 12);
  EXPECT_EQ(std::string(resposta).rfind("HTTP/1.1 503", 0), 0u) << resposta;
  close(meio);
  EXPECT_NE(loja.EsperaLinha({"caixa=004 enviardadosvenda", "codigo=06000", "entregue=nao"}), "");
  for (const char *caixa :
       {"caixa=006 enviardadosvenda sessao=-", "caixa=007 enviardadosvenda sessao=-"}) {
    EXPECT_NE(loja.EsperaLinha({caixa, "http=503"}), "") << caixa;
  }
}

// Malformed requests are refused before anything reaches the device (the field checks
// themselves are the unit tests' table); the largest sale fits.
TEST(Recusas, NothingMalformedReachesTheDevice) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  const struct {
    const char *caso;
    std::string caminho;
    std::string tipo; // "": a GET
    std::string corpo;
    int status;
    const char *erro;
  } casos[] = {
      {"bad escape", "/consultarsat", kTipoFormulario, "numero_caixa=%1", 400,
       "escape %XX malformado"},
      {"no checkout", "/consultarsat", kTipoFormulario, "", 400, "numero_caixa deve ser"},
      {"checkout 1000", "/consultarsat", kTipoFormulario, "numero_caixa=1000", 400,
       "numero_caixa deve ser um número inteiro de 0 a 999"},
      {"no Windows-1252 form", "/comunicarcertificadoicpbrasil", kTipoFormulario,
       "numero_caixa=1&certificado=MIIC%E2%86%92", 400,
       "certificado: caractere U+2192 no byte 4 sem equivalente em Windows-1252"},
      {"JSON body", "/consultarsat", "application/json", "{\"numero_caixa\": 1}", 415,
       "x-www-form-urlencoded"},
      {"unknown function", "/vendermais", kTipoFormulario, "numero_caixa=1", 404,
       "função desconhecida: vendermais"},
      {"upper case", "/ConsultarSAT", kTipoFormulario, "numero_caixa=1", 404,
       "função desconhecida"},
      {"not UTF-8 in the path", "/%FFx", kTipoFormulario, "numero_caixa=1", 404,
       "função desconhecida: %FFx"},
      {"GET a function", "/consultarsat", "", "", 405, "as funções são chamadas com POST"},
      {"a path in the function", "/consultarsat/x", kTipoFormulario, "numero_caixa=1", 404,
       "função desconhecida: consultarsat/x"},
      {"too large", "/enviardadosvenda", kTipoFormulario, std::string(5 * 1024 * 1024 + 1, 'a'),
       413, "corpo da requisição acima de 5242880 bytes"},
  };
  httplib::Client cliente = loja.Cliente();
  for (const auto &c : casos) {
    SCOPED_TRACE(c.caso);
    const std::string caminho = loja.base + c.caminho;
    EXPECT_TRUE(Recusa(c.tipo.empty() ? cliente.Get(caminho)
                                      : cliente.Post(caminho, c.corpo, c.tipo.c_str()),
                       c.status, c.erro));
  }
  EXPECT_TRUE(Recusa(cliente.Post("/hub/consultarsat", "numero_caixa=1", kTipoFormulario), 404,
                     "caminho inexistente"));
  EXPECT_EQ(loja.LeArquivo("registro.hex"), "");
  EXPECT_NE(loja.EsperaLinha({"caixa=- POST " + loja.base + "/vendermais", "http=404"}), "");

  // 1,500 KB of sale with every byte escaped (4.6 MB of form) is not too large. The library
  // sends the document up to its "</CFe>", so the padding after it never reaches the device.
  std::string venda = teste::Venda(500) + "<!-- ";
  venda += std::string(1500 * 1024 - 4 - venda.size(), '.') + " -->";
  ASSERT_EQ(venda.size(), 1500u * 1024);
  std::string retorno;
  ASSERT_TRUE(
      Retorno(cliente.Post(loja.base + "/enviardadosvenda",
                           "numero_caixa=1&dados_venda=" + TudoEscapado(venda), kTipoFormulario),
              retorno));
  EXPECT_EQ(Campos(retorno).at(1), "06000");
  EXPECT_NE(loja.LeArquivo("registro.hex"), "");
}

// Credentials, over TLS: none, wrong and right.
TEST(Seguranca, CredentialsOverTls) {
  Loja loja;
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                         "-nodes -subj /CN=127.0.0.1 -days 2 -keyout " +
                         loja.Pasta() + "/chave.pem -out " + loja.Pasta() +
                         "/certificado.pem 2>/dev/null")
                            .c_str()),
            0);
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor(
      {{"http", "usuario = \"caixa\"\nsenha = \"s3nha: forte\"\ncertificado = \"" + loja.Pasta() +
                    "/certificado.pem\"\nchave = \"" + loja.Pasta() + "/chave.pem\""}}))
      << loja.erro;
  ASSERT_EQ(loja.esquema, "https");
  const struct {
    const char *caso;
    const char *usuario; // nullptr: no Authorization header
    const char *senha;
    int status;
  } casos[] = {
      {"none", nullptr, nullptr, 401},
      {"wrong password", "caixa", "s3nha: fort", 401},
      {"wrong user", "caixo", "s3nha: forte", 401},
      {"empty", "", "", 401},
      {"right", "caixa", "s3nha: forte", 200},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.caso);
    httplib::Client cliente = loja.Cliente();
    if (c.usuario != nullptr) {
      cliente.set_basic_auth(c.usuario, c.senha);
    }
    const httplib::Result r =
        cliente.Post(loja.base + "/consultarsat", "numero_caixa=1", kTipoFormulario);
    std::string retorno;
    if (c.status == 200) {
      EXPECT_TRUE(Retorno(r, retorno));
      EXPECT_EQ(Campos(retorno).at(1), "08000");
    } else {
      EXPECT_TRUE(Recusa(r, 401, "credenciais válidas necessárias"));
      EXPECT_EQ(r ? r->get_header_value("WWW-Authenticate").rfind("Basic ", 0) : 1u, 0u);
    }
  }
  EXPECT_TRUE(Recusa(loja.Cliente().Get(loja.base + "/status"), 401, "credenciais"));
  // The device saw the one authorised call only.
  EXPECT_EQ(loja.LeArquivo("registro.hex").find('\n'), loja.LeArquivo("registro.hex").size() - 1);
  httplib::Client claro("http://127.0.0.1:" + std::to_string(loja.porta));
  claro.set_read_timeout(5, 0);
  const httplib::Result r = claro.Get(loja.base + "/status");
  EXPECT_FALSE(r && r->status == 200);
}

// /metrics: the monitor's own credential opens it and nothing else; scrapes ask the SAT for its
// status at most once per interval and never wait behind a checkout's call, serving the last
// status with its age; each request counts by function, device code and HTTP status.
TEST(Metricas, OncePerIntervalAndNeverBehindASale) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto", "--certificado-vence", "+10"})) << loja.erro;
  std::map<std::string, std::string> configuracao = {
      {"http", "usuario = \"caixa\"\nsenha = \"s3nha\""},
      {"metricas", "usuario = \"prometheus\"\nsenha = \"leitura\""},
      {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
      {"saude", "intervalo_s = 3600"}};
  ASSERT_TRUE(loja.IniciaServidor(configuracao)) << loja.erro;
  loja.usuario = "caixa";
  loja.senha = "s3nha";
  // A scrape that queued behind a held call would wait out espera_ms (60 s) and fail here.
  const auto raspa = [&] {
    httplib::Client monitor = loja.Cliente();
    monitor.set_basic_auth("prometheus", "leitura");
    monitor.set_read_timeout(20, 0);
    return monitor.Get("/metrics");
  };

  const struct {
    const char *usuario; // nullptr: no credentials
    const char *senha;
    bool post;
    std::string caminho;
    int status;
  } acessos[] = {
      {"prometheus", "leitura", false, "/metrics", 200},
      {"prometheus", "leitura", false, loja.base + "/status", 403},
      {"prometheus", "leitura", false, loja.base + "/saude", 403},
      {"prometheus", "leitura", true, "/metrics", 405},
      {"prometheus", "leitur", false, "/metrics", 401},
      {nullptr, nullptr, false, "/metrics", 401},
      {"caixa", "s3nha", false, "/metrics", 200},
  };
  for (const auto &a : acessos) {
    SCOPED_TRACE(std::string(a.usuario != nullptr ? a.usuario : "-") + " " + a.caminho);
    httplib::Client cliente("http://127.0.0.1:" + std::to_string(loja.porta));
    if (a.usuario != nullptr) {
      cliente.set_basic_auth(a.usuario, a.senha);
    }
    const httplib::Result r = a.post ? cliente.Post(a.caminho, "numero_caixa=1", kTipoFormulario)
                                     : cliente.Get(a.caminho);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, a.status);
  }

  httplib::Result r = raspa();
  ASSERT_TRUE(r && r->status == 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(Metrica(r->body, "sat_check_level{check=\"certificado\"}"), 1);
  EXPECT_EQ(Metrica(r->body, "sat_check_level{check=\"consulta\"}"), 0);
  EXPECT_EQ(Metrica(r->body, "sat_health_level"), 1);
  EXPECT_EQ(Metrica(r->body, "sat_operation_state"), 0);
  EXPECT_EQ(Metrica(r->body, "sat_cfe_pending"), 0);
  EXPECT_EQ(Metrica(r->body, "satd_status_interval_seconds"), 3600);
  EXPECT_EQ(Metrica(r->body, "satd_queue_capacity"), 32);
  EXPECT_EQ(
      Metrica(r->body, "sat_info{nserie=\"900000001\",ver_sb=\"01.00.00\",ver_layout=\"00.08\"}"),
      1);
  // The last day is the tenth from today, and the certificate is good through all of it.
  const double restante =
      Metrica(r->body, "sat_certificate_expiry_timestamp_seconds") - double(std::time(nullptr));
  EXPECT_GT(restante, 10 * 86400 - 60);
  EXPECT_LE(restante, 11 * 86400);

  std::string retorno;
  ASSERT_TRUE(Retorno(loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}}), retorno));
  // The sale's CF-e, from the archive, is what its reply carried; for the technician only.
  const std::string chave = Campos(retorno).at(8), xml = DeBase64(Campos(retorno).at(6));
  ASSERT_NE(xml.find("<CFe"), std::string::npos) << xml;
  httplib::Client tecnico = loja.Cliente();
  tecnico.set_basic_auth("tecnico", "t3cnico");
  for (const std::string &caminho : {chave, chave.substr(3)}) {
    r = tecnico.Get(loja.base + "/cfe/" + caminho);
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
    EXPECT_EQ(r->body, xml);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/xml");
  }
  EXPECT_TRUE(Recusa(loja.Cliente().Get(loja.base + "/cfe/" + chave), 403, "técnico"));
  EXPECT_TRUE(Recusa(tecnico.Get(loja.base + "/cfe/" + std::string(44, '1')), 404, "nenhum"));
  EXPECT_TRUE(Recusa(tecnico.Get(loja.base + "/cfe/CFe123"), 400, "malformada"));
  // The list of the sale's day holds it, another checkout's nothing; a day that is none is
  // refused.
  const std::string ts = Campos(retorno).at(7);
  const std::string dia = ts.substr(0, 4) + "-" + ts.substr(4, 2) + "-" + ts.substr(6, 2);
  r = tecnico.Get(loja.base + "/cfe?de=" + dia + "&ate=" + dia);
  ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
  const json lista = json::parse(r->body, nullptr, false);
  ASSERT_TRUE(lista.contains("documentos") && lista["documentos"].size() == 1) << r->body;
  EXPECT_EQ(lista["documentos"][0]["chave"], chave);
  EXPECT_EQ(lista["documentos"][0]["bytes"], xml.size());
  EXPECT_EQ(lista["completa"], true);
  r = tecnico.Get(loja.base + "/cfe?de=" + dia + "&ate=" + dia + "&caixa=998");
  ASSERT_TRUE(r && r->status == 200);
  EXPECT_EQ(json::parse(r->body, nullptr, false)["documentos"], json::array()) << r->body;
  EXPECT_TRUE(Recusa(tecnico.Get(loja.base + "/cfe?de=2026-02-30&ate=" + dia), 400, "AAAA-MM-DD"));
  ASSERT_TRUE(Retorno(loja.Chama("consultarsat"), retorno));
  ASSERT_TRUE(Recusa(loja.Chama("consultarsat", {}, 1000), 400, "numero_caixa"));
  ASSERT_EQ(loja.Cliente().Get(loja.base + "/saude")->status, 200);
  r = raspa();
  ASSERT_TRUE(r && r->status == 200);
  const char *const contadas[] = {
      "satd_requests_total{funcao=\"enviardadosvenda\",codigo=\"06000\",http=\"200\"}",
      "satd_requests_total{funcao=\"consultarsat\",codigo=\"08000\",http=\"200\"}",
      "satd_requests_total{funcao=\"consultarsat\",codigo=\"-\",http=\"400\"}",
      "satd_request_duration_seconds_count{funcao=\"enviardadosvenda\"}",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"+Inf\"}",
      "satd_status_queries_total"};
  for (const char *serie : contadas) {
    EXPECT_EQ(Metrica(r->body, serie), 1) << serie;
  }
  EXPECT_EQ(Metrica(r->body, "satd_request_duration_seconds_count{funcao=\"consultarsat\"}"), 2);
  EXPECT_EQ(Metrica(r->body, "satd_arquivo_documentos{tipo=\"venda\"}"), 1);
  EXPECT_EQ(Metrica(r->body, "satd_arquivo_documentos{tipo=\"cancelamento\"}"), 0);
  EXPECT_EQ(Metrica(r->body, "satd_arquivo_bytes"), double(xml.size()));
  EXPECT_NEAR(Metrica(r->body, "satd_arquivo_mais_antigo_timestamp_segundos"),
              double(std::time(nullptr)), 600);
  // Two scrapes in the access table, two here, the page's JSON: one status query.
  EXPECT_EQ(ConsultasDeStatus(loja), 1);

  // Every scrape wants a fresh status now, but none waits behind a call in progress.
  ASSERT_EQ(loja.EncerraServidor(), 0);
  configuracao["saude"] = "intervalo_s = 0";
  ASSERT_TRUE(loja.IniciaServidor(configuracao)) << loja.erro;
  r = raspa();
  ASSERT_TRUE(r && r->status == 200);
  EXPECT_EQ(Metrica(r->body, "satd_status_queries_total"), 1);
  EXPECT_EQ(ConsultasDeStatus(loja), 2);
  loja.emulador.Sinaliza(SIGSTOP);
  struct Continua {
    Loja &loja;
    ~Continua() { loja.emulador.Sinaliza(SIGCONT); }
  } continua{loja};
  auto chamada = std::async(std::launch::async, [&] { return loja.Chama("consultarsat"); });
  ASSERT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
  r = raspa();
  ASSERT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
  EXPECT_EQ(Metrica(r->body, "satd_queue_busy"), 1);
  EXPECT_EQ(Metrica(r->body, "satd_status_queries_total"), 1);
  EXPECT_EQ(Metrica(r->body, "sat_check_level{check=\"certificado\"}"), 1);
  EXPECT_GE(Metrica(r->body, "sat_status_age_seconds"), 0);
  loja.emulador.Sinaliza(SIGCONT);
  ASSERT_TRUE(Retorno(chamada.get(), retorno));
  EXPECT_EQ(ConsultasDeStatus(loja), 2);
  r = raspa();
  ASSERT_TRUE(r && r->status == 200);
  EXPECT_EQ(Metrica(r->body, "satd_status_queries_total"), 2);
  EXPECT_EQ(Metrica(r->body, "satd_queue_busy"), 0);
  EXPECT_EQ(ConsultasDeStatus(loja), 3);
}

} // namespace

namespace {

// The extrato, from satd: the archive's PDF of a sale and of its cancellation, and the ESC/POS
// that reached the shop's printer (a file here) for each, when the checkout asked, equal to what
// the library lays out of the archived documents; a checkout's request for a printer satd lacks
// is refused before the SAT sees it.
TEST(Extrato, DoArquivoENaImpressoraDaLoja) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  const std::string impressora = loja.Pasta() + "/impressora";
  ASSERT_TRUE(loja.IniciaServidor({{"http", "clientes = [\"127.0.0.1\"]"},
                                   {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
                                   {"impressora", "destino = \"" + impressora + "\"\npapel = 58"}}))
      << loja.erro;
  const auto extrato = [](const std::string &xml, const std::string &venda, int formato,
                          int papel) {
    unsigned char *bytes = nullptr;
    int32_t tamanho = 0;
    const int32_t r = venda.empty()
                          ? ExtratoVenda(xml.data(), static_cast<int32_t>(xml.size()), formato,
                                         papel, &bytes, &tamanho)
                          : ExtratoCancelamento(xml.data(), static_cast<int32_t>(xml.size()),
                                                venda.data(), static_cast<int32_t>(venda.size()),
                                                formato, papel, &bytes, &tamanho);
    EXPECT_EQ(r, EXTRATO_OK) << ErroExtrato();
    std::string saida(reinterpret_cast<char *>(bytes), static_cast<size_t>(tamanho));
    LiberaExtrato(bytes);
    return saida;
  };
  httplib::Client tecnico = loja.Cliente();
  tecnico.set_basic_auth("tecnico", "t3cnico");

  std::string retorno;
  ASSERT_TRUE(Retorno(
      loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}, {"imprimir_extrato", "1"}}),
      retorno));
  const std::string venda = Campos(retorno).at(8).substr(3);
  ASSERT_TRUE(Retorno(
      loja.Chama("cancelarultimavenda", {{"chave_cfe", "CFe" + venda},
                                         {"dados_cancelamento", teste::Cancelamento("CFe" + venda)},
                                         {"imprimir_extrato", "1"}}),
      retorno));
  const std::string cancelamento = Campos(retorno).at(8).substr(3);
  ASSERT_NE(loja.EsperaLinha({"impressora: extrato de " + cancelamento}), "");

  const auto xmlVenda = tecnico.Get(loja.base + "/cfe/" + venda);
  const auto xmlCancelamento = tecnico.Get(loja.base + "/cfe/" + cancelamento);
  ASSERT_TRUE(xmlVenda && xmlVenda->status == 200 && xmlCancelamento &&
              xmlCancelamento->status == 200);
  EXPECT_EQ(loja.LeArquivo("impressora"),
            extrato(xmlVenda->body, "", EXTRATO_ESCPOS, 58) +
                extrato(xmlCancelamento->body, xmlVenda->body, EXTRATO_ESCPOS, 58));
  const auto pdf = tecnico.Get(loja.base + "/cfe/" + venda + "/extrato.pdf");
  ASSERT_TRUE(pdf && pdf->status == 200);
  EXPECT_EQ(pdf->get_header_value("Content-Type"), "application/pdf");
  EXPECT_EQ(pdf->body, extrato(xmlVenda->body, "", EXTRATO_PDF, 80));
  const auto pdf58 = tecnico.Get(loja.base + "/cfe/CFe" + cancelamento + "/extrato.pdf?papel=58");
  ASSERT_TRUE(pdf58 && pdf58->status == 200);
  EXPECT_EQ(pdf58->body, extrato(xmlCancelamento->body, xmlVenda->body, EXTRATO_PDF, 58));
  const auto metricas = tecnico.Get("/metrics");
  ASSERT_TRUE(metricas && metricas->status == 200);
  EXPECT_EQ(Metrica(metricas->body, "satd_impressora_extratos_total"), 2);

  EXPECT_TRUE(Recusa(tecnico.Get(loja.base + "/cfe/" + std::string(44, '1') + "/extrato.pdf"), 404,
                     "nenhum CF-e"));
  EXPECT_TRUE(
      Recusa(tecnico.Get(loja.base + "/cfe/" + venda + "/extrato.pdf?papel=76"), 400, "papel=58"));
  EXPECT_TRUE(Recusa(
      loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}, {"imprimir_extrato", "2"}}),
      400, "imprimir_extrato deve ser 1 ou 0"));
  ASSERT_EQ(loja.EncerraServidor(), 0);
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  EXPECT_TRUE(Recusa(
      loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}, {"imprimir_extrato", "1"}}),
      400, "não tem impressora"));
}

} // namespace
