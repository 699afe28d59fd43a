// The fault matrix: every fault satemu can play against a query, a sale, a cancellation and the
// log extraction, through the shipped library and the real serial path, natively and for the
// DLL under wine. One row per cell; each runs against its own satemu, started by
// tests/com_satemu.sh with the row's options (the entries of SAT_E2E_MATRIZ in cenarios.cmake,
// which must agree with the rows: each cell checks the options it was given). Only the command
// under test is spoiled (--so-para), so the sale a cancellation needs, and the calls after it,
// meet a sound device.
//
// For each cell: the exact reply, the error record, the log record the fault leaves, no
// descriptor left open, a return within the command's limit and the engine's bounded extra,
// a sale or cancellation whose reply was lost still recoverable from the device, and a next
// command that works.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/carga/exportacoes.h"
#include "tests/carga/venda_exemplo.h"
#include "tests/e2e/robustez_e2e.h"

namespace {

const char CODIGO[] = "12345678";
const std::string EMITIDO = "Emitido com sucesso + conte\xFA"
                            "do notas.";
const std::string CANCELADO = "Cupom cancelado com sucesso + conte\xFA"
                              "do CF-e-SAT cancelado.";
const std::string TIMEOUT = "Timeout de comunica\xE7\xE3o";

enum class Comando { Consulta, Venda, Cancelamento, Log };

struct DadosComando {
  const char *palavra;
  int32_t limiteMs;
  std::string mensagemResposta; // the record's message after the device's reply
  std::string mensagemTimeout;  // and after the engine's time-out
};

// The record's message after a query is the reply itself (it is short): written per call.
const DadosComando &Dados(Comando c) {
  static const DadosComando dados[] = {
      {"ConsultarSAT", 5000, "", ""},
      {"EnviarDadosVenda", 16000, "Codigo: 06000.\n" + EMITIDO, "Codigo: 9999.\n"},
      {"CancelarUltimaVenda", 10000, "Codigo: 07000.\n" + CANCELADO, "Codigo: 9999.\n"},
      {"ExtrairLogs", 120000, "Codigo: 15000.\nTransfer\xEAncia completa",
       "Codigo: 9999.\n" + TIMEOUT},
  };
  return dados[static_cast<int>(c)];
}

enum class Desfecho {
  Resposta, // the device's reply, whole and unchanged
  Timeout,  // the engine's time-out reply
};

struct Celula {
  const char *nome;  // the ctest entry is e2e_matriz_<nome>
  const char *falha; // satemu's fault options
  Comando comando;
  Desfecho desfecho;
  const char *registro; // a record of the library's log that the fault leaves; "" for none
  bool atrasadaNaSeguinte = false; // the late reply reaches the next command, which drops it
};

std::string Opcoes(const Celula &c) {
  return std::string("--pronto ") + c.falha + " --so-para " + Dados(c.comando).palavra;
}

const char ANUNCIA[] = "Quadro anuncia ";
const char CHECKSUM[] = "Checksum do pacote recebido n\xE3o confere";
const char RUIDO[] = "4 bytes que n\xE3o formam quadro descartados antes da resposta";
const char RUIDO_COM_SOH[] = "3 bytes que n\xE3o formam quadro descartados antes da resposta";
const char TIMED_OUT[] = "Request timed out!";

// The slow cells first: ctest starts them first and the run ends sooner.
const Celula kCelulas[] = {
    {"Mudo_Log", "--mudo", Comando::Log, Desfecho::Timeout, TIMED_OUT},
    {"ControleAck_Log", "--controle ack", Comando::Log, Desfecho::Timeout, TIMED_OUT},
    {"AnunciaMais_Log", "--anuncia-mais 5", Comando::Log, Desfecho::Resposta, ANUNCIA},
    {"Surdo_Log", "--surdo-ao-fechar --atraso 125000", Comando::Log, Desfecho::Timeout, TIMED_OUT,
     true},
    {"Atraso_Log", "--atraso 2000", Comando::Log, Desfecho::Resposta, ""},
    {"SomaErrada_Log", "--soma-errada", Comando::Log, Desfecho::Resposta, CHECKSUM},
    {"EmPartes_Log", "--em-partes 9 --pausa 40", Comando::Log, Desfecho::Resposta, ""},
    {"LixoAntes_Log", "--lixo-antes 0d0a00ff", Comando::Log, Desfecho::Resposta, RUIDO},
    {"Rajada_Log", "--rajada 1500", Comando::Log, Desfecho::Resposta, ""},

    {"Mudo_Venda", "--mudo", Comando::Venda, Desfecho::Timeout, TIMED_OUT},
    {"ControleAck_Venda", "--controle ack", Comando::Venda, Desfecho::Timeout, TIMED_OUT},
    {"AnunciaMais_Venda", "--anuncia-mais 5", Comando::Venda, Desfecho::Resposta, ANUNCIA},
    {"Surdo_Venda", "--surdo-ao-fechar --atraso 21000", Comando::Venda, Desfecho::Timeout,
     TIMED_OUT, true},
    {"Atraso_Venda", "--atraso 2000", Comando::Venda, Desfecho::Resposta, ""},
    {"SomaErrada_Venda", "--soma-errada", Comando::Venda, Desfecho::Resposta, CHECKSUM},
    {"EmPartes_Venda", "--em-partes 9 --pausa 40", Comando::Venda, Desfecho::Resposta, ""},
    {"LixoAntes_Venda", "--lixo-antes 0d0a00ff", Comando::Venda, Desfecho::Resposta, RUIDO},
    {"Rajada_Venda", "--rajada 1500", Comando::Venda, Desfecho::Resposta, ""},

    {"Mudo_Cancelamento", "--mudo", Comando::Cancelamento, Desfecho::Timeout, TIMED_OUT},
    {"ControleAck_Cancelamento", "--controle ack", Comando::Cancelamento, Desfecho::Timeout,
     TIMED_OUT},
    {"AnunciaMais_Cancelamento", "--anuncia-mais 5", Comando::Cancelamento, Desfecho::Resposta,
     ANUNCIA},
    {"Surdo_Cancelamento", "--surdo-ao-fechar --atraso 15000", Comando::Cancelamento,
     Desfecho::Timeout, TIMED_OUT, true},
    {"Atraso_Cancelamento", "--atraso 2000", Comando::Cancelamento, Desfecho::Resposta, ""},
    {"SomaErrada_Cancelamento", "--soma-errada", Comando::Cancelamento, Desfecho::Resposta,
     CHECKSUM},
    {"EmPartes_Cancelamento", "--em-partes 9 --pausa 40", Comando::Cancelamento, Desfecho::Resposta,
     ""},
    {"LixoAntes_Cancelamento", "--lixo-antes 0d0a00ff", Comando::Cancelamento, Desfecho::Resposta,
     RUIDO},
    {"Rajada_Cancelamento", "--rajada 1500", Comando::Cancelamento, Desfecho::Resposta, ""},

    {"Mudo_Consulta", "--mudo", Comando::Consulta, Desfecho::Timeout, TIMED_OUT},
    {"ControleAck_Consulta", "--controle ack", Comando::Consulta, Desfecho::Timeout, TIMED_OUT},
    {"ControleNak_Consulta", "--controle nak", Comando::Consulta, Desfecho::Timeout, TIMED_OUT},
    {"ControleDc1_Consulta", "--controle dc1", Comando::Consulta, Desfecho::Timeout, TIMED_OUT},
    {"ControleSyn_Consulta", "--controle syn", Comando::Consulta, Desfecho::Timeout, TIMED_OUT},
    {"AnunciaMais_Consulta", "--anuncia-mais 5", Comando::Consulta, Desfecho::Resposta, ANUNCIA},
    {"Surdo_Consulta", "--surdo-ao-fechar --atraso 10000", Comando::Consulta, Desfecho::Timeout,
     TIMED_OUT, true},
    {"Atraso_Consulta", "--atraso 2000", Comando::Consulta, Desfecho::Resposta, ""},
    {"SomaErrada_Consulta", "--soma-errada", Comando::Consulta, Desfecho::Resposta, CHECKSUM},
    {"EmPartes_Consulta", "--em-partes 9 --pausa 40", Comando::Consulta, Desfecho::Resposta, ""},
    {"LixoAntes_Consulta", "--lixo-antes 0d0a00ff", Comando::Consulta, Desfecho::Resposta, RUIDO},
    // Noise that holds a 01 of its own: that 01 starts no frame (its length cannot hold).
    {"LixoComSoh_Consulta", "--lixo-antes 0d010a", Comando::Consulta, Desfecho::Resposta,
     RUIDO_COM_SOH},
    {"Rajada_Consulta", "--rajada 1500", Comando::Consulta, Desfecho::Resposta, ""},
};

std::string Sessao(int32_t n) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "%06d", static_cast<int>(n));
  return texto;
}

class Matriz : public ::testing::TestWithParam<Celula> {};

TEST_P(Matriz, Celula) {
  const Celula &c = GetParam();
  const DadosComando &dados = Dados(c.comando);
  ASSERT_EQ(OpcoesDoEmulador(), Opcoes(c)) << "cenarios.cmake and the row disagree";
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(PortaDoEmulador(), 0, 0, 0, 0), 0);
  const std::string log = NomeDeLog(c.nome);
  sat.ArquivoLog(log.c_str());

  // A sound device first: the status query, and the sale a cancellation cancels.
  ASSERT_EQ(CamposDaResposta(sat.ConsultarStatusOperacional(1, CODIGO)).at(1), "10000");
  std::string chave;
  if (c.comando == Comando::Cancelamento) {
    const std::vector<std::string> venda =
        CamposDaResposta(sat.EnviarDadosVenda(2, CODIGO, Venda().c_str()));
    ASSERT_EQ(venda.size(), 12u);
    ASSERT_EQ(venda[1], "06000");
    chave = venda[8];
  }

  const int32_t sessao = 10;
  const long recursos = RecursosAbertos();
#if !defined(_WIN32)
  ASSERT_GT(recursos, 0);
#endif
  const auto inicio = std::chrono::steady_clock::now();
  std::string resposta;
  switch (c.comando) {
  case Comando::Consulta:
    resposta = sat.ConsultarSAT(sessao);
    break;
  case Comando::Venda:
    resposta = sat.EnviarDadosVenda(sessao, CODIGO, Venda().c_str());
    break;
  case Comando::Cancelamento:
    resposta = sat.CancelarUltimaVenda(sessao, CODIGO, chave.c_str(), Cancelamento(chave).c_str());
    break;
  case Comando::Log:
    resposta = sat.ExtrairLogs(sessao, CODIGO);
    break;
  }
  EXPECT_LE(std::chrono::steady_clock::now() - inicio, LimiteComExtra(dados.limiteMs));
  EXPECT_EQ(RecursosAbertos(), recursos) << "a descriptor or handle was left open";
  EXPECT_EQ(sat.Codigo(), 0);
  const std::string documento = sat.Base64ToAscii();

  if (c.desfecho == Desfecho::Timeout) {
    EXPECT_EQ(resposta, Sessao(sessao) + "|9999|" + TIMEOUT);
    EXPECT_EQ(sat.Mensagem(), c.comando == Comando::Consulta ? resposta : dados.mensagemTimeout);
    EXPECT_EQ(documento, "");
  } else {
    EXPECT_EQ(sat.Mensagem(), c.comando == Comando::Consulta ? resposta : dados.mensagemResposta);
    switch (c.comando) {
    case Comando::Consulta:
      EXPECT_EQ(resposta, Sessao(sessao) + "|08000|SAT em opera\xE7\xE3o||");
      break;
    case Comando::Venda:
      EXPECT_EQ(documento.substr(documento.size() - 6), "</CFe>");
      break;
    case Comando::Cancelamento:
      EXPECT_EQ(documento.substr(documento.size() - 10), "</CFeCanc>");
      break;
    case Comando::Log: {
      const std::vector<std::string> campos = CamposDaResposta(resposta);
      ASSERT_EQ(campos.size(), 6u) << resposta;
      EXPECT_EQ(
          std::vector<std::string>(campos.begin(), campos.begin() + 5),
          std::vector<std::string>({Sessao(sessao), "15000", "Transfer\xEAncia completa", "", ""}));
      EXPECT_NE(documento.find("|000001|ConsultarStatusOperacional|10000"), std::string::npos)
          << documento;
      break;
    }
    }
  }

  // The next command gets its own reply (a late one of the spoiled command is dropped).
  const int32_t seguinte = 12;
  const std::vector<std::string> status =
      CamposDaResposta(sat.ConsultarStatusOperacional(seguinte, CODIGO));
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status[0], Sessao(seguinte));
  EXPECT_EQ(status[1], "10000");

  // A sale or cancellation is not lost with its reply: the device keeps it, and its stored reply
  // is what the command returned when that came through.
  if (c.comando == Comando::Venda || c.comando == Comando::Cancelamento) {
    const std::string guardada = sat.ConsultarUltimaSessaoFiscal(11, CODIGO);
    const std::vector<std::string> campos = CamposDaResposta(guardada);
    ASSERT_GE(campos.size(), 2u) << guardada;
    EXPECT_EQ(campos[0], Sessao(sessao));
    EXPECT_EQ(campos[1], c.comando == Comando::Venda ? "06000" : "07000");
    if (c.desfecho == Desfecho::Resposta) {
      EXPECT_EQ(guardada, resposta);
    }
  }

  const std::string texto = LeArquivo(log);
  if (c.registro[0] != '\0') {
    EXPECT_NE(texto.find(c.registro), std::string::npos) << c.registro << " in\n" << texto;
  }
  if (c.atrasadaNaSeguinte) {
    EXPECT_NE(texto.find("Resposta de outra sess\xE3o descartada: " + Sessao(sessao)),
              std::string::npos)
        << texto;
  }
  std::remove(log.c_str());
}

INSTANTIATE_TEST_SUITE_P(Falhas, Matriz, ::testing::ValuesIn(kCelulas),
                         [](const ::testing::TestParamInfo<Celula> &info) {
                           return std::string(info.param.nome);
                         });

} // namespace
