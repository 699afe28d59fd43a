// The terminal on Windows: the C runtime's descriptors (shared with sat.dll), and the
// console's code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "terminal.h"

namespace {

// The code pages of standard output and standard error: the console's, or the ANSI code page
// for a file or a pipe.
UINT gPaginaTerminal = CP_ACP;
UINT gPaginaErro = CP_ACP;

bool EhConsole(DWORD qual) {
  DWORD modo = 0;
  return GetConsoleMode(GetStdHandle(qual), &modo) != 0;
}

UINT Pagina(Destino destino) {
  switch (destino) {
  case Destino::Terminal:
    return gPaginaTerminal;
  case Destino::Erro:
    return gPaginaErro;
  case Destino::Utf8:
    break;
  }
  return CP_UTF8;
}

// Text in code page `de` into code page `para`, through UTF-16.
std::string Converte(UINT de, std::string_view texto, UINT para) {
  if (texto.empty()) {
    return std::string();
  }
  const int tamanho = static_cast<int>(texto.size());
  const int largos = MultiByteToWideChar(de, 0, texto.data(), tamanho, nullptr, 0);
  if (largos <= 0) {
    return std::string();
  }
  std::vector<wchar_t> largo(static_cast<size_t>(largos));
  MultiByteToWideChar(de, 0, texto.data(), tamanho, largo.data(), largos);
  // UTF-8 takes no replacement character: it can show everything.
  const char *substituto = para == CP_UTF8 ? nullptr : "?";
  const int bytes =
      WideCharToMultiByte(para, 0, largo.data(), largos, nullptr, 0, substituto, nullptr);
  std::string convertido(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(para, 0, largo.data(), largos, &convertido[0], bytes, substituto, nullptr);
  }
  return convertido;
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
  gPaginaErro = t.erroEhTerminal ? GetConsoleOutputCP() : GetACP();
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
  return Converte(1252, texto, Pagina(destino));
}

std::string DeUtf8(std::string_view texto, Destino destino) {
  return destino == Destino::Utf8 ? std::string(texto) : Converte(CP_UTF8, texto, Pagina(destino));
}

bool GravaNoDisco(FILE *arquivo) { return _commit(_fileno(arquivo)) == 0; }

// rename() on Windows does not replace a file that is there.
bool Substitui(const std::string &de, const std::string &para) {
  if (MoveFileExA(de.c_str(), para.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  const DWORD erro = GetLastError();
  errno = erro == ERROR_ACCESS_DENIED || erro == ERROR_SHARING_VIOLATION ? EACCES
          : erro == ERROR_FILE_NOT_FOUND || erro == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                         : EIO;
  return false;
}
