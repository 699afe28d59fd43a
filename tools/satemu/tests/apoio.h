// Test-side readings of what the emulator sends, written apart from the emulator's own code so
// that each checks the other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace teste {

std::string DeHex(std::string_view hex);
std::string ParaHex(std::string_view bytes);
std::string DecodificaBase64(std::string_view texto);
std::string Inflate(std::string_view fluxo);
std::string Deflate(std::string_view texto);
std::uint32_t Le32(std::string_view bytes, std::size_t onde);
std::string Le32Bytes(std::uint32_t valor);
// A data frame as the device sends it: 01, sequence, seven zero bytes, length, payload, sum.
std::string QuadroResposta(std::uint8_t sequencia, std::string_view carga);
std::vector<std::string> Divide(std::string_view texto, char separador = '|');

// The sale request payload: "%06d|EnviarDadosVenda|" code "|" N (LE32) zlib(xml).
std::string PedidoVenda(std::string_view sessao, std::string_view codigo, std::string_view xml);

// A sale of one item, 3 x 10.005: 30.015, which the device rounds half up to a total of 30.02.
std::string XmlVenda(std::string_view extraIde = "", std::string_view dest = "");

// The text the sale reply's binary tail expands to, after the six text fields.
struct RespostaVenda {
  std::vector<std::string> campos; // the six text fields
  std::vector<std::string> cauda;  // the expanded fields
  bool valida = false;
};
RespostaVenda LeRespostaVenda(std::string_view carga);

} // namespace teste
