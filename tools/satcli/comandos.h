// The subcommands: one for each export of the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "saida.h"
#include "saude.h"
#include "terminal.h"

struct Opcoes {
  Vista vista = Vista::Legivel;
  bool erro = false;  // --erro: the error record after each command
  std::string codigo; // the activation code (--codigo, SAT_CODIGO)
  bool temCodigo = false;
  bool temSessao = false; // --sessao: the first command's session number
  int32_t sessao = 0;
  saude::Limites limites; // saude's thresholds (--certificado-dias, --relogio-minutos)
  // The satd whose archive cfe and mes read (--satd, SATD_URL), its credentials (--usuario or
  // SATD_USUARIO; SATD_SENHA or --senha-arquivo) and the shop's CA (--ca).
  std::string satd, usuario, senha, ca;
};

struct Passo;

// One run of satcli: its options and the session numbers it hands out.
struct Execucao {
  const Opcoes &opcoes;
  const Terminal &terminal;
  int32_t proximaSessao = 0;
  bool iniciada = false;
  int32_t Sessao();
};

// The arguments of one SAT command, ready for the export.
struct Chamada {
  int32_t sessao;
  const char *codigo;
  const std::vector<std::string> &args;
  const std::string &documento;
};

struct Subcomando {
  const char *nome;
  const char *exportacao;
  const char *argumentos; // as --help shows them
  const char *descricao;
  int minimo, maximo;                // how many arguments
  unsigned inteiros;                 // bit i set: argument i is a number
  int documento;                     // the argument naming a document file to send, or -1
  bool codigo;                       // needs the activation code
  bool salva;                        // its reply brings a document that --salva FILE keeps
  long limiteMs;                     // how long the library waits for the device
  char *(*comando)(const Chamada &); // a SAT command, or null
  Resultado (*propria)(Execucao &, const Passo &); // one of the library's own exports
  // --arquivo DIR keeps its signed document as DIR/CNPJ/AAAA-MM/<this><44 digits>.xml; or null
  const char *arquivo = nullptr;
  bool satd = false;    // reads satd's archive (--satd) rather than calling the library
  bool extrato = false; // lays out an extrato (libsatextrato) rather than calling the library
};

struct Passo {
  const Subcomando *sub = nullptr;
  std::vector<std::string> args;
  std::string documento; // the document read from its file
  std::string salva;     // --salva FILE
  std::string arquivo;   // --arquivo DIR
  std::string de, ate;   // cfe's period, AAAA-MM-DD (--de, --ate)
  std::string caixa;     // cfe's checkout (--caixa), or empty
  // The extrato's: of extrato, and of venda and cancelar with --imprime.
  std::string cancelamento;          // extrato --cancelamento FILE
  std::string pdf, png;              // extrato --pdf FILE, --png FILE
  std::string impressora;            // --impressora DESTINO, or $SAT_IMPRESSORA
  bool imagem = false;               // --imagem: ESC/POS as one raster image
  int32_t papel = 0;                 // --papel: 80 or 58; 0 when not given (80)
  bool imprime = false;              // venda and cancelar --imprime
  std::string venda;                 // cancelar --venda FILE: the sale the cancellation cancels
  std::string documentoCancelamento; // --cancelamento's file
  std::string documentoVenda;        // --venda's file
};

const Subcomando *ProcuraSubcomando(const std::string &nome);
const std::vector<Subcomando> &Subcomandos();

Resultado Executa(Execucao &execucao, const Passo &passo);

bool LeInteiro(const std::string &texto, int32_t &valor);

// --satd's URL, http[s]://HOST[:PORT][/BASE], split into its origin and satd's base path (/hub/v1
// when it has none); false when it is not such a URL.
bool EnderecoSatd(const std::string &url, std::string &origem, std::string &base);
// An access key as satd takes it: CFe and 44 digits, or the 44 digits.
bool ChaveDeAcesso(const std::string &texto);
// AAAA-MM-DD (dia) or AAAA-MM, digits where they go and a month from 01 to 12.
bool DataDaConsulta(const std::string &texto, bool dia);
