// What every fuzz target of the library shares: the substitute platform, installed once, with
// the port chosen (COM7), logging off and the real zlib behind the substitute loader. Each input
// starts with the device's side emptied; the library's own state carries over from input to
// input, as it does from call to call in a POS.
#pragma once

#include <zlib.h>

#include <cstring>
#include <string>

#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

inline Substituto &SubstitutoDoFuzz() {
  static Substituto *substituto = [] {
    auto *s = new Substituto();
    s->Instala();
    ReiniciaEstadoBiblioteca();
    s->modulos["zlib.dll"] = {{"compress2", reinterpret_cast<void *>(&compress2)},
                              {"uncompress", reinterpret_cast<void *>(&uncompress)}};
    return s;
  }();
  Substituto &s = *substituto;
  std::strcpy(NomePorta, "COM7");
  s.leituras.clear();
  s.respostaAposEscrita.clear();
  s.escritos.clear();
  s.chamadas.clear();
  s.saidaPadrao.clear();
  s.depuracao.clear();
  s.milissegundos = 0;
  return s;
}
