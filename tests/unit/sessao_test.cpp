// Late replies: a data frame that answers another session is discarded, and the engine keeps
// waiting for the request's own, within its limit.
#include <functional>
#include <string>

#include "support/armazenamento.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";

// A frame that announces five payload bytes more than it carries: at the limit it counts as
// received, as far as it came.
std::string QuadroCurto(const std::string &payload) {
  std::string q = QuadroDados(payload);
  q[9] = static_cast<char>(static_cast<unsigned char>(q[9]) + 5);
  return q.substr(0, q.size() - 1);
}

class SessaoTest : public ComandoTest {};

TEST_F(SessaoTest, RepliesOfOtherSessionsAreDiscarded) {
  const auto consultar = [] { return ConsultarSAT(42); };
  const auto numero = [] { return ConsultarNumeroSessao(42, "c", 41); };
  const auto fiscal = [] { return ConsultarUltimaSessaoFiscal(42, "c"); };
  const std::string propria = "000042|08000|nova|||";
  const struct {
    const char *nome;
    std::function<char *()> chama;
    std::deque<std::string> leituras; // what the device sends after the request
    std::string resposta;             // what the caller gets
    bool descartou;                   // the log tells of a discarded reply
  } casos[] = {
      {"a late reply, then the own",
       consultar,
       {QuadroDados("000041|08000|velha|||"), QuadroDados(propria)},
       propria,
       true},
      {"both in one read",
       consultar,
       {QuadroDados("000041|08000|velha|||") + QuadroDados(propria)},
       propria,
       true},
      {"only another's", consultar, {QuadroDados("000041|08000|velha|||")}, TIMEOUT, true},
      {"the same number unpadded", consultar, {QuadroDados("42|08000|x")}, "42|08000|x", false},
      {"a first field that is no number",
       consultar,
       {QuadroDados("abc|08000|x")},
       "abc|08000|x",
       false},
      {"an empty first field", consultar, {QuadroDados("|08000|x")}, "|08000|x", false},
      {"a number beyond 32 bits",
       consultar,
       {QuadroDados("4294967338|08000|x"), QuadroDados(propria)},
       propria,
       true},
      {"cut short at the limit, another's",
       consultar,
       {QuadroCurto("000041|08000|velha|||")},
       TIMEOUT,
       true},
      {"cut short at the limit, the own",
       consultar,
       {QuadroCurto("000042|08000|nova|||")},
       "000042|08000|nova|||",
       false},
      {"the session asked about",
       numero,
       {QuadroDados("000041|06000|0000|x|||")},
       "000041|06000|0000|x|||",
       false},
      {"a third session", numero, {QuadroDados("000040|06000|0000|x|||")}, TIMEOUT, true},
      {"a stored sale",
       fiscal,
       {QuadroDados("000017|06000|0000|venda|||")},
       "000017|06000|0000|venda|||",
       false},
      {"a stored cancellation",
       fiscal,
       {QuadroDados("000017|07000|0000|canc|||")},
       "000017|07000|0000|canc|||",
       false},
      {"another session's query",
       fiscal,
       {QuadroDados("000017|08000|x|||"), QuadroDados("000042|19003|Sem sess\xE3o|||")},
       "000042|19003|Sem sess\xE3o|||",
       true},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().arquivos["sat.log"].clear();
    sub().respostaAposEscrita = c.leituras;
    EXPECT_EQ(c.chama(), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), c.resposta);
    EXPECT_EQ(Log().find("Resposta de outra sess\xE3o descartada: ") != std::string::npos,
              c.descartou);
  }
}

} // namespace
