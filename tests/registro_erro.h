// The library's error record as its readers see it: CodigoErro fills the caller's 804 bytes,
// the code in the first four, then the message, and returns their address.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

// The code, read through the address CodigoErro returns, and the message; `codigoErro` is the
// export, the symbol or a pointer to it.
template <typename CodigoErro>
std::pair<int32_t, std::string> LeRegistroErro(CodigoErro codigoErro) {
  char registro[804];
  int32_t codigo;
  std::memcpy(&codigo, codigoErro(registro), 4);
  return {codigo, std::string(registro + 4, strnlen(registro + 4, 800))};
}
