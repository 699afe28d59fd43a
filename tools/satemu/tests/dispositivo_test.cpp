#include "dispositivo.h"

#include "apoio.h"

#include <gtest/gtest.h>

namespace {

using satemu::Ativacao;
using satemu::Sat;

constexpr char kCnpj[] = "11222333000181";
constexpr char kCnpjSh[] = "22233344000183";

std::string Codigo(const std::string &resposta) { return teste::Divide(resposta)[1]; }

class Dispositivo : public ::testing::Test {
protected:
  Dispositivo() {
    sat_.relogio = [] { return std::time_t{1700000000}; };
    sat_.sorteio.seed(7);
  }

  // Answers a payload, with a fresh session number unless one is given.
  std::string Pede(const std::string &palavraEParametros, long long sessao = -1) {
    const long long numero = sessao >= 0 ? sessao : ++sessao_;
    char texto[24];
    std::snprintf(texto, sizeof texto, "%06lld", numero);
    return Confere(satemu::Atende(sat_, std::string(texto) + "|" + palavraEParametros).resposta);
  }

  // Every CF-e the device issues is read back as XML.
  static std::string Confere(std::string resposta) {
    EXPECT_EQ(teste::ProblemaCFe(resposta), "") << resposta.substr(0, 40);
    return resposta;
  }

  void Prepara() {
    ASSERT_EQ(Codigo(Pede(std::string("AtivarSAT|1|12345678|") + kCnpj + "|35")), "04000");
    ASSERT_EQ(Codigo(Pede(std::string("AssociarAssinatura|12345678|") + kCnpjSh + kCnpj + "|" +
                          teste::kAssinaturaPronto)),
              "13000");
  }

  std::string Venda(long long sessao = -1, const std::string &xml = teste::XmlVenda()) {
    const long long numero = sessao >= 0 ? sessao : ++sessao_;
    return Confere(
        satemu::Atende(sat_, teste::PedidoVenda(std::to_string(numero), "12345678", xml)).resposta);
  }

  Sat sat_;
  long long sessao_ = 1000;
};

// The life of a device, one command at a time, with what each must leave behind.
TEST_F(Dispositivo, TransicoesDeEstado) {
  // A device has log lines from its start.
  satemu::RegistraInicio(sat_);
  EXPECT_NE(
      teste::DecodificaBase64(teste::Divide(Pede("ExtrairLogs|12345678"))[5])
          .find("|000000|inicio|00000|SAT 900000001 ligado, software 01.00.00, layout 00.08\n"),
      std::string::npos);
  EXPECT_EQ(Codigo(Pede("ConsultarUltimaSessaoFiscal|12345678")), "19002");
  EXPECT_EQ(Codigo(Pede(std::string("AtivarSAT|1|curto\x01|") + kCnpj + "|35")), "04099");
  EXPECT_EQ(Codigo(Pede(std::string("AtivarSAT|2|87654321|") + kCnpj + "|35")), "04006");
  EXPECT_EQ(sat_.ativacao, Ativacao::AguardandoCertificado);
  EXPECT_EQ(sat_.codigoAtivacao, "87654321");
  EXPECT_EQ(Codigo(Pede("ComunicarCertificadoICPBRASIL|87654321|TUlJQg==")), "05000");
  EXPECT_EQ(sat_.ativacao, Ativacao::Ativado);
  EXPECT_EQ(Codigo(Pede("ComunicarCertificadoICPBRASIL|87654321|TUlJQg==")), "05003");
  EXPECT_EQ(Codigo(Pede(std::string("AssociarAssinatura|87654321|") + kCnpjSh + kCnpj + "|" +
                        teste::kAssinaturaPronto)),
            "13000");
  EXPECT_EQ(sat_.cnpjSoftwareHouse, kCnpjSh);
  EXPECT_EQ(Codigo(Pede(std::string("AssociarAssinatura|87654321|") + kCnpjSh + "11444777000161|" +
                        teste::kAssinaturaPronto)),
            "13007");

  EXPECT_EQ(Codigo(Pede("BloquearSAT|87654321")), "16000");
  EXPECT_TRUE(sat_.bloqueado);
  EXPECT_EQ(Codigo(Pede("BloquearSAT|87654321")), "16002");
  EXPECT_EQ(Codigo(Pede("DesbloquearSAT|87654321")), "17000");
  EXPECT_FALSE(sat_.bloqueado);

  EXPECT_EQ(Codigo(Pede("TrocarCodigoDeAtivacaoSAT|87654321|1|novo1234|novo1234")), "18000");
  EXPECT_EQ(sat_.codigoAtivacao, "novo1234");
  EXPECT_EQ(Codigo(Pede("TrocarCodigoDeAtivacaoSAT|87654321|2|outro123|outro123")), "18000");
  EXPECT_EQ(sat_.codigoAtivacao, "outro123");
  EXPECT_EQ(Codigo(Pede("TrocarCodigoDeAtivacaoSAT|87654321|2|a\x7F|a\x7F")), "18099");
  EXPECT_EQ(sat_.codigoAtivacao, "outro123");

  sat_.codigoAtivacao = "12345678";
  EXPECT_EQ(Codigo(Pede("ConsultarUltimaSessaoFiscal|12345678")), "19003");
  // A refused sale changes nothing, and the device's log says which rule it broke.
  const std::string semPagamento = teste::XmlVenda();
  EXPECT_EQ(Codigo(Venda(-1, semPagamento.substr(0, semPagamento.find("<vMP>50")) + "<vMP>1.00" +
                                 semPagamento.substr(semPagamento.find("</vMP>")))),
            "06010");
  EXPECT_NE(sat_.log.find("|EnviarDadosVenda|06010|pgto: os pagamentos (1.00) n\xE3o cobrem o "
                          "total (30.02)\n"),
            std::string::npos);
  EXPECT_EQ(sat_.ultimoNumero, 0);
  const std::string venda = Venda();
  EXPECT_EQ(Codigo(venda), "06000");
  EXPECT_EQ(sat_.ultimoNumero, 1);
  EXPECT_TRUE(sat_.vendaCancelavel);
  EXPECT_EQ(Pede("ConsultarUltimaSessaoFiscal|12345678"), venda);
  const std::string chave = sat_.ultimaVenda.chave;
  EXPECT_EQ(chave.substr(6, 14), kCnpj);
  EXPECT_EQ(Codigo(Pede("TesteFimAFim|12345678|" + teste::XmlVenda())), "09000");
  EXPECT_EQ(sat_.ultimoNumero, 1);
  EXPECT_EQ(Pede("ConsultarUltimaSessaoFiscal|12345678"), venda);
  // Signed by another software house: refused like a document that breaks a rule.
  EXPECT_EQ(Codigo(Pede("CancelarUltimaVenda|12345678|CFe" + chave + "|" +
                        teste::XmlCancelamento(chave, "QUJD"))),
            "07007");
  const std::string cancelamento =
      Pede("CancelarUltimaVenda|12345678|CFe" + chave + "|" + teste::XmlCancelamento(chave));
  EXPECT_EQ(Codigo(cancelamento), "07000");
  EXPECT_EQ(sat_.ultimoNumero, 2);
  EXPECT_FALSE(sat_.vendaCancelavel);
  EXPECT_EQ(Pede("ConsultarUltimaSessaoFiscal|12345678"), cancelamento);
  EXPECT_EQ(Codigo(Pede("ConsultarUltimaSessaoFiscal|00000000")), "19001");
  EXPECT_EQ(Codigo(Pede("CancelarUltimaVenda|12345678|CFe" + chave + "|" +
                        teste::XmlCancelamento(chave))),
            "07002");
}

// Each operating state against the commands it decides, each on a device that has just made a
// sale it could cancel.
TEST_F(Dispositivo, EstadosDeOperacao) {
  const char *const comandos[] = {"venda", "cancelamento", "BloquearSAT", "DesbloquearSAT"};
  const struct {
    int estado;
    const char *codigos[4];
  } casos[] = {
      {0, {"06000", "07000", "16000", "17005"}}, {1, {"06007", "07004", "16002", "17003"}},
      {2, {"06006", "07003", "16002", "17000"}}, {3, {"06008", "07005", "16002", "17006"}},
      {4, {"06007", "07004", "16002", "17007"}},
  };
  for (const auto &caso : casos) {
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(std::string(comandos[i]) + " in state " + std::to_string(caso.estado));
      sat_ = Sat{};
      sat_.relogio = [] { return std::time_t{1700000000}; };
      Prepara();
      ASSERT_EQ(Codigo(Venda()), "06000");
      const std::string chave = sat_.ultimaVenda.chave;
      if (caso.estado == 2)
        sat_.bloqueado = true;
      else
        sat_.condicoes.bloqueio = caso.estado;
      EXPECT_EQ(teste::Divide(Pede("ConsultarStatusOperacional|12345678")).back(),
                std::to_string(caso.estado));
      const std::string pedidos[] = {
          "", "CancelarUltimaVenda|12345678|CFe" + chave + "|" + teste::XmlCancelamento(chave),
          "BloquearSAT|12345678", "DesbloquearSAT|12345678"};
      EXPECT_EQ(Codigo(i == 0 ? Venda() : Pede(pedidos[i])), caso.codigos[i]);
    }
  }
}

// Only the commands whose codes list x097 refuse a session number already answered.
TEST_F(Dispositivo, SessaoRepetida) {
  Prepara();
  const struct {
    const char *pedido;
    const char *codigoRepetida;
  } casos[] = {
      {"ConsultarSAT", "08000"},
      {"ConsultarStatusOperacional|12345678", "10000"},
      {"ConfigurarInterfaceDeRede|12345678|<config><tipoLan>DHCP</tipoLan></config>", "12097"},
      {"AtualizarSoftwareSAT|12345678", "14097"},
      {"ExtrairLogs|12345678", "15097"},
      {"BloquearSAT|12345678", "16097"},
      {"DesbloquearSAT|12345678", "17097"},
      {"TrocarCodigoDeAtivacaoSAT|12345678|1|12345678|12345678", "18097"},
      {"AssociarAssinatura|12345678|2223334400018311222333000181|QUJD", "13097"}};
  for (const auto &caso : casos) {
    Pede("ConsultarSAT", 500);
    EXPECT_EQ(Codigo(Pede(caso.pedido, 500)), caso.codigoRepetida) << caso.pedido;
    sat_.sessoes.clear();
    sat_.ordemSessoes.clear();
    sat_.bytesSessoes = 0;
  }
  // The refusal does not replace what the session answered first.
  Pede("ConsultarSAT", 600);
  Pede("BloquearSAT|12345678", 600);
  EXPECT_EQ(Codigo(Pede("ConsultarNumeroSessao|12345678|000600")), "08000");
}

TEST_F(Dispositivo, ConsultaDeSessaoDevolveARespostaComoFoiEnviada) {
  Prepara();
  const std::string venda = Venda(77);
  ASSERT_EQ(Codigo(venda), "06000");
  EXPECT_EQ(Pede("ConsultarNumeroSessao|12345678|000077"), venda);
  EXPECT_EQ(Codigo(Pede("ConsultarNumeroSessao|12345678|000078")), "11003");
  // The oldest sessions give way to the newest.
  for (long long s = 0; s < static_cast<long long>(satemu::kSessoesGuardadas); ++s)
    Pede("ConsultarSAT", 2000 + s);
  EXPECT_EQ(Codigo(Pede("ConsultarNumeroSessao|12345678|000077")), "11003");
  EXPECT_LE(sat_.sessoes.size(), satemu::kSessoesGuardadas);
}

// The health conditions as the status shows them: CF-e waiting (and those issued meanwhile), a
// certificate's dates, the blocks that no command lifts.
TEST_F(Dispositivo, CondicoesDeSaude) {
  Prepara();
  const auto status = [&] {
    const auto campos = teste::Divide(Pede("ConsultarStatusOperacional|12345678"));
    EXPECT_EQ(campos.size(), 28u);
    return campos;
  };
  const std::string venda = Venda();
  ASSERT_EQ(Codigo(venda), "06000");
  const std::string agora = satemu::CarimboDaqui(sat_, 0);
  auto campos = status();
  // Transmitted as soon as issued: nothing waits, last transmission and contact are now.
  EXPECT_EQ(campos[21] + campos[22], "");
  EXPECT_EQ(campos[23] + "|" + campos[24], agora + "|" + agora);
  EXPECT_EQ(campos[27], "0");

  ASSERT_TRUE(satemu::AcrescentaPendentes(sat_, 2));
  campos = status();
  EXPECT_EQ(campos[21].substr(31, 6), "000002");
  EXPECT_EQ(campos[22].substr(31, 6), "000003");
  EXPECT_EQ(campos[20], campos[22]);
  ASSERT_EQ(Codigo(Venda()), "06000");
  campos = status();
  EXPECT_EQ(campos[21].substr(31, 6), "000002");
  EXPECT_EQ(campos[22], sat_.ultimaVenda.chave);
  EXPECT_EQ(campos[22].substr(31, 6), "000004");

  sat_.condicoes.vencimentoCertificado = "20280229";
  campos = status();
  EXPECT_EQ(campos[25] + "|" + campos[26], "20230228|20280229");
  EXPECT_EQ(satemu::DataDaqui(sat_, 10), satemu::CarimboDaqui(sat_, 10 * 86400).substr(0, 8));

  const std::string cancelamento = "CancelarUltimaVenda|12345678|CFe" + sat_.ultimaVenda.chave +
                                   "|" + teste::XmlCancelamento(sat_.ultimaVenda.chave);
  const struct {
    int bloqueio;
    const char *venda;
    const char *cancelamento;
  } bloqueios[] = {{1, "06007", "07004"}, {3, "06008", "07005"}, {4, "06007", "07004"}};
  for (const auto &b : bloqueios) {
    sat_.condicoes.bloqueio = b.bloqueio;
    EXPECT_EQ(status()[27], std::to_string(b.bloqueio));
    EXPECT_EQ(Codigo(Venda()), b.venda);
    EXPECT_EQ(Codigo(Pede(cancelamento)), b.cancelamento);
  }
  sat_.condicoes.bloqueio = 0;
  EXPECT_EQ(Codigo(Pede(cancelamento)), "07000");

  Sat novo;
  EXPECT_FALSE(satemu::AcrescentaPendentes(novo, 1));
}

TEST_F(Dispositivo, NumeracaoVoltaAUm) {
  Prepara();
  sat_.ultimoNumero = 999999;
  ASSERT_EQ(Codigo(Venda()), "06000");
  EXPECT_EQ(sat_.ultimoNumero, 1);
  EXPECT_EQ(sat_.ultimaVenda.chave.substr(31, 6), "000001");
}

TEST_F(Dispositivo, LogLimitadoEmLinhasInteiras) {
  for (int i = 0; i < 10000; ++i)
    Pede("ConsultarSAT");
  EXPECT_LE(sat_.log.size(), satemu::kLogMaximo);
  EXPECT_GT(sat_.log.size(), satemu::kLogMaximo / 2);
  const auto linhas = teste::Divide(sat_.log, '\n');
  EXPECT_EQ(teste::Divide(linhas.front()).size(), 4u);
  EXPECT_EQ(teste::Divide(linhas.front())[3], "08000");
  char ultima[24];
  std::snprintf(ultima, sizeof ultima, "%06lld", sessao_);
  EXPECT_EQ(teste::Divide(linhas[linhas.size() - 2])[1], ultima);
}

TEST_F(Dispositivo, PedidosIrreconheciveis) {
  const struct {
    std::string carga;
    std::string resposta;
  } casos[] = {{"000001|Inexistente|x", "000001|00099|Erro desconhecido||"},
               {"-00003|ConsultarSat", "-00003|00099|Erro desconhecido||"},
               {"abc|ConsultarSAT", "000000|00099|Erro desconhecido||"},
               {"", "000000|00099|Erro desconhecido||"},
               {"12345678901|ConsultarSAT", "000000|00099|Erro desconhecido||"}};
  for (const auto &caso : casos) {
    const auto atendimento = satemu::Atende(sat_, caso.carga);
    EXPECT_EQ(atendimento.resposta, caso.resposta) << caso.carga;
    EXPECT_FALSE(atendimento.conhecida);
  }
}

TEST_F(Dispositivo, VendaNoLimiteDeTamanho) {
  Prepara();
  // The document itself may have 1,500 KB; the CF-e made of it is larger and is refused.
  std::string xml = teste::XmlVenda();
  const std::string enchimento = "<infAdic><obsFisco>" +
                                 std::string(satemu::kDocumentoMaximo - xml.size() - 40, 'z') +
                                 "</obsFisco></infAdic>";
  xml.insert(xml.find("</infCFe>"), enchimento);
  ASSERT_EQ(xml.size(), satemu::kDocumentoMaximo);
  auto venda = [&](const std::string &documento) {
    return Codigo(
        satemu::Atende(sat_, teste::PedidoVenda("000001", "12345678", documento)).resposta);
  };
  EXPECT_EQ(venda(xml), "06005");
  EXPECT_EQ(venda(xml + " "), "06005");
  xml.erase(xml.find("zzz"), 4000);
  EXPECT_EQ(venda(xml), "06000");
}

// Parameters made of the bytes that matter to the parser, in random order: whatever comes,
// the reply is the command's own (its two leading code digits) and the log stays whole lines.
TEST_F(Dispositivo, ParametrosAleatoriosTemRespostaDoProprioComando) {
  Prepara();
  // Every command word once, including ConsultarUltimaSessaoFiscal's answer to a real sale.
  ASSERT_EQ(Codigo(Venda()), "06000");
  const std::pair<const char *, const char *> comandos[] = {{"AtivarSAT", "04"},
                                                            {"ComunicarCertificadoICPBRASIL", "05"},
                                                            {"EnviarDadosVenda", "06"},
                                                            {"CancelarUltimaVenda", "07"},
                                                            {"ConsultarSAT", "08"},
                                                            {"TesteFimAFim", "09"},
                                                            {"ConsultarStatusOperacional", "10"},
                                                            {"ConsultarNumeroSessao", "11"},
                                                            {"ConfigurarInterfaceDeRede", "12"},
                                                            {"AssociarAssinatura", "13"},
                                                            {"AtualizarSoftwareSAT", "14"},
                                                            {"ExtrairLogs", "15"},
                                                            {"BloquearSAT", "16"},
                                                            {"DesbloquearSAT", "17"},
                                                            {"TrocarCodigoDeAtivacaoSAT", "18"},
                                                            {"ConsultarUltimaSessaoFiscal", "19"}};
  constexpr char kBytes[] = "|<>/CFeinf0123456789.-x\0\xFF";
  const std::string alfabeto(kBytes, sizeof kBytes - 1);
  std::mt19937 sorteio(2024);
  for (int rodada = 0; rodada < 300; ++rodada) {
    for (const auto &[palavra, numero] : comandos) {
      std::string parametros = rodada % 2 ? "12345678|" : "";
      const int tamanho = std::uniform_int_distribution<int>(0, 40)(sorteio);
      for (int i = 0; i < tamanho; ++i)
        parametros += alfabeto[sorteio() % alfabeto.size()];
      const std::string resposta = Pede(std::string(palavra) + "|" + parametros);
      const auto campos = teste::Divide(resposta);
      ASSERT_GE(campos.size(), 4u) << palavra << " " << parametros;
      if (std::string(palavra) != "ConsultarNumeroSessao" &&
          std::string(palavra) != "ConsultarUltimaSessaoFiscal") {
        EXPECT_EQ(campos[1].substr(0, 2), numero) << palavra << " " << parametros;
      }
    }
  }
  EXPECT_EQ(sat_.log.back(), '\n');
}

} // namespace
