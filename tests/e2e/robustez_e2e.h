// What the fault matrix and the bad-call table share: the port tests/com_satemu.sh serves
// (SAT_E2E_PORTA), requests to unplug or restart the device (SAT_E2E_CONTROLE), the time bound
// of a command, the process's open descriptors, and log files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "link/transacao.h"

inline int32_t PortaDoEmulador() {
  const char *porta = std::getenv("SAT_E2E_PORTA");
  return porta != nullptr ? std::atoi(porta) : 7;
}

inline std::string OpcoesDoEmulador() {
  const char *opcoes = std::getenv("SAT_E2E_OPCOES");
  return opcoes != nullptr ? opcoes : "";
}

inline std::filesystem::path PastaDeControle() {
  const char *controle = std::getenv("SAT_E2E_CONTROLE");
  if (controle == nullptr) {
    ADD_FAILURE() << "SAT_E2E_CONTROLE is not set: run through tests/com_satemu.sh";
    return {};
  }
  return controle;
}

// Waits until tests/com_satemu.sh answers `resposta` ("feito", or "armado"); false after 30 s.
inline bool EsperaDoEmulador(const char *resposta) {
  const std::filesystem::path arquivo = PastaDeControle() / resposta;
  const auto prazo = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::error_code erro;
  while (std::chrono::steady_clock::now() < prazo) {
    if (std::filesystem::remove(arquivo, erro)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "com_satemu.sh did not answer " << resposta;
  return false;
}

// Asks tests/com_satemu.sh for "mata", "mata-no-quadro N" or "reinicia" and waits for its
// answer: "feito", or "armado" for mata-no-quadro (whose "feito" comes once satemu is dead).
inline bool PedeAoEmulador(const std::string &pedido, const char *resposta = "feito") {
  const std::filesystem::path pasta = PastaDeControle();
  { std::ofstream(pasta / "pedido.tmp", std::ios::binary) << pedido << "\n"; }
  std::filesystem::rename(pasta / "pedido.tmp", pasta / "pedido");
  return EsperaDoEmulador(resposta);
}

// The longest a command of `limiteMs` may take: its limit, in whole seconds as the engine counts
// them (one more for where within a second it began), and the engine's bounded extra (reading
// on after the limit, a frame's margin, the drain before the request), with ten seconds to
// spare for a loaded machine, wine and valgrind. An upper bound only.
inline std::chrono::seconds LimiteComExtra(int32_t limiteMs) {
  return std::chrono::seconds(limiteMs / 1000 + 1 + TOLERANCIA_APOS_LIMITE + MARGEM_QUADRO +
                              LIMITE_DESCARTE + 10);
}

// The descriptors the process holds; -1 on Windows, where wine counts no handles.
inline long RecursosAbertos() {
#if defined(_WIN32)
  return -1;
#else
  std::error_code erro;
  long quantos = 0;
  for (std::filesystem::directory_iterator i("/proc/self/fd", erro), fim; !erro && i != fim;
       i.increment(erro)) {
    quantos++;
  }
  return erro ? -1 : quantos;
#endif
}

inline std::string LeArquivo(const std::string &nome) {
  std::ifstream f(nome, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A log file of this test's own in the temporary folder (parallel runs share none).
inline std::string NomeDeLog(const std::string &base) {
  const auto agora = std::chrono::steady_clock::now().time_since_epoch().count();
  return (std::filesystem::temp_directory_path() /
          (base + "-" + std::to_string(static_cast<long long>(agora)) + ".log"))
      .string();
}
