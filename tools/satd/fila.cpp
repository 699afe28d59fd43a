#include "fila.h"

#include <algorithm>
#include <vector>

namespace satd {

Fila::Fila(size_t capacidade, std::chrono::milliseconds espera)
    : capacidade_(capacidade), espera_(espera) {}

Fila::~Fila() {
  Encerra();
  Aguarda();
}

void Fila::Inicia(Tarefa preparo) {
  trabalhador_ = std::thread([this, preparo = std::move(preparo)] { Trabalha(preparo); });
}

std::optional<Fila::Desfecho> Fila::Pede(Tarefa tarefa, Aviso aviso, uint64_t &vez) {
  std::lock_guard<std::mutex> trava(mutex_);
  vez = 0;
  if (encerrando_) {
    return Desfecho::Encerrando;
  }
  if (esperando_.size() >= capacidade_) {
    ++recusadas_;
    return Desfecho::Cheia;
  }
  vez = proxima_++;
  esperando_.push_back(Vez{vez, std::move(tarefa), std::move(aviso)});
  chegou_.notify_one();
  return std::nullopt;
}

bool Fila::Retira(uint64_t vez) {
  std::lock_guard<std::mutex> trava(mutex_);
  const auto v = std::find_if(esperando_.begin(), esperando_.end(),
                              [vez](const Vez &e) { return e.numero == vez; });
  if (v == esperando_.end()) {
    return false;
  }
  esperando_.erase(v);
  ++recusadas_;
  return true;
}

Fila::Desfecho Fila::Executa(Tarefa tarefa) {
  struct Sinal {
    std::mutex mutex;
    std::condition_variable pronto;
    std::optional<Desfecho> desfecho;
  };
  const auto sinal = std::make_shared<Sinal>();
  uint64_t vez = 0;
  const auto recusa = Pede(
      std::move(tarefa),
      [sinal](Desfecho d) {
        std::lock_guard<std::mutex> trava(sinal->mutex);
        sinal->desfecho = d;
        sinal->pronto.notify_all();
      },
      vez);
  if (recusa) {
    return *recusa;
  }
  std::unique_lock<std::mutex> trava(sinal->mutex);
  if (!sinal->pronto.wait_for(trava, espera_, [&] { return sinal->desfecho.has_value(); })) {
    trava.unlock();
    if (Retira(vez)) {
      return Desfecho::EsperaExcedida;
    }
    trava.lock();
  }
  sinal->pronto.wait(trava, [&] { return sinal->desfecho.has_value(); });
  return *sinal->desfecho;
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
    Vez vez = std::move(esperando_.front());
    esperando_.pop_front();
    emCurso_ = true;
    trava.unlock();
    bool feita = true;
    try {
      vez.tarefa();
    } catch (...) {
      feita = false;
    }
    trava.lock();
    emCurso_ = false;
    ++feitas_;
    trava.unlock();
    vez.aviso(feita ? Desfecho::Feita : Desfecho::Falhou);
    trava.lock();
  }
}

void Fila::Encerra() {
  std::deque<Vez> recusadas;
  {
    std::lock_guard<std::mutex> trava(mutex_);
    encerrando_ = true;
    recusadas.swap(esperando_);
    chegou_.notify_all();
  }
  for (Vez &v : recusadas) {
    v.aviso(Desfecho::Encerrando);
  }
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
