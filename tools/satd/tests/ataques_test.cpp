// satd attacked over its socket as a hostile network would: floods, tricklers, huge and odd
// requests, more clients than room, signals, a full disk; the roles; and satd killed again and
// again while the checkouts sell, with nothing the SAT signed lost.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "ambiente.h"
#include "diario.h"
#include "texto.h"

namespace {

using nlohmann::json;
using teste::Loja;
using teste::Soquete;
using Relogio = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Relogio::time_point desde) {
  return std::chrono::duration<double, std::milli>(Relogio::now() - desde).count();
}

// `f(0)` to `f(n - 1)` at once, each on a thread of its own.
void Paralelo(int n, const std::function<void(int)> &f) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back(f, i);
  }
  std::for_each(threads.begin(), threads.end(), [](std::thread &t) { t.join(); });
}

// A form's value, percent-escaped.
std::string Escapa(const std::string &texto) { return httplib::detail::encode_query_param(texto); }

std::string VendaDe(int caixa, int centavos = 250) {
  return "numero_caixa=" + std::to_string(caixa) +
         "&dados_venda=" + Escapa(teste::Venda(1, centavos));
}

// A request's bytes: a POST gets the form's type unless `cabecalhos` names one, and its
// Content-Length unless it is chunked.
std::string Pedido(const std::string &metodo, const std::string &caminho,
                   const std::string &corpo = "", std::string cabecalhos = "") {
  if (metodo == "POST" && cabecalhos.find("Content-Type:") == std::string::npos) {
    cabecalhos += "Content-Type: application/x-www-form-urlencoded\r\n";
  }
  if (metodo == "POST" && cabecalhos.find("chunked") == std::string::npos) {
    cabecalhos += "Content-Length: " + std::to_string(corpo.size()) + "\r\n";
  }
  return metodo + " " + caminho + " HTTP/1.1\r\nHost: satd\r\n" + cabecalhos + "\r\n" + corpo;
}

// `texto` in chunks of 64 KiB, after a chunked POST's header when `cabeca`, and the last
// chunk when `fim`.
std::string Pedacos(const Loja *cabeca, const std::string &texto, bool fim) {
  std::string saida = cabeca == nullptr ? ""
                                        : Pedido("POST", cabeca->base + "/enviardadosvenda", "",
                                                 "Transfer-Encoding: chunked\r\n");
  for (size_t p = 0; p < texto.size(); p += 65536) {
    char tamanho[16];
    std::snprintf(tamanho, sizeof tamanho, "%zx\r\n", std::min<size_t>(65536, texto.size() - p));
    saida += tamanho + texto.substr(p, 65536) + "\r\n";
  }
  return fim ? saida + "0\r\n\r\n" : saida;
}

std::string Autoriza(const std::string &usuario, const std::string &senha) {
  const auto campo = httplib::make_basic_authentication_header(usuario, senha);
  return campo.first + ": " + campo.second + "\r\n";
}

struct Troca {
  int status = 0;
  std::string corpo, cabecalho;
};

// One request on a connection of its own from `origem`.
Troca Troca1(const Loja &loja, const std::string &pedido, const std::string &origem = "127.0.0.1") {
  Soquete s(loja.porta, origem);
  const int status = s.Envia(pedido) ? s.Resposta(10000) : 0;
  return {status, s.corpo, s.cabecalho};
}

Troca Chama(const Loja &loja, const std::string &funcao, const std::string &corpo,
            const std::string &cabecalhos = "", const std::string &origem = "127.0.0.1") {
  return Troca1(loja, Pedido("POST", loja.base + "/" + funcao, corpo, cabecalhos), origem);
}

// A function's 200 as "Name code" ("" for anything else), and its retorno in `texto`.
std::string Retorno(const std::string &corpo, std::string *texto = nullptr) {
  json j = json::parse(corpo, nullptr, false);
  const bool ok = j.is_object() && j["retorno"].is_string() && j["funcao"].is_string();
  const std::vector<std::string> campos = teste::Campos(ok ? j["retorno"] : "");
  if (texto != nullptr) {
    *texto = ok ? j["retorno"] : "";
  }
  return campos.size() > 1 ? j["funcao"].get<std::string>() + " " + campos[1] : "";
}

// The number after "\n" + `nome` in `texto` (-1 when absent).
double Valor(const std::string &texto, const std::string &nome) {
  const size_t p = texto.find("\n" + nome);
  return p == std::string::npos ? -1 : std::atof(texto.c_str() + p + 1 + nome.size());
}

double Metrica(const Loja &loja, const std::string &serie) {
  return Valor(Troca1(loja, Pedido("GET", "/metrics")).corpo, serie + " ");
}

// Sales the SAT received: frames holding "|EnviarDadosVenda|", which satemu writes in hex.
size_t Vendas(const Loja &loja) {
  const std::string registro = loja.LeArquivo("registro.hex"),
                    hex = "7c456e766961724461646f7356656e64617c";
  size_t n = 0;
  for (size_t p = registro.find(hex); p != std::string::npos; p = registro.find(hex, p + 1)) {
    ++n;
  }
  return n;
}

// The first column of the query's rows over satd's journal, one after the other.
std::string Sql(const Loja &loja, const char *sql) {
  sqlite3 *banco = nullptr;
  std::string saida;
  const auto linha = [](void *s, int, char **c, char **) {
    return *static_cast<std::string *>(s) += c[0] != nullptr ? c[0] : "NULL", 0;
  };
  EXPECT_TRUE(sqlite3_open_v2((loja.Pasta() + "/diario.sqlite3").c_str(), &banco,
                              SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              sqlite3_exec(banco, sql, linha, &saida, nullptr) == SQLITE_OK)
      << sqlite3_errmsg(banco);
  sqlite3_close(banco);
  return saida;
}

// `n` connections at once, each writing `cabeca` and then `bloco` until satd closes or `limite`
// bytes went: each answered `status` and closed before `corte` bytes, and satd's peak resident
// memory meanwhile within 20 MB of what it held before.
void Inunda(Loja &loja, int n, const std::string &cabeca, const std::string &bloco, size_t limite,
            size_t corte, int status) {
  const std::string proc = "/proc/" + std::to_string(loja.servidor.Pid());
  const auto memoria = [&](const char *campo) {
    std::ostringstream texto;
    texto << std::ifstream(proc + "/status").rdbuf();
    return Valor(texto.str(), campo);
  };
  // Resets the peak (VmHWM) to what is resident now.
  EXPECT_TRUE(std::ofstream(proc + "/clear_refs") << "5" << std::flush);
  const double antes = memoria("VmRSS:");
  std::atomic<int> fechadas{0};
  Paralelo(n, [&](int i) {
    Soquete s(loja.porta, "127.0.2." + std::to_string(1 + i % 4));
    size_t escritos = 0;
    for (bool aberto = s.Envia(cabeca); aberto && escritos < limite; escritos += bloco.size()) {
      aberto = s.Envia(bloco);
    }
    fechadas += escritos < corte && s.Resposta(3000) == status && s.Fecha(3000);
  });
  EXPECT_EQ(fechadas, n);
  const double pico = memoria("VmHWM:");
  EXPECT_TRUE(antes > 0 && pico >= antes) << antes << " " << pico;
  EXPECT_LT((pico - antes) / 1024, 20);
}

// `n` connections from 127.0.1.1 to .8, the i-th having sent the first `bytes(i)` of `pedido`.
std::deque<Soquete> Lentos(const Loja &loja, const std::string &pedido, int n,
                           const std::function<size_t(int)> &bytes) {
  std::deque<Soquete> lentos;
  for (int i = 0; i < n; ++i) {
    lentos.emplace_back(loja.porta, "127.0.1." + std::to_string(1 + i % 8));
    EXPECT_TRUE(lentos.back().Envia(pedido.substr(0, bytes(i)))) << i;
  }
  return lentos;
}

// `n` connections sending a header a byte a second while a checkout sells: the sale is
// answered within 3 s, and each is dropped prazo_ms (2 s) after its first byte.
void Gotejam(Loja &loja, int n) {
  const auto inicio = Relogio::now();
  const std::string pedido = Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1");
  std::deque<Soquete> lentas = Lentos(loja, pedido, n, [](int) { return 1; });
  auto venda = std::async(std::launch::async, [&] {
    const auto antes = Relogio::now();
    EXPECT_EQ(Retorno(Chama(loja, "enviardadosvenda", VendaDe(1)).corpo), "EnviarDadosVenda 06000");
    EXPECT_LT(Ms(antes), 3000);
  });
  std::vector<double> quedas(n, -1);
  for (size_t byte = 1; Ms(inicio) < 8000 && std::count(quedas.begin(), quedas.end(), -1) > 0;
       std::this_thread::sleep_for(20ms)) {
    const bool envia = Ms(inicio) >= 1000.0 * byte;
    byte += envia;
    for (int i = 0; i < n; ++i) {
      if (quedas[i] < 0 &&
          (lentas[i].Fecha(0) || (envia && !lentas[i].Envia(pedido.substr(byte, 1))))) {
        quedas[i] = Ms(inicio);
      }
    }
  }
  venda.get();
  EXPECT_GE(*std::min_element(quedas.begin(), quedas.end()), 2000);
  EXPECT_LE(*std::max_element(quedas.begin(), quedas.end()), 5000);
}

TEST(Ataques, OverTheSocket) {
  const std::pair<const char *, std::function<void(Loja &)>> ataques[] = {
      {"floods: header lines from 1 and 64 connections closed with 431, 300 MB chunked with 413 "
       "before 32 MB; RSS < 20 MB",
       [](Loja &loja) {
         std::string linhas;
         for (int i = 0; i < 4000; ++i) {
           linhas += "X-Enchente-" + std::to_string(i) + ": a\r\n";
         }
         for (const int n : {1, 64}) {
           Inunda(loja, n, "GET " + loja.base + "/status HTTP/1.1\r\n", linhas, 750 * linhas.size(),
                  750 * linhas.size(), 431);
         }
         Inunda(loja, 1, Pedacos(&loja, "numero_caixa=1&dados_venda=", false),
                Pedacos(nullptr, std::string(65536, 'a'), false), 300u << 20, 32u << 20, 413);
       }},
      {"5 MB chunked sale over corpo_maximo: 413, nothing journalled or sent",
       [](Loja &loja) {
         const auto contagem = [&] {
           return std::make_pair(std::stoi(Sql(loja, "SELECT count(*) FROM fiscais")),
                                 Vendas(loja));
         };
         const auto antes = contagem();
         std::string corpo = VendaDe(3);
         corpo.resize(5u << 20, 'a');
         Soquete s(loja.porta);
         s.Envia(Pedacos(&loja, corpo, true));
         EXPECT_EQ(s.Resposta(3000), 413);
         EXPECT_EQ(contagem(), antes);
         // A sale that fits is journalled and sent: the counts above could tell.
         EXPECT_EQ(Retorno(Chama(loja, "enviardadosvenda", VendaDe(3)).corpo),
                   "EnviarDadosVenda 06000");
         EXPECT_EQ(contagem(), std::make_pair(antes.first + 1, antes.second + 1));
       }},
      {"odd bodies: gzip 415, unknown field %FF 200, multipart 415, '|' in a text field 400, bad "
       "percent escape 400",
       [](Loja &loja) {
         const std::tuple<const char *, const char *, const char *, int> casos[] = {
             {"consultarsat", "numero_caixa=1", "Content-Encoding: gzip\r\n", 415},
             {"consultarsat", "numero_caixa=2&%FF=1", "", 200},
             {"consultarsat",
              "--x\r\nContent-Disposition: form-data; name=\"numero_caixa\"\r\n\r\n1\r\n--x--\r\n",
              "Content-Type: multipart/form-data; boundary=x\r\n", 415},
             {"cancelarultimavenda", "numero_caixa=1&chave_cfe=CFe%7C1&dados_cancelamento=x", "",
              400},
             {"consultarsat", "numero_caixa=1&x=%G1", "", 400}};
         for (const auto &[funcao, corpo, cabecalhos, status] : casos) {
           const Troca t = Chama(loja, funcao, corpo, cabecalhos);
           EXPECT_EQ(t.status, status) << corpo << ": " << t.corpo;
         }
       }},
      {"64, then 200 tricklers while a checkout sells",
       [](Loja &loja) {
         Gotejam(loja, 64);
         Gotejam(loja, 200);
       }},
      {"pipelined: two replies in order, both executed",
       [](Loja &loja) {
         Soquete s(loja.porta);
         EXPECT_TRUE(
             s.Envia(Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1") +
                     Pedido("POST", loja.base + "/consultarstatusoperacional", "numero_caixa=2")));
         EXPECT_EQ(s.Resposta(5000), 200);
         EXPECT_EQ(Retorno(s.corpo), "ConsultarSAT 08000");
         EXPECT_EQ(s.Resposta(5000), 200);
         EXPECT_EQ(Retorno(s.corpo), "ConsultarStatusOperacional 10000");
       }},
      // Header and body in two writes, as most clients send them with Nagle on: the second
      // waits for satd's ACK of the first, which must not be a delayed one.
      {"keep-alive median within 10 ms of a new connection's",
       [](Loja &loja) {
         const std::string pedido = Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1");
         const size_t corpo = pedido.find("\r\n\r\n") + 4;
         const auto mediana = [&](bool nova) {
           std::vector<double> tempos;
           std::optional<Soquete> s(std::in_place, loja.porta);
           for (int i = 0; i < 50; ++i) {
             const auto antes = Relogio::now();
             if (nova) {
               s.emplace(loja.porta);
             }
             EXPECT_TRUE(s->Envia(pedido.substr(0, corpo)) && s->Envia(pedido.substr(corpo)) &&
                         s->Resposta(3000) == 200);
             tempos.push_back(Ms(antes));
           }
           std::nth_element(tempos.begin(), tempos.begin() + 25, tempos.end());
           return tempos[25];
         };
         const double mantida = mediana(false);
         EXPECT_LE(mantida, mediana(true) + 10);
       }},
  };
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor({{"http", "prazo_ms = 2000\ncorpo_maximo = 1048576"}}))
      << loja.erro;
  for (const auto &[nome, ataque] : ataques) {
    SCOPED_TRACE(nome);
    ataque(loja);
    ASSERT_FALSE(loja.servidor.Aguarda(0)) << "satd is gone";
  }
  // 24 checkouts making 5 sales each on kept-alive connections, with room for 16 connections
  // and 8 waiting requests: each sale 200 or 503 within 5 s.
  EXPECT_EQ(loja.EncerraServidor(), 0);
  ASSERT_TRUE(
      loja.IniciaServidor({{"http", "conexoes = 16"}, {"fila", "tamanho = 8\nespera_ms = 2000"}}))
      << loja.erro;
  Paralelo(24, [&](int c) {
    std::optional<Soquete> s;
    for (int i = 0; i < 5; ++i) {
      if (!s || s->Fecha(0)) {
        s.emplace(loja.porta);
      }
      const auto antes = Relogio::now();
      EXPECT_TRUE(s->Envia(Pedido("POST", loja.base + "/enviardadosvenda", VendaDe(c + 1))));
      const int status = s->Resposta(5000);
      EXPECT_LT(Ms(antes), 5000);
      EXPECT_TRUE(status == 503 || Retorno(s->corpo) == "EnviarDadosVenda 06000")
          << status << s->corpo;
      if (status != 200 || s->cabecalho.find("Connection: close") != std::string::npos) {
        s.reset();
      }
    }
  });
  ASSERT_FALSE(loja.servidor.Aguarda(0)) << "satd is gone";
  EXPECT_EQ(loja.LeArquivo("satd.log").find(" http=500 "), std::string::npos);
}

// A signal while a sale is with the SAT (satemu stopped) and slow clients hold connections
// (half a header, or a header and part of a body), the log renamed meanwhile: SIGHUP opens a
// new log and satd serves on; SIGTERM makes it exit by itself within 5 s, the sale journalled.
TEST(Sinais, MidSaleWithSlowClients) {
  for (const int sinal : {SIGHUP, SIGTERM}) {
    SCOPED_TRACE(sinal);
    Loja loja;
    ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
    ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
    loja.emulador.Sinaliza(SIGSTOP);
    auto venda =
        std::async(std::launch::async, [&] { return Chama(loja, "enviardadosvenda", VendaDe(5)); });
    EXPECT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
    const std::string pedido = Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1");
    const auto lentos =
        Lentos(loja, pedido, 20, [&](int i) { return i % 2 ? size_t(20) : pedido.size() - 3; });
    const std::string log = loja.Pasta() + "/satd.log";
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    const auto antes = Relogio::now();
    loja.servidor.Sinaliza(sinal);
    std::this_thread::sleep_for(1s);
    loja.emulador.Sinaliza(SIGCONT);
    const Troca t = venda.get();
    if (sinal == SIGHUP) {
      EXPECT_EQ(Retorno(t.corpo), "EnviarDadosVenda 06000");
      EXPECT_NE(loja.EsperaLinha({"nota: o registro foi reaberto"}), "");
      EXPECT_NE(loja.EsperaLinha({"caixa=005 enviardadosvenda", "http=200"}), "");
      struct stat modo {};
      EXPECT_EQ(stat(log.c_str(), &modo) == 0 ? modo.st_mode & 0777 : 0, 0640u);
      EXPECT_FALSE(loja.servidor.Aguarda(0));
      continue;
    }
    EXPECT_EQ(loja.servidor.Aguarda(4), std::optional<int>(0));
    EXPECT_LT(Ms(antes), 5000);
    // Kept before the reply goes out, whether or not the reply went.
    EXPECT_EQ(satd::CamposFiscais(Sql(loja, "SELECT resposta FROM fiscais WHERE caixa = 5")).codigo,
              "06000");
  }
}

// The log cannot grow (RLIMIT_FSIZE at its size), and the journal fills up as sales come.
TEST(Disco, FullDiskKeepsServingAndRefusesWhatItCannotJournal) {
  constexpr size_t kLimite = 256 * 1024;
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  std::ofstream(loja.Pasta() + "/satd.log") << std::string(kLimite - 1, 'x') << "\n";
  loja.limiteArquivo = kLimite;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  EXPECT_EQ(Retorno(Chama(loja, "consultarsat", "numero_caixa=1").corpo), "ConsultarSAT 08000");
  EXPECT_GT(Metrica(loja, "satd_write_failures_total{file=\"log\"}"), 0);
  EXPECT_EQ(loja.LeArquivo("satd.log").size(), kLimite);
  Troca t;
  for (int i = 0; i < 200 && (i == 0 || t.status == 200); ++i) {
    const size_t antes = Vendas(loja);
    t = Chama(loja, "enviardadosvenda", VendaDe(1, 100 + i));
    // A refused sale never reached the SAT.
    EXPECT_TRUE(t.status == 200 ? Retorno(t.corpo) == "EnviarDadosVenda 06000"
                                : Vendas(loja) == antes)
        << t.corpo;
  }
  EXPECT_EQ(t.status, 503) << t.corpo;
  EXPECT_NE(t.corpo.find("diário"), std::string::npos) << t.corpo;
  EXPECT_GT(Metrica(loja, "satd_write_failures_total{file=\"journal\"}"), 0);
  EXPECT_EQ(Retorno(Chama(loja, "consultarsat", "numero_caixa=1").corpo), "ConsultarSAT 08000");
}

// Hub clients of POS programs: let in by address, no credentials, plain HTTP, form fields; the
// URL's name is the library's in lower case, and the reply names the library's. Then every
// function with every credential from elsewhere.
TEST(Papeis, HubClientsByAddressAndEachFunctionWithEachCredential) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor(
      {{"http", "usuario = \"caixa\"\nsenha = \"c4ixa\"\nclientes = [\"127.0.0.2/32\"]"},
       {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
       {"metricas", "usuario = \"monitor\"\nsenha = \"m0nitor\""}}))
      << loja.erro;
  const auto chama = [&](const std::string &funcao, const std::string &campos,
                         std::string *texto = nullptr) {
    return Retorno(Chama(loja, funcao, "numero_caixa=4" + campos, "", "127.0.0.2").corpo, texto);
  };
  std::string venda;
  EXPECT_EQ(chama("enviardadosvenda", "&dados_venda=" + Escapa(teste::Venda()), &venda),
            "EnviarDadosVenda 06000");
  const std::vector<std::string> campos = teste::Campos(venda);
  EXPECT_EQ(chama("consultarnumerosessao", "&numero_sessao=" + campos.at(0)),
            "ConsultarNumeroSessao 06000");
  EXPECT_EQ(chama("consultarultimasessaofiscal", ""), "ConsultarUltimaSessaoFiscal 06000");
  EXPECT_EQ(chama("cancelarultimavenda", "&chave_cfe=" + campos.at(8) + "&dados_cancelamento=" +
                                             Escapa(teste::Cancelamento(campos.at(8)))),
            "CancelarUltimaVenda 07000");
  EXPECT_EQ(chama("consultarsat", ""), "ConsultarSAT 08000");
  EXPECT_EQ(chama("testefimafim", "&dados_venda=" + Escapa(teste::Venda(1))), "TesteFimAFim 09000");
  EXPECT_EQ(chama("consultarstatusoperacional", ""), "ConsultarStatusOperacional 10000");
  // numero_caixa in the URL's query, and in a header.
  EXPECT_EQ(Chama(loja, "consultarsat?numero_caixa=7", "", "", "127.0.0.2").status, 200);
  EXPECT_EQ(Chama(loja, "consultarsat", "", "numero-caixa: 8\r\n", "127.0.0.2").status, 200);
  EXPECT_NE(loja.EsperaLinha({"127.0.0.2:", "caixa=007 consultarsat", "http=200"}), "");
  EXPECT_NE(loja.EsperaLinha({"127.0.0.2:", "caixa=008 consultarsat", "http=200"}), "");
  const Troca get = Troca1(loja, Pedido("GET", loja.base + "/consultarsat"), "127.0.0.2");
  EXPECT_EQ(get.status, 405);
  EXPECT_NE(get.cabecalho.find("\r\nAllow: POST"), std::string::npos) << get.cabecalho;
  // Checkout, technician, monitor, none, a wrong password; each one's page: its status, and
  // whose functions it lists.
  const std::string credenciais[] = {Autoriza("caixa", "c4ixa"), Autoriza("tecnico", "t3cnico"),
                                     Autoriza("monitor", "m0nitor"), "", Autoriza("caixa", "c4ix")};
  const char *paginas[] = {"200 caixa", "200 caixa tecnico", "403", "401", "401"};
  // The checkouts' seven, then the technician's. Let through, those marked '*' run with
  // numero_caixa alone (200); the others lack fields (400).
  std::istringstream funcoes(
      "enviardadosvenda cancelarultimavenda consultarsat* testefimafim consultarstatusoperacional* "
      "consultarnumerosessao consultarultimasessaofiscal* ativarsat comunicarcertificadoicpbrasil "
      "associarassinatura configurarinterfacederede atualizarsoftwaresat* bloquearsat* "
      "desbloquearsat* trocarcodigodeativacao extrairlogs*");
  int f = 0;
  for (std::string funcao; funcoes >> funcao; ++f) {
    const bool semCampos = funcao.back() == '*';
    funcao.resize(funcao.size() - semCampos);
    const int passa = semCampos ? 200 : 400;
    const int esperados[] = {f < 7 ? passa : 403, passa, 403, 401, 401};
    for (int i = 0; i < 5; ++i) {
      const Troca t = Chama(loja, funcao, "numero_caixa=1", credenciais[i]);
      EXPECT_EQ(t.status, esperados[i]) << funcao << " credential " << i << ": " << t.corpo;
    }
  }
  EXPECT_EQ(f, 16);
  for (int i = 0; i < 5; ++i) {
    const Troca t = Troca1(loja, Pedido("GET", "/", "", credenciais[i]));
    const size_t p = t.corpo.find("id=\"funcoes\"");
    const std::string lista =
        p == std::string::npos ? "" : t.corpo.substr(p, t.corpo.find("</p>", p) - p);
    EXPECT_EQ(std::to_string(t.status) +
                  (lista.find("enviardadosvenda") != std::string::npos ? " caixa" : "") +
                  (lista.find("ativarsat") != std::string::npos ? " tecnico" : ""),
              paginas[i])
        << lista;
  }
  // Requests refused before their credentials are logged at a bounded rate, never not at all.
  const auto inicio = Relogio::now();
  std::string rajada;
  for (int i = 0; i < 400; ++i) {
    rajada += Pedido("GET", loja.base + "/status");
  }
  Soquete s(loja.porta);
  ASSERT_TRUE(s.Envia(rajada));
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ(s.Resposta(5000), 401) << i;
  }
  const std::string log = loja.LeArquivo("satd.log");
  size_t linhas = 0;
  for (size_t p = log.find("http=401"); p != std::string::npos; p = log.find("http=401", p + 1)) {
    ++linhas;
  }
  EXPECT_GE(linhas, 20u);
  EXPECT_LE(linhas, 40 + 5 * Ms(inicio) / 1000);
}

// 1,000 sales (320 under the sanitizers) from 8 checkouts while satd is killed (SIGKILL) every 0.5
// to 2 s and started again on the same port and journal; a checkout whose request failed sells
// again on a new connection. Every CF-e the SAT signed is in the journal with its reply, once, and
// each checkout's last one comes back from consultarultimasessaofiscal.
TEST(NadaSePerde, SigkillWhileEightCheckoutsSell) {
  constexpr int kCaixas = 8;
#if defined(__SANITIZE_ADDRESS__)
  // Under the sanitizers each sale costs several times as much: fewer of them, the same kills.
  constexpr int kVendas = 40;
#else
  constexpr int kVendas = 125;
#endif
  Loja loja;
  // 20 ms a call: kills find calls under way.
  ASSERT_TRUE(
      loja.IniciaEmulador({"--pronto", "--estado", loja.Pasta() + "/estado", "--atraso", "20"}))
      << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  loja.portaPedida = loja.porta;
  std::atomic<int> prontos{0};
  std::atomic<bool> desiste{false};
  std::vector<std::string> ultimas(kCaixas); // each written by its checkout's thread alone
  int mortes = 0;
  const auto inicio = Relogio::now();
  // The checkouts, and one that kills satd and starts it again until they are done.
  Paralelo(kCaixas + 1, [&](int c) {
    for (std::mt19937 sorteio(std::random_device{}());
         c == kCaixas && prontos < kCaixas && !desiste; ++mortes) {
      std::this_thread::sleep_for(1ms * std::uniform_int_distribution<>(500, 2000)(sorteio));
      loja.EncerraServidor(SIGKILL);
      // Short of ctest's limit, so that a run that cannot finish says why.
      desiste = !loja.IniciaServidor() || Ms(inicio) > 240000;
    }
    std::optional<httplib::Client> cliente;
    for (int feitas = 0; c < kCaixas && feitas < kVendas && !desiste;) {
      if (!cliente) {
        cliente.emplace("127.0.0.1", loja.porta);
        cliente->set_keep_alive(true);
      }
      const auto r = cliente->Post(loja.base + "/enviardadosvenda", VendaDe(c + 1, 100 + feitas),
                                   "application/x-www-form-urlencoded");
      if (r && Retorno(r->body, &ultimas[c]) == "EnviarDadosVenda 06000") {
        ++feitas;
      } else {
        cliente.reset();
        std::this_thread::sleep_for(20ms);
      }
    }
    prontos += c < kCaixas;
  });
  ASSERT_FALSE(desiste) << loja.erro;
  EXPECT_GE(mortes, 3);
  // Each checkout's last reply, from satd and from the journal; nothing left pending.
  std::string esperadas;
  for (int c = 0; c < kCaixas; ++c) {
    const Troca t =
        Chama(loja, "consultarultimasessaofiscal", "numero_caixa=" + std::to_string(c + 1));
    std::string retorno;
    EXPECT_EQ(Retorno(t.corpo, &retorno), "ConsultarUltimaSessaoFiscal 06000");
    EXPECT_EQ(retorno, ultimas[c]) << c + 1;
    esperadas += ultimas[c] + "\n";
  }
  EXPECT_EQ(satd::Windows1252ParaUtf8(
                Sql(loja, "SELECT resposta || char(10) FROM fiscais WHERE id IN (SELECT max(id) "
                          "FROM fiscais WHERE resposta <> '' GROUP BY caixa) ORDER BY caixa")),
            esperadas);
  EXPECT_EQ(Sql(loja, "SELECT count(*) FROM fiscais WHERE (resposta IS NULL OR codigo = '-') AND "
                      "descartada = 0"),
            "0");
  // What the SAT signed, from its own state: numbers 1 to the last, each in the journal once
  // (the key's nCFe: after "CFe", cUF, AAMM, CNPJ, model and serial).
  const std::string estado = "\n" + loja.LeArquivo("estado");
  const int emitidas = static_cast<int>(Valor(estado, "ultimo_numero="));
  EXPECT_GE(emitidas, kCaixas * kVendas) << estado;
  const std::string n = std::to_string(emitidas);
  EXPECT_EQ(
      Sql(loja,
          "SELECT count(*) || ' ' || count(DISTINCT n) || ' ' || min(n) || ' ' || max(n) FROM "
          "(SELECT CAST(substr(chave, 35, 6) AS INTEGER) AS n FROM fiscais WHERE chave <> '')"),
      n + " " + n + " 1 " + n);
}

} // namespace
