#include "codifica.h"

#include <zlib.h>

#include <cstring>

#include "comum/texto.h"

namespace satemu {

namespace {
constexpr char kAlfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string CodificaBase64(std::string_view dados) {
  std::string saida;
  saida.reserve((dados.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= dados.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(dados[i]) << 16 |
                       static_cast<unsigned char>(dados[i + 1]) << 8 |
                       static_cast<unsigned char>(dados[i + 2]);
    saida += kAlfabeto[v >> 18 & 63];
    saida += kAlfabeto[v >> 12 & 63];
    saida += kAlfabeto[v >> 6 & 63];
    saida += kAlfabeto[v & 63];
  }
  const std::size_t resto = dados.size() - i;
  if (resto > 0) {
    unsigned v = static_cast<unsigned char>(dados[i]) << 16;
    if (resto == 2)
      v |= static_cast<unsigned char>(dados[i + 1]) << 8;
    saida += kAlfabeto[v >> 18 & 63];
    saida += kAlfabeto[v >> 12 & 63];
    saida += resto == 2 ? kAlfabeto[v >> 6 & 63] : '=';
    saida += '=';
  }
  return saida;
}

bool PareceBase64(std::string_view texto) {
  if (texto.empty())
    return false;
  std::size_t fim = texto.size();
  for (int i = 0; i < 2 && fim > 0 && texto[fim - 1] == '='; ++i)
    --fim;
  for (std::size_t i = 0; i < fim; ++i) {
    const char c = texto[i];
    const bool letra = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!letra && c != '+' && c != '/')
      return false;
  }
  return true;
}

bool DecodificaBase64(std::string_view texto, std::string &dados) {
  dados.clear();
  if (texto.size() % 4 != 0)
    return false;
  dados.reserve(texto.size() / 4 * 3);
  for (std::size_t i = 0; i < texto.size(); i += 4) {
    const std::string_view bloco = texto.substr(i, 4);
    const bool ultimo = i + 4 == texto.size();
    const int enchimento = !ultimo || bloco[3] != '=' ? 0 : bloco[2] == '=' ? 2 : 1;
    unsigned v = 0;
    for (int j = 0; j < 4; ++j) {
      const char *onde = bloco[j] == '\0' ? nullptr : std::strchr(kAlfabeto, bloco[j]);
      if (j >= 4 - enchimento)
        onde = kAlfabeto;
      else if (onde == nullptr)
        return false;
      v = v << 6 | static_cast<unsigned>(onde - kAlfabeto);
    }
    dados += static_cast<char>(v >> 16 & 0xFF);
    if (enchimento < 2)
      dados += static_cast<char>(v >> 8 & 0xFF);
    if (enchimento < 1)
      dados += static_cast<char>(v & 0xFF);
  }
  // Unused bits that are not zero: not what an encoder writes.
  return CodificaBase64(dados) == texto;
}

bool Comprime(std::string_view dados, std::string &saida) {
  uLongf tamanho = compressBound(static_cast<uLong>(dados.size()));
  saida.resize(tamanho);
  const int r = compress2(reinterpret_cast<Bytef *>(saida.data()), &tamanho,
                          reinterpret_cast<const Bytef *>(dados.data()),
                          static_cast<uLong>(dados.size()), Z_DEFAULT_COMPRESSION);
  if (r != Z_OK) {
    saida.clear();
    return false;
  }
  saida.resize(tamanho);
  return true;
}

Expansao Expande(std::string_view fluxo, std::size_t limite, std::string &saida) {
  saida.clear();
  z_stream z{};
  if (inflateInit(&z) != Z_OK)
    return Expansao::Invalida;
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(fluxo.data()));
  z.avail_in = static_cast<uInt>(fluxo.size());
  // One byte of room beyond the limit tells "exactly the limit" from "more than the limit".
  std::string area(limite + 1, '\0');
  z.next_out = reinterpret_cast<Bytef *>(area.data());
  z.avail_out = static_cast<uInt>(area.size());
  const int r = inflate(&z, Z_FINISH);
  const std::size_t produzidos = area.size() - z.avail_out;
  inflateEnd(&z);
  if (produzidos > limite)
    return Expansao::Excede;
  if (r != Z_STREAM_END)
    return Expansao::Invalida;
  area.resize(produzidos);
  saida = std::move(area);
  return Expansao::Ok;
}

namespace {
// One '?' for each character iconv stops at: for its first byte, none for the continuation
// bytes after it.
std::string Interrogacao(unsigned char b) { return b >= 0x80 && b < 0xC0 ? "" : "?"; }
} // namespace

std::string TextoDoLog(std::string_view utf8, std::size_t limite) {
  std::string saida =
      comum::ConverteTudo("WINDOWS-1252", "UTF-8", utf8, Interrogacao).value_or(std::string());
  for (char &c : saida) {
    const unsigned char b = static_cast<unsigned char>(c);
    c = b < 0x20 || b == 0x7F || b == '|' ? '?' : c;
  }
  // One byte a character in Windows-1252.
  return saida.size() > limite ? saida.substr(0, limite) + "..." : saida;
}

std::string Utf8DoLog(std::string_view texto) {
  // A byte Windows-1252 leaves undefined (0x81, 0x8D, ...).
  return comum::ConverteTudo("UTF-8", "WINDOWS-1252", texto,
                             [](unsigned char) { return std::string("?"); })
      .value_or(std::string());
}

} // namespace satemu
