// The walk behind the port selection exports: it goes over the SATs (EnumeraPortasSAT), makes
// each candidate the current port (NomePorta), opens it and sends it the status query
// (TestaPortaSAT). The exports in api/portas.cpp hold SecaoCritica around it and hand it the
// status query and the session-number draw, which live above this layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sat.h"

// The serial number taken from a status reply lives in a field of 20 bytes.
constexpr size_t TAMANHO_NUMERO_SERIE = 20;
// Each log line the walk formats itself lives in 128 bytes.
constexpr size_t TAMANHO_LINHA_SELECAO = 128;
// GetMapaPortasSAT clears this much of MapaPortas before each walk.
constexpr size_t TAMANHO_LIMPO_MAPA = 1024;

enum ResultadoNumeroSerie {
  NUMERO_SERIE_AUSENTE, // a code that is no multiple of 1000, or fewer than six fields
  NUMERO_SERIE_LIDO,    // `destino` holds it (possibly empty)
  NUMERO_SERIE_LONGO,   // the sixth field does not fit 19 characters; `destino` is empty
};

// The serial number of a status reply (the first `tamanho` bytes of `resposta`, or fewer up to
// a zero byte): its sixth field, when the second reads as a multiple of 1000 (as atoi reads
// it: text without digits reads 0). A field counts only when a '|' follows it. `destino` has
// TAMANHO_NUMERO_SERIE bytes and is always left zero-terminated.
ResultadoNumeroSerie ExtraiNumeroSerie(const char *resposta, size_t tamanho, char *destino);

// What the walk needs from the layer above. `consultaStatus` sends the status query and leaves
// its reply in BufferResposta; `sorteiaSessao` draws a fresh session number.
struct FuncoesSelecao {
  char *(SAT_CALL *consultaStatus)(int32_t numeroSessao, const char *codigoDeAtivacao);
  int32_t (*sorteiaSessao)();
};

// GetPortaSAT's and SetPortaSAT's walk, `funcao` naming which, between its Entered and Exiting
// lines: the first SAT found is probed under `numeroSessao` and its reply logged. Returns
// BufferResposta holding that SAT's port name; null when there was none, or when the walk was
// unavailable (then without the Exiting line). The caller holds SecaoCritica and has refused
// null arguments.
char *SelecionaPortaSAT(const char *funcao, const char *numeroSerie, int32_t numeroSessao,
                        const char *codigoDeAtivacao, const FuncoesSelecao &funcoes);

// GetMapaPortasSAT's walk, between its Entered and Exiting lines: clears TAMANHO_LIMPO_MAPA
// bytes of MapaPortas and probes every SAT under a fresh session number; MapaPortas keeps the
// entry of the last reply that names a serial number. Returns MapaPortas; null when the walk
// was unavailable (then without the Exiting line). The caller holds SecaoCritica and has
// refused a null argument.
char *MapeiaPortasSAT(const char *codigoDeAtivacao, const FuncoesSelecao &funcoes);
