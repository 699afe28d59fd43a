// A reply's leading fields, the text after its bars, and the record's message made of them.
#include <string>
#include <vector>

#include "api/resposta.h"
#include "support/armazenamento.h"
#include "tests/unit/substituto.h"

namespace {

class RespostaTest : public SubstitutoTest {};

// Fields 2 and 3 into areas of 4 and 8 bytes: an empty field, one that does not fit its area
// and the end of the text each end the scan; the fields not taken are left empty.
TEST_F(RespostaTest, LeCamposRespostaTakesFieldsUntilOneIsEmptyOrDoesNotFit) {
  const size_t areas[] = {4, 8};
  const struct {
    const char *resposta;
    std::vector<std::string> campos;
  } casos[] = {
      {"42|123|msg|x", {"123", "msg"}},
      {"42|123", {"123"}},
      {"42|123||x", {"123"}},
      {"42||msg|x", {}},
      {"|123|msg|x", {}},
      {"42", {}},
      {"42|1234|msg|", {}},
      {"42|123|12345678|", {"123"}},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.resposta);
    CampoResposta campos[2] = {{"velho", 5}, {"velho", 5}};
    ASSERT_EQ(LeCamposResposta(c.resposta, areas, campos, 2), c.campos.size());
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(std::string(campos[i].texto, campos[i].tamanho),
                i < c.campos.size() ? c.campos[i] : "");
    }
  }
}

TEST_F(RespostaTest, AposBarrasAndDefineMensagemCodigo) {
  const char *resposta = "a|b||c";
  EXPECT_EQ(AposBarras(resposta, 0), resposta);
  EXPECT_STREQ(AposBarras(resposta, 1), "b||c");
  EXPECT_STREQ(AposBarras(resposta, 3), "c");
  EXPECT_EQ(AposBarras(resposta, 4), nullptr);

  // Only the fields' own bytes are written, the message is cut to the record's 799 characters
  // and the code stays as it was.
  RegistroErro.codigo = 7;
  DefineMensagemCodigo({"12345|", 5}, {"Rede ok|x", 7});
  EXPECT_EQ(std::string(RegistroErro.mensagem), "Codigo: 12345.\nRede ok");
  const std::string longa(900, 'm');
  DefineMensagemCodigo({"1", 1}, {longa.c_str(), longa.size()});
  EXPECT_EQ(std::string(RegistroErro.mensagem), "Codigo: 1.\n" + longa.substr(0, 788));
  EXPECT_EQ(RegistroErro.codigo, 7);
}

} // namespace
