// The terminal on Linux: file descriptors, and the locale's encoding.
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comum/texto.h"
#include "terminal.h"

namespace {

bool CoresPermitidas() {
  const char *semCor = std::getenv("NO_COLOR");
  const char *termo = std::getenv("TERM");
  return (semCor == nullptr || semCor[0] == '\0') &&
         (termo == nullptr || std::strcmp(termo, "dumb") != 0);
}

// Standard output and standard error share the locale's encoding.
std::string Converte(const char *de, std::string_view texto, Destino destino) {
  const std::string para =
      std::string(destino == Destino::Utf8 ? "UTF-8" : nl_langinfo(CODESET)) + "//TRANSLIT";
  // A byte with no character in `de`, or one the terminal cannot show.
  const auto interrogacao = [](unsigned char) { return std::string("?"); };
  if (auto convertido = comum::ConverteTudo(para.c_str(), de, texto, interrogacao)) {
    return *convertido;
  }
  std::string ascii(texto);
  for (char &c : ascii) {
    c = static_cast<unsigned char>(c) < 0x80 ? c : '?';
  }
  return ascii;
}

} // namespace

Terminal PreparaTerminal() {
  std::setlocale(LC_CTYPE, "");
  Terminal t;
  t.saidaEhTerminal = isatty(STDOUT_FILENO) == 1;
  t.erroEhTerminal = isatty(STDERR_FILENO) == 1;
  t.cores = t.saidaEhTerminal && CoresPermitidas();
  const int propria = dup(STDOUT_FILENO);
  FILE *saida = propria >= 0 ? fdopen(propria, "w") : nullptr;
  if (saida != nullptr) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    t.saida = saida;
  }
  return t;
}

void ModoBinario(FILE *) {}

std::string DeWindows1252(std::string_view texto, Destino destino) {
  return Converte("WINDOWS-1252", texto, destino);
}

std::string DeUtf8(std::string_view texto, Destino destino) {
  return destino == Destino::Utf8 ? std::string(texto) : Converte("UTF-8", texto, destino);
}

bool GravaNoDisco(FILE *arquivo) { return fsync(fileno(arquivo)) == 0; }

bool Substitui(const std::string &de, const std::string &para) {
  return std::rename(de.c_str(), para.c_str()) == 0;
}
