#include "fila.h"

#include <algorithm>

namespace satd {

struct Fila::Vez {
  Tarefa tarefa;
  enum { Esperando, EmCurso, Feita, Falhou } estado = Esperando;
};

Fila::Fila(size_t capacidade, std::chrono::milliseconds espera)
    : capacidade_(capacidade), espera_(espera) {}

Fila::~Fila() {
  Encerra();
  Aguarda();
}

void Fila::Inicia(Tarefa preparo) {
  trabalhador_ = std::thread([this, preparo = std::move(preparo)] { Trabalha(preparo); });
}

Fila::Desfecho Fila::Executa(Tarefa tarefa) {
  auto vez = std::make_shared<Vez>();
  vez->tarefa = std::move(tarefa);
  std::unique_lock<std::mutex> trava(mutex_);
  if (encerrando_) {
    return Desfecho::Encerrando;
  }
  if (esperando_.size() >= capacidade_) {
    ++recusadas_;
    return Desfecho::Cheia;
  }
  esperando_.push_back(vez);
  chegou_.notify_one();

  const auto limite = std::chrono::steady_clock::now() + espera_;
  while (vez->estado == Vez::Esperando && !encerrando_ &&
         mudou_.wait_until(trava, limite) != std::cv_status::timeout) {
  }
  if (vez->estado == Vez::Esperando) {
    // Still in the queue: the worker has not taken it and never will.
    esperando_.erase(std::find(esperando_.begin(), esperando_.end(), vez));
    if (encerrando_) {
      return Desfecho::Encerrando;
    }
    ++recusadas_;
    return Desfecho::EsperaExcedida;
  }
  mudou_.wait(trava, [&] { return vez->estado == Vez::Feita || vez->estado == Vez::Falhou; });
  return vez->estado == Vez::Feita ? Desfecho::Feita : Desfecho::Falhou;
}

void Fila::Trabalha(Tarefa preparo) {
  if (preparo) {
    preparo();
  }
  std::unique_lock<std::mutex> trava(mutex_);
  for (;;) {
    chegou_.wait(trava, [&] { return encerrando_ || !esperando_.empty(); });
    if (encerrando_) {
      return;
    }
    const std::shared_ptr<Vez> vez = esperando_.front();
    esperando_.pop_front();
    vez->estado = Vez::EmCurso;
    emCurso_ = true;
    mudou_.notify_all();
    trava.unlock();
    bool feita = true;
    try {
      vez->tarefa();
    } catch (...) {
      feita = false;
    }
    trava.lock();
    vez->estado = feita ? Vez::Feita : Vez::Falhou;
    emCurso_ = false;
    ++feitas_;
    mudou_.notify_all();
  }
}

void Fila::Encerra() {
  std::lock_guard<std::mutex> trava(mutex_);
  encerrando_ = true;
  chegou_.notify_all();
  mudou_.notify_all();
}

void Fila::Aguarda() {
  if (trabalhador_.joinable()) {
    trabalhador_.join();
  }
}

Fila::Estado Fila::Consulta() const {
  std::lock_guard<std::mutex> trava(mutex_);
  Estado e;
  e.esperando = esperando_.size();
  e.capacidade = capacidade_;
  e.emCurso = emCurso_;
  e.feitas = feitas_;
  e.recusadas = recusadas_;
  return e;
}

} // namespace satd
