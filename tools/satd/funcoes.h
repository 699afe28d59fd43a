// The sixteen functions of the HTTP interface: their form fields, the checks each field must
// pass before anything reaches the library, and the library call each one makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace satd {

enum class Comando {
  AtivarSat,
  ComunicarCertificado,
  EnviarDadosVenda,
  CancelarUltimaVenda,
  ConsultarSat,
  TesteFimAFim,
  ConsultarStatusOperacional,
  ConsultarNumeroSessao,
  ConfigurarInterfaceDeRede,
  AssociarAssinatura,
  AtualizarSoftwareSat,
  ExtrairLogs,
  BloquearSat,
  DesbloquearSat,
  TrocarCodigoDeAtivacao,
  ConsultarUltimaSessaoFiscal,
};

struct Funcao;

// Who may call a function: a checkout (sales, cancellations, queries, the end-to-end test, the
// session lookups), or only the technician (activation, certificate, signature, network,
// update, block and unblock, code change, logs).
enum class Papel { Caixa, Tecnico };

// The function's name in the URL (lower case), or nullptr.
const Funcao *ProcuraFuncao(std::string_view nome);
const char *NomeDe(const Funcao &funcao);
const char *ExportadaDe(const Funcao &funcao); // the library's name: "ConsultarSAT"
Papel PapelDe(const Funcao &funcao);

// The functions in a fixed order, for tables kept per function.
constexpr size_t kTotalFuncoes = 16;
size_t IndiceDe(const Funcao &funcao); // 0 to kTotalFuncoes - 1
const Funcao &FuncaoDeIndice(size_t indice);

// A checked request: every field present that the function needs, in Windows-1252.
struct Pedido {
  const Funcao *funcao = nullptr;
  int caixa = -1;
  std::map<std::string, std::string> campos;
  std::vector<std::string> ignorados; // fields the function does not take, left out
  bool imprimirExtrato = false;       // a sale's or cancellation's imprimir_extrato=1
};

// Reads and checks a form-encoded body for `funcao`; numero_caixa comes from the body or, when
// given, `caixaDeFora` (the URL's query or a header), which must agree with the body's. False,
// with `erro` saying why, for a missing field, a field given twice, a number out of its range, a
// '|' that would split the device's fields, or text with no Windows-1252 form. Fields the
// function does not take are left out and named in `ignorados`. A sale and a cancellation also
// take imprimir_extrato (1 or 0): print the document's extrato on the shop's printer.
bool LePedido(const Funcao &funcao, std::string_view corpo, const std::string *caixaDeFora,
              Pedido &pedido, std::string &erro);

// What the worker hands back: the library's reply text (Windows-1252) and the session it used.
struct Resultado {
  std::string resposta;
  int32_t sessao = 0;    // 0: none was drawn (the reply came from the journal)
  int64_t diario = 0;    // the journal's row of a fiscal call, or 0
  bool enviada = true;   // false: satd did not send it (the journal could not note it, or
                         // the client had gone before its turn)
  bool doDiario = false; // the reply is the journal's, asked for again
};

// The device's code: the reply's second field when it is five digits, otherwise "-".
std::string CodigoDaResposta(std::string_view resposta);

// Calls the library for a checked request with this session number and the configured
// activation code (the code change's option 2 passes codigo_emergencia instead). Only the
// worker thread calls this.
std::string ChamaBiblioteca(const Pedido &pedido, int32_t sessao, const std::string &codigo);

Comando ComandoDe(const Pedido &pedido);

} // namespace satd
