// Load and unload of the shared object, in the order the Windows loader gives the DLL:
// static initialisation, then the entry handler; at unload, the entry handler.
#include "api/ciclo.h"

namespace {

__attribute__((constructor)) void CarregaBiblioteca() {
  InicializacaoEstatica();
  EntradaBiblioteca(MOTIVO_CARGA);
}

__attribute__((destructor)) void DescarregaBiblioteca() { EntradaBiblioteca(MOTIVO_DESCARGA); }

} // namespace
