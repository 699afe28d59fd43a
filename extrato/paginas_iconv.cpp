// Single-byte code pages through the C library's iconv (the Linux build).
#include "escpos.h"

#include <algorithm>
#include <iconv.h>

namespace extrato {

std::string EmPagina(const std::string &utf8, int pagina) {
  std::string saida;
  iconv_t cd = iconv_open(pagina == 850 ? "CP850" : "CP1252", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // A C library without the page: ASCII as it is, every other character as '?'.
    for (unsigned char c : utf8) {
      if (c < 0x80 || (c & 0xC0) == 0xC0) {
        saida += c < 0x80 ? static_cast<char>(c) : '?';
      }
    }
    return saida;
  }
  // One character at a time, so that one the page lacks becomes '?' and the rest goes on.
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 1;
    while (i + n < utf8.size() && (static_cast<unsigned char>(utf8[i + n]) & 0xC0) == 0x80) {
      ++n;
    }
    char entrada[8] = {};
    utf8.copy(entrada, std::min<size_t>(n, sizeof entrada), i);
    char convertido[8];
    char *de = entrada;
    char *para = convertido;
    size_t resta = std::min<size_t>(n, sizeof entrada);
    size_t cabe = sizeof convertido;
    if (iconv(cd, &de, &resta, &para, &cabe) == static_cast<size_t>(-1) || para == convertido) {
      saida += '?';
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    } else {
      saida.append(convertido, static_cast<size_t>(para - convertido));
    }
    i += n;
  }
  iconv_close(cd);
  return saida;
}

} // namespace extrato
