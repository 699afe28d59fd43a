// The frames on the serial line, from the device's side: requests come in with an 8-byte
// header, replies go out with a 13-byte header, both closed by a one-byte sum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace satemu {

// A request announcing more payload than this is taken for noise, not for a frame.
constexpr std::size_t kCargaMaxima = 2u * 1024 * 1024;

// Low 8 bits of the sum of the bytes.
std::uint8_t SomaBytes(std::string_view bytes);

// 01, sequence, 00, 00, payload length (LE32), payload, sum of every byte but the first.
std::string MontaRequisicao(std::uint8_t sequencia, std::string_view carga);

// 01, sequence, three zero bytes, a zero LE32 value, payload length (LE32) at offset 9,
// payload, sum of every byte but the first.
std::string MontaResposta(std::uint8_t sequencia, std::string_view carga);

enum class Controle { Ack, Dc1, Nak, Syn };

// ACK is the single byte 06; DC1 (11) and NAK (15) carry the sequence and a zero LE32 value
// (6 bytes); SYN (16) carries the sequence (2 bytes).
std::string MontaControle(Controle tipo, std::uint8_t sequencia);

struct Quadro {
  std::uint8_t sequencia = 0;
  bool somaConfere = false;
  std::string carga;
  std::string bruto; // the whole frame as received
};

// Cuts requests out of the byte stream. Bytes that cannot start a frame are dropped: a frame
// starts with 01 followed by the sequence, two zero bytes and a length no greater than
// kCargaMaxima, so the reader never holds more than one frame and one read.
class LeitorQuadros {
public:
  void Acrescenta(const char *dados, std::size_t tamanho);

  // Takes the next whole frame off the stream; false when none is complete yet.
  bool Proximo(Quadro &quadro);

  // A frame has begun and is not complete.
  bool TemParcial() const { return inicio_ < pendente_.size(); }

  // The unfinished frame stopped arriving: its first byte is dropped, so that a frame that
  // starts inside it can still be found.
  void AbandonaParcial();

  // Drops every byte held; returns how many.
  std::size_t DescartaTudo();

  std::size_t Descartados() const { return descartados_; }

private:
  void Descarta(std::size_t quantos);

  std::string pendente_;
  std::size_t inicio_ = 0;
  std::size_t descartados_ = 0;
};

} // namespace satemu
