// The shipped library as an application sees it, for the device-link end-to-end tests, and the
// frames that satemu recorded ($SAT_E2E_REGISTRO, set by tests/com_satemu.sh). Portable: the
// same code runs natively and as a Windows program under wine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/carga/biblioteca.h"

class SatE2E {
public:
  SatE2E() {
    abre_ = lib_.Funcao<Abre>("AbreSerialSAT");
    consultar_ = lib_.Funcao<Consulta>("ConsultarSAT");
    status_ = lib_.Funcao<Status>("ConsultarStatusOperacional");
    numero_ = lib_.Funcao<Numero>("ConsultarNumeroSessao");
    codigo_ = lib_.Funcao<FnCodigoErro>("CodigoErro");
    log_ = lib_.Funcao<FnArquivoLog>("ArquivoLog");
  }
  bool Pronta() const { return abre_ && consultar_ && status_ && numero_ && codigo_ && log_; }
  int32_t AbreSerialSAT(int32_t porta) { return abre_(porta, 0, 0, 0, 0); }
  std::string ConsultarSAT(int32_t sessao) { return consultar_(sessao); }
  std::string ConsultarStatusOperacional(int32_t sessao, const char *codigo) {
    return status_(sessao, codigo);
  }
  std::string ConsultarNumeroSessao(int32_t sessao, const char *codigo, int32_t numero) {
    return numero_(sessao, codigo, numero);
  }
  int32_t Codigo() {
    char bruto[804];
    int32_t codigo;
    std::memcpy(&codigo, codigo_(bruto), 4);
    return codigo;
  }
  std::string Mensagem() {
    char bruto[804];
    codigo_(bruto);
    return std::string(bruto + 4, strnlen(bruto + 4, 800));
  }
  // Logs to a fresh file of this name (in the current directory) from now on.
  void Loga(const std::string &nome) {
    std::remove(nome.c_str());
    log_(nome.c_str());
    nomeLog_ = nome;
  }
  std::string Log() {
    std::ifstream f(nomeLog_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

private:
  typedef int32_t(SAT_CALL *Abre)(int32_t, int32_t, int32_t, int32_t, int32_t);
  typedef char *(SAT_CALL *Consulta)(int32_t);
  typedef char *(SAT_CALL *Status)(int32_t, const char *);
  typedef char *(SAT_CALL *Numero)(int32_t, const char *, int32_t);
  Biblioteca lib_;
  Abre abre_;
  Consulta consultar_;
  Status status_;
  Numero numero_;
  FnCodigoErro codigo_;
  FnArquivoLog log_;
  std::string nomeLog_;
};

// The request frame for `payload` with sequence number `sequencia`, in lowercase hex as satemu
// records it.
inline std::string QuadroPedidoHex(uint8_t sequencia, const std::string &payload) {
  std::string q = {1, static_cast<char>(sequencia), 0, 0};
  for (int i = 0; i < 4; i++) {
    q += static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
  }
  q += payload;
  unsigned soma = 0;
  for (size_t i = 1; i < q.size(); i++) {
    soma += static_cast<unsigned char>(q[i]);
  }
  q += static_cast<char>(soma & 0xFF);
  static const char digitos[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : q) {
    hex += digitos[c >> 4];
    hex += digitos[c & 15];
  }
  return hex;
}

inline std::vector<std::string> QuadrosRecebidosPeloSat() {
  std::vector<std::string> quadros;
  const char *caminho = std::getenv("SAT_E2E_REGISTRO");
  if (caminho == nullptr) {
    ADD_FAILURE() << "SAT_E2E_REGISTRO is not set: run through tests/com_satemu.sh";
    return quadros;
  }
  std::ifstream arquivo(caminho);
  for (std::string linha; std::getline(arquivo, linha);) {
    while (!linha.empty() && (linha.back() == '\r' || linha.back() == ' ')) {
      linha.pop_back();
    }
    if (!linha.empty()) {
      quadros.push_back(linha);
    }
  }
  return quadros;
}

inline std::string NomeUnico(const char *base) {
  return std::string(base) + "-" + std::to_string(static_cast<long>(std::rand())) + ".log";
}
