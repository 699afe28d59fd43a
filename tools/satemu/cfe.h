// The fiscal documents the emulated device issues: the access key, the signed CF-e of a
// sale (and of an end-to-end test), and the CF-e of a cancellation.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace satemu {

bool SoDigitos(std::string_view texto, std::size_t quantos);

// 14 digits whose two check digits agree (modulus 11, weights 2..9 from the right).
bool CnpjValido(std::string_view cnpj);

// Check digit of the first 43 digits of an access key: weights 2..9 from the right,
// repeating; 11 minus the remainder by 11, with 10 and 11 giving 0.
int DigitoChave(std::string_view base43);

// cUF(2) AAMM(4) CNPJ(14) 59 serie(9) nCFe(6) cNF(6) check digit(1).
std::string MontaChave(int uf, const std::tm &quando, std::string_view cnpj, std::string_view serie,
                       int numero, int codigoNumerico);

// AAAAMMDDHHMMSS
std::string CarimboTempo(const std::tm &quando);

// Money and quantities: a plain decimal with at most `casas` decimals, scaled by 10^casas.
bool LeDecimal(std::string_view texto, int casas, long long &escalado);
std::string FormataCentavos(long long centavos);

// Where an element lies in a text: `<nome ...>conteudo</nome>` or `<nome .../>`.
struct Elemento {
  std::size_t inicio = 0;      // its '<'
  std::size_t conteudo = 0;    // first byte after the opening tag
  std::size_t fimConteudo = 0; // the '<' of the closing tag (conteudo for an empty tag)
  std::size_t fim = 0;         // first byte after the element
  std::string_view atributos;
};

// The first element of that name at or after `desde`; none when absent or never closed.
std::optional<Elemento> ProcuraElemento(std::string_view xml, std::string_view nome,
                                        std::size_t desde = 0);

// The content of a document's root element, which must be `raiz` and span the whole text (an
// XML declaration and blanks around it aside); none otherwise.
std::optional<std::string_view> ConteudoRaiz(std::string_view documento, std::string_view raiz);

// The text inside the first element of that name; none when absent.
std::optional<std::string_view> TextoElemento(std::string_view xml, std::string_view nome);

// Stand-in for the device's RSA signature over the QR-code data: 256 bytes that follow from
// the data, in base64. The host only passes it on.
std::string AssinaturaQrCode(std::string_view dados);

// What the device adds to a document it issues.
struct Emissao {
  int uf = 0;
  std::string cnpjEmitente; // the taxpayer's; a sale's own <emit><CNPJ> wins
  std::string serie;
  int numero = 0;         // nCFe
  int codigoNumerico = 0; // cNF
  std::tm quando{};
};

struct CFe {
  std::string xml;
  std::string chave; // 44 digits
  std::string total; // "12.34"
  std::string cpfCnpj;
  std::string assinaturaQr;
  std::string dataHora;          // AAAAMMDDHHMMSS
  std::string cnpjSoftwareHouse; // <ide><CNPJ> of the document received, if any
  std::string assinaturaAC;      // <ide><signAC> of the document received, if any
};

// Builds the signed CF-e of a sale document. False, with the reason, when the document is not
// one the device accepts.
bool MontaCFeVenda(std::string_view venda, const Emissao &emissao, CFe &cfe, std::string &motivo);

// The sale being cancelled, as the device kept it.
struct VendaEmitida {
  std::string chave; // 44 digits
  std::string total;
  std::string cpfCnpj;
  std::string dataHora;
};

bool MontaCFeCancelamento(std::string_view dados, const VendaEmitida &venda, const Emissao &emissao,
                          CFe &cfe, std::string &motivo);

} // namespace satemu
