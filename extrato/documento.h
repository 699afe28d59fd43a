// A signed CF-e (a sale or a cancellation) as the extrato reads it: the texts of the groups it
// prints, taken from the XML as the SAT wrote them (values stay the SAT's decimal texts).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace extrato {

// The XML as a tree of elements: the one thing each platform's reader builds (libxml2, or
// XmlLite on Windows), so that what follows is the same code everywhere.
struct No {
  std::string nome;  // the local name, without a prefix
  std::string texto; // the element's own text, UTF-8, whitespace kept
  std::vector<std::pair<std::string, std::string>> atributos;
  std::vector<std::unique_ptr<No>> filhos;

  const No *Filho(std::string_view nome) const;      // the first child of that name
  std::string Texto(std::string_view caminho) const; // "a/b/c": the text there, or ""
  std::string Atributo(std::string_view nome) const; // or ""
};

// Parses `xml` (well-formed, no DTD, at most 64 levels deep) into `raiz`. False with `erro`.
// One reader per platform; the caller (LeDocumento) has refused a text longer than
// kMaiorDocumento, which the readers rely on.
constexpr size_t kMaiorDocumento = 4 << 20;
bool LeXml(std::string_view xml, No &raiz, std::string &erro);

struct Item {
  std::string nItem, cProd, cEAN, xProd, qCom, uCom, vUnCom, vProd, vDesc, vOutro, vItem, vRatDesc,
      vRatAcr, vItem12741, infAdProd;
};

struct Pagamento {
  std::string cMP, vMP;
};

struct Observacao {
  std::string xCampo, xTexto;
};

struct Documento {
  bool cancelamento = false;
  std::string chave;      // the 44 digits of infCFe's Id
  std::string chaveVenda; // a cancellation: the 44 digits of chCanc
  std::string nCFe, nserieSAT, dEmi, hEmi, assinaturaQRCODE, numeroCaixa;
  std::string dEmiVenda, hEmiVenda; // a cancellation: the cancelled sale's date and time
  // The taxpayer.
  std::string cnpj, xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, cep, ie, im;
  // The buyer: CPF or CNPJ (at most one) and name, when the sale has them.
  std::string cpfDestinatario, cnpjDestinatario, nomeDestinatario;
  std::vector<Item> itens;
  // ICMSTot's vProd, vDesc and vOutro; the total; the subtotal's discount or increase.
  std::string vProd, vDesc, vOutro, vCFe, vDescSubtot, vAcresSubtot, vCFeLei12741;
  std::vector<Pagamento> pagamentos;
  std::string vTroco;
  std::string infCpl;
  std::vector<Observacao> obsFisco;

  // The QR code's content: key|dEmi hEmi|vCFe|buyer's CPF or CNPJ|assinaturaQRCODE.
  std::string ConteudoQRCode() const;
};

// A signed sale (CFe) or cancellation (CFeCanc). False with `erro` when `xml` is not one, or
// lacks what the extrato must print (the key, the number, the date and time, the total, ...).
bool LeDocumento(std::string_view xml, Documento &documento, std::string &erro);

} // namespace extrato
