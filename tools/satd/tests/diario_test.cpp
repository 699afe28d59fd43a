// The journal of fiscal replies over real SQLite files in a temporary folder.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>
#include <vector>

#include "diario.h"

namespace {

using satd::Diario;

const std::string kChave = "CFe35240111111111111111590000000010000011234561";
// A sale's reply as the library hands it over: Windows-1252, every byte above 0x7F.
std::string Venda(const std::string &sessao, const std::string &codigo = "06000") {
  std::string alto(128, '\0');
  std::iota(alto.begin(), alto.end(), '\x80');
  return sessao + "|" + codigo + "|0000|Emitido com sucesso + conte\xFA" + "do notas.|||PD94" +
         alto + "|20240115103000|" + kChave + "|12.34||QRsig==";
}

class DiarioTest : public testing::Test {
protected:
  void SetUp() override { ASSERT_NE(mkdtemp(pasta_.data()), nullptr); }
  void TearDown() override { std::filesystem::remove_all(pasta_); }
  void Abre(Diario &d, const std::string &nome = "diario") {
    std::string erro;
    ASSERT_TRUE(d.Abre(pasta_ + "/" + nome, erro)) << erro;
  }
  // The first column of the query's one row, straight from SQLite.
  std::string Sql(const std::string &sql) {
    sqlite3 *banco = nullptr;
    std::string valor;
    const auto primeira = [](void *v, int, char **coluna, char **) {
      return *static_cast<std::string *>(v) = coluna[0] ? coluna[0] : "NULL", 0;
    };
    EXPECT_TRUE(sqlite3_open((pasta_ + "/diario").c_str(), &banco) == SQLITE_OK &&
                sqlite3_exec(banco, sql.c_str(), primeira, &valor, nullptr) == SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(banco);
    sqlite3_close(banco);
    return valor;
  }
  std::string pasta_ = "/tmp/diario_test.XXXXXX";
};

TEST_F(DiarioTest, KeepsRepliesAcrossOpens) {
  {
    Diario d;
    Abre(d);
    const int64_t venda = d.Anota(2, 123456, "enviardadosvenda");
    const int64_t outro = d.Anota(3, 123457, "enviardadosvenda");
    const int64_t falha = d.Anota(2, 123458, "cancelarultimavenda");
    const int64_t aberta = d.Anota(2, 123459, "enviardadosvenda");
    const int64_t sumida = d.Anota(4, 123460, "enviardadosvenda");
    ASSERT_TRUE(venda > 0 && outro > venda && falha > outro && aberta > falha && sumida > aberta);
    ASSERT_EQ(d.Pendentes().size(), 5u);
    ASSERT_TRUE(d.Conclui(venda, Venda("123456")) && d.Entrega(venda, true));
    ASSERT_TRUE(d.Conclui(outro, Venda("123457", "06001")) && d.Descarta(sumida));
    ASSERT_TRUE(d.Conclui(falha, "123458|07002|Cupom inv\xE1lido||"));
    EXPECT_EQ(d.Falhas(), 0u);
  }
  Diario d;
  Abre(d);
  EXPECT_EQ(d.DaSessao(123456), Venda("123456"));
  EXPECT_EQ(d.UltimaDoCaixa(2), "123458|07002|Cupom inv\xE1lido||");
  EXPECT_EQ(d.UltimaDoCaixa(3), Venda("123457", "06001"));
  EXPECT_EQ(d.UltimaDoCaixa(4), std::nullopt);
  EXPECT_EQ(d.DaSessao(123459), std::nullopt);
  const auto pendentes = d.Pendentes();
  ASSERT_EQ(pendentes.size(), 1u);
  EXPECT_EQ(std::tie(pendentes[0].caixa, pendentes[0].sessao, pendentes[0].funcao),
            std::make_tuple(2, 123459, std::string("enviardadosvenda")));
  // The columns the operator reads with the sqlite3 shell: code, key, total (06000 and 07000 only).
  EXPECT_EQ(Sql("SELECT group_concat(codigo || ',' || chave || ',' || total || ',' ||"
                " ifnull(entregue, '-') || ',' || (respondido_em >= quando), ' ')"
                " FROM (SELECT * FROM fiscais WHERE resposta IS NOT NULL ORDER BY id)"),
            "06000," + kChave + ",12.34,1,1 06001," + kChave + ",,-,1 07002,,,-,1");
}

// A successful sale's and a cancellation's signed CF-e are archived with their reply, once, the
// XML byte for byte; nothing of a failed sale.
TEST_F(DiarioTest, ArchivesEachSignedCfeOnce) {
  const std::string venda = "<CFe><infCFe Id=\"CFe1\"><xNome>Padaria S\xE3o Jo\xE3o!</xNome>"
                            "</infCFe></CFe>";
  const std::string cancelamento = "<CFeCanc><infCFe>cancelado \xE7</infCFe></CFeCanc>";
  const std::string kCancelada = "CFe35240122222222222222590000000010000021234565";
  const auto resposta = [](const std::string &codigo, const std::string &arquivo,
                           const std::string &instante, const std::string &chave) {
    return "77|" + codigo + "|0000|ok|||" + arquivo + "|" + instante + "|" + chave + "|12.34||QR";
  };
  Diario d;
  Abre(d);
  int avisos = 0;
  d.AoArquivar([&] { ++avisos; });
  const int64_t v = d.Anota(2, 111, "enviardadosvenda");
  const int64_t c = d.Anota(3, 112, "cancelarultimavenda");
  const int64_t f = d.Anota(2, 113, "enviardadosvenda");
  const std::string vendida = resposta("06000",
                                       "PENGZT48aW5mQ0ZlIElkPSJDRmUxIj48eE5vbWU+UGFkYXJpYSBT428gSm/"
                                       "jbyE8L3hOb21lPjwvaW5mQ0ZlPjwvQ0ZlPg==",
                                       "20240115103000", kChave);
  ASSERT_TRUE(d.Conclui(v, vendida) && d.Conclui(v, vendida));
  ASSERT_TRUE(d.Conclui(
      c, resposta("07000", "PENGZUNhbmM+PGluZkNGZT5jYW5jZWxhZG8g5zwvaW5mQ0ZlPjwvQ0ZlQ2FuYz4=",
                  "20240114090807", kCancelada)));
  const std::string outra = "CFe35240111111111111111590000000010000031234568";
  ASSERT_TRUE(d.Conclui(f, resposta("06001", "PENGZT4=", "20240115103000", outra)));
  EXPECT_EQ(d.Documento(kChave.substr(3)), venda);
  EXPECT_EQ(d.Documento(kCancelada.substr(3)), cancelamento);
  EXPECT_EQ(Sql("SELECT group_concat(chave || ',' || tipo || ',' || cnpj || ',' || caixa || ',' ||"
                " sessao || ',' || emitido_em || ',' || total, ' ') FROM (SELECT * FROM cfe"
                " ORDER BY chave)"),
            kChave.substr(3) + ",venda,11111111111111,2,111,2024-01-15 10:30:00,12.34 " +
                kCancelada.substr(3) +
                ",cancelamento,22222222222222,3,112,2024-01-14 09:08:07,12.34");
  // The figures Conclui keeps are the ones a count of the file gives.
  const auto figuras = [](Diario &diario) {
    const Diario::Acervo a = diario.Resumo();
    return std::to_string(a.vendas) + " " + std::to_string(a.cancelamentos) + " " +
           std::to_string(a.bytes) + " " + a.maisAntigo;
  };
  const std::string esperadas =
      "1 1 " + std::to_string(venda.size() + cancelamento.size()) + " 2024-01-14 09:08:07";
  EXPECT_EQ(figuras(d), esperadas);
  const Diario::Dia dia = d.DoDia("2024-01-15");
  EXPECT_EQ(dia.vendas, 1u);
  EXPECT_EQ(dia.centavos, 1234);
  EXPECT_EQ(dia.porHora[10].vendas, 1u);
  EXPECT_EQ(dia.cancelamentos + d.DoDia("2024-01-14").cancelamentos, 1u);
  const std::vector<Diario::Item> ultimos = d.Ultimos(1);
  ASSERT_EQ(ultimos.size(), 1u);
  EXPECT_EQ(ultimos[0].chave, kChave.substr(3));

  EXPECT_EQ(avisos, 2); // each document archived, once

  // The central's queue: both, by key (the first alone past the byte limit), until sent.
  EXPECT_EQ(d.ParaACentral(10, 1 << 20).at(1).xml, cancelamento);
  EXPECT_EQ(d.ParaACentral(10, 1).size(), 1u);
  ASSERT_TRUE(d.Enviados({kChave.substr(3)}));
  EXPECT_EQ(d.ParaACentral(10, 1 << 20).at(0).item.chave, kCancelada.substr(3));
  EXPECT_EQ(d.NaCentral(), 1u);

  // Journals of the versions before: the one before the archive gets its past CF-e from its
  // replies, and either queues all its documents for the central.
  for (const char *antes : {"DROP TABLE central; DROP TRIGGER cfe_central; PRAGMA user_version = 2",
                            "DROP TABLE cfe; DROP TABLE central; PRAGMA user_version = 1"}) {
    SCOPED_TRACE(antes);
    (void)Sql(antes);
    Diario antigo;
    Abre(antigo);
    EXPECT_EQ(antigo.Documento(kChave.substr(3)), venda);
    EXPECT_EQ(figuras(antigo), esperadas);
    EXPECT_EQ(antigo.NaCentral(), 2u);
    EXPECT_EQ(Sql("PRAGMA user_version"), "3");
  }
}

TEST_F(DiarioTest, FilesFollowTheUmask) {
  for (const mode_t mascara : {002, 027, 077}) {
    const mode_t anterior = umask(mascara);
    Diario d;
    Abre(d, std::to_string(mascara));
    umask(anterior);
    ASSERT_GT(d.Anota(1, 1, "enviardadosvenda"), 0);
    for (const std::string sufixo : {"", "-wal", "-shm"}) {
      struct stat s {};
      ASSERT_EQ(stat((pasta_ + "/" + std::to_string(mascara) + sufixo).c_str(), &s), 0);
      EXPECT_EQ(s.st_mode & 0777, 0666 & ~mascara) << sufixo << " umask " << mascara;
    }
  }
}

TEST_F(DiarioTest, RefusesWhatIsNotItsJournal) {
  const std::pair<const char *, std::string> casos[] = {
      {nullptr, "não é um arquivo SQLite"}, // a text file
      {"PRAGMA user_version = 4", "satd mais novo"},
      {"CREATE TABLE vendas (id)", "não é um diário do satd"}};
  for (const auto &[sql, esperado] : casos) {
    std::filesystem::remove(pasta_ + "/diario");
    sql ? (void)Sql(sql) : (void)(std::ofstream(pasta_ + "/diario") << "[diario]\nx = 1\n");
    Diario d;
    std::string erro;
    EXPECT_FALSE(d.Abre(pasta_ + "/diario", erro));
    EXPECT_NE(erro.find(pasta_ + "/diario: "), std::string::npos) << erro;
    EXPECT_NE(erro.find(esperado), std::string::npos) << erro;
    EXPECT_EQ(d.Anota(1, 1, "enviardadosvenda"), 0);
    EXPECT_EQ(d.Falhas(), 2u); // the open and the row
  }
}

TEST_F(DiarioTest, CountsWritesThatFail) {
  Diario d;
  Abre(d);
  const int64_t id = d.Anota(1, 10, "enviardadosvenda");
  ASSERT_GT(id, 0);
  // A full disk, even for root: no write may reach past the first byte of any file.
  rlimit antes{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &antes), 0);
  const auto sinal = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit um{1, antes.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &um), 0);
  const int64_t anotada = d.Anota(1, 11, "enviardadosvenda");
  const bool escreveu = d.Conclui(id, Venda("10")) || d.Entrega(id, true) || d.Descarta(id);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &antes), 0);
  std::signal(SIGXFSZ, sinal);
  EXPECT_TRUE(anotada == 0 && !escreveu);
  EXPECT_EQ(d.Falhas(), 4u);
  EXPECT_FALSE(d.Conclui(id + 100, "x")); // no such row
  EXPECT_EQ(d.Falhas(), 5u);
  // Space back: the same journal writes again, and holds nothing of the failed calls.
  EXPECT_TRUE(d.Conclui(id, Venda("10")) && d.Pendentes().empty());
}

TEST_F(DiarioTest, Reconcilia) {
  const std::string desconhecido = "555555|11099|Erro desconhecido||";
  const std::string anterior = "chamada anterior da mesma sessão";
  const struct {
    std::string porSessao, ultima, linha, resposta; // resposta "": pending, "-": discarded
    bool repetida = false; // an earlier call of the session holds the reply the SAT keeps
  } casos[] = {
      {Venda("004321"), "", "conciliado com a resposta guardada no SAT (06000)", Venda("004321")},
      {Venda("4321", "06010"), "", "resposta guardada no SAT (06010)", Venda("4321", "06010")},
      {"555555|11003|Sess\xE3o n\xE3o existe||", "", "o SAT nunca o executou", "-"},
      {desconhecido, Venda("004321", "07000"),
       "conciliado com a última sessão fiscal do SAT (07000)", Venda("004321", "07000")},
      {Venda("004320"), Venda("004320"), "ainda desconhecido: o SAT respondeu 06000", ""},
      {desconhecido, "555555|19003|N\xE3o existe sess\xE3o fiscal||",
       "respondeu 11099, e 19003 para a sua última sessão fiscal; será perguntado de novo na "
       "próxima inicialização",
       ""},
      {Venda("004321"), "", "nunca o executou: a resposta guardada no SAT é a de uma " + anterior,
       "-", true},
      {desconhecido, Venda("004321"), "a última sessão fiscal do SAT é a de uma " + anterior, "-",
       true},
  };
  for (size_t i = 0; i < std::size(casos); ++i) {
    const auto &c = casos[i];
    Diario d;
    Abre(d, std::to_string(i));
    if (c.repetida) {
      const int64_t antes = d.Anota(1, 4321, "enviardadosvenda");
      ASSERT_TRUE(antes > 0 && d.Conclui(antes, Venda("004321")));
    }
    const int64_t id = d.Anota(2, 4321, "enviardadosvenda");
    ASSERT_GT(id, 0);
    std::vector<std::string> linhas;
    satd::Reconcilia(
        d, [&](int32_t sessao) { return sessao == 4321 ? c.porSessao : "?"; },
        [&] { return c.ultima; }, [&](const std::string &l) { linhas.push_back(l); });
    ASSERT_EQ(linhas.size(), 1u) << c.linha;
    EXPECT_EQ(linhas[0].rfind("diário: caixa=002 sessao=004321 enviardadosvenda ", 0), 0u);
    EXPECT_NE(linhas[0].find(c.linha), std::string::npos) << linhas[0];
    EXPECT_EQ(d.Pendentes().size(), c.resposta.empty() ? 1u : 0u) << c.linha;
    EXPECT_EQ(d.RespostaDe(id), c.resposta.size() > 1 ? std::optional(c.resposta) : std::nullopt);
    EXPECT_EQ(d.Falhas(), 0u);
  }
}

} // namespace
