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

// The software house's signature satemu --pronto is associated with.
constexpr char kAssinaturaPronto[] = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD";

// A sale of one item, "Pão" (UTF-8, no XML declaration), 3 x 10.005: 30.015, which the device
// rounds half up to a total of 30.02, paid with 50.00. Software house 22233344000183 with
// `assinatura`, taxpayer 11222333000181.
std::string XmlVenda(std::string_view assinatura = kAssinaturaPronto, std::string_view dest = "");

// Its cancellation, for the sale of key `chave` (44 digits).
std::string XmlCancelamento(std::string_view chave,
                            std::string_view assinatura = kAssinaturaPronto);

// The text of a file, which must exist.
std::string LeArquivo(const std::string &caminho);

// Check digit of an access key, worked out here apart from the emulator's own.
int DigitoModulo11(std::string_view base43);

// A document read by libxml2 as XML says (UTF-8 unless it declares otherwise), queried by XPath.
class XmlLido {
public:
  explicit XmlLido(std::string_view documento);
  ~XmlLido();
  XmlLido(const XmlLido &) = delete;
  XmlLido &operator=(const XmlLido &) = delete;

  bool Valido() const { return doc_ != nullptr; }
  const std::string &Erro() const { return erro_; }
  // The text of the first node the expression finds; "<none>" when it finds none.
  std::string Valor(const std::string &xpath) const;
  int Conta(const std::string &xpath) const;

private:
  void *doc_ = nullptr;
  std::string erro_;
};

// The text the sale reply's binary tail expands to, after the six text fields.
struct RespostaVenda {
  std::vector<std::string> campos; // the six text fields
  std::vector<std::string> cauda;  // the expanded fields
  bool valida = false;
};
RespostaVenda LeRespostaVenda(std::string_view carga);

// What is wrong with the CF-e a reply carries (a sale's 06000, a cancellation's 07000, a
// test's 09000), read as XML; empty when nothing is or when the reply carries none.
std::string ProblemaCFe(std::string_view resposta);
// What a signed sale or cancellation lacks of the groups a SAT writes; empty when nothing.
std::string ProblemaGrupos(const XmlLido &xml);

} // namespace teste
