// The device's side of the line: a pseudo-terminal whose slave end stands for the SAT's serial
// port, the loop that answers each request frame, and the faults a bad device or cable adds.
#pragma once

#include "dispositivo.h"
#include "quadro.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace satemu {

// A request whose frame stops arriving for this long is given up (see LeitorQuadros).
constexpr int kEsperaQuadroMs = 1000;

struct Falhas {
  int atrasoMs = 0;                 // wait before answering
  bool mudo = false;                // never answer
  bool somaErrada = false;          // the reply's sum byte is wrong (inverted)
  int partes = 1;                   // the reply goes out in this many pieces...
  int pausaMs = 50;                 // ...with this pause between them
  std::optional<Controle> controle; // this control frame instead of the data frame
  std::string lixoAntes;            // bytes written before the reply
  std::uint32_t anunciaMais = 0;    // the header announces this many payload bytes more than follow
  int rajadaMs = 0;                 // after the reply, stray bytes keep coming for this long
  std::string soPara; // only replies to this command word are spoiled; empty: all of them
  bool surdoAoFechamento =
      false; // a client's close goes unnoticed: its late reply reaches the next
};

struct Envio {
  int pausaAntesMs = 0;
  std::string bytes;
};

// The writes that carry a reply frame, in order, as the faults shape them. No write for a
// silent device.
std::vector<Envio> PlanejaEnvio(const std::string &quadro, std::uint8_t sequencia,
                                const Falhas &falhas);

// Byte that fills the stray stream after a reply.
constexpr char kByteRajada = static_cast<char>(0xAA);

struct Configuracao {
  std::string link;     // symbolic link made to the slave side, removed at the end
  std::string registro; // every request frame received is appended here, in hex, one a line
  std::string tempos;   // the device's own time for each request, one line each
  std::string estado;   // state file (estado.h)
  bool verboso = false;
  Falhas falhas;
};

// Serves until SIGINT, SIGTERM or SIGHUP. The slave's path is the first line of standard
// output. Returns the process's exit status.
int Serve(Sat &sat, const Configuracao &configuracao);

} // namespace satemu
