// A SAT's life through the library's commands, end to end: the shipped library, the real serial
// path and satemu, natively and for the DLL under wine. tests/com_satemu.sh starts the device:
//   Vida.*   a fresh satemu (not activated)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/enlace_e2e.h"
#include "tests/e2e/exportacoes.h"
#include "tests/e2e/venda_exemplo.h"

namespace {

const char CODIGO[] = "12345678";
const char CNPJ[] = "11222333000181";
const char CNPJ_SH[] = "22233344000183";

std::string ConteudoDe(const std::string &arquivo) {
  std::ifstream f(arquivo, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Codigo(const std::string &resposta) {
  const std::vector<std::string> campos = CamposDaResposta(resposta);
  return campos.size() > 1 ? campos[1] : "";
}

// Activation, association, network, block and unblock, code change and log extraction, in the
// order a technician sets a SAT up; each reply's code reaches the error record.
TEST(Vida, FromActivationToTheLogExtraction) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(7, 0, 0, 0, 0), 0);

  const struct {
    const char *nome;
    std::function<char *()> chama;
    std::string codigo;
    std::string mensagem; // of the error record
  } passos[] = {
      {"a fresh SAT answers", [&] { return sat.ConsultarSAT(1); }, "08000", ""},
      {"activation", [&] { return sat.AtivarSAT(2, 1, CODIGO, CNPJ, 35); }, "04000",
       "Codigo: 04000.\nAtivado corretamente"},
      {"activation again", [&] { return sat.AtivarSAT(3, 1, CODIGO, CNPJ, 35); }, "04003",
       "Codigo: 04003.\nSAT j\xE1 ativado"},
      {"association",
       [&] {
         return sat.AssociarAssinatura(4, CODIGO, (std::string(CNPJ_SH) + CNPJ).c_str(),
                                       ASSINATURA);
       },
       "13000", "Codigo: 13000.\nAssinatura do AC Registrada"},
      {"fixed address",
       [&] {
         return sat.ConfigurarInterfaceDeRede(
             5, CODIGO,
             "<config><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.5</lanIP><lanMask>255.255.255.0"
             "</lanMask><lanGW>10.0.0.1</lanGW></config>");
       },
       "12000", "Codigo: 12000.\nRede Configurada com Sucesso"},
      {"block", [&] { return sat.BloquearSAT(6, CODIGO); }, "16000",
       "Codigo: 16000.\nEquipamento SAT bloqueado com sucesso."},
      {"block again", [&] { return sat.BloquearSAT(7, CODIGO); }, "16002",
       "Codigo: 16002.\nEquipamento SAT j\xE1 est\xE1 bloqueado"},
      {"unblock", [&] { return sat.DesbloquearSAT(8, CODIGO); }, "17000",
       "Codigo: 17000.\nEquipamento SAT desbloqueado com sucesso."},
      {"new code", [&] { return sat.TrocarCodigoDeAtivacao(9, CODIGO, 1, "novo1234", "novo1234"); },
       "18000",
       "Codigo: 18000.\nC\xF3"
       "digo de ativa\xE7\xE3o alterado com sucesso."},
      {"the old code no longer works", [&] { return sat.BloquearSAT(10, CODIGO); }, "16001",
       "Codigo: 16001.\nC\xF3"
       "digo de ativa\xE7\xE3o inv\xE1lido"},
      {"back through the emergency code",
       [&] { return sat.TrocarCodigoDeAtivacao(11, "87654321", 2, CODIGO, CODIGO); }, "18000",
       "Codigo: 18000.\nC\xF3"
       "digo de ativa\xE7\xE3o alterado com sucesso."},
      {"software update", [&] { return sat.AtualizarSoftwareSAT(12, CODIGO); }, "14000",
       "Codigo: 14000.\nSoftware Atualizado com Sucesso"},
      {"no fiscal session yet", [&] { return sat.ConsultarUltimaSessaoFiscal(15, CODIGO); },
       "19003", ""},
      {"log", [&] { return sat.ExtrairLogs(13, CODIGO); }, "15000",
       "Codigo: 15000.\nTransfer\xEAncia completa"},

  };
  for (const auto &p : passos) {
    SCOPED_TRACE(p.nome);
    const std::string resposta = p.chama();
    EXPECT_EQ(Codigo(resposta), p.codigo) << resposta;
    EXPECT_EQ(sat.Codigo(), 0);
    if (!p.mensagem.empty()) {
      EXPECT_EQ(sat.Mensagem(), p.mensagem);
    }
  }

  // The device's log, decoded, names every exchange it answered.
  const std::string log = sat.Base64ToAscii();
  for (const char *linha : {"|000002|AtivarSAT|04000", "|000004|AssociarAssinatura|13000",
                            "|000009|TrocarCodigoDeAtivacaoSAT|18000"}) {
    EXPECT_NE(log.find(linha), std::string::npos) << linha << " in\n" << log;
  }

  // The status reflects the network settings and the unblocked state.
  const std::vector<std::string> status =
      CamposDaResposta(sat.ConsultarStatusOperacional(14, CODIGO));
  ASSERT_EQ(status.size(), 28u);
  EXPECT_EQ(status[1], "10000");
  EXPECT_EQ(status[6], "IPFIX");
  EXPECT_EQ(status[7], "10.0.0.5");
  EXPECT_EQ(status[27], "0");
}

} // namespace

namespace {

bool SoDigitos(const std::string &texto, size_t quantos) {
  return texto.size() == quantos && texto.find_first_not_of("0123456789") == std::string::npos;
}

const std::string EMITIDO = "Emitido com sucesso + conte\xFA"
                            "do notas.";

// A sale, its CF-e, its cancellation and the refusals, through the real serial path.
TEST(Venda, ASaleAndItsCancellation) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(7, 0, 0, 0, 0), 0);

  // The caller's text, with something after the closing tag that is not sent.
  const std::string texto = Venda() + "\r\n<!-- depois do fechamento -->";
  std::vector<std::string> venda =
      CamposDaResposta(sat.EnviarDadosVenda(100, CODIGO, texto.c_str()));
  ASSERT_EQ(venda.size(), 12u);
  EXPECT_EQ(venda[0], "000100");
  EXPECT_EQ(venda[1], "06000");
  EXPECT_EQ(venda[3], EMITIDO);
  EXPECT_TRUE(SoDigitos(venda[7], 14)) << venda[7];
  EXPECT_TRUE(venda[8].size() == 47 && venda[8].compare(0, 3, "CFe") == 0 &&
              SoDigitos(venda[8].substr(3), 44))
      << venda[8];
  EXPECT_EQ(venda[9], "15.00");
  EXPECT_EQ(venda[10], "11144477735");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), "Codigo: 06000.\n" + EMITIDO);

  const std::string cfe = sat.Base64ToAscii();
  EXPECT_EQ(cfe.compare(0, 1, "<"), 0) << cfe.substr(0, 80);
  EXPECT_EQ(cfe.substr(cfe.size() - 6), "</CFe>");
  EXPECT_NE(cfe.find("Id=\"" + venda[8] + "\""), std::string::npos);
  EXPECT_NE(cfe.find("P\xC3\xA3o de queijo"), std::string::npos);

  // The device's stored reply to the sale, asked for by either query, comes back as the sale
  // gave it, with its CF-e.
  EXPECT_EQ(CamposDaResposta(sat.ConsultarUltimaSessaoFiscal(110, CODIGO)), venda);
  EXPECT_EQ(std::string(sat.Base64ToAscii()), cfe);
  EXPECT_EQ(CamposDaResposta(sat.ConsultarNumeroSessao(112, CODIGO, 100)), venda);
  EXPECT_EQ(std::string(sat.Base64ToAscii()), cfe);

  const std::vector<std::string> cancelada = CamposDaResposta(
      sat.CancelarUltimaVenda(101, CODIGO, venda[8].c_str(), Cancelamento(venda[8]).c_str()));
  ASSERT_EQ(cancelada.size(), 12u);
  EXPECT_EQ(cancelada[1], "07000");
  EXPECT_EQ(sat.Mensagem(), "Codigo: 07000.\nCupom cancelado com sucesso + conte\xFA"
                            "do CF-e-SAT cancelado.");
  const std::string canc = sat.Base64ToAscii();
  EXPECT_EQ(CamposDaResposta(sat.ConsultarUltimaSessaoFiscal(111, CODIGO)), cancelada);
  EXPECT_EQ(std::string(sat.Base64ToAscii()), canc);
  EXPECT_EQ(CamposDaResposta(sat.ConsultarNumeroSessao(113, CODIGO, 101)), cancelada);
  EXPECT_EQ(std::string(sat.Base64ToAscii()), canc);
  EXPECT_NE(canc.find("chCanc=\"" + venda[8] + "\""), std::string::npos);
  EXPECT_EQ(canc.substr(canc.size() - 10), "</CFeCanc>") << "nothing decoded after the CF-e";

  // A second cancellation of the same sale, and a sale with a wrong code.
  EXPECT_EQ(Codigo(sat.CancelarUltimaVenda(102, CODIGO, venda[8].c_str(),
                                           Cancelamento(venda[8]).c_str())),
            "07002");
  EXPECT_EQ(std::string(sat.Base64ToAscii()), "");
  EXPECT_EQ(Codigo(sat.EnviarDadosVenda(103, "00000000", Venda().c_str())), "06001");
  EXPECT_EQ(sat.Mensagem(), "Codigo: 06001.\n");
  EXPECT_EQ(std::string(sat.Base64ToAscii()), "");
}

TEST(Venda, ALargeSale) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(7, 0, 0, 0, 0), 0);
  const std::string grande = Venda(500, 1220000);
  ASSERT_GT(grande.size(), 1400000u);
  const std::vector<std::string> venda =
      CamposDaResposta(sat.EnviarDadosVenda(200, CODIGO, grande.c_str()));
  ASSERT_GE(venda.size(), 2u);
  EXPECT_EQ(venda[1], "06000");
  const std::string cfe = sat.Base64ToAscii();
  EXPECT_GT(cfe.size(), grande.size());
  EXPECT_EQ(cfe.substr(cfe.size() - 6), "</CFe>");
}

} // namespace

namespace {

// Run only from a folder without zlib (tests/win32/sem_zlib.sh): the sale is refused before
// anything is sent, and the log says why.
TEST(SemZlib, ASaleWithoutZlibIsRefusedBeforeSending) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(7, 0, 0, 0, 0), 0);
  const std::string log = NomeUnico("semzlib");
  std::remove(log.c_str());
  sat.ArquivoLog(log.c_str());
  const std::string mensagem =
      "Biblioteca de compacta\xE7\xE3o (zlib) indispon\xEDvel; venda n\xE3o enviada";
  EXPECT_EQ(std::string(sat.EnviarDadosVenda(300, CODIGO, Venda().c_str())),
            "000300|9999|" + mensagem);
  EXPECT_EQ(sat.Codigo(), 9999);
  EXPECT_EQ(sat.Mensagem(), mensagem);
  EXPECT_TRUE(QuadrosRecebidosPeloSat().empty());
  const std::string texto = ConteudoDe(log);
  EXPECT_NE(texto.find("nao encontrou dll compcatcao..."), std::string::npos) << texto;
  // The device still answers the commands that need no compression.
  EXPECT_EQ(Codigo(sat.ConsultarSAT(301)), "08000");
}

} // namespace

namespace {

// satemu answers ConsultarSAT seven seconds late: the first call times out, and the next
// command, whose reply comes after that late one, still gets its own.
TEST(Atrasada, ALateReplyIsNotTakenByTheNextCommand) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(7, 0, 0, 0, 0), 0);
  const std::string log = NomeUnico("atrasada");
  std::remove(log.c_str());
  sat.ArquivoLog(log.c_str());
  EXPECT_EQ(std::string(sat.ConsultarSAT(42)), "000042|9999|Timeout de comunica\xE7\xE3o");
  const std::vector<std::string> status =
      CamposDaResposta(sat.ConsultarStatusOperacional(43, CODIGO));
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status[0], "000043");
  EXPECT_EQ(status[1], "10000");
  const std::string texto = ConteudoDe(log);
  EXPECT_NE(texto.find("Resposta de outra sess\xE3o descartada: 000042"), std::string::npos)
      << texto;
}

} // namespace
