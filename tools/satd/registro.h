// satd's own log: one line per request, and a few notes. Lines stay whole when requests end
// together.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace satd {

class Registro {
public:
  Registro() = default;
  Registro(const Registro &) = delete;
  Registro &operator=(const Registro &) = delete;
  ~Registro();

  // Appends to `arquivo` from now on; "" keeps standard output.
  bool Abre(const std::string &arquivo, std::string &erro);
  // One line, after the local time with milliseconds.
  void Escreve(const std::string &texto);

private:
  std::mutex mutex_;
  FILE *saida_ = stdout;
};

} // namespace satd
