// Base64 decoding into BufferDecodificado, whose result the export Base64ToAscii
// (api/utilitarios.cpp) hands out.
#pragma once

#include <cstddef>

#include "support/armazenamento.h"

// The most a decoding writes, so that a zero always follows the document.
constexpr size_t MAXIMO_DECODIFICADO = TAMANHO_DECODIFICADO_LIMPO - 1;

// Decodes `tamanho` bytes of base64 text into BufferDecodificado from its first byte. Bytes
// outside the standard alphabet (the pad '=', line ends, blanks, '-', '_', bytes from 0x80 up)
// are skipped wherever they stand; the end of the text alone closes the last group, whose
// missing values count as 0. No terminator is written: LimpaDecodificado provides it. At most
// MAXIMO_DECODIFICADO bytes are written.
void DecodificaBase64(const char *texto, size_t tamanho);

// The same for a zero-terminated text.
void DecodificaBase64(const char *texto);

// Clears BufferDecodificado, so that the next document decoded reads as zero-terminated text.
// Only the bytes that earlier decodings wrote are cleared; the rest is zero already.
void LimpaDecodificado();
