// What satd shows a person and a monitor about its SAT: the status page (GET /) and the same as
// JSON ({base}/saude): the device's identity and state, the health checks, the queue and the
// last requests of the log.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "diario.h"
#include "fila.h"
#include "saude.h"

namespace satd {

struct Painel {
  saude::Avaliacao avaliacao;
  bool consultado = false;  // the device answered a status query once at least
  std::string consultadoEm; // satd's local time of that reply, AAAA-MM-DDTHH:MM:SS
  long long idade = 0;      // seconds since
  int32_t sessao = 0;       // of that query
  std::string nota;         // why no fresher status could be had (Windows-1252), or empty
  Fila::Estado fila;
  std::string porta;
  long long uptime = 0;              // seconds
  std::string versao;                // of the library, UTF-8
  std::vector<std::string> registro; // the last lines of the log
  int recarga = 30;                  // seconds between the page's reloads
  // For the metrics' timestamps and counts.
  std::time_t consultadoUnix = 0; // the instant of consultadoEm
  std::time_t inicioUnix = 0;     // when satd started
  int intervalo = 30;             // [saude] intervalo_s
  uint64_t consultas = 0;         // status queries satd has made
  // The journal's archive of signed CF-e.
  uint64_t cfeVendas = 0;
  uint64_t cfeCancelamentos = 0;
  uint64_t cfeBytes = 0;     // of XML
  std::string cfeMaisAntigo; // AAAA-MM-DD HH:MM:SS, local time, or "" when none
  // satd's own faults and bounds.
  uint64_t falhasRegistro = 0;    // log lines that could not be written
  uint64_t falhasDiario = 0;      // journal writes that failed
  uint64_t naoEntregues = 0;      // fiscal replies whose client did not take them
  uint64_t conexoesRecusadas = 0; // for want of room
  size_t conexoesAbertas = 0;
  bool semTls = false;  // plain HTTP beyond loopback (for http.clientes)
  bool tecnico = false; // the page is the technician's: it lists the technician's functions
  // The page's own: today's sales and the last documents, each linked to its XML under `base`.
  std::string hoje; // AAAA-MM-DD, satd's local date
  Diario::Dia dia;
  std::vector<Diario::Item> ultimos;
  std::string base;
};

// A whole page, UTF-8, with its style inline and nothing fetched from elsewhere; it reloads
// itself every `recarga` seconds.
std::string PaginaHtml(const Painel &painel);

nlohmann::ordered_json SaudeJson(const Painel &painel);

} // namespace satd
