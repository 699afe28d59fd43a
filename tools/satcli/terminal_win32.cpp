// The terminal on Windows: the C runtime's descriptors (shared with sat.dll), and the
// console's code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "terminal.h"

namespace {

UINT gPaginaTerminal = CP_ACP;

bool EhConsole(DWORD qual) {
  DWORD modo = 0;
  return GetConsoleMode(GetStdHandle(qual), &modo) != 0;
}

// Colour needs the console's escape sequences (Windows 10 and later).
bool LigaSequencias() {
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD modo = 0;
  return GetConsoleMode(console, &modo) != 0 &&
         SetConsoleMode(console, modo | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

} // namespace

Terminal PreparaTerminal() {
  Terminal t;
  t.saidaEhTerminal = EhConsole(STD_OUTPUT_HANDLE);
  t.erroEhTerminal = EhConsole(STD_ERROR_HANDLE);
  const char *semCor = std::getenv("NO_COLOR");
  t.cores = t.saidaEhTerminal && (semCor == nullptr || semCor[0] == '\0') && LigaSequencias();
  gPaginaTerminal = t.saidaEhTerminal ? GetConsoleOutputCP() : GetACP();
  const int propria = _dup(_fileno(stdout));
  FILE *saida = propria >= 0 ? _fdopen(propria, "w") : nullptr;
  if (saida != nullptr) {
    std::fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
    t.saida = saida;
  }
  return t;
}

void ModoBinario(FILE *arquivo) { _setmode(_fileno(arquivo), _O_BINARY); }

std::string DeWindows1252(std::string_view texto, Destino destino) {
  if (texto.empty()) {
    return std::string();
  }
  const int tamanho = static_cast<int>(texto.size());
  const int largos = MultiByteToWideChar(1252, 0, texto.data(), tamanho, nullptr, 0);
  std::vector<wchar_t> largo(static_cast<size_t>(largos > 0 ? largos : 1));
  MultiByteToWideChar(1252, 0, texto.data(), tamanho, largo.data(), largos);
  const UINT pagina = destino == Destino::Utf8 ? CP_UTF8 : gPaginaTerminal;
  // UTF-8 takes no replacement character: it can show everything.
  const char *substituto = pagina == CP_UTF8 ? nullptr : "?";
  const int bytes =
      WideCharToMultiByte(pagina, 0, largo.data(), largos, nullptr, 0, substituto, nullptr);
  std::string convertido(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(pagina, 0, largo.data(), largos, &convertido[0], bytes, substituto,
                        nullptr);
  }
  return convertido;
}
