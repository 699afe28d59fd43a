// The SAT as the worker sees it: the library, the activation code and the session numbers.
// Only the worker thread touches it.
#pragma once

#include <deque>
#include <unordered_set>

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
  // A session number that satd has not issued in its last kSessoesLembradas calls.
  int32_t NovaSessao();

  std::string codigo_;
  const std::string arquivoCodigo_;
  const int porta_;
  const std::string log_;
  Registro &registro_;
  Biblioteca biblioteca_;
  // The library keeps its own numbers apart for 100 calls only, and draws from some 34,000: a
  // shop's busy day would meet a number again, and the device would then keep one sale's reply
  // in place of another's. satd remembers this many.
  static constexpr size_t kSessoesLembradas = 10000;
  std::deque<int32_t> ordemSessoes_;
  std::unordered_set<int32_t> sessoes_;
};

} // namespace satd
