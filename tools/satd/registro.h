// satd's own log: one line per request, and a few notes. Lines stay whole when requests end
// together.
#pragma once

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace satd {

class Registro {
public:
  Registro() = default;
  Registro(const Registro &) = delete;
  Registro &operator=(const Registro &) = delete;
  ~Registro();

  // Appends to `arquivo` from now on; "" keeps standard output.
  bool Abre(const std::string &arquivo, std::string &erro);
  // One line, after the local time with milliseconds. `recente`: the line is also one of those
  // the status page shows.
  void Escreve(const std::string &texto, bool recente = true);
  // The last kRecentes lines written with `recente`, oldest first.
  std::vector<std::string> Recentes() const;

  static constexpr size_t kRecentes = 20;

private:
  mutable std::mutex mutex_;
  FILE *saida_ = stdout;
  std::deque<std::string> recentes_;
};

} // namespace satd
