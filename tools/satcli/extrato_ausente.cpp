// A build without libsatextrato (SAT_EXTRATO off) has no extrato: the command line refuses
// extrato and --imprime before anything runs, so these are never called.
#include "extrato.h"

const bool kExtratoDisponivel = false;

namespace {

const char kAusente[] = "o extrato não está disponível nesta compilação (sem a libsatextrato)";

} // namespace

std::string ConfereImpressora(const std::string &) { return kAusente; }

Resultado Extrato(Execucao &, const Passo &) {
  Resultado r;
  r.vistaPropria = true;
  r.exportacao = "extrato";
  r.falha = kAusente;
  r.status = STATUS_USO;
  return r;
}

void ImprimeExtrato(Resultado &r, const Passo &, const std::string &) {
  r.falhaImpressao = kAusente;
  r.status = r.status == STATUS_SUCESSO ? STATUS_IMPRESSORA : r.status;
}
