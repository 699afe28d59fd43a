#include "support/base64.h"

#include <cstdint>
#include <cstring>

#include "support/armazenamento.h"

namespace {

// The alphabet as a table for the codes '+' (43) to 'z' (122): each entry is the character's
// 6-bit value plus 62, so that every entry is printable, or '$' outside the alphabet.
constexpr unsigned char PRIMEIRO_CODIGO = 43;
constexpr unsigned char ULTIMO_CODIGO = 122;
constexpr unsigned char FORA_DO_ALFABETO = '$';
constexpr unsigned char DESLOCAMENTO = 62;

struct TabelaBase64 {
  unsigned char valores[ULTIMO_CODIGO - PRIMEIRO_CODIGO + 1];
};

constexpr TabelaBase64 MontaTabela() {
  TabelaBase64 t{};
  for (auto &v : t.valores) {
    v = FORA_DO_ALFABETO;
  }
  const char alfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; i++) {
    t.valores[static_cast<unsigned char>(alfabeto[i]) - PRIMEIRO_CODIGO] =
        static_cast<unsigned char>(i + DESLOCAMENTO);
  }
  return t;
}

constexpr TabelaBase64 kTabela = MontaTabela();
static_assert(sizeof kTabela.valores == 80, "one entry per code from '+' to 'z'");

// The same mapping over every byte, for the decoding loop: the 6-bit value, or 0xFF.
struct ValoresBase64 {
  unsigned char valor[256];
};

constexpr ValoresBase64 MontaValores() {
  ValoresBase64 v{};
  for (auto &x : v.valor) {
    x = 0xFF;
  }
  for (int c = PRIMEIRO_CODIGO; c <= ULTIMO_CODIGO; c++) {
    const unsigned char entrada = kTabela.valores[c - PRIMEIRO_CODIGO];
    if (entrada != FORA_DO_ALFABETO) {
      v.valor[c] = static_cast<unsigned char>(entrada - DESLOCAMENTO);
    }
  }
  return v;
}

constexpr ValoresBase64 kValores = MontaValores();

// How far earlier decodings wrote into BufferDecodificado: beyond it the buffer is zero.
size_t gDecodificadoUsado = TAMANHO_DECODIFICADO_LIMPO;

} // namespace

void DecodificaBase64(const char *texto, size_t tamanho) {
  unsigned char *saida = BufferDecodificado;
  size_t escritos = 0;
  uint32_t grupo = 0; // the values gathered so far, 6 bits each
  int n = 0;
  for (size_t i = 0; i < tamanho; i++) {
    const unsigned char valor = kValores.valor[static_cast<unsigned char>(texto[i])];
    if (valor == 0xFF) {
      continue;
    }
    grupo = grupo << 6 | valor;
    if (++n == 4) {
      const unsigned char bytes[3] = {static_cast<unsigned char>(grupo >> 16),
                                      static_cast<unsigned char>(grupo >> 8),
                                      static_cast<unsigned char>(grupo)};
      const size_t cabem = MAXIMO_DECODIFICADO - escritos < 3 ? MAXIMO_DECODIFICADO - escritos : 3;
      std::memcpy(saida + escritos, bytes, cabem);
      escritos += cabem;
      grupo = 0;
      n = 0;
    }
  }
  // A last group of n values gives n - 1 bytes, the missing values counting as 0.
  if (n >= 2) {
    grupo <<= 6 * (4 - n);
    const unsigned char bytes[2] = {static_cast<unsigned char>(grupo >> 16),
                                    static_cast<unsigned char>(grupo >> 8)};
    const size_t querem = static_cast<size_t>(n - 1);
    const size_t cabem =
        MAXIMO_DECODIFICADO - escritos < querem ? MAXIMO_DECODIFICADO - escritos : querem;
    std::memcpy(saida + escritos, bytes, cabem);
    escritos += cabem;
  }
  if (escritos > gDecodificadoUsado) {
    gDecodificadoUsado = escritos;
  }
}

void DecodificaBase64(const char *texto) { DecodificaBase64(texto, std::strlen(texto)); }

void LimpaDecodificado() {
  std::memset(BufferDecodificado, 0, gDecodificadoUsado);
  gDecodificadoUsado = 0;
}
