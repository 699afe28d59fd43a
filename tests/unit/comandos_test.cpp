// The activation, signature and maintenance commands and the newer fiscal-session query, over
// the scripted port.
#include <functional>
#include <string>
#include <vector>

#include "support/armazenamento.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";
const std::string ERRO_ABRIR = "Erro ao tentar abrir a porta de comunicacao!!";

struct Comando {
  const char *nome;
  std::function<char *()> chama;
  std::string pedido; // the request payload
  int32_t limite;     // ms
  bool codigoLongo;   // the code field may have 279 characters (27 otherwise)
  bool sempre;        // the reply reaches the record whatever the exchange left
};

const std::vector<Comando> &Comandos() {
  static const std::vector<Comando> comandos = {
      {"AtivarSAT", [] { return AtivarSAT(42, 1, "abc", "11222333000181", 5); },
       "000042|AtivarSAT|1|abc|11222333000181|05", 300000, false, false},
      {"ComunicarCertificadoICPBRASIL",
       [] { return ComunicarCertificadoICPBRASIL(42, "abc", "MIIC|x"); },
       "000042|ComunicarCertificadoICPBRASIL|abc|MIIC|x", 300000, true, false},
      {"AssociarAssinatura", [] { return AssociarAssinatura(42, "abc", "2223", "c2ln"); },
       "000042|AssociarAssinatura|abc|2223|c2ln", 900000, false, false},
      {"TrocarCodigoDeAtivacao", [] { return TrocarCodigoDeAtivacao(42, "abc", -1, "n1", "n2"); },
       "000042|TrocarCodigoDeAtivacaoSAT|abc|-1|n1|n2", 120000, false, false},
      {"AtualizarSoftwareSAT", [] { return AtualizarSoftwareSAT(42, "abc"); },
       "000042|AtualizarSoftwareSAT|abc", 1800000, false, false},
      {"BloquearSAT", [] { return BloquearSAT(42, "abc"); }, "000042|BloquearSAT|abc", 300000, true,
       false},
      {"DesbloquearSAT", [] { return DesbloquearSAT(42, "abc"); }, "000042|DesbloquearSAT|abc",
       20000, true, false},
      {"ConfigurarInterfaceDeRede", [] { return ConfigurarInterfaceDeRede(42, "abc", "<c/>"); },
       "000042|ConfigurarInterfaceDeRede|abc|<c/>", 20000, true, false},
      {"ExtrairLogs", [] { return ExtrairLogs(42, "abc"); }, "000042|ExtrairLogs|abc", 120000, true,
       true},
      {"TesteFimAFim", [] { return TesteFimAFim(42, "abc", "<CFe>v</CFe>resto"); },
       "000042|TesteFimAFim|abc|<CFe>v</CFe>resto", 20000, false, false},
  };
  return comandos;
}

class ComandosTest : public ComandoTest {};

// Each command's request, wire word and time limit; a silent device times it out.
TEST_F(ComandosTest, EachCommandSendsItsTextAndWaitsItsLimit) {
  for (const Comando &c : Comandos()) {
    SCOPED_TRACE(c.nome);
    sub().escritos.clear();
    sub().milissegundos = 0;
    sub().arquivos["sat.log"].clear();
    EXPECT_EQ(c.chama(), BufferResposta);
    ASSERT_EQ(sub().escritos.size(), 1u);
    EXPECT_EQ(Pedido(), c.pedido);
    EXPECT_EQ(std::string(BufferResposta), TIMEOUT);
    EXPECT_GT(sub().milissegundos, c.limite - 1000);
    EXPECT_LE(sub().milissegundos, c.limite + 100);
    EXPECT_EQ(Codigo(), 0);
    EXPECT_EQ(Mensagem(), "Codigo: 9999.\nTimeout de comunica\xE7\xE3o");
    const std::string log = Log();
    const std::string ultimo = Registros({c.pedido, "Request timed out!\r\n", TIMEOUT});
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), ultimo.size())), ultimo);
  }
}

TEST_F(ComandosTest, ArgumentsGoOutWholeEmptyOrNot) {
  const struct {
    const char *nome;
    std::function<char *()> chama;
    std::string pedido;
  } casos[] = {
      {"a three-digit subComando and cUF", [] { return AtivarSAT(42, 123, "c", "x", 350); },
       "000042|AtivarSAT|123|c|x|350"},
      {"the extremes of 32 bits", [] { return AtivarSAT(42, INT32_MIN, "c", "x", INT32_MAX); },
       "000042|AtivarSAT|-2147483648|c|x|2147483647"},
      {"empty texts keep their places", [] { return AssociarAssinatura(42, "", "", ""); },
       "000042|AssociarAssinatura|||"},
      {"an empty first part", [] { return TrocarCodigoDeAtivacao(42, "", 2, "a", "a"); },
       "000042|TrocarCodigoDeAtivacaoSAT||2|a|a"},
      {"an empty last part", [] { return ConfigurarInterfaceDeRede(42, "abc", ""); },
       "000042|ConfigurarInterfaceDeRede|abc|"},
      {"the newer query", [] { return ConsultarUltimaSessaoFiscal(42, "abc"); },
       "000042|ConsultarUltimaSessaoFiscal|abc"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().escritos.clear();
    c.chama();
    ASSERT_EQ(sub().escritos.size(), 1u);
    EXPECT_EQ(Pedido(), c.pedido);
  }
}

// How each reply reaches the error record, for every command.
TEST_F(ComandosTest, TheReplysCodeAndMessageReachTheRecord) {
  const std::string codigo30(30, '7');
  const std::string mensagem2000(2000, 'm');
  const struct {
    const char *nome;
    std::string resposta; // empty: the device is silent
    bool abreFalha, escreveFalha;
    // What the message becomes: for a short code field, and for a long one (279 characters).
    std::string curto, longo;
    int32_t codigo;
  } casos[] = {
      {"device reply", "000042|12345|Rede ok|x|y", false, false, "Codigo: 12345.\nRede ok",
       "Codigo: 12345.\nRede ok", 0},
      {"a code of 30 characters", "000042|" + codigo30 + "|m|", false, false, "",
       "Codigo: " + codigo30 + ".\nm", 0},
      {"a message of 2000 characters, cut to the record's 799",
       "000042|12345|" + mensagem2000 + "|", false, false,
       "Codigo: 12345.\n" + mensagem2000.substr(0, 784),
       "Codigo: 12345.\n" + mensagem2000.substr(0, 784), 0},
      {"two fields only", "000042|12000", false, false, "", "", 0},
      {"an empty third field", "000042|12000||x", false, false, "", "", 0},
      {"no port", "", true, false, "", "", 0},
  };
  for (const Comando &c : Comandos()) {
    for (const auto &caso : casos) {
      SCOPED_TRACE(std::string(c.nome) + ": " + caso.nome);
      sub().abreFalha = caso.abreFalha;
      Responde(caso.resposta);
      c.chama();
      EXPECT_EQ(std::string(BufferResposta),
                caso.abreFalha ? "Erro ao tentar abrir a porta" : caso.resposta);
      EXPECT_EQ(Codigo(), caso.codigo);
      EXPECT_EQ(Mensagem(), c.codigoLongo ? caso.longo : caso.curto);
    }
  }
}

// A failed write leaves code 32769: only the log extraction writes its reply's message then.
TEST_F(ComandosTest, AFailedWriteKeepsTheEngineRecordButForTheLogExtraction) {
  sub().escreveFalha = true;
  for (const Comando &c : Comandos()) {
    SCOPED_TRACE(c.nome);
    c.chama();
    EXPECT_EQ(std::string(BufferResposta), "000042|9999|" + ERRO_ABRIR);
    EXPECT_EQ(Codigo(), 32769);
    EXPECT_EQ(Mensagem(), c.sempre ? "Codigo: 9999.\n" + ERRO_ABRIR : ERRO_ABRIR);
  }
}

TEST_F(ComandosTest, NullTextArgumentsAreRefusedWithoutSending) {
  const struct {
    std::function<char *()> chama;
    const char *nome;
  } casos[] = {
      {[] { return AtivarSAT(42, 1, nullptr, "x", 35); }, "codigoDeAtivacao"},
      {[] { return AtivarSAT(42, 1, "c", nullptr, 35); }, "CNPJ"},
      {[] { return ComunicarCertificadoICPBRASIL(42, "c", nullptr); }, "certificado"},
      {[] { return AssociarAssinatura(42, "c", nullptr, "s"); }, "CNPJvalue"},
      {[] { return AssociarAssinatura(42, "c", "v", nullptr); }, "assinaturaCNPJs"},
      {[] { return TrocarCodigoDeAtivacao(42, "c", 1, nullptr, "n"); }, "novoCodigo"},
      {[] { return TrocarCodigoDeAtivacao(42, "c", 1, "n", nullptr); }, "confNovoCodigo"},
      {[] { return BloquearSAT(42, nullptr); }, "codigoDeAtivacao"},
      {[] { return ConfigurarInterfaceDeRede(42, "c", nullptr); }, "dadosConfiguracao"},
      {[] { return ExtrairLogs(42, nullptr); }, "codigoDeAtivacao"},
      {[] { return TesteFimAFim(42, "c", nullptr); }, "dadosVenda"},
      {[] { return ConsultarUltimaSessaoFiscal(42, nullptr); }, "codigoDeAtivacao"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    EXPECT_EQ(c.chama(), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), std::string("000042|9999|Argumento nulo: ") + c.nome);
    EXPECT_EQ(Codigo(), ERRO_RECUSADO);
    EXPECT_EQ(Mensagem(), std::string("Argumento nulo: ") + c.nome);
  }
  EXPECT_TRUE(sub().escritos.empty());
  EXPECT_EQ(ContadorSequencia, 0);
}

// ExtrairLogs decodes what follows the fifth '|' when "15000" stands anywhere in the reply.
TEST_F(ComandosTest, TheLogExtractionDecodesTheLog) {
  const std::string log = Base64("log do SAT\nlinha 2");
  const struct {
    const char *nome;
    std::string resposta;
    std::string documento;
  } casos[] = {
      {"fewer than five bars", "000042|15000|x|y|" + log, ""},
      {"no 15000",
       "000042|15001|C\xF3"
       "digo inv\xE1lido|||" +
           log,
       ""},
      {"15000 in the session field", "015000|15001|x|y|z|" + log, "log do SAT\nlinha 2"},
      {"success", "000042|15000|Transfer\xEAncia completa|||" + log, "log do SAT\nlinha 2"},
      {"a time-out after a document", "", ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    Responde(c.resposta);
    ExtrairLogs(c.resposta.compare(0, 6, "015000") == 0 ? 15000 : 42, "abc");
    EXPECT_EQ(std::string(Base64ToAscii()), c.documento);
  }
}

} // namespace
