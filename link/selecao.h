// The port selection exports GetPortaSAT, SetPortaSAT and GetMapaPortasSAT: they walk the SATs
// (EnumeraPortasSAT), make each candidate the current port (NomePorta), open it and send it
// ConsultarStatusOperacional (TestaPortaSAT), all under SecaoCritica.
#pragma once

#include <cstddef>

// The serial number taken from a status reply lives in a field of 20 bytes.
constexpr size_t TAMANHO_NUMERO_SERIE = 20;
// Each log line these exports format themselves lives in 128 bytes.
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
