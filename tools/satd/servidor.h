// The HTTP side of satd: the connections and their bounds, the roles, the routes, the one
// worker that owns the SAT, the journal, the status and the request log.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "central.h"
#include "configuracao.h"
#include "credenciais.h"
#include "diario.h"
#include "dispositivo.h"
#include "exportacao.h"
#include "extratos.h"
#include "fila.h"
#include "funcoes.h"
#include "metricas.h"
#include "painel.h"
#include "registro.h"
#include "saude.h"

namespace satd {

// What a request's credentials (or its address) let it do. The accountant's (Contador) stands
// apart: the archive of CF-e only, which the technician may read too.
enum class Acesso { Nenhum, Metricas, Caixa, Tecnico, Contador };

class Servidor {
public:
  explicit Servidor(const Configuracao &configuracao);
  ~Servidor();

  // Opens the log and the journal, loads TLS, binds the address. False with `erro` when any
  // of it fails.
  bool Prepara(std::string &erro);
  // The address it listens on, with the port it got.
  std::string Url() const;
  // Serves until Para; then the call in progress ends, and so does this, within 2 s of it
  // whatever the clients do.
  bool Atende();
  // From any thread (a signal's): refuses what waits, stops listening, closes the connections.
  void Para();
  // From any thread: opens the logs again (they were rotated).
  void ReabreRegistros();

  // The role of a request with this Authorization header (empty: none) from this address.
  Acesso Identifica(const std::string &autorizacao, const std::string &endereco) const;

private:
  struct Rede;
  friend struct Rede;

  // The status page's contents: the last status query, made again through the queue when it is
  // older than [saude] intervalo_s, and checked. `esperar`: wait for the turn like any
  // checkout's call (the page, {base}/saude). Otherwise (the metrics) ask only when the SAT is
  // idle and no other status query is under way, and serve the last status as it is.
  Painel MontaPainel(bool esperar, int32_t &sessao, std::string &codigo);
  std::string Estado() const;

  // The last status query of the page, {base}/saude and /metrics.
  struct ConsultaSaude {
    bool feita = false;
    std::string resposta; // Windows-1252
    int32_t sessao = 0;
    std::chrono::steady_clock::time_point quando;
    saude::Instante instante; // satd's local time when the reply came
    std::time_t unix = 0;     // the same instant
  };

  const Configuracao configuracao_;
  Registro registro_;
  Diario diario_;
  Credenciais credenciais_;
  Credenciais credenciaisTecnico_;
  Credenciais credenciaisMetricas_;
  Credenciais credenciaisArquivo_;
  Fila fila_;
  Dispositivo sat_;
  std::unique_ptr<Rede> rede_;
  int portaHttp_ = 0;
  std::string versao_; // of the library, in UTF-8
  const std::chrono::steady_clock::time_point inicio_;
  const std::time_t inicioUnix_;
  Requisicoes requisicoes_;
  std::mutex consultaMutex_; // one status query at a time; the others wait and take its reply
  std::mutex saudeMutex_;    // over saude_ and consultas_
  ConsultaSaude saude_;
  uint64_t consultas_ = 0;
  std::atomic<uint64_t> naoEntregues_{0};      // fiscal replies the client did not take
  std::atomic<uint64_t> conexoesRecusadas_{0}; // for want of room
  std::atomic<size_t> conexoesAbertas_{0};
  Extratos extratos_; // their threads end before the journal and the log go
  Central central_;
};

} // namespace satd
