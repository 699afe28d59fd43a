// satd's forwarding to a chain's central database, end to end: a real PostgreSQL of the test's
// own (private folder, port and socket), satemu and satd as processes; the server stopped,
// restarted, paused and resumed under the sales.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <glob.h>
#include <libpq-fe.h>
#include <map>
#include <netinet/in.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ambiente.h"

namespace {

using Relogio = std::chrono::steady_clock;

int PortaLivre() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  const bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0;
  close(s);
  return ok ? ntohs(a.sin_port) : -1;
}

// A PostgreSQL server of its own, gone with the object. Run as nobody when the test is root
// (PostgreSQL refuses root).
struct Postgres {
  std::string pasta, bin, como, erro;
  int porta = PortaLivre();

  Postgres() {
    glob_t g{};
    if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
      bin = std::string(g.gl_pathv[g.gl_pathc - 1]);
      bin.resize(bin.size() - 6);
    }
    globfree(&g);
    char modelo[] = "/tmp/satd-central-XXXXXX";
    pasta = mkdtemp(modelo) ? modelo : "";
    if (getuid() == 0 && !pasta.empty()) {
      const passwd *p = getpwnam("nobody");
      if (p == nullptr || chown(pasta.c_str(), p->pw_uid, p->pw_gid) != 0) {
        pasta.clear();
      }
      como = "runuser -u nobody -- ";
    }
  }
  ~Postgres() {
    Sinaliza(SIGCONT);
    Roda("pg_ctl -D " + pasta + "/dados -m immediate stop");
    if (pasta.rfind("/tmp/satd-central-", 0) == 0) {
      std::system(("rm -rf " + pasta).c_str());
    }
  }
  bool Roda(const std::string &comando) {
    const std::string linha = como + bin + comando + " >>" + pasta + "/saida.txt 2>&1";
    if (std::system(linha.c_str()) != 0) {
      erro = linha + " falhou; veja " + pasta + "/saida.txt";
      return false;
    }
    return true;
  }
  bool Cria() {
    if (bin.empty() || pasta.empty() || porta < 0) {
      erro = "PostgreSQL não instalado (/usr/lib/postgresql/*/bin) ou sem pasta temporária";
      return false;
    }
    return Roda("initdb -D " + pasta + "/dados -A trust -U postgres -E UTF8 --no-sync") && Inicia();
  }
  bool Inicia() {
    return Roda("pg_ctl -D " + pasta + "/dados -w -l " + pasta + "/pg.log -o '-p " +
                std::to_string(porta) + " -k " + pasta +
                " -c listen_addresses=127.0.0.1 -c fsync=off' start");
  }
  bool Para() { return Roda("pg_ctl -D " + pasta + "/dados -m fast -w stop"); }
  bool Psql(const std::string &arquivo) {
    return Roda("psql -X -q -v ON_ERROR_STOP=1 -h " + pasta + " -p " + std::to_string(porta) +
                " -U postgres -d postgres -f " + arquivo);
  }
  // The postmaster and its children.
  void Sinaliza(int sinal) {
    std::ifstream arquivo(pasta + "/dados/postmaster.pid");
    pid_t mestre = 0;
    if (!(arquivo >> mestre) || mestre <= 0) {
      return;
    }
    kill(mestre, sinal);
    DIR *proc = opendir("/proc");
    for (dirent *e; proc && (e = readdir(proc));) {
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string linha;
      if (std::getline(stat, linha) && linha.rfind(')') != std::string::npos) {
        char estado;
        pid_t pai = 0;
        if (std::sscanf(linha.c_str() + linha.rfind(')') + 1, " %c %d", &estado, &pai) == 2 &&
            pai == mestre) {
          kill(std::atoi(e->d_name), sinal);
        }
      }
    }
    if (proc) {
      closedir(proc);
    }
  }
  std::string Conexao() const {
    return "host=127.0.0.1 port=" + std::to_string(porta) + " dbname=postgres user=postgres";
  }
};

// Rows of a query, each a vector of its columns (bytea as its bytes); nullopt on failure.
std::optional<std::vector<std::vector<std::string>>> Consulta(const std::string &conexao,
                                                              const std::string &sql) {
  PGconn *pg = PQconnectdb(conexao.c_str());
  PGresult *r = PQstatus(pg) == CONNECTION_OK
                    ? PQexecParams(pg, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1)
                    : nullptr;
  std::optional<std::vector<std::vector<std::string>>> linhas;
  if (PQresultStatus(r) == PGRES_TUPLES_OK) {
    linhas.emplace();
    for (int i = 0; i < PQntuples(r); ++i) {
      linhas->emplace_back();
      for (int j = 0; j < PQnfields(r); ++j) {
        linhas->back().emplace_back(PQgetvalue(r, i, j), PQgetlength(r, i, j));
      }
    }
  }
  PQclear(r);
  PQfinish(pg);
  return linhas;
}

// count(*) of the central's table, -1 when it cannot be read. Binary int8 format.
long long Quantos(const std::string &conexao) {
  const auto linhas = Consulta(conexao, "SELECT count(*)::text::bytea FROM cfe");
  return linhas && linhas->size() == 1 ? std::atoll(linhas->at(0).at(0).c_str()) : -1;
}

double Metrica(const std::string &texto, const std::string &serie) {
  const size_t p = texto.find("\n" + serie + " ");
  return p == std::string::npos ? std::nan("")
                                : std::strtod(texto.c_str() + p + serie.size() + 2, nullptr);
}

template <typename F> bool Espera(F condicao, int segundos = 40) {
  const auto fim = Relogio::now() + std::chrono::seconds(segundos);
  while (!condicao()) {
    if (Relogio::now() > fim) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(Central, EveryDocumentArrivesOnceThroughStopsAndPauses) {
  Postgres pg;
  ASSERT_TRUE(pg.Cria()) << pg.erro;
  teste::Loja loja;
  ASSERT_TRUE(loja.IniciaEmulador({"--pronto"})) << loja.erro;
  const auto central = [&](int prazo) {
    return std::map<std::string, std::string>{
        {"central", "conexao = \"" + pg.Conexao() +
                        "\"\nloja = \"Loja Centro\"\nprazo_s = " + std::to_string(prazo)}};
  };
  // Before the DBA applies the table, satd says so; applied twice, the file is idempotent.
  ASSERT_TRUE(loja.IniciaServidor(central(2))) << loja.erro;
  ASSERT_NE(loja.EsperaLinha({"central: sem conexão", "o banco não tem a tabela cfe"}), "")
      << loja.LeArquivo("satd.log");
  const std::string esquema = std::string(FONTES) + "/packaging/central/esquema.sql";
  ASSERT_TRUE(pg.Psql(esquema) && pg.Psql(esquema)) << pg.erro;
  const auto metricas = [&] {
    const httplib::Result r = loja.Cliente().Get("/metrics");
    return r && r->status == 200 ? r->body : std::string();
  };
  const auto pendentes = [&] { return Metrica(metricas(), "satd_central_pendentes"); };

  std::map<std::string, std::string> tipos; // by key, of every document issued
  std::string ultima;
  const auto vende = [&](int quantas) {
    for (int i = 0; i < quantas; ++i) {
      const httplib::Result r = loja.Chama("enviardadosvenda", {{"dados_venda", teste::Venda()}});
      ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "sem resposta");
      const auto campos = teste::Campos(nlohmann::json::parse(r->body)["retorno"]);
      ASSERT_EQ(campos.at(1), "06000");
      ultima = campos.at(8);
      tipos[ultima.substr(3)] = "venda";
    }
  };
  const auto cancela = [&] {
    const httplib::Result r =
        loja.Chama("cancelarultimavenda",
                   {{"chave_cfe", ultima}, {"dados_cancelamento", teste::Cancelamento(ultima)}});
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "sem resposta");
    const auto campos = teste::Campos(nlohmann::json::parse(r->body)["retorno"]);
    ASSERT_EQ(campos.at(1), "07000");
    tipos[campos.at(8).substr(3)] = "cancelamento";
  };
  const auto chegaram = [&] {
    return Espera([&] { return Quantos(pg.Conexao()) == static_cast<long long>(tipos.size()); }) &&
           Espera([&] { return pendentes() == 0; });
  };

  vende(20);
  ASSERT_TRUE(chegaram()) << Quantos(pg.Conexao());
  ASSERT_NE(loja.EsperaLinha({"central: conexão restabelecida com postgres", "loja Loja Centro"}),
            "");

  // Stopped, then paused: the backlog grows meanwhile, and goes once the server is back.
  const struct {
    const char *como;
    std::function<bool()> interrompe, retoma;
  } faltas[] = {
      {"parado", [&] { return pg.Para(); }, [&] { return pg.Inicia(); }},
      {"pausado", [&] { return pg.Sinaliza(SIGSTOP), true; },
       [&] { return pg.Sinaliza(SIGCONT), true; }},
  };
  int vez = 1;
  for (const auto &f : faltas) {
    SCOPED_TRACE(f.como);
    ++vez;
    ASSERT_TRUE(f.interrompe()) << pg.erro;
    const double falhas = Metrica(metricas(), "satd_central_falhas_total");
    vende(10);
    cancela();
    ASSERT_TRUE(loja.EsperaLinhas("central: sem conexão com o banco central", vez));
    EXPECT_GT(Metrica(metricas(), "satd_central_falhas_total"), falhas);
    EXPECT_EQ(Metrica(metricas(), "satd_central_conectado"), 0);
    EXPECT_EQ(pendentes(), 11); // nothing goes while it is away
    ASSERT_TRUE(f.retoma()) << pg.erro;
    ASSERT_TRUE(chegaram()) << Quantos(pg.Conexao());
    ASSERT_TRUE(loja.EsperaLinhas("central: conexão restabelecida com postgres", vez));
  }

  // Each document once, with its XML byte for byte as satd's archive serves it.
  const auto linhas = Consulta(pg.Conexao(), "SELECT chave::bytea, loja::bytea, tipo::bytea, xml,"
                                             " total::text::bytea FROM cfe");
  ASSERT_TRUE(linhas);
  ASSERT_EQ(linhas->size(), 42u);
  for (const auto &l : *linhas) {
    SCOPED_TRACE(l.at(0));
    ASSERT_EQ(tipos.count(l.at(0)), 1u);
    EXPECT_EQ(l.at(1), "Loja Centro");
    EXPECT_EQ(l.at(2), tipos[l.at(0)]);
    const httplib::Result r = loja.Cliente().Get(loja.base + "/cfe/" + l.at(0));
    ASSERT_TRUE(r && r->status == 200);
    EXPECT_EQ(l.at(3), r->body);
    EXPECT_EQ(l.at(4), "5.00");
  }
  const auto dia = Consulta(pg.Conexao(), "SELECT (vendas || ' ' || total_vendas || ' ' ||"
                                          " cancelamentos || ' ' || total_cancelamentos)::bytea"
                                          " FROM cfe_dia WHERE loja = 'Loja Centro'");
  ASSERT_TRUE(dia && dia->size() == 1);
  EXPECT_EQ(dia->at(0).at(0), "40 200.00 2 10.00");
  EXPECT_GE(Metrica(metricas(), "satd_central_enviados_total"), 42);
  EXPECT_NEAR(Metrica(metricas(), "satd_central_ultimo_envio_timestamp_segundos"),
              double(std::time(nullptr)), 120);
  ASSERT_EQ(loja.EncerraServidor(), 0);

  // The forward rate: 2000 more documents in the journal (copies of the first under other
  // keys), sent by a satd that starts with them all pending.
  sqlite3 *banco = nullptr;
  ASSERT_EQ(sqlite3_open((loja.Pasta() + "/diario.sqlite3").c_str(), &banco), SQLITE_OK);
  const char *copia =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
      " INSERT INTO cfe SELECT substr(chave, 1, 30) || printf('%014d', i), tipo, cnpj, caixa,"
      " sessao, emitido_em, total, xml FROM n, (SELECT * FROM cfe LIMIT 1)";
  EXPECT_EQ(sqlite3_exec(banco, copia, nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(banco);
  sqlite3_close(banco);
  const auto inicio = Relogio::now();
  ASSERT_TRUE(loja.IniciaServidor(central(60))) << loja.erro;
  ASSERT_TRUE(Espera([&] { return Quantos(pg.Conexao()) == 2042; }, 60));
  const double segundos = std::chrono::duration<double>(Relogio::now() - inicio).count();
  std::printf("central: 2000 documentos em %.2f s (%.0f por segundo, inicio do satd incluido)\n",
              segundos, 2000 / segundos);
  ASSERT_TRUE(Espera([&] { return pendentes() == 0; }));

  // A paused server holds the forwarder in a batch (60 s allowed); a stop ends it at once.
  pg.Sinaliza(SIGSTOP);
  vende(1);
  ASSERT_TRUE(Espera([&] { return pendentes() == 1; }));
  loja.servidor.Sinaliza(SIGTERM);
  EXPECT_EQ(loja.servidor.Aguarda(20), 0);
}

} // namespace
