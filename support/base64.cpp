#include "support/base64.h"

#include <cstring>
#include <string_view>

#include "sat.h"
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

// How far earlier decodings wrote into BufferDecodificado: beyond it the buffer is zero.
size_t gDecodificadoUsado = TAMANHO_DECODIFICADO_LIMPO;

constexpr size_t MAXIMO_DECODIFICADO = TAMANHO_DECODIFICADO_LIMPO - 1;

} // namespace

void DecodificaBase64(const char *texto, size_t tamanho) {
  unsigned char *saida = BufferDecodificado;
  size_t escritos = 0;
  unsigned valores[4];
  int n = 0;
  auto emite = [&](unsigned char byte) {
    if (escritos < MAXIMO_DECODIFICADO) {
      saida[escritos++] = byte;
    }
  };
  for (size_t i = 0; i < tamanho; i++) {
    const unsigned char c = static_cast<unsigned char>(texto[i]);
    if (c < PRIMEIRO_CODIGO || c > ULTIMO_CODIGO) {
      continue;
    }
    const unsigned char entrada = kTabela.valores[c - PRIMEIRO_CODIGO];
    if (entrada == FORA_DO_ALFABETO) {
      continue;
    }
    valores[n++] = entrada - DESLOCAMENTO;
    if (n == 4) {
      emite(static_cast<unsigned char>(valores[0] << 2 | valores[1] >> 4));
      emite(static_cast<unsigned char>((valores[1] & 15) << 4 | valores[2] >> 2));
      emite(static_cast<unsigned char>((valores[2] & 3) << 6 | valores[3]));
      n = 0;
    }
  }
  // A last group of n values gives n - 1 bytes, the missing values counting as 0.
  for (int i = n; i < 4; i++) {
    valores[i] = 0;
  }
  if (n >= 2) {
    emite(static_cast<unsigned char>(valores[0] << 2 | valores[1] >> 4));
  }
  if (n >= 3) {
    emite(static_cast<unsigned char>((valores[1] & 15) << 4 | valores[2] >> 2));
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

extern "C" SAT_API char *SAT_CALL Base64ToAscii(void) {
  char *documento = reinterpret_cast<char *>(BufferDecodificado);
  const size_t tamanho = strnlen(documento, MAXIMO_DECODIFICADO);
  constexpr std::string_view FIM_CFE = "</CFe>";
  const size_t fim = std::string_view(documento, tamanho).find(FIM_CFE);
  size_t copia = tamanho;
  if (fim != std::string_view::npos) {
    copia = fim + FIM_CFE.size();
    documento[copia] = '\0';
  }
  std::memset(BufferResposta, 0, TAMANHO_RESPOSTA_LIMPA);
  std::memcpy(BufferResposta, documento, copia);
  return BufferResposta;
}
