// The SAT as the worker sees it: the library, the activation code and the session numbers.
// Only the worker thread touches it.
#pragma once

#include <atomic>
#include <deque>
#include <unordered_set>

#include <cstdint>
#include <functional>
#include <string>

#include "configuracao.h"
#include "diario.h"
#include "funcoes.h"
#include "registro.h"

namespace satd {

// What the worker asks of libsat; the unit tests put substitutes in its place.
struct Biblioteca {
  std::function<int32_t()> geraSessao;
  std::function<std::string(const Pedido &, int32_t sessao, const std::string &codigo)> chama;
  // The document the last sale or cancellation brought, decoded (Base64ToAscii); none in
  // some unit tests, where the journal decodes the reply itself.
  std::function<std::string()> documento;
  static Biblioteca Real();
};

class Dispositivo {
public:
  // `diario`: where fiscal calls are noted before they go and their replies kept; none in
  // some unit tests.
  Dispositivo(const Configuracao &configuracao, Registro &registro, Diario *diario,
              Biblioteca biblioteca = Biblioteca::Real());

  // Chooses the port and the library's log, moves the session numbers to a place of their
  // own, and reconciles the journal's pending calls with the SAT; runs on the worker before
  // the first request.
  void Prepara();
  // Draws a session, calls the library, and takes up a new activation code when the device
  // accepted it. A sale or a cancellation is noted in the journal first (and does not go
  // when it cannot be), and its reply kept there. A checkout's last fiscal session, and a
  // session the journal holds, come from the journal.
  Resultado Executa(const Pedido &pedido);
  // From any thread: the library's log is opened again before the next call (its file was
  // rotated).
  void ReabreLog() { reabrirLog_ = true; }

private:
  // Asks the SAT about the journal's pending calls.
  void ReconciliaDiario();
  // A session number that satd has not issued in its last kSessoesLembradas calls.
  int32_t NovaSessao();

  std::string codigo_;
  const std::string arquivoCodigo_;
  const int porta_;
  const std::string log_;
  Registro &registro_;
  Diario *const diario_;
  Biblioteca biblioteca_;
  std::atomic<bool> reabrirLog_{false};
  // The library keeps its own numbers apart for 100 calls only, and draws from some 34,000: a
  // shop's busy day would meet a number again, and the device would then keep one sale's reply
  // in place of another's. satd remembers this many.
  static constexpr size_t kSessoesLembradas = 10000;
  std::deque<int32_t> ordemSessoes_;
  std::unordered_set<int32_t> sessoes_;
};

} // namespace satd
