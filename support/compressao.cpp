#include "support/compressao.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "platform/plataforma.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

constexpr int NIVEL_COMPRESSAO = 2;
constexpr size_t TAMANHO_CAMINHO_MODULO = 4096;

using FnCompress2 = decltype(&compress2);
using FnUncompress = decltype(&uncompress);

FnCompress2 gCompress2 = nullptr;
FnUncompress gUncompress = nullptr;
char gCaminhoModulo[TAMANHO_CAMINHO_MODULO];

bool ZlibCarregada() { return ModuloZlib != nullptr && ModuloZlib != reinterpret_cast<void *>(-1); }

template <typename F> F Simbolo(const char *nome) {
  return reinterpret_cast<F>(Plataforma->ProcuraSimbolo(ModuloZlib, nome));
}

// zlib from the library's own folder; nothing when that folder cannot be told (or the name
// does not fit).
void *CarregaZlibDaPasta() {
  const char *arquivo = Plataforma->ArquivoZlib();
  const char *caminho = DiretorioModulo();
  const char *separador =
      caminho != nullptr ? std::strrchr(caminho, Plataforma->SeparadorDiretorio()) : nullptr;
  if (separador == nullptr) {
    GravaLog("Pasta da biblioteca desconhecida: zlib procurada pelo nome");
    return nullptr;
  }
  char nome[TAMANHO_CAMINHO_MODULO + 64];
  std::snprintf(nome, sizeof nome, "%.*s%c%s", static_cast<int>(separador - caminho), caminho,
                Plataforma->SeparadorDiretorio(), arquivo);
  return Plataforma->CarregaModulo(nome);
}

// Loads zlib when it is not loaded yet: from the library's own folder and by its bare name,
// through the system's search, in the order asked. Windows looks for a bare name beside the
// program and on the path, not beside the DLL, where a POS that loads sat.dll by its full path
// keeps zlib.dll; on Linux zlib lives with the system's libraries. False when neither has it.
bool CarregaZlib(bool pastaPrimeiro) {
  if (ZlibCarregada()) {
    return true;
  }
  const char *arquivo = Plataforma->ArquivoZlib();
  ModuloZlib = pastaPrimeiro ? CarregaZlibDaPasta() : Plataforma->CarregaModulo(arquivo);
  if (!ZlibCarregada()) {
    ModuloZlib = pastaPrimeiro ? Plataforma->CarregaModulo(arquivo) : CarregaZlibDaPasta();
  }
  if (!ZlibCarregada()) {
    ModuloZlib = nullptr;
    return false;
  }
  return true;
}

} // namespace

int32_t Compacta(size_t tamanho) {
  if (!CarregaZlib(false)) {
    GravaLog("nao encontrou dll compcatcao...");
    return ZLIB_INDISPONIVEL;
  }
  if (gCompress2 == nullptr) {
    gCompress2 = Simbolo<FnCompress2>("compress2");
    if (gCompress2 == nullptr) {
      return ZLIB_INDISPONIVEL;
    }
  }
  uLongf comprimidos = TAMANHO_BUFFER_COMPACTADO;
  const int estado =
      gCompress2(BufferCompactado, &comprimidos, reinterpret_cast<const Bytef *>(BufferVenda),
                 static_cast<uLong>(tamanho), NIVEL_COMPRESSAO);
  if (estado != Z_OK || comprimidos > TAMANHO_BUFFER_COMPACTADO) {
    return ZLIB_FALHOU;
  }
  return static_cast<int32_t>(comprimidos);
}

int32_t Descompacta(const unsigned char *dados, uint32_t tamanho) {
  if (!CarregaZlib(true)) {
    return ZLIB_INDISPONIVEL;
  }
  if (gUncompress == nullptr) {
    gUncompress = Simbolo<FnUncompress>("uncompress");
    if (gUncompress == nullptr) {
      return ZLIB_INDISPONIVEL;
    }
  }
  // One byte is kept for the terminator: a larger expansion fails as not fitting.
  uLongf expandidos = TAMANHO_BUFFER_DESCOMPACTADO - 1;
  const int estado = gUncompress(reinterpret_cast<Bytef *>(BufferDescompactado), &expandidos, dados,
                                 static_cast<uLong>(tamanho));
  if (estado != Z_OK || expandidos >= TAMANHO_BUFFER_DESCOMPACTADO) {
    BufferDescompactado[0] = '\0';
    return ZLIB_FALHOU;
  }
  BufferDescompactado[expandidos] = '\0';
  return static_cast<int32_t>(expandidos);
}

const char *DiretorioModulo() {
  if (Plataforma->CaminhoModulo(gCaminhoModulo, sizeof gCaminhoModulo) == 0) {
    return nullptr;
  }
  GravaLog(gCaminhoModulo);
  return gCaminhoModulo;
}

void LiberaZlib() {
  if (ZlibCarregada()) {
    Plataforma->LiberaModulo(ModuloZlib);
  }
  ModuloZlib = nullptr;
  gCompress2 = nullptr;
  gUncompress = nullptr;
}
