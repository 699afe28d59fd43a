// satd's forwarding to a chain's central database, end to end: a real PostgreSQL of the test's
// own (private folder, port and socket), satemu and satd as processes; the server stopped,
// restarted, paused and resumed under the sales.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ambiente.h"

namespace {

int PortaLivre() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), n) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0;
  close(s);
  return ok ? ntohs(a.sin_port) : -1;
}

// A PostgreSQL server of its own, gone with the object; as nobody when the test is root, which
// PostgreSQL refuses.
struct Postgres {
  std::string pasta = "/tmp/satd-central-XXXXXX", bin, como;
  const int porta = PortaLivre();

  Postgres() {
    glob_t g{};
    if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0) {
      bin = g.gl_pathv[g.gl_pathc - 1];
      bin.resize(bin.size() - 6); // the folder, with its '/'
    }
    globfree(&g);
    const passwd *nobody = getuid() == 0 ? getpwnam("nobody") : nullptr;
    if (mkdtemp(pasta.data()) == nullptr ||
        (nobody && chown(pasta.c_str(), nobody->pw_uid, nobody->pw_gid) != 0)) {
      pasta.clear();
    }
    como = nobody ? "runuser -u nobody -- " : "";
  }
  ~Postgres() {
    Sinaliza("CONT");
    Roda("pg_ctl -D " + pasta + "/dados -m immediate stop");
    std::system(("rm -rf " + pasta).c_str());
  }
  // What the program of PostgreSQL's folder prints (its errors go to the test's); "?" when it
  // fails.
  std::string Roda(const std::string &comando) {
    FILE *saida = bin.empty() || pasta.empty() || porta <= 0
                      ? nullptr
                      : popen((como + bin + comando).c_str(), "r");
    std::string texto;
    char bloco[65536];
    for (size_t n; saida && (n = std::fread(bloco, 1, sizeof bloco, saida)) > 0;) {
      texto.append(bloco, n);
    }
    return saida && pclose(saida) == 0 ? texto : "?";
  }
  bool Inicia() {
    return Roda("pg_ctl -D " + pasta + "/dados -w -l " + pasta + "/pg.log -o '-p " +
                std::to_string(porta) + " -k " + pasta +
                " -c listen_addresses=127.0.0.1 -c fsync=off' start") != "?";
  }
  // What psql prints of `sql`, one line per row, "|" between columns.
  std::string Sql(const std::string &sql) {
    return Roda("psql -X -q -At -v ON_ERROR_STOP=1 -h " + pasta + " -p " + std::to_string(porta) +
                " -U postgres -d postgres " + sql);
  }
  // The postmaster and its children (each of them in a process group of its own).
  void Sinaliza(const char *sinal) {
    pid_t m = 0;
    if (std::ifstream(pasta + "/dados/postmaster.pid") >> m && m > 1) {
      const std::string p = std::to_string(m);
      std::system(("kill -" + std::string(sinal) + " " + p + " $(pgrep -P " + p + ")").c_str());
    }
  }
  std::string Conexao() const {
    return "host=127.0.0.1 port=" + std::to_string(porta) + " dbname=postgres user=postgres";
  }
};

double Metrica(const std::string &texto, const std::string &serie) {
  const size_t p = texto.find("\n" + serie + " ");
  return p == std::string::npos ? std::nan("")
                                : std::strtod(texto.c_str() + p + serie.size() + 2, nullptr);
}

template <typename F> bool Espera(F condicao, int segundos = 40) {
  const auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(segundos);
  while (!condicao() && std::chrono::steady_clock::now() < fim) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condicao();
}

TEST(Central, EveryDocumentArrivesOnceThroughStopsAndPauses) {
  Postgres pg;
  ASSERT_TRUE(pg.Roda("initdb -D " + pg.pasta + "/dados -A trust -U postgres --no-sync") != "?" &&
              pg.Inicia());
  teste::Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  const auto central = [&](int prazo) {
    return std::map<std::string, std::string>{
        {"central", "conexao = \"" + pg.Conexao() +
                        "\"\nloja = \"Loja Centro\"\nprazo_s = " + std::to_string(prazo)}};
  };
  // Before the DBA applies the table, satd says so; applied twice, the file is idempotent.
  ASSERT_TRUE(loja.IniciaServidor(central(2))) << loja.erro;
  ASSERT_NE(loja.EsperaLinha({"central: sem conexão", "o banco não tem a tabela cfe"}), "");
  const std::string esquema = "-f " + std::string(FONTES) + "/packaging/central/esquema.sql";
  ASSERT_TRUE(pg.Sql(esquema) == "" && pg.Sql(esquema) == "");
  const auto metrica = [&](const std::string &serie) {
    const httplib::Result r = loja.Cliente().Get("/metrics");
    return Metrica(r && r->status == 200 ? r->body : "", serie);
  };
  const auto quantos = [&] { return pg.Sql("-c 'SELECT count(*) FROM cfe'"); };

  size_t emitidos = 0;
  std::string ultima; // the last sale's key
  const auto emite = [&](const std::string &funcao, const httplib::Params &campos) {
    const httplib::Result r = loja.Chama(funcao, campos);
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "sem resposta");
    const auto retorno = teste::Campos(nlohmann::json::parse(r->body)["retorno"]);
    ASSERT_EQ(retorno.at(1), funcao == "enviardadosvenda" ? "06000" : "07000");
    ultima = funcao == "enviardadosvenda" ? retorno.at(8) : ultima;
    ++emitidos;
  };
  const auto vende = [&](int quantas) {
    for (int i = 0; i < quantas; ++i) {
      emite("enviardadosvenda", {{"dados_venda", teste::Venda()}});
    }
  };
  const auto chegaram = [&] {
    return Espera([&] { return quantos() == std::to_string(emitidos) + "\n"; }) &&
           Espera([&] { return metrica("satd_central_pendentes") == 0; });
  };
  vende(20);
  ASSERT_TRUE(chegaram()) << quantos();
  ASSERT_NE(loja.EsperaLinha({"central: conexão restabelecida com postgres", "Loja Centro"}), "");

  // Stopped, then paused: the backlog grows meanwhile, and goes once the server is back.
  const std::vector<std::pair<std::function<bool()>, std::function<bool()>>> faltas = {
      {[&] { return pg.Roda("pg_ctl -D " + pg.pasta + "/dados -m fast -w stop") != "?"; },
       [&] { return pg.Inicia(); }},
      {[&] { return pg.Sinaliza("STOP"), true; }, [&] { return pg.Sinaliza("CONT"), true; }},
  };
  for (size_t vez = 0; vez < faltas.size(); ++vez) {
    SCOPED_TRACE(vez);
    ASSERT_TRUE(faltas[vez].first());
    vende(10);
    emite("cancelarultimavenda",
          {{"chave_cfe", ultima}, {"dados_cancelamento", teste::Cancelamento(ultima)}});
    ASSERT_TRUE(loja.EsperaLinhas("central: sem conexão com o banco central", vez + 2));
    EXPECT_GE(metrica("satd_central_falhas_total"), vez + 2); // the missing table's too
    EXPECT_EQ(metrica("satd_central_conectado"), 0);
    EXPECT_EQ(metrica("satd_central_pendentes"), 11); // nothing goes while it is away
    ASSERT_TRUE(faltas[vez].second());
    ASSERT_TRUE(chegaram()) << quantos();
    ASSERT_TRUE(loja.EsperaLinhas("central: conexão restabelecida com postgres", vez + 2));
  }

  // Each document once, its XML byte for byte as the journal has it; the shop's day.
  sqlite3 *banco = nullptr;
  ASSERT_EQ(sqlite3_open((loja.Pasta() + "/diario.sqlite3").c_str(), &banco), SQLITE_OK);
  std::string diario;
  const auto linha = [](void *texto, int, char **coluna, char **) {
    return *static_cast<std::string *>(texto) += coluna[0] + std::string("\n"), 0;
  };
  ASSERT_EQ(sqlite3_exec(banco,
                         "SELECT chave || '|Loja Centro|' || tipo || '|' || total || '|' ||"
                         " hex(xml) FROM cfe ORDER BY chave",
                         linha, &diario, nullptr),
            SQLITE_OK);
  EXPECT_EQ(std::count(diario.begin(), diario.end(), '\n'), 42);
  EXPECT_EQ(pg.Sql("-c \"SELECT chave, loja, tipo, total, upper(encode(xml, 'hex')) FROM cfe"
                   " ORDER BY chave\""),
            diario);
  EXPECT_EQ(pg.Sql("-c 'SELECT vendas, total_vendas, cancelamentos, total_cancelamentos FROM "
                   "cfe_dia'"),
            "40|200.00|2|10.00\n");
  EXPECT_GE(metrica("satd_central_enviados_total"), 42);
  EXPECT_NEAR(metrica("satd_central_ultimo_envio_timestamp_segundos"), std::time(nullptr), 120);
  ASSERT_EQ(loja.EncerraServidor(), 0);

  // The forward rate: 2000 more documents in the journal (copies of one under other keys), sent
  // by a satd that starts with them all pending.
  EXPECT_EQ(sqlite3_exec(banco,
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE"
                         " i < 2000) INSERT INTO cfe SELECT substr(chave, 1, 30) ||"
                         " printf('%014d', i), tipo, cnpj, caixa, sessao, emitido_em, total, xml"
                         " FROM n, (SELECT * FROM cfe LIMIT 1)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(banco);
  const auto inicio = std::chrono::steady_clock::now();
  ASSERT_TRUE(loja.IniciaServidor(central(60))) << loja.erro;
  ASSERT_TRUE(Espera([&] { return quantos() == "2042\n"; }, 60));
  const std::chrono::duration<double> tempo = std::chrono::steady_clock::now() - inicio;
  std::printf("central: 2000 documentos em %.2f s, %.0f por segundo (com o início do satd)\n",
              tempo.count(), 2000 / tempo.count());

  // A paused server holds the forwarder in a batch (60 s allowed); a stop ends it at once.
  ASSERT_TRUE(Espera([&] { return metrica("satd_central_pendentes") == 0; }));
  pg.Sinaliza("STOP");
  vende(1);
  ASSERT_TRUE(Espera([&] { return metrica("satd_central_pendentes") == 1; }));
  loja.servidor.Sinaliza(SIGTERM);
  EXPECT_EQ(loja.servidor.Aguarda(20), 0);
}

} // namespace
