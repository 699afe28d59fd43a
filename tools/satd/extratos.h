// The extrato of the archive's documents: the PDF that GET {base}/cfe/{chave}/extrato.pdf
// serves, and the shop's printer ([impressora]), to which a sale's or a cancellation's extrato
// goes once its reply is out, when the checkout asked for it. The printer has a thread of its
// own and a bounded queue: a sale never waits on a printer, and one that is off costs only its
// own extratos.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace satd {

class Diario;
class Registro;
struct Configuracao;

// The extrato (satextrato.h's `formato`) of a signed document, and, for a cancellation, of the
// sale it cancels, taken from the archive. False with `erro`; `existe` false when the archive
// lacks the document (or a cancellation's sale).
bool ExtratoDoArquivo(Diario &diario, const std::string &digitos, int formato, int papel,
                      std::string &saida, std::string &erro, bool &existe);

class Extratos {
public:
  Extratos(const Configuracao &configuracao, Diario &diario, Registro &registro);
  ~Extratos();
  Extratos(const Extratos &) = delete;
  Extratos &operator=(const Extratos &) = delete;

  // Starts the printer's thread when [impressora] names one.
  void Inicia();
  void Para();
  bool Configurada() const;

  // Queues the extrato of the archived document `digitos` for the printer; never blocks. A full
  // queue drops it (and says so in the log).
  void Imprime(const std::string &digitos, int caixa);

  struct Estado {
    uint64_t impressos = 0;   // extratos the printer took
    uint64_t falhas = 0;      // that could not be laid out or sent
    uint64_t descartados = 0; // dropped on a full queue
    size_t pendentes = 0;
  };
  Estado Consulta() const;

private:
  void Corre();

  struct Pedido {
    std::string digitos;
    int caixa;
  };
  const Configuracao &configuracao_;
  Diario &diario_;
  Registro &registro_;
  mutable std::mutex mutex_;
  std::condition_variable aviso_;
  std::deque<Pedido> fila_;
  bool parar_ = false;
  std::atomic<uint64_t> impressos_{0}, falhas_{0}, descartados_{0};
  std::thread thread_;
};

} // namespace satd
