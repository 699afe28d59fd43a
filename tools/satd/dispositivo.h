// The SAT as the worker sees it: the library, the activation code and the session numbers.
// Only the worker thread touches it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "configuracao.h"
#include "funcoes.h"
#include "registro.h"

namespace satd {

// What the worker asks of libsat; the unit tests put substitutes in its place.
struct Biblioteca {
  std::function<int32_t()> geraSessao;
  std::function<std::string(const Pedido &, int32_t sessao, const std::string &codigo)> chama;
  static Biblioteca Real();
};

class Dispositivo {
public:
  Dispositivo(const Configuracao &configuracao, Registro &registro,
              Biblioteca biblioteca = Biblioteca::Real());

  // Chooses the port and the library's log, and moves the session numbers to a place of
  // their own; runs on the worker before the first request.
  void Prepara();
  // Draws a session, calls the library, and takes up a new activation code when the device
  // accepted it.
  Resultado Executa(const Pedido &pedido);

private:
  std::string codigo_;
  const std::string arquivoCodigo_;
  const int porta_;
  const std::string log_;
  Registro &registro_;
  Biblioteca biblioteca_;
};

} // namespace satd
