// A command's reply taken apart: who answered (the device or the library in its place), the
// code and what it means, and each field under the standard's name.
#pragma once

#include <string>
#include <vector>

struct Campo {
  std::string nome;
  std::string valor;   // Windows-1252, as received
  bool emUtf8 = false; // a decoded document, already in its own (UTF-8) encoding
};

enum class Origem { Dispositivo, Biblioteca };

struct Resposta {
  Origem origem = Origem::Dispositivo;
  std::string codigo;     // EEEEE, or the library's 9999; empty for the bare port error
  std::string explicacao; // what the code means (Windows-1252, satcli's own ones too)
  std::string familia;    // the command the code belongs to, for a stored reply
  bool sucesso = false;
  std::vector<Campo> campos;
  std::string caudaBinaria; // a stored sale reply: its compressed tail, cut at the first zero
};

// `caudaExpandida`: the library has already turned a sale reply's compressed tail into text
// (EnviarDadosVenda and ConsultarUltimaSessaoFiscal do; ConsultarNumeroSessao hands a stored sale
// reply back compressed).
Resposta AnalisaResposta(const std::string &texto, bool caudaExpandida);
