// The HTTP side of satd: routes, credentials, the checks, the one worker that owns the SAT, the
// status and the request log.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "configuracao.h"
#include "credenciais.h"
#include "dispositivo.h"
#include "fila.h"
#include "funcoes.h"
#include "registro.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace satd {

class Servidor {
public:
  explicit Servidor(const Configuracao &configuracao);
  ~Servidor();

  // Opens the log, loads TLS, binds the address. False with `erro` when any of it fails.
  bool Prepara(std::string &erro);
  // The address it listens on, with the port it got.
  std::string Url() const;
  // Serves until Para; then the call in progress ends, and so does this.
  bool Atende();
  // From any thread (a signal's): refuses what waits, stops listening.
  void Para();

private:
  void AtendeFuncao(const httplib::Request &pedido, const std::string &corpo,
                    httplib::Response &resposta);
  void InformaEstado(httplib::Response &resposta);
  void Anota(const httplib::Request &pedido, const httplib::Response &resposta);

  const Configuracao configuracao_;
  Registro registro_;
  Credenciais credenciais_;
  Fila fila_;
  Dispositivo sat_;
  std::unique_ptr<httplib::Server> http_;
  int portaHttp_ = 0;
  std::string versao_; // of the library, in UTF-8
  const std::chrono::steady_clock::time_point inicio_;
};

} // namespace satd
