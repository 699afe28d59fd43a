// The fault matrix: every fault satemu can play against a query, a sale, a cancellation and the
// log extraction, through the shipped library and the real serial path, natively and for the
// DLL under wine. The cells are the lines of tests/e2e/matriz.txt; ctest runs this program once
// per cell, against its own satemu started by tests/com_satemu.sh with the cell's options, and
// gives it the cell's line in SAT_E2E_CELULA. Only the command under test is spoiled
// (--so-para), so the sale a cancellation needs, and the calls after it, meet a sound device.
//
// For each cell: the exact reply, the error record, the log record the fault leaves, no
// descriptor left open, a return within the command's limit and the engine's bounded extra,
// a sale or cancellation whose reply was lost still recoverable from the device, and a next
// command that works.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/exportacoes.h"
#include "tests/e2e/robustez_e2e.h"
#include "tests/e2e/venda_exemplo.h"

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
const DadosComando kComandos[] = {
    {"ConsultarSAT", 5000, "", ""},
    {"EnviarDadosVenda", 16000, "Codigo: 06000.\n" + EMITIDO, "Codigo: 9999.\n"},
    {"CancelarUltimaVenda", 10000, "Codigo: 07000.\n" + CANCELADO, "Codigo: 9999.\n"},
    {"ExtrairLogs", 120000, "Codigo: 15000.\nTransfer\xEAncia completa",
     "Codigo: 9999.\n" + TIMEOUT},
};

struct Celula {
  std::string nome;
  std::string falha;
  Comando comando = Comando::Consulta;
  bool timeout = false;            // the engine's time-out reply, not the device's
  bool atrasadaNaSeguinte = false; // the late reply reaches the next command, which drops it
  std::string registro;            // a record of the library's log that the fault leaves
};

// "\xHH" in the table stands for the byte HH (the log's texts are Windows-1252).
std::string Bytes(const std::string &texto) {
  std::string bytes;
  for (size_t i = 0; i < texto.size(); i++) {
    if (texto.compare(i, 2, "\\x") == 0 && i + 4 <= texto.size()) {
      bytes += static_cast<char>(std::stoi(texto.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      bytes += texto[i];
    }
  }
  return bytes;
}

// The cell's line of matriz.txt, as cenarios.cmake gives it; false (and a failure) if malformed.
bool LeCelula(Celula &c) {
  const char *linha = std::getenv("SAT_E2E_CELULA");
  if (linha == nullptr) {
    ADD_FAILURE() << "SAT_E2E_CELULA is not set: ctest gives each cell its line of matriz.txt";
    return false;
  }
  std::vector<std::string> campos(1);
  for (const char *p = linha; *p != '\0'; p++) {
    if (*p == '|') {
      campos.emplace_back();
    } else {
      campos.back() += *p;
    }
  }
  if (campos.size() != 5) {
    ADD_FAILURE() << "not five fields: " << linha;
    return false;
  }
  c.nome = campos[0];
  c.falha = campos[1];
  bool achou = false;
  for (size_t i = 0; i < std::size(kComandos); i++) {
    if (campos[2] == kComandos[i].palavra) {
      c.comando = static_cast<Comando>(i);
      achou = true;
    }
  }
  c.timeout = campos[3].rfind("timeout", 0) == 0;
  c.atrasadaNaSeguinte = campos[3] == "timeout+atrasada";
  c.registro = Bytes(campos[4]);
  if (!achou || (campos[3] != "resposta" && !c.timeout)) {
    ADD_FAILURE() << "unknown command or outcome: " << linha;
    return false;
  }
  return true;
}

std::string Sessao(int32_t n) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "%06d", static_cast<int>(n));
  return texto;
}

TEST(Matriz, Celula) {
  Celula c;
  ASSERT_TRUE(LeCelula(c));
  const DadosComando &dados = kComandos[static_cast<int>(c.comando)];
  // satemu was started with the cell's own options (tests/com_satemu.sh).
  ASSERT_EQ(OpcoesDoEmulador(), "--pronto " + c.falha + " --so-para " + dados.palavra);
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

  if (c.timeout) {
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
    if (!c.timeout) {
      EXPECT_EQ(guardada, resposta);
    }
  }

  const std::string texto = LeArquivo(log);
  if (!c.registro.empty()) {
    EXPECT_NE(texto.find(c.registro), std::string::npos) << c.registro << " in\n" << texto;
  }
  if (c.atrasadaNaSeguinte) {
    EXPECT_NE(texto.find("Resposta de outra sess\xE3o descartada: " + Sessao(sessao)),
              std::string::npos)
        << texto;
  }
  std::remove(log.c_str());
}

} // namespace
