// A fixture for the command exports over the substitute platform: the port is COM7, logging is
// on, and the error record and the request the device received can be read back. Also the real
// zlib, for the sale and the compression bridge.
#pragma once

#include <zlib.h>

#include <cstring>
#include <string>

#include "sat.h"
#include "tests/registro_erro.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

class ComandoTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
    AbreSerialSAT(7, 0, 0, 0, 0);
  }
  int32_t Codigo() { return LeRegistroErro(CodigoErro).first; }
  std::string Mensagem() { return LeRegistroErro(CodigoErro).second; }
  // The payload of the i-th frame the device received.
  std::string Pedido(size_t i = 0) {
    const std::string &q = sub().escritos.at(i);
    return q.substr(8, q.size() - 9);
  }
  // The device answers the next request with this payload.
  void Responde(const std::string &payload) { sub().respostaAposEscrita = {QuadroDados(payload)}; }
};

// Standard base64 with padding, to build what a device sends.
inline std::string Base64(const std::string &bytes) {
  static const char alfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string saida;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) {
      saida += alfabeto[(v >> k) & 63];
    }
  }
  const size_t resto = bytes.size() - i;
  if (resto > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (resto == 2) {
      v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    }
    saida += alfabeto[(v >> 18) & 63];
    saida += alfabeto[(v >> 12) & 63];
    saida += resto == 2 ? alfabeto[(v >> 6) & 63] : '=';
    saida += '=';
  }
  return saida;
}

// The substitute loader hands out the real zlib under `nome`.
inline void ZlibDisponivel(const std::string &nome) {
  Sub().modulos[nome] = {{"compress2", reinterpret_cast<void *>(&compress2)},
                         {"uncompress", reinterpret_cast<void *>(&uncompress)}};
}

// `texto` compressed by the real zlib, as a device compresses a reply's block.
inline std::string Comprime(const std::string &texto, int nivel = Z_DEFAULT_COMPRESSION) {
  uLongf n = compressBound(texto.size());
  std::string saida(n, '\0');
  compress2(reinterpret_cast<Bytef *>(&saida[0]), &n, reinterpret_cast<const Bytef *>(texto.data()),
            texto.size(), nivel);
  saida.resize(n);
  return saida;
}
