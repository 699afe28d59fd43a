// satd attacked over its socket as a hostile network would: floods, tricklers, huge and odd
// requests, more clients than room, signals, a full disk; the roles; and satd killed again and
// again while the checkouts sell, with nothing the SAT signed lost.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <random>
#include <set>
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
  for (std::thread &t : threads) {
    t.join();
  }
}

// Every byte but letters and digits percent-escaped, as a form carries it.
std::string Escapa(const std::string &texto) {
  std::string saida;
  for (const unsigned char c : texto) {
    char hex[4];
    std::snprintf(hex, sizeof hex, std::isalnum(c) ? "%c" : "%%%02X", c);
    saida += hex;
  }
  return saida;
}

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

// `texto` in chunks of 64 KiB, and the last chunk when `fim`.
std::string Pedacos(const std::string &texto, bool fim) {
  std::string saida;
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
  std::string corpo;
  std::string cabecalho;
};

// One request on a connection of its own from `origem`.
Troca Troca1(const Loja &loja, const std::string &pedido, const std::string &origem = "127.0.0.1") {
  Soquete s(loja.porta, origem);
  Troca t;
  if (s.Envia(pedido)) {
    t.status = s.Resposta(10000, &t.corpo, &t.cabecalho);
  }
  return t;
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

double Metrica(const Loja &loja, const std::string &serie) {
  const std::string texto = Troca1(loja, Pedido("GET", "/metrics")).corpo;
  const size_t p = texto.find("\n" + serie + " ");
  return p == std::string::npos ? -1 : std::atof(texto.c_str() + p + serie.size() + 2);
}

// Frames with this command word the SAT received (satemu writes each one in hex).
size_t Quadros(const Loja &loja, const std::string &comando) {
  std::string hex;
  for (const unsigned char c : "|" + comando + "|") {
    char par[3];
    std::snprintf(par, sizeof par, "%02x", c);
    hex += par;
  }
  const std::string registro = loja.LeArquivo("registro.hex");
  size_t n = 0;
  for (size_t p = registro.find(hex); p != std::string::npos; p = registro.find(hex, p + 1)) {
    ++n;
  }
  return n;
}

struct Fiscal {
  int caixa;
  std::string chave;
  std::string resposta; // Windows-1252, as the library gave it
  bool pendente;
};

std::vector<Fiscal> Diario(const Loja &loja) {
  std::vector<Fiscal> linhas;
  sqlite3 *banco = nullptr;
  int rc = sqlite3_open_v2((loja.Pasta() + "/diario.sqlite3").c_str(), &banco, SQLITE_OPEN_READONLY,
                           nullptr);
  const auto linha = [](void *v, int, char **c, char **) {
    static_cast<std::vector<Fiscal> *>(v)->push_back({std::atoi(c[0]), c[1], c[2], *c[3] == '1'});
    return 0;
  };
  rc = rc != SQLITE_OK
           ? rc
           : sqlite3_exec(banco,
                          "SELECT caixa, coalesce(chave, ''), coalesce(resposta, ''),"
                          " resposta IS NULL AND descartada = 0 FROM fiscais ORDER BY id",
                          linha, &linhas, nullptr);
  EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(banco);
  sqlite3_close(banco);
  return linhas;
}

// satd's peak resident memory during `ataque` over what it held before, in MB.
double Cresce(const Loja &loja, const std::function<void()> &ataque) {
  const std::string proc = "/proc/" + std::to_string(loja.servidor.Pid());
  const auto memoria = [&](const char *campo) {
    std::ifstream status(proc + "/status");
    std::string linha;
    while (std::getline(status, linha) && linha.rfind(campo, 0) != 0) {
    }
    return linha.rfind(campo, 0) == 0 ? std::atol(linha.c_str() + std::strlen(campo)) : -1L;
  };
  // Resets the peak (VmHWM) to what is resident now.
  EXPECT_TRUE(std::ofstream(proc + "/clear_refs") << "5" << std::flush);
  const long antes = memoria("VmRSS:");
  ataque();
  const long pico = memoria("VmHWM:");
  EXPECT_TRUE(antes > 0 && pico >= antes) << antes << " " << pico;
  return (pico - antes) / 1024.0;
}

// `n` connections at once writing header lines, three million each or until satd closes.
void Enchentes(Loja &loja, int n) {
  std::atomic<int> fechadas{0};
  std::atomic<size_t> escritos{0};
  std::string bloco;
  for (int i = 0; i < 4000; ++i) {
    bloco += "X-Enchente-" + std::to_string(i) + ": a\r\n";
  }
  const double mb = Cresce(loja, [&] {
    Paralelo(n, [&](int i) {
      Soquete s(loja.porta, "127.0.2." + std::to_string(1 + i % 4));
      size_t linhas = 0;
      for (bool aberto = s.Envia("GET " + loja.base + "/status HTTP/1.1\r\n");
           aberto && linhas < 3000000; linhas += 4000) {
        aberto = s.Envia(bloco);
        escritos += bloco.size();
      }
      fechadas += linhas < 3000000 && s.Resposta(3000) == 431 && s.Fecha(3000);
    });
  });
  EXPECT_EQ(fechadas, n);
  EXPECT_LT(mb, 20);
  std::printf("[ measure  ] %d closed with 431 after %zu KB each; RSS +%.1f MB\n", fechadas.load(),
              escritos / n / 1024, mb);
}

// `n` connections from 127.0.1.1 to .8 sending a header a byte a second while a checkout
// sells: the sale is answered within 3 s, and each is dropped prazo_ms (2 s) after its first
// byte.
void Gotejam(Loja &loja, int n) {
  const auto inicio = Relogio::now();
  const std::string pedido = Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1");
  std::vector<std::unique_ptr<Soquete>> lentas;
  for (int i = 0; i < n; ++i) {
    lentas.push_back(std::make_unique<Soquete>(loja.porta, "127.0.1." + std::to_string(1 + i % 8)));
    EXPECT_TRUE(lentas.back()->Envia(pedido.substr(0, 1))) << i;
  }
  auto venda = std::async(std::launch::async, [&] {
    const auto antes = Relogio::now();
    const std::string retorno = Retorno(Chama(loja, "enviardadosvenda", VendaDe(1)).corpo);
    return std::make_pair(Ms(antes), retorno);
  });
  std::vector<double> quedas(n, -1);
  auto ultimo = Relogio::now();
  for (size_t byte = 1; Ms(inicio) < 8000 && std::count(quedas.begin(), quedas.end(), -1) > 0;) {
    const bool envia = Ms(ultimo) >= 1000;
    byte += envia;
    ultimo = envia ? Relogio::now() : ultimo;
    for (int i = 0; i < n; ++i) {
      if (quedas[i] < 0 &&
          (lentas[i]->Fecha(0) || (envia && !lentas[i]->Envia(pedido.substr(byte, 1))))) {
        quedas[i] = Ms(inicio);
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  const auto [ms, retorno] = venda.get();
  EXPECT_EQ(retorno, "EnviarDadosVenda 06000");
  EXPECT_LT(ms, 3000);
  const auto [primeira, ultima] = std::minmax_element(quedas.begin(), quedas.end());
  EXPECT_GE(*primeira, 2000);
  EXPECT_LE(*ultima, 5000);
  std::printf("[ measure  ] sale %.0f ms; dropped %.0f-%.0f ms after the start\n", ms, *primeira,
              *ultima);
}

// 24 checkouts making 5 sales each on kept-alive connections, with room for 16.
void Multidao(Loja &loja) {
  std::atomic<int> feitas{0}, ocupadas{0};
  std::vector<double> piores(24, 0);
  Paralelo(24, [&](int c) {
    std::unique_ptr<Soquete> s;
    for (int i = 0; i < 5; ++i) {
      if (!s || s->Fecha(0)) {
        s = std::make_unique<Soquete>(loja.porta);
      }
      const auto antes = Relogio::now();
      std::string corpo, cabecalho;
      const bool enviado =
          s->Envia(Pedido("POST", loja.base + "/enviardadosvenda", VendaDe(c + 1)));
      const int status = enviado ? s->Resposta(5000, &corpo, &cabecalho) : 0;
      piores[c] = std::max(piores[c], Ms(antes));
      EXPECT_TRUE(status == 503 || Retorno(corpo) == "EnviarDadosVenda 06000") << status << corpo;
      feitas += status == 200;
      ocupadas += status == 503;
      if (status != 200 || cabecalho.find("Connection: close") != std::string::npos) {
        s.reset();
      }
    }
  });
  const double pior = *std::max_element(piores.begin(), piores.end());
  EXPECT_LT(pior, 5000);
  std::printf("[ measure  ] %d x 200, %d x 503, slowest %.0f ms\n", feitas.load(), ocupadas.load(),
              pior);
}

// A row that sends one request and wants this status.
std::function<void(Loja &)> Responde(const std::string &funcao, const std::string &corpo,
                                     const std::string &cabecalhos, int status) {
  return [=](Loja &loja) {
    const Troca t = Chama(loja, funcao, corpo, cabecalhos);
    EXPECT_EQ(t.status, status) << t.corpo;
    std::printf("[ measure  ] %d %s\n", t.status, t.corpo.substr(0, 90).c_str());
  };
}

TEST(Ataques, OverTheSocket) {
  const struct {
    const char *nome;
    bool apertada; // satd with room for 16 connections and 8 waiting requests
    std::function<void(Loja &)> faz;
  } ataques[] = {
      {"header flood: closed with 431, RSS < 20 MB", false, [](Loja &l) { Enchentes(l, 1); }},
      {"64 header floods at once", false, [](Loja &l) { Enchentes(l, 64); }},
      {"300 MB chunked: 413, closed early, RSS < 20 MB", false,
       [](Loja &loja) {
         Soquete s(loja.porta);
         const std::string bloco = Pedacos(std::string(65536, 'a'), false);
         size_t escritos = 0;
         const double mb = Cresce(loja, [&] {
           bool aberto = s.Envia(Pedido("POST", loja.base + "/enviardadosvenda", "",
                                        "Transfer-Encoding: chunked\r\n") +
                                 Pedacos("numero_caixa=1&dados_venda=", false));
           for (; aberto && escritos < 300u << 20; escritos += bloco.size()) {
             aberto = s.Envia(bloco);
           }
         });
         EXPECT_EQ(s.Resposta(3000), 413);
         EXPECT_LT(escritos, 32u << 20);
         EXPECT_LT(mb, 20);
         std::printf("[ measure  ] closed after %zu MB; RSS +%.1f MB\n", escritos >> 20, mb);
       }},
      {"5 MB chunked sale over corpo_maximo: 413, nothing journalled or sent", false,
       [](Loja &loja) {
         const size_t linhas = Diario(loja).size();
         const size_t vendas = Quadros(loja, "EnviarDadosVenda");
         std::string corpo = VendaDe(3);
         corpo += std::string((5u << 20) - corpo.size(), 'a');
         Soquete s(loja.porta);
         s.Envia(
             Pedido("POST", loja.base + "/enviardadosvenda", "", "Transfer-Encoding: chunked\r\n") +
             Pedacos(corpo, true));
         EXPECT_EQ(s.Resposta(3000), 413);
         EXPECT_EQ(Diario(loja).size(), linhas);
         EXPECT_EQ(Quadros(loja, "EnviarDadosVenda"), vendas);
         // A sale that fits is journalled and sent: the counts above could tell.
         EXPECT_EQ(Retorno(Chama(loja, "enviardadosvenda", VendaDe(3)).corpo),
                   "EnviarDadosVenda 06000");
         EXPECT_EQ(Diario(loja).size(), linhas + 1);
         EXPECT_EQ(Quadros(loja, "EnviarDadosVenda"), vendas + 1);
       }},
      {"gzip Content-Encoding: 415", false,
       Responde("consultarsat", "numero_caixa=1", "Content-Encoding: gzip\r\n", 415)},
      {"unknown field %FF: 200", false, Responde("consultarsat", "numero_caixa=2&%FF=1", "", 200)},
      {"multipart/form-data: 415", false,
       Responde(
           "consultarsat",
           "--x\r\nContent-Disposition: form-data; name=\"numero_caixa\"\r\n\r\n1\r\n--x--\r\n",
           "Content-Type: multipart/form-data; boundary=x\r\n", 415)},
      {"'|' in a text field: 400", false,
       Responde("cancelarultimavenda", "numero_caixa=1&chave_cfe=CFe%7C1&dados_cancelamento=x", "",
                400)},
      {"bad percent escape: 400", false, Responde("consultarsat", "numero_caixa=1&x=%G1", "", 400)},
      {"64 tricklers while a checkout sells", false, [](Loja &l) { Gotejam(l, 64); }},
      {"200 tricklers while a checkout sells", false, [](Loja &l) { Gotejam(l, 200); }},
      {"pipelined: two replies in order, both executed", false,
       [](Loja &loja) {
         Soquete s(loja.porta);
         std::string a, b;
         EXPECT_TRUE(
             s.Envia(Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1") +
                     Pedido("POST", loja.base + "/consultarstatusoperacional", "numero_caixa=2")));
         EXPECT_EQ(s.Resposta(5000, &a), 200);
         EXPECT_EQ(s.Resposta(5000, &b), 200);
         EXPECT_EQ(Retorno(a), "ConsultarSAT 08000");
         EXPECT_EQ(Retorno(b), "ConsultarStatusOperacional 10000");
       }},
      {"keep-alive median within 10 ms of a new connection's", false,
       [](Loja &loja) {
         const std::string pedido = Pedido("GET", loja.base + "/status");
         std::vector<double> medianas;
         for (const bool mantida : {true, false}) {
           std::vector<double> tempos;
           auto s = std::make_unique<Soquete>(loja.porta);
           for (int i = 0; i < 50; ++i) {
             const auto antes = Relogio::now();
             if (!mantida) {
               s = std::make_unique<Soquete>(loja.porta);
             }
             EXPECT_TRUE(s->Envia(pedido) && s->Resposta(3000) == 200);
             tempos.push_back(Ms(antes));
           }
           std::nth_element(tempos.begin(), tempos.begin() + 25, tempos.end());
           medianas.push_back(tempos[25]);
         }
         EXPECT_LE(medianas[0], medianas[1] + 10);
         std::printf("[ measure  ] keep-alive %.3f ms, new %.3f ms\n", medianas[0], medianas[1]);
       }},
      {"24 keep-alive checkouts, 16 connections: 200 or 503 within 5 s", true, Multidao},
  };
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  bool apertada = true;
  for (const auto &a : ataques) {
    SCOPED_TRACE(a.nome);
    std::printf("[ attack   ] %s\n", a.nome);
    if (!loja.servidor.Vivo() || a.apertada != apertada) {
      loja.EncerraServidor();
      apertada = a.apertada;
      std::map<std::string, std::string> linhas = {
          {"http", "prazo_ms = 2000\ncorpo_maximo = 1048576"}};
      if (apertada) {
        linhas = {{"http", "conexoes = 16"}, {"fila", "tamanho = 8\nespera_ms = 2000"}};
      }
      ASSERT_TRUE(loja.IniciaServidor(linhas)) << loja.erro;
    }
    a.faz(loja);
    ASSERT_FALSE(loja.servidor.Aguarda(0ms)) << "satd is gone";
  }
  EXPECT_EQ(loja.LeArquivo("satd.log").find(" http=500 "), std::string::npos);
}

// Slow clients that never finish: half a header, or a header and part of a body.
std::vector<std::unique_ptr<Soquete>> Lentos(const Loja &loja, int n) {
  const std::string pedido = Pedido("POST", loja.base + "/consultarsat", "numero_caixa=1");
  std::vector<std::unique_ptr<Soquete>> lentos;
  for (int i = 0; i < n; ++i) {
    lentos.push_back(std::make_unique<Soquete>(loja.porta, "127.0.1." + std::to_string(1 + i % 8)));
    EXPECT_TRUE(lentos.back()->Envia(pedido.substr(0, i % 2 ? 20 : pedido.size() - 3)));
  }
  return lentos;
}

// A sale held with the SAT (satemu stopped) until the end of the scope at the latest.
struct Retida {
  Retida(Loja &l, int caixa) : loja(l) {
    loja.emulador.Sinaliza(SIGSTOP);
    venda = std::async(std::launch::async,
                       [this, caixa] { return Chama(loja, "enviardadosvenda", VendaDe(caixa)); });
    EXPECT_TRUE(loja.EsperaEstado([](const json &e) { return e["fila"]["em_curso"] == true; }));
  }
  ~Retida() { loja.emulador.Sinaliza(SIGCONT); }
  Loja &loja;
  std::future<Troca> venda;
};

TEST(Sinais, HupMidSaleReopensTheLog) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  Retida retida(loja, 5);
  const auto lentos = Lentos(loja, 10);
  const std::string log = loja.Pasta() + "/satd.log";
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  loja.servidor.Sinaliza(SIGHUP);
  EXPECT_NE(loja.EsperaLinha({"note: the log was opened again"}), "");
  loja.emulador.Sinaliza(SIGCONT);
  EXPECT_EQ(Retorno(retida.venda.get().corpo), "EnviarDadosVenda 06000");
  EXPECT_NE(loja.EsperaLinha({"caixa=005 enviardadosvenda", "http=200"}), "");
  EXPECT_NE(loja.LeArquivo("satd.log.1").find("satd listening"), std::string::npos);
  struct stat s {};
  ASSERT_EQ(stat(log.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 0777, 0640u);
  EXPECT_FALSE(loja.servidor.Aguarda(0ms));
}

TEST(Sinais, TermMidSaleWithSlowClientsExitsWithin5s) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  Retida retida(loja, 6);
  const auto lentos = Lentos(loja, 20);
  const auto antes = Relogio::now();
  loja.servidor.Sinaliza(SIGTERM);
  std::this_thread::sleep_for(1s);
  loja.emulador.Sinaliza(SIGCONT);
  EXPECT_EQ(loja.servidor.Aguarda(4000ms), std::optional<int>(0));
  const double ms = Ms(antes);
  EXPECT_LT(ms, 5000);
  const int status = retida.venda.get().status;
  // Kept before the reply goes out, whether or not the reply went.
  const auto linhas = Diario(loja);
  EXPECT_TRUE(std::any_of(linhas.begin(), linhas.end(), [](const Fiscal &f) {
    return f.caixa == 6 && satd::CamposFiscais(f.resposta).codigo == "06000";
  }));
  std::printf("[ measure  ] exit %.0f ms after SIGTERM; the sale's reply: %d\n", ms, status);
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
  int vendidas = 0;
  for (size_t antes = 0; vendidas < 200; ++vendidas) {
    antes = Quadros(loja, "EnviarDadosVenda");
    t = Chama(loja, "enviardadosvenda", VendaDe(1, 100 + vendidas));
    if (t.status != 200) {
      EXPECT_EQ(Quadros(loja, "EnviarDadosVenda"), antes);
      break;
    }
    EXPECT_EQ(Retorno(t.corpo), "EnviarDadosVenda 06000");
  }
  EXPECT_EQ(t.status, 503) << t.corpo;
  EXPECT_NE(t.corpo.find("journal"), std::string::npos) << t.corpo;
  EXPECT_GT(Metrica(loja, "satd_write_failures_total{file=\"journal\"}"), 0);
  EXPECT_EQ(Retorno(Chama(loja, "consultarsat", "numero_caixa=1").corpo), "ConsultarSAT 08000");
  std::printf("[ measure  ] %d sales before the journal was full\n", vendidas);
}

TEST(Papeis, EachFunctionWithEachCredential) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor({{"http", "usuario = \"caixa\"\nsenha = \"c4ixa\""},
                                   {"tecnico", "usuario = \"tecnico\"\nsenha = \"t3cnico\""},
                                   {"metricas", "usuario = \"monitor\"\nsenha = \"m0nitor\""}}))
      << loja.erro;
  // Checkout, technician, monitor, none, a wrong password.
  const std::string credenciais[] = {Autoriza("caixa", "c4ixa"), Autoriza("tecnico", "t3cnico"),
                                     Autoriza("monitor", "m0nitor"), "", Autoriza("caixa", "c4ix")};
  // The checkouts' seven, then the technician's.
  const std::string funcoes[] = {"enviardadosvenda",
                                 "cancelarultimavenda",
                                 "consultarsat",
                                 "testefimafim",
                                 "consultarstatusoperacional",
                                 "consultarnumerosessao",
                                 "consultarultimasessaofiscal",
                                 "ativarsat",
                                 "comunicarcertificadoicpbrasil",
                                 "associarassinatura",
                                 "configurarinterfacederede",
                                 "atualizarsoftwaresat",
                                 "bloquearsat",
                                 "desbloquearsat",
                                 "trocarcodigodeativacao",
                                 "extrairlogs"};
  // Let through, these run with numero_caixa alone; the others lack fields (400).
  const std::set<std::string> semCampos = {"consultarsat",
                                           "consultarstatusoperacional",
                                           "consultarultimasessaofiscal",
                                           "atualizarsoftwaresat",
                                           "bloquearsat",
                                           "desbloquearsat",
                                           "extrairlogs"};
  for (size_t f = 0; f < 16; ++f) {
    const int passa = semCampos.count(funcoes[f]) > 0 ? 200 : 400;
    const int esperados[] = {f < 7 ? passa : 403, passa, 403, 401, 401};
    for (int i = 0; i < 5; ++i) {
      const Troca t = Chama(loja, funcoes[f], "numero_caixa=1", credenciais[i]);
      EXPECT_EQ(t.status, esperados[i]) << funcoes[f] << " credential " << i << ": " << t.corpo;
    }
  }
  // The status and the paragraph of functions on the page.
  const auto pagina = [&](int credencial) {
    const Troca t = Troca1(loja, Pedido("GET", "/", "", credenciais[credencial]));
    const size_t p = t.corpo.find("id=\"funcoes\"");
    return std::to_string(t.status) +
           (p == std::string::npos ? "" : t.corpo.substr(p, t.corpo.find("</p>", p) - p));
  };
  const std::string doCaixa = pagina(0);
  EXPECT_EQ(doCaixa.rfind("200id=\"funcoes\"", 0), 0u) << doCaixa;
  EXPECT_NE(doCaixa.find("enviardadosvenda"), std::string::npos);
  EXPECT_EQ(doCaixa.find("ativarsat"), std::string::npos);
  EXPECT_NE(pagina(1).find("ativarsat"), std::string::npos);
  EXPECT_EQ(pagina(2), "403");
  EXPECT_EQ(pagina(3), "401");
}

// Hub clients of POS programs: let in by address, no credentials, plain HTTP, form fields.
TEST(Compatibilidade, HubClientsByAddress) {
  Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor(
      {{"http", "usuario = \"caixa\"\nsenha = \"c4ixa\"\nclientes = [\"127.0.0.2/32\"]"}}))
      << loja.erro;
  std::string venda;
  // What each answers (the library's name, the device's code), and its fields; the URL's name
  // is the library's in lower case.
  const struct {
    std::string esperado;
    std::function<std::string()> campos;
  } chamadas[] = {
      {"EnviarDadosVenda 06000", [] { return "&dados_venda=" + Escapa(teste::Venda()); }},
      {"ConsultarNumeroSessao 06000",
       [&] { return "&numero_sessao=" + teste::Campos(venda).at(0); }},
      {"ConsultarUltimaSessaoFiscal 06000", [] { return ""; }},
      {"CancelarUltimaVenda 07000",
       [&] {
         return "&chave_cfe=" + teste::Campos(venda).at(8) +
                "&dados_cancelamento=" + Escapa(teste::Cancelamento(teste::Campos(venda).at(8)));
       }},
      {"ConsultarSAT 08000", [] { return ""; }},
      {"TesteFimAFim 09000", [] { return "&dados_venda=" + Escapa(teste::Venda(1)); }},
      {"ConsultarStatusOperacional 10000", [] { return ""; }},
  };
  for (const auto &c : chamadas) {
    std::string funcao = c.esperado.substr(0, c.esperado.find(' '));
    std::transform(funcao.begin(), funcao.end(), funcao.begin(), ::tolower);
    const Troca t = Chama(loja, funcao, "numero_caixa=4" + c.campos(), "", "127.0.0.2");
    EXPECT_EQ(Retorno(t.corpo), c.esperado) << t.status << " " << t.corpo;
    if (venda.empty()) {
      Retorno(t.corpo, &venda);
    }
  }
  // numero_caixa in the URL's query, and in a header.
  EXPECT_EQ(Chama(loja, "consultarsat?numero_caixa=7", "", "", "127.0.0.2").status, 200);
  EXPECT_EQ(Chama(loja, "consultarsat", "", "numero-caixa: 8\r\n", "127.0.0.2").status, 200);
  EXPECT_NE(loja.EsperaLinha({"127.0.0.2:", "caixa=007 consultarsat", "http=200"}), "");
  EXPECT_NE(loja.EsperaLinha({"127.0.0.2:", "caixa=008 consultarsat", "http=200"}), "");
  const Troca get = Troca1(loja, Pedido("GET", loja.base + "/consultarsat"), "127.0.0.2");
  EXPECT_EQ(get.status, 405);
  EXPECT_NE(get.cabecalho.find("\r\nAllow: POST"), std::string::npos) << get.cabecalho;
  EXPECT_EQ(Chama(loja, "consultarsat", "numero_caixa=1").status, 401);
}

// 1,000 sales from 8 checkouts while satd is killed (SIGKILL) every 0.5 to 2 s and started
// again on the same port and journal; a checkout whose request failed sells again on a new
// connection. Every CF-e the SAT issued is in the journal with its reply, once, and each
// checkout's last one comes back from consultarultimasessaofiscal.
TEST(NadaSePerde, SigkillWhileEightCheckoutsSell) {
  constexpr int kCaixas = 8;
  Loja loja;
  // 20 ms a call: kills find calls under way.
  ASSERT_TRUE(
      loja.IniciaEmulador({"--pronto", "--estado", loja.Pasta() + "/estado", "--atraso", "20"}))
      << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  loja.portaPedida = loja.porta;
  std::atomic<int> prontos{0}, falhas{0};
  std::atomic<bool> desiste{false};
  std::vector<std::string> ultimas(kCaixas);
  std::set<std::string> chaves;
  std::mutex mutex;
  int mortes = 0;
  const auto inicio = Relogio::now();
  // The checkouts, and one that kills satd and starts it again until they are done.
  Paralelo(kCaixas + 1, [&](int c) {
    std::mt19937 sorteio(std::random_device{}());
    while (c == kCaixas && prontos < kCaixas && !desiste) {
      const auto ate = Relogio::now() + 1ms * std::uniform_int_distribution<>(500, 2000)(sorteio);
      while (prontos < kCaixas && Relogio::now() < ate) {
        std::this_thread::sleep_for(10ms);
      }
      if (prontos < kCaixas) {
        loja.EncerraServidor(SIGKILL);
        ++mortes;
        desiste = !loja.IniciaServidor() || Ms(inicio) > 150000;
      }
    }
    std::unique_ptr<httplib::Client> cliente;
    for (int feitas = 0; c < kCaixas && feitas < 125 && !desiste;) {
      if (!cliente) {
        cliente = std::make_unique<httplib::Client>("127.0.0.1", loja.porta);
        cliente->set_keep_alive(true);
      }
      const auto r = cliente->Post(loja.base + "/enviardadosvenda", VendaDe(c + 1, 100 + feitas),
                                   "application/x-www-form-urlencoded");
      std::string retorno;
      if (r && Retorno(r->body, &retorno) == "EnviarDadosVenda 06000") {
        std::lock_guard<std::mutex> trava(mutex);
        ultimas[c] = retorno;
        chaves.insert(teste::Campos(retorno).at(8));
        ++feitas;
      } else {
        ++falhas;
        cliente.reset();
        std::this_thread::sleep_for(20ms);
      }
    }
    prontos += c < kCaixas;
  });
  ASSERT_FALSE(desiste) << loja.erro;
  for (int c = 0; c < kCaixas; ++c) {
    const Troca t =
        Chama(loja, "consultarultimasessaofiscal", "numero_caixa=" + std::to_string(c + 1));
    std::string retorno;
    EXPECT_EQ(Retorno(t.corpo, &retorno), "ConsultarUltimaSessaoFiscal 06000");
    EXPECT_EQ(retorno, ultimas[c]) << c + 1;
  }
  std::set<int> numeros;
  std::set<std::string> guardadas;
  std::vector<std::string> ultimasDoDiario(kCaixas);
  int repetidas = 0;
  int pendentes = 0;
  for (const Fiscal &f : Diario(loja)) {
    pendentes += f.pendente;
    if (!f.resposta.empty() && f.caixa >= 1 && f.caixa <= kCaixas) {
      ultimasDoDiario[f.caixa - 1] = satd::Windows1252ParaUtf8(f.resposta);
    }
    if (!f.chave.empty()) {
      // The key's nCFe: after "CFe", cUF, AAMM, CNPJ, model and serial.
      repetidas += !numeros.insert(std::stoi(f.chave.substr(3 + 31, 6))).second;
      guardadas.insert(f.chave);
    }
  }
  EXPECT_EQ(ultimasDoDiario, ultimas);
  // What the SAT issued, from its own state.
  const std::string estado = "\n" + loja.LeArquivo("estado");
  const size_t p = estado.find("\nultimo_numero=");
  ASSERT_NE(p, std::string::npos) << estado;
  const int emitidas = std::atoi(estado.c_str() + p + 15);
  EXPECT_GE(emitidas, kCaixas * 125);
  EXPECT_EQ(repetidas, 0);
  EXPECT_EQ(pendentes, 0);
  EXPECT_EQ(numeros.size(), size_t(emitidas));
  EXPECT_EQ(numeros.empty() ? 0 : *numeros.begin(), 1);
  EXPECT_EQ(numeros.empty() ? 0 : *numeros.rbegin(), emitidas);
  EXPECT_TRUE(std::includes(guardadas.begin(), guardadas.end(), chaves.begin(), chaves.end()));
  std::printf("[ measure  ] %d CF-e issued for 1000 sales answered; %d kills, %d failed "
              "requests, %.1f s\n",
              emitidas, mortes, falhas.load(), Ms(inicio) / 1000);
}

} // namespace
