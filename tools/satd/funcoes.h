// The sixteen functions of the HTTP interface: their form fields, the checks each field must
// pass before anything reaches the library, and the library call each one makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

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

// The function's name in the URL (lower case), or nullptr.
const Funcao *ProcuraFuncao(std::string_view nome);
const char *NomeDe(const Funcao &funcao);

// The functions in a fixed order, for tables kept per function.
constexpr size_t kTotalFuncoes = 16;
size_t IndiceDe(const Funcao &funcao); // 0 to kTotalFuncoes - 1
const Funcao &FuncaoDeIndice(size_t indice);

// A checked request: every field present that the function needs, in Windows-1252.
struct Pedido {
  const Funcao *funcao = nullptr;
  int caixa = -1;
  std::map<std::string, std::string> campos;
};

// Reads and checks a form-encoded body for `funcao`. False, with `erro` saying why, for an
// unknown or missing field, a value out of its range or form, or text with no Windows-1252 form.
bool LePedido(const Funcao &funcao, std::string_view corpo, Pedido &pedido, std::string &erro);

// What the worker hands back: the library's reply text (Windows-1252) and the session it used.
struct Resultado {
  std::string resposta;
  int32_t sessao = 0;
};

// The device's code: the reply's second field when it is five digits, otherwise "-".
std::string CodigoDaResposta(std::string_view resposta);

// Calls the library for a checked request with this session number and the configured
// activation code (the code change's option 2 passes codigo_emergencia instead). Only the
// worker thread calls this.
std::string ChamaBiblioteca(const Pedido &pedido, int32_t sessao, const std::string &codigo);

Comando ComandoDe(const Pedido &pedido);

} // namespace satd
