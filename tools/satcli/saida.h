// What one subcommand brought back, and the three ways of printing it: the readable view, the
// reply's bytes (--bruto) and JSON (--json).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "resposta.h"
#include "saude.h"
#include "terminal.h"

// Exit statuses, documented in --help. saude's are its levels (saude::Nivel), or
// STATUS_DESCONHECIDO.
enum Status {
  STATUS_SUCESSO = 0,
  STATUS_FALHA = 1,      // the device answered with a code that is not a success code
  STATUS_BIBLIOTECA = 3, // the library answered in the device's place, or refused
  STATUS_ARQUIVO = 4,    // a document could not be read or saved
  STATUS_SATD = 5,       // satd could not be reached, or its reply is not what was asked
  STATUS_IMPRESSORA = 6, // the extrato did not reach the printer (after a success, for --imprime)
  STATUS_USO = 64,       // the command line is wrong (EX_USAGE of sysexits.h)
};
// saude: the SAT could not be asked (no port, no reply, a reply that is not the status's).
constexpr int STATUS_DESCONHECIDO = 3;

struct Resultado {
  std::string exportacao;
  bool comando = false; // a SAT command: it has a reply and an error record
  Resposta resposta;    // for the library's own exports: its values, named
  std::string bruto;    // the text the export returned, byte for byte
  bool nulo = false;    // the export returned a null pointer
  std::vector<std::pair<std::string, std::string>> portas; // serial number, port
  std::vector<std::string> notas;                          // satcli's remarks
  int32_t codigoErro = 0;
  std::string mensagemErro;
  bool registro = false; // codigoErro and mensagemErro were read
  std::string documento; // where the decoded document was saved
  std::string arquivado; // where --arquivo filed it
  bool literal = false;  // the readable view prints `bruto` as it is (a decoded document)
  bool saude = false;    // the health checks of a status reply, in `avaliacao`
  saude::Avaliacao avaliacao;
  std::string quando; // saude: the host's time of the checks, DD/MM/AAAA HH:MM:SS
  // satd's subcommands (cfe, mes) and extrato make their views themselves, in UTF-8: the
  // readable one, the JSON one, and why they failed, which the readable view tells on standard
  // error.
  bool vistaPropria = false;
  std::string legivel, json, falha;
  // venda and cancelar --imprime: the printer, whether the extrato reached it, and why not (told
  // on standard error whatever the view).
  std::string impressora;
  bool impresso = false;
  std::string falhaImpressao;
  int status = STATUS_SUCESSO;
};

enum class Vista { Legivel, Bruto, Json };

void Imprime(const Resultado &r, Vista vista, bool mostraRegistro, const Terminal &terminal);
