// satd's metrics for Prometheus (GET /metrics, text exposition format 0.0.4): the SAT's last
// status and each health check's level, the queue, and the checkouts' requests by function,
// device code and duration.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "central.h"
#include "extratos.h"
#include "funcoes.h"
#include "painel.h"

namespace satd {

// The checkouts' requests to the sixteen functions: how many by device code and HTTP status,
// and how long each took, by function. Any thread.
class Requisicoes {
public:
  // `codigo`: the device's five digits, or "-" when the reply carries none (the library's own
  // reply, or satd refused the request before the library).
  void Conta(const Funcao &funcao, const std::string &codigo, int http, double segundos);
  // The counter and the histogram, each with its HELP and TYPE.
  std::string Texto() const;

  // The histogram's upper bounds, in seconds: from a query on an idle SAT to a sale that waited
  // out a long queue.
  static constexpr double kLimites[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                        1,     2.5,  5,     10,   30,  60};
  static constexpr size_t kFaixas = sizeof kLimites / sizeof kLimites[0];
  // Pairs of code and status kept apart per function. A device has a few codes per command;
  // past this many a faulty one gets "outro", so that it cannot grow the series without end.
  static constexpr size_t kCodigosPorFuncao = 32;

private:
  struct PorFuncao {
    std::map<std::pair<std::string, int>, uint64_t> respostas;
    std::array<uint64_t, kFaixas> faixas{}; // requests up to each bound, the bound below excluded
    uint64_t total = 0;
    double soma = 0;
  };
  mutable std::mutex mutex_;
  std::array<PorFuncao, kTotalFuncoes> funcoes_;
};

// Every metric: `painel` as for the status page, with the Unix times and counts it carries.
std::string TextoMetricas(const Painel &painel, const Requisicoes &requisicoes);
// The forwarder's, when [central] is configured ("" otherwise).
std::string TextoCentral(const Central::Estado &central);
// The shop's printer, when [impressora] names one.
std::string TextoImpressora(const Extratos::Estado &impressora);

} // namespace satd
