// The DLL's entry: the C runtime runs static initialisation (the transaction buffers) before
// it calls DllMain.
#include <windows.h>

#include "api/ciclo.h"

namespace {

struct InicializacaoDoModulo {
  InicializacaoDoModulo() { InicializacaoEstatica(); }
} gInicializacao;

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD motivo, LPVOID) {
  return EntradaBiblioteca(static_cast<int>(motivo));
}
