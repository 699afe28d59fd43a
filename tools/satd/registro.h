// satd's own log: one line per request, and a few notes. Lines stay whole when requests end
// together.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace satd {

// Now, in local time: `formato` (strftime) and ".mmm", the milliseconds.
std::string AgoraLocal(const char *formato);

class Registro {
public:
  Registro() = default;
  Registro(const Registro &) = delete;
  Registro &operator=(const Registro &) = delete;
  ~Registro();

  // Appends to `arquivo` from now on; "" keeps standard output.
  bool Abre(const std::string &arquivo, std::string &erro);
  // Opens the same file again (it was rotated): the lines go to the new one. False, with
  // `erro`, when it cannot be opened; the lines then keep going to the old one.
  bool Reabre(std::string &erro);
  // One line, after the local time with milliseconds. `recente`: the line is also one of those
  // the status page shows.
  void Escreve(const std::string &texto, bool recente = true);
  // The last kRecentes lines written with `recente`, oldest first.
  std::vector<std::string> Recentes() const;
  // Lines that could not be written since the start (a full disk, a size limit); each also
  // goes to standard error, at most once a second.
  uint64_t Falhas() const { return falhas_.load(); }

  static constexpr size_t kRecentes = 20;

private:
  mutable std::mutex mutex_;
  FILE *saida_ = stdout;
  std::string arquivo_;
  std::deque<std::string> recentes_;
  std::atomic<uint64_t> falhas_{0};
  std::chrono::steady_clock::time_point ultimoAviso_{};
};

} // namespace satd
