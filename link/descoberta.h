// USB discovery: finds the serial port of a SAT among the present serial-port devices by its
// USB identity (vendor 0525, product A4A7). The logic is written once, over the platform's
// device list (Plataforma->ListaPortas), and runs alike on Windows, Linux and substitutes.
#pragma once

#include <cstddef>

// Instance identifiers of a SAT begin with these 22 characters (case-sensitive).
constexpr char PREFIXO_SAT[] = "USB\\VID_0525&PID_A4A7\\";
constexpr size_t TAMANHO_PREFIXO_SAT = sizeof PREFIXO_SAT - 1;

// One SAT found by the walk. The texts are valid only during the step that receives them.
struct PortaCandidata {
  const char *nomePorta;   // e.g. COM3; never empty
  const char *numeroSerie; // the instance identifier after the prefix; may be empty
  const char *idInstancia; // the whole instance identifier, for the log
  bool nomeCabe;           // the port name fits NomePorta (at most 9 characters)
};

// Answers true to go on with the walk, false to stop it.
typedef bool (*PassoCandidata)(const PortaCandidata *candidata, void *contexto);

enum ResultadoEnumeracao {
  ENUMERACAO_CONCLUIDA,    // the list was walked to its end or to a stop
  ENUMERACAO_INDISPONIVEL, // the class or its device list cannot be had
  ENUMERACAO_REJEITADA,    // the revision test refused a device (only with testaRevisao)
};

// Logs a line when the platform cannot list the USB devices; nothing else depends on it.
void VerificaBarramentoUSB();

// Walks the present serial-port devices and hands every SAT to `passo`, in the platform's
// order, until it answers false. A SAT whose hardware key cannot be opened is passed over,
// and so is one without a port name (logged with its instance identifier). A port name that
// does not fit NomePorta reaches the step with `nomeCabe` false: each step refuses it its own
// way. With `testaRevisao`, a device that fails the revision test ends the walk
// (ENUMERACAO_REJEITADA).
ResultadoEnumeracao EnumeraPortasSAT(PassoCandidata passo, void *contexto,
                                     bool testaRevisao = false);

// The search that serves AbrePorta: writes the port name of the first SAT whose name fits
// NomePorta into `destino` (`tamanho` bytes, zero-filled first) and returns true; false, with
// `destino` empty, when there is none. Prints "Port: ...   Serial number: ..." for the port it
// takes; a SAT whose name does not fit is logged with its instance identifier and passed over.
bool ProcuraPortaSAT(char *destino, size_t tamanho);

// Writes "Port: <name>   Serial number: <serial>\n" to the standard output.
void MostraCandidata(const PortaCandidata *candidata);
