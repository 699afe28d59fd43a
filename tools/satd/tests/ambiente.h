// A shop on one machine for the tests and the benchmark: satemu on a pseudo-terminal that the
// library sees as COM7, and satd in front of it, both real processes.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/venda_exemplo.h"
#include "tests/processo.h"

namespace teste {

struct Loja {
  Loja();
  ~Loja();

  // satemu with these options (besides --link).
  bool IniciaEmulador(const std::vector<std::string> &opcoes);
  // satd with a configuration written from these extra lines per section ("http", "sat",
  // "fila", or any other, which gets a table of its own); the activation code lives in the file
  // `Pasta() + "/codigo"`.
  bool IniciaServidor(const std::map<std::string, std::string> &extra = {});
  int EncerraServidor(int sinal = SIGTERM) { return servidor.Encerra(sinal); }

  const std::string &Pasta() const { return pasta; }
  std::string LeArquivo(const std::string &nome) const; // inside the folder
  // Waits (30 s at most) until satd's log has a line holding every one of `trechos`; that line.
  std::string EsperaLinha(const std::vector<std::string> &trechos) const;
  // Waits (30 s at most) until the log has `quantas` lines holding `trecho`: a request's line
  // is written once its reply is out, so a client may see the reply first.
  bool EsperaLinhas(const std::string &trecho, size_t quantas) const;

  httplib::Client Cliente() const;
  // POST base/funcao with numero_caixa and `campos`, form-encoded.
  httplib::Result Chama(const std::string &funcao, httplib::Params campos = {},
                        int caixa = 1) const;
  // Asks satd for its status until `condicao` holds of it (30 s at most).
  bool EsperaEstado(const std::function<bool(const nlohmann::json &)> &condicao) const;

  std::string pasta;
  std::string host = "127.0.0.1";
  int porta = 0;
  std::string base = "/hub/v1";
  std::string esquema = "http";
  int portaPedida = 0;      // the port IniciaServidor asks for (0: any free one)
  rlim_t limiteArquivo = 0; // satd's RLIMIT_FSIZE (0: none)
  std::string usuario;      // the Basic credentials Cliente sends, when set
  std::string senha;
  Processo emulador;
  Processo servidor;
  std::string erro; // why the last start failed
};

// A raw TCP client, for what an HTTP library will not send: a chosen source address (any of
// 127.0.0.0/8), bytes as they come, replies read one at a time.
class Soquete {
public:
  Soquete(int porta, const std::string &origem = "127.0.0.1");
  Soquete(const Soquete &) = delete;
  Soquete &operator=(const Soquete &) = delete;
  ~Soquete();
  // Writes all of `bytes`, keeping what comes back meanwhile; false once the peer has closed
  // or reset, or when it took nothing for 5 s.
  bool Envia(std::string_view bytes);
  // The next HTTP reply within `ms`: its status (0 when none came whole), body and header.
  int Resposta(int ms);
  std::string corpo, cabecalho;
  // Whether the peer closes (or resets) within `ms`; what it sends meanwhile is kept.
  bool Fecha(int ms);

private:
  bool Le(std::chrono::steady_clock::time_point ate); // false at the peer's end or on no bytes
  std::string recebido_;                              // read and not yet taken as a reply
  int fd_ = -1;
  bool fim_ = false;
};

// A sale as a POS builds it, UTF-8, with `itens` items of one unit at `centavos` each.
inline std::string Venda(int itens = 2, int centavos = 250) {
  return VendaDeItens(itens, 1, centavos, 0);
}
using ::Cancelamento;

// The reply's fields, split at every '|'.
inline std::vector<std::string> Campos(const std::string &resposta) {
  return CamposDaResposta(resposta);
}

extern const char kCnpj[];
extern const char kCnpjSoftwareHouse[];
inline constexpr const char *kAssinatura = ASSINATURA;

} // namespace teste
