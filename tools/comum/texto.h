// Text from one encoding to another, through iconv (the C library's): the tools' one converter,
// for the library's Windows-1252, the terminal's encoding and the UTF-8 of HTTP. Linux only;
// satcli on Windows uses the system's own conversions.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace comum {

// Converts all of `entrada` from `de` to `para` (iconv's names). False at the first byte that
// does not start a character of `de`, starts one cut short by the end, or starts one with no
// form in `para`: `onde` is its offset and `saida` holds the conversion of what came before.
// False with `onde` = npos when iconv cannot convert between the two at all.
bool Converte(const char *para, const char *de, std::string_view entrada, std::string &saida,
              size_t &onde);

// Converts all of `entrada`, each byte that Converte stops at replaced by what `substituto`
// gives for it; nothing when iconv cannot convert between the two.
std::optional<std::string>
ConverteTudo(const char *para, const char *de, std::string_view entrada,
             const std::function<std::string(unsigned char)> &substituto);

} // namespace comum
