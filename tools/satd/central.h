// The chain's central database: every CF-e the journal archives is forwarded, store-and-forward,
// to a PostgreSQL shared by the chain's shops (packaging/central/esquema.sql is its table). One
// thread of its own reads the journal's queue, sends it in batches of one transaction each, and
// takes a document off the queue only once the central committed it; a document sent twice (a
// crash between the two) is absorbed by the table's key. A sale never waits on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

namespace satd {

class Diario;
class Registro;
struct Configuracao;

// Whether satd may use this libpq connection string or URI: one libpq reads, without a password
// (that comes from [central] arquivo_senha) or a service file (which would hide where it goes),
// and with sslmode=verify-full unless every host is a unix socket or a literal loopback address.
// False with `erro` otherwise.
bool ConfereConexaoCentral(const std::string &conexao, std::string &erro);

class Central {
public:
  Central(const Configuracao &configuracao, Diario &diario, Registro &registro);
  ~Central();
  Central(const Central &) = delete;
  Central &operator=(const Central &) = delete;

  // Starts the thread when [central] is configured (and asks the journal to wake it at each new
  // document): before any other thread uses the journal. False with `erro` when it cannot.
  bool Inicia(std::string &erro);
  // From any thread: the thread ends within moments, whatever the server does.
  void Para();

  struct Estado {
    bool configurada = false;
    bool conectada = false;
    std::optional<uint64_t> pendentes; // in the journal's queue; nullopt when it is unreadable
    uint64_t enviados = 0;             // documents the central committed since the start
    uint64_t falhas = 0;               // connections and batches that failed
    std::time_t ultimoEnvio = 0;       // the last commit, 0 before the first
  };
  Estado Consulta() const;

private:
  struct Conexao;
  void Corre();

  const Configuracao &configuracao_;
  Diario &diario_;
  Registro &registro_;
  int aviso_ = -1;  // eventfd: a document was archived
  int parada_ = -1; // eventfd: stop
  std::atomic<bool> conectada_{false};
  std::atomic<uint64_t> enviados_{0};
  std::atomic<uint64_t> falhas_{0};
  std::atomic<std::time_t> ultimoEnvio_{0};
  std::thread thread_;
};

} // namespace satd
