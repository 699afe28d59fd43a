// The archive of signed CF-e as a POS program's folder keeps them, one folder per taxpayer and
// month: PASTA/CNPJ/AAAA-MM/CFe<44 digits>.xml, CFeCanc<44 digits>.xml for a cancellation.
#pragma once

#include <filesystem>
#include <string>

namespace comum {

// Where the document of `chave` ("CFe" and 44 digits: cUF, AAMM, the taxpayer's CNPJ, ...)
// issued at `timeStamp` (AAAAMMDDHHMMSS) goes under `pasta`, its name `prefixo` and the 44
// digits; empty when the key or the time is malformed.
std::filesystem::path NoArquivo(const std::string &pasta, const std::string &chave,
                                const std::string &timeStamp, const std::string &prefixo);

// Writes `documento` at `caminho`, making its folders; an error text naming the path, or an
// empty one. A file already there with the same bytes is fine; one with other bytes is never
// replaced: it is a fiscal document.
std::string Arquiva(const std::filesystem::path &caminho, const std::string &documento);

} // namespace comum
