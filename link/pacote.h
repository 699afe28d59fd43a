// The wire frame: MontaPacote wraps a request into a frame in BufferPacote, InterpretaPacote
// takes an incoming frame apart from BufferRecepcao. Numbers in frames are little-endian.
//
// Request: 01, Sequencia, Byte2Envio, Byte3Envio, n (4 bytes), n payload bytes, checksum.
// Data reply: 01, sequence, three header bytes, a 32-bit value, n (4 bytes at offset 9),
// n payload bytes, checksum. The checksum is the low byte of the sum of every byte after the
// control code, up to the last payload byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/armazenamento.h"

// One exchange: the send side, then the receive side.
struct Pacote {
  uint8_t CodigoControle; // control code of the received frame
  uint8_t Sequencia;      // sent in byte 1; receives byte 1 of a data frame or of a code 22 frame
  uint8_t Byte2Envio;
  uint8_t Byte3Envio;
  uint32_t TamanhoEnvio;
  const unsigned char *DadosEnvio; // not owned
  uint8_t Byte2Resposta;
  uint8_t Byte3Resposta;
  uint8_t Byte4Resposta; // byte 4 of a data frame; byte 1 of a code 17 or 21 frame
  uint32_t ValorResposta;
  uint32_t TamanhoResposta;
  unsigned char *DadosResposta; // at least TAMANHO_DADOS_RESPOSTA bytes, the caller's
  uint8_t SomaResposta;
};

constexpr size_t TAMANHO_CABECALHO_ENVIO = 8;
constexpr size_t TAMANHO_CABECALHO_RESPOSTA = 13;
constexpr size_t TAMANHO_DADOS_RESPOSTA = 2097152;
// The largest request payload whose frame (header, payload, checksum) fits BufferPacote.
constexpr size_t MAXIMO_DADOS_ENVIO = TAMANHO_BUFFER_PACOTE - TAMANHO_CABECALHO_ENVIO - 1;

// Control codes.
constexpr uint8_t CONTROLE_SOH = 1; // data frame
constexpr uint8_t CONTROLE_ACK = 6;
constexpr uint8_t CONTROLE_DC1 = 17;
constexpr uint8_t CONTROLE_NAK = 21;
constexpr uint8_t CONTROLE_SYN = 22;

// The bytes a control frame takes, by its code: 1 for ACK, 6 for DC1 and NAK, 2 for SYN; 0 for
// any other code.
size_t TamanhoControle(uint8_t codigo);

// Results of InterpretaPacote.
constexpr int32_t PACOTE_DADOS = 1;
constexpr int32_t PACOTE_SOMA_INVALIDA = -2;
constexpr int32_t PACOTE_DESCONHECIDO = -1;

// Writes the request frame at the start of BufferPacote and returns its length (payload + 9).
// A payload of more than MAXIMO_DADOS_ENVIO bytes is not written: the result is then -1.
int32_t MontaPacote(const Pacote *pacote);

// Takes apart the frame held by the first `recebidos` bytes of BufferRecepcao. The caller
// zeroes the record, points DadosResposta at a zero-filled area of TAMANHO_DADOS_RESPOSTA
// bytes and then calls. Returns PACOTE_DADOS (data frame, checksum matches),
// PACOTE_SOMA_INVALIDA (data frame, checksum differs; the payload is copied all the same), the
// control code for 6, 17, 21 and 22, or PACOTE_DESCONHECIDO.
//
// Nothing beyond `recebidos` is read: a byte that has not arrived counts as zero, is neither
// copied nor summed, and the payload area keeps its zero there.
int32_t InterpretaPacote(Pacote *pacote, size_t recebidos);

// The payload length that the data frame in the first `recebidos` bytes of BufferRecepcao
// announces (bytes 9 to 12); bytes that have not arrived count as zero.
uint32_t TamanhoAnunciado(size_t recebidos);

// The payload length that the data frame at `quadro`, its header in, announces (bytes 9 to 12).
uint32_t TamanhoAnunciadoEm(const unsigned char *quadro);

// The whole length of a data frame announcing `n` payload bytes: header, payload and sum byte.
constexpr uint64_t TamanhoDoQuadro(uint32_t n) {
  return static_cast<uint64_t>(n) + TAMANHO_CABECALHO_RESPOSTA + 1;
}

// True when the whole data frame at `quadro` (its 13 header bytes, `tamanho` payload bytes and
// its sum byte, all present) carries the sum of its bytes.
bool SomaConfere(const unsigned char *quadro, uint32_t tamanho);
