// The bridge to zlib: loaded on first need from the system's dynamic library (zlib.dll on
// Windows, libz.so.1 elsewhere), kept until unload, and reached through two entry points,
// compress2 and uncompress.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t ZLIB_INDISPONIVEL = -1; // the library or its entry point cannot be had
constexpr int32_t ZLIB_FALHOU = -2;       // zlib answered with an error status

// Compresses the first `tamanho` bytes of BufferVenda into BufferCompactado at level 2. Returns
// the compressed length; ZLIB_INDISPONIVEL, after logging "nao encontrou dll compcatcao..." when
// the library cannot be loaded by its bare name; or ZLIB_FALHOU when the result does not fit
// BufferCompactado or zlib runs out of memory.
int32_t Compacta(size_t tamanho);

// Expands `tamanho` bytes at `dados` into BufferDescompactado and ends them with a zero byte.
// When zlib is not loaded yet it is taken from the library's own folder, or else found by its
// bare name through the system's search. Returns the expanded
// length; ZLIB_INDISPONIVEL; or ZLIB_FALHOU when the stream is cut or corrupt, or its expansion
// does not fit BufferDescompactado with its terminator (nothing of it is to be used then).
int32_t Descompacta(const unsigned char *dados, uint32_t tamanho);

// The full path of the library's own file, logged as one record; null when it cannot be had.
const char *DiretorioModulo();

// Releases zlib and forgets its entry points (unload).
void LiberaZlib();
