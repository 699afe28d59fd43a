// Single-byte code pages through the system's converters (the Windows build), to the same bytes
// as the Linux build's iconv: one character at a time, and what the page lacks as one '?'.
#include "escpos.h"

#include <windows.h>

namespace extrato {

namespace {

// The byte of the page for one character (`n` bytes of UTF-8 at `utf8`), or '?' when the bytes
// are not one valid character or the page has none of its own for it.
char Caractere(const char *utf8, int n, UINT pagina) {
  wchar_t largo[2];
  // Invalid UTF-8 (a stray continuation byte, an overlong or cut sequence, an encoded surrogate)
  // fails here, where Windows would give U+FFFD for each piece: iconv gives one '?'.
  const int largos = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, n, largo, 2);
  // A character past the BMP (two UTF-16 units, which Windows would turn into "??") is in no
  // single-byte page; nor are the C1 controls, which iconv's Windows-1252 lacks where Windows
  // maps 0x81, 0x8D, 0x8F, 0x90 and 0x9D to them.
  if (largos != 1 || (largo[0] >= 0x80 && largo[0] <= 0x9F)) {
    return '?';
  }
  // Only what the page has as it is: no "best fit" look-alikes (a for ä, " for “).
  char byte = 0;
  BOOL padrao = FALSE;
  if (WideCharToMultiByte(pagina, WC_NO_BEST_FIT_CHARS, largo, 1, &byte, 1, "?", &padrao) != 1 ||
      padrao) {
    return '?';
  }
  return byte;
}

} // namespace

std::string EmPagina(const std::string &utf8, int pagina) {
  std::string saida;
  saida.reserve(utf8.size());
  // A character is a byte and the continuation bytes after it, as the iconv build splits them.
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      saida += static_cast<char>(c); // ASCII is itself in 850 and 1252
      ++i;
      continue;
    }
    size_t n = 1;
    while (i + n < utf8.size() && (static_cast<unsigned char>(utf8[i + n]) & 0xC0) == 0x80) {
      ++n;
    }
    // Longer than any UTF-8 character: invalid, and MultiByteToWideChar says so.
    const int bytes = n > 8 ? 8 : static_cast<int>(n);
    saida += Caractere(utf8.data() + i, bytes, static_cast<UINT>(pagina));
    i += n;
  }
  return saida;
}

} // namespace extrato
