// The terminal on Linux: file descriptors, and the locale's encoding through iconv.
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "terminal.h"

namespace {

bool CoresPermitidas() {
  const char *semCor = std::getenv("NO_COLOR");
  const char *termo = std::getenv("TERM");
  return (semCor == nullptr || semCor[0] == '\0') &&
         (termo == nullptr || std::strcmp(termo, "dumb") != 0);
}

std::string Converte(iconv_t conversor, std::string_view texto) {
  std::string convertido;
  convertido.reserve(texto.size() + texto.size() / 4);
  char *entrada = const_cast<char *>(texto.data());
  size_t restante = texto.size();
  char bloco[4096];
  while (restante > 0) {
    char *saida = bloco;
    size_t livre = sizeof bloco;
    const size_t r = iconv(conversor, &entrada, &restante, &saida, &livre);
    convertido.append(bloco, static_cast<size_t>(saida - bloco));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte with no character in Windows-1252, or one the terminal cannot show.
      convertido += '?';
      ++entrada;
      --restante;
      iconv(conversor, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return convertido;
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
  static iconv_t conversores[2] = {reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1)};
  iconv_t &conversor = conversores[destino == Destino::Utf8 ? 1 : 0];
  if (conversor == reinterpret_cast<iconv_t>(-1)) {
    const std::string codificacao = destino == Destino::Utf8 ? "UTF-8" : nl_langinfo(CODESET);
    conversor = iconv_open((codificacao + "//TRANSLIT").c_str(), "WINDOWS-1252");
  }
  if (conversor == reinterpret_cast<iconv_t>(-1)) {
    std::string ascii(texto);
    for (char &c : ascii) {
      c = static_cast<unsigned char>(c) < 0x80 ? c : '?';
    }
    return ascii;
  }
  return Converte(conversor, texto);
}
