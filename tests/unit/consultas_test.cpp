// The three query commands: ConsultarSAT, ConsultarStatusOperacional, ConsultarNumeroSessao.
#include <cstring>
#include <string>

#include "support/armazenamento.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

const std::string ABERTURA = Registros({"abrindo porta: ", "\\\\.\\COM7", "\r\n"});
const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";

class ConsultasTest : public ComandoTest {};

// ConsultarSAT copies a reply shorter than 800 characters into the error record's message.
TEST_F(ConsultasTest, ConsultarSATRepliesAndCopiesTheReplyIntoTheErrorRecord) {
  const std::string r799 = "000042|08000|" + std::string(786, 'm');
  const struct {
    const char *nome;
    std::string resposta; // the device's payload; empty: the device is silent
    bool escreveFalha, abreFalha;
    std::string texto, mensagem;
    int32_t codigo;
  } casos[] = {
      {"reply", "000042|08000|SAT em opera\xE7\xE3o|0000|", false, false,
       "000042|08000|SAT em opera\xE7\xE3o|0000|", "000042|08000|SAT em opera\xE7\xE3o|0000|", 0},
      {"799 characters are copied", r799, false, false, r799, r799, 0},
      {"800 characters are not", r799 + "m", false, false, r799 + "m", "", 0},
      {"time-out", "", false, false, TIMEOUT, TIMEOUT, 0},
      {"no port", "", false, true, "Erro ao tentar abrir a porta", "Erro ao tentar abrir a porta",
       0},
      {"failed write: no copy", "", true, false,
       "000042|9999|Erro ao tentar abrir a porta de comunicacao!!",
       "Erro ao tentar abrir a porta de comunicacao!!", 32769},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().respostaAposEscrita.clear();
    if (!c.resposta.empty()) {
      sub().respostaAposEscrita = {QuadroDados(c.resposta)};
    }
    sub().escreveFalha = c.escreveFalha;
    sub().abreFalha = c.abreFalha;
    sub().arquivos["sat.log"].clear();
    EXPECT_EQ(ConsultarSAT(42), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), c.texto);
    EXPECT_EQ(Codigo(), c.codigo);
    EXPECT_EQ(Mensagem(), c.mensagem);
    const std::string log = Log();
    EXPECT_EQ(log.substr(log.size() - Registros({c.texto}).size()), Registros({c.texto}));
  }
}

TEST_F(ConsultasTest, TheActivationQueriesSendTheirParametersAndKeepTheEngineRecord) {
  const struct {
    const char *nome;
    char *(*consulta)();
    std::string pedido;
  } casos[] = {
      {"ConsultarStatusOperacional", [] { return ConsultarStatusOperacional(42, "123456789"); },
       "000042|ConsultarStatusOperacional|123456789"},
      {"ConsultarNumeroSessao 41", [] { return ConsultarNumeroSessao(42, "abc", 41); },
       "000042|ConsultarNumeroSessao|abc|000041"},
      {"ConsultarNumeroSessao -7", [] { return ConsultarNumeroSessao(42, "abc", -7); },
       "000042|ConsultarNumeroSessao|abc|-00007"},
      {"ConsultarNumeroSessao, empty code", [] { return ConsultarNumeroSessao(42, "", 41); },
       "000042|ConsultarNumeroSessao||000041"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().escritos.clear();
    sub().arquivos["sat.log"].clear();
    sub().milissegundos = 0;
    EXPECT_EQ(c.consulta(), BufferResposta);
    EXPECT_EQ(Pedido(), c.pedido);
    EXPECT_EQ(std::string(BufferResposta), TIMEOUT);
    EXPECT_EQ(Codigo(), 0);
    EXPECT_EQ(Mensagem(), "");
    EXPECT_GT(sub().milissegundos, 19000); // a 20-second limit
    EXPECT_LE(sub().milissegundos, 20100);
    EXPECT_EQ(Log(), ABERTURA + Registros({c.pedido, "Request timed out!\r\n", TIMEOUT}));
  }
  // ConsultarSAT's limit is 5 seconds.
  sub().milissegundos = 0;
  ConsultarSAT(42);
  EXPECT_LE(sub().milissegundos, 5100);
}

TEST_F(ConsultasTest, ANullActivationCodeIsRefusedWithoutTouchingThePort) {
  const std::string recusa = "000042|9999|Argumento nulo: codigoDeAtivacao";
  // Each call is checked before the next one runs: the second would hide the first's result.
  for (char *(*chamada)() : {+[] { return ConsultarStatusOperacional(42, nullptr); },
                             +[] { return ConsultarNumeroSessao(42, nullptr, 41); }}) {
    std::memset(BufferResposta, 0, 64);
    DefineRegistroErro(ERRO_NENHUM, nullptr);
    EXPECT_EQ(chamada(), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), recusa);
    EXPECT_EQ(Codigo(), ERRO_RECUSADO);
    EXPECT_EQ(Mensagem(), "Argumento nulo: codigoDeAtivacao");
  }
  EXPECT_TRUE(sub().chamadas.empty());
  EXPECT_EQ(ContadorSequencia, 0);
  EXPECT_EQ(Log(), Registros({recusa, recusa}));
}

TEST_F(ConsultasTest, TwoCallsShareTheReplyBuffer) {
  sub().respostaAposEscrita = {QuadroDados("000001|08000|primeira resposta longa")};
  char *primeira = ConsultarSAT(1);
  sub().respostaAposEscrita = {QuadroDados("000002|08000|curta")};
  EXPECT_EQ(ConsultarSAT(2), primeira);
  EXPECT_EQ(std::string(primeira), "000002|08000|curta");
}

} // namespace
