// The fiscal documents the emulated device issues: the access key, the signed CF-e of a sale
// (and of an end-to-end test) and the CF-e of a cancellation, each made only of a document that
// passes the device's checks.
#pragma once

#include "xml.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace satemu {

bool SoDigitos(std::string_view texto, std::size_t quantos);

// 14 digits whose two check digits agree (modulus 11, weights 2..9 from the right).
bool CnpjValido(std::string_view cnpj);
// 11 digits whose two check digits agree (modulus 11, weights 2..10 and 2..11), not all equal.
bool CpfValido(std::string_view cpf);
bool UfValida(int uf);

// Check digit of the first 43 digits of an access key: weights 2..9 from the right,
// repeating; 11 minus the remainder by 11, with 10 and 11 giving 0.
int DigitoChave(std::string_view base43);

// cUF(2) AAMM(4) CNPJ(14) 59 serie(9) nCFe(6) cNF(6) check digit(1).
std::string MontaChave(int uf, const std::tm &quando, std::string_view cnpj, std::string_view serie,
                       int numero, int codigoNumerico);

// A key laid out as MontaChave lays it: a known cUF, a month 01-12, a valid CNPJ, model 59 and
// its check digit.
bool ChaveValida(std::string_view chave);

// AAAAMMDDHHMMSS
std::string CarimboTempo(const std::tm &quando);
bool DataValida(std::string_view aaaammdd);
bool CarimboValido(std::string_view aaaammddhhmmss);

// Money and quantities: a plain decimal with at most `casas` decimals, scaled by 10^casas.
bool LeDecimal(std::string_view texto, int casas, long long &escalado);
std::string FormataCentavos(long long centavos);

// Stand-in for the device's RSA signature over the QR-code data: 256 bytes that follow from
// the data, in base64. The host only passes it on.
std::string AssinaturaQrCode(std::string_view dados);

// A check the device makes on the documents it receives, named in the reason of a refusal.
struct Regra {
  const char *nome;
  const char *descricao;
};
extern const Regra kRegrasVenda[];
extern const std::size_t kQuantasRegrasVenda;
extern const Regra kRegrasCancelamento[];
extern const std::size_t kQuantasRegrasCancelamento;

// The layout the device speaks and its software's version: the documents carry them as versao
// and versaoSB, the status reply as VER_LAYOUT ("00.08") and VER_SB ("01.00.00").
constexpr char kVersaoLayout[] = "0.08";
constexpr char kVersaoSoftware[] = "010000";

// The taxpayer as the device was parametrized for it (by SEFAZ, at activation): the name and
// address it writes in <emit> of every document it signs. UTF-8; xCpl may be empty.
struct Emitente {
  std::string xNome = "Padaria P\xC3\xA3o Dourado Ltda";
  std::string xFant = "Padaria P\xC3\xA3o Dourado";
  std::string xLgr = "Rua das Laranjeiras";
  std::string nro = "125";
  std::string xCpl = "Loja 2";
  std::string xBairro = "Centro";
  std::string xMun = "S\xC3\xA3o Paulo";
  std::string CEP = "01010010";
  std::string cRegTrib = "3"; // 1 Simples Nacional, 3 regime normal
};

// Its fields by their names in the document, with their bounds.
struct CampoEmitente {
  const char *nome;
  std::string Emitente::*valor;
  bool opcional; // may be empty
};
extern const CampoEmitente kCamposEmitente[];
extern const std::size_t kQuantosCamposEmitente;
// What is wrong with a value of one of those fields; empty when nothing is.
std::string ProblemaEmitente(const CampoEmitente &campo, std::string_view valor);

// What the device adds to a document it issues.
struct Emissao {
  int uf = 0;
  std::string cnpjEmitente; // the taxpayer the SAT was activated for
  std::string serie;
  int numero = 0;         // nCFe
  int codigoNumerico = 0; // cNF
  std::tm quando{};
  SemDeclaracao semDeclaracao = SemDeclaracao::Utf8;
  Emitente emitente;
};

struct CFe {
  std::string xml;   // UTF-8, with its XML declaration
  std::string chave; // 44 digits
  std::string total; // "12.34"
  std::string cpfCnpj;
  std::string assinaturaQr;
  std::string dataHora;          // AAAAMMDDHHMMSS
  std::string cnpjSoftwareHouse; // <ide><CNPJ> of the document received
  std::string assinaturaAC;      // <ide><signAC> of the document received
};

// Builds the signed CF-e of a sale document. False, with "rule: reason", when the document
// breaks one of kRegrasVenda.
bool MontaCFeVenda(std::string_view venda, const Emissao &emissao, CFe &cfe, std::string &motivo);

// The sale being cancelled, as the device kept it.
struct VendaEmitida {
  std::string chave; // 44 digits
  std::string total;
  std::string cpfCnpj;
  std::string dataHora;
  std::string xml; // its signed CF-e, for what the cancellation repeats of it (IE, IM, dest)
};

// Builds the CF-e of the cancellation of `venda`. False, with "rule: reason", when the document
// breaks one of kRegrasCancelamento.
bool MontaCFeCancelamento(std::string_view dados, const VendaEmitida &venda, const Emissao &emissao,
                          CFe &cfe, std::string &motivo);

} // namespace satemu
