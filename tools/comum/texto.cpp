#include "texto.h"

#include <iconv.h>

#include <cerrno>

namespace comum {

bool Converte(const char *para, const char *de, std::string_view entrada, std::string &saida,
              size_t &onde) {
  saida.clear();
  iconv_t conversor = iconv_open(para, de);
  if (conversor == reinterpret_cast<iconv_t>(-1)) {
    onde = std::string::npos;
    return false;
  }
  saida.reserve(entrada.size() + entrada.size() / 4);
  char *lido = const_cast<char *>(entrada.data());
  size_t restante = entrada.size();
  char bloco[4096];
  while (restante > 0) {
    char *escrito = bloco;
    size_t livre = sizeof bloco;
    const size_t r = iconv(conversor, &lido, &restante, &escrito, &livre);
    saida.append(bloco, static_cast<size_t>(escrito - bloco));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      onde = static_cast<size_t>(lido - entrada.data());
      iconv_close(conversor);
      return false;
    }
  }
  // What a stateful encoding still keeps back.
  char *escrito = bloco;
  size_t livre = sizeof bloco;
  iconv(conversor, nullptr, nullptr, &escrito, &livre);
  saida.append(bloco, static_cast<size_t>(escrito - bloco));
  iconv_close(conversor);
  return true;
}

std::optional<std::string>
ConverteTudo(const char *para, const char *de, std::string_view entrada,
             const std::function<std::string(unsigned char)> &substituto) {
  std::string tudo, parte;
  size_t onde = 0;
  while (!Converte(para, de, entrada, parte, onde)) {
    if (onde == std::string::npos) {
      return std::nullopt;
    }
    tudo += parte;
    tudo += substituto(static_cast<unsigned char>(entrada[onde]));
    entrada.remove_prefix(onde + 1);
  }
  return tudo + parte;
}

} // namespace comum
