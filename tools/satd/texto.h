// Texts at satd's two borders: the form-encoded UTF-8 of HTTP, and the Windows-1252 bytes of
// the library.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace satd {

// UTF-8 to Windows-1252. False, with `erro` naming the character and its byte offset, for text
// that is not UTF-8, holds a NUL or a C1 control, or a character Windows-1252 cannot write:
// nothing is ever replaced.
bool Utf8ParaWindows1252(std::string_view utf8, std::string &saida, std::string &erro);

// An XML document (a sale, a cancellation, network settings) for the library. XML is UTF-8 unless
// it declares otherwise, and a SAT reads it by its declaration: a UTF-8 document goes through as
// it came (checked to be UTF-8, without NUL); one that declares Windows-1252 or ISO-8859-1 is
// converted to that code page, as Utf8ParaWindows1252 converts any text. False, with `erro`,
// when neither can be done.
bool DocumentoParaBiblioteca(std::string_view utf8, std::string &saida, std::string &erro);

// Windows-1252 to UTF-8. Total: the five bytes the code page leaves undefined (81, 8D, 8F, 90,
// 9D) become the C1 controls of the same value, as browsers read them.
std::string Windows1252ParaUtf8(std::string_view texto);

// A client's text made safe for a log line or a JSON message: printable ASCII, at most 120
// bytes.
std::string Limpo(std::string_view texto);

// An application/x-www-form-urlencoded body: '&' between fields, '=' after the name, '+' for a
// space, %XX for a byte. False, with `erro`, for a malformed escape or a field given twice.
bool LeFormulario(std::string_view corpo, std::map<std::string, std::string> &campos,
                  std::string &erro);

} // namespace satd
