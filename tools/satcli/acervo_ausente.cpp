// A build without libcurl (Windows: Debian has no mingw libcurl) reads no archive: the command
// line refuses cfe and mes before anything runs, so these are never called.
#include "acervo.h"

const bool kAcervoDisponivel = false;

namespace {

Resultado Ausente(const char *nome) {
  Resultado r;
  r.vistaPropria = true;
  r.exportacao = nome;
  r.falha = std::string(nome) + " não está disponível nesta compilação (sem libcurl)";
  r.status = STATUS_USO;
  return r;
}

} // namespace

Resultado AcervoCfe(Execucao &, const Passo &) { return Ausente("cfe"); }
Resultado AcervoMes(Execucao &, const Passo &) { return Ausente("mes"); }
