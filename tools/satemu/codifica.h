// Byte encodings the emulator needs on the wire: base64 for the documents it hands back, zlib
// streams for the sale and its reply, and Windows-1252 for the lines of the device's log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace satemu {

std::string CodificaBase64(std::string_view dados);

// True when the text is made of base64 characters only (padding allowed at the end).
bool PareceBase64(std::string_view texto);

// Decodes base64 with its padding, as CodificaBase64 writes it; false for anything else.
bool DecodificaBase64(std::string_view texto, std::string &dados);

bool Comprime(std::string_view dados, std::string &saida);

enum class Expansao { Ok, Excede, Invalida };

// Expands a zlib stream, never producing more than `limite` bytes: a stream that expands
// further is Excede (nothing more is decoded), a damaged or cut stream is Invalida.
Expansao Expande(std::string_view fluxo, std::size_t limite, std::string &saida);

// One of the emulator's texts (UTF-8) as the log holds it (Windows-1252): a character the log
// has no byte for, a byte that is not UTF-8, a control byte or '|'
// becomes '?'; past `limite` characters the text is cut and ends in "...".
std::string TextoDoLog(std::string_view utf8, std::size_t limite);

// Windows-1252 text as TextoDoLog writes it, back in UTF-8 (for the standard error).
std::string Utf8DoLog(std::string_view texto);

} // namespace satemu
