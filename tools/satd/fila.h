// The one worker that calls the library, and the bounded queue in front of it. Requests run
// in arrival order; each waits at most a set time for its turn; once started, a call always
// runs to its end, whoever is waiting for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace satd {

class Fila {
public:
  using Tarefa = std::function<void()>;
  enum class Desfecho { Feita, Cheia, EsperaExcedida, Encerrando, Falhou };
  using Aviso = std::function<void(Desfecho)>;
  struct Estado {
    size_t esperando = 0;
    size_t capacidade = 0;
    bool emCurso = false;
    uint64_t feitas = 0;
    uint64_t recusadas = 0; // queue full or wait too long
  };

  Fila(size_t capacidade, std::chrono::milliseconds espera);
  ~Fila();
  Fila(const Fila &) = delete;
  Fila &operator=(const Fila &) = delete;

  // Starts the worker; `preparo` runs on it before the first request.
  void Inicia(Tarefa preparo);

  // Puts `tarefa` in the queue and gives its ticket in `vez`: `aviso` is then called once, on
  // the worker when it has run (Feita, or Falhou when it threw), or by Encerra (Encerrando)
  // when it never got its turn. Refused at once (Cheia, Encerrando, and `aviso` is not
  // called): that outcome.
  std::optional<Desfecho> Pede(Tarefa tarefa, Aviso aviso, uint64_t &vez);
  // Takes a ticket out of the queue before its turn: true, and its `aviso` is never called
  // (the wait was too long); false when its turn has begun.
  bool Retira(uint64_t vez);

  // Runs `tarefa` on the worker and returns when it has run (Feita, Falhou), or without
  // running it: Cheia, EsperaExcedida (after the set wait), Encerrando.
  Desfecho Executa(Tarefa tarefa);

  // Refuses the waiting requests and every new one; the call in progress runs to its end.
  void Encerra();
  // Waits for the worker to end (after Encerra).
  void Aguarda();
  std::chrono::milliseconds Espera() const { return espera_; }

  Estado Consulta() const;

private:
  struct Vez {
    uint64_t numero;
    Tarefa tarefa;
    Aviso aviso;
  };
  void Trabalha(Tarefa preparo);

  const size_t capacidade_;
  const std::chrono::milliseconds espera_;
  mutable std::mutex mutex_;
  std::condition_variable chegou_; // to the worker: a request, or the end
  std::deque<Vez> esperando_;
  uint64_t proxima_ = 1;
  bool emCurso_ = false;
  bool encerrando_ = false;
  uint64_t feitas_ = 0;
  uint64_t recusadas_ = 0;
  std::thread trabalhador_;
};

} // namespace satd
