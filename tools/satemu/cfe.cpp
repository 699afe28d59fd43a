#include "cfe.h"

#include "codifica.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace satemu {

const Regra kRegrasVenda[] = {
    {"xml", "well-formed XML, read by its declared encoding (UTF-8 when it declares none; "
            "Windows-1252 with --windows-1252), with no DOCTYPE and no text beside child elements"},
    {"raiz", "the root is <CFe>, holding one <infCFe> and nothing else"},
    {"versao", "infCFe's versaoDadosEnt is 0.07 or 0.08"},
    {"grupos", "infCFe holds ide, emit, dest, det (1 to 500), total and pgto, and may hold "
               "entrega and infAdic; nothing else; each det holds one prod and one imposto"},
    {"ide", "CNPJ of the software house (valid check digits), signAC (base64) and numeroCaixa "
            "(3 digits), and none of the fields the SAT fills itself"},
    {"emit", "CNPJ is the taxpayer this SAT was activated for; IE of 2 to 14 digits; indRatISSQN "
             "S or N; IM and cRegTribISSQN may come; nothing the SAT fills itself"},
    {"dest", "empty, or a CPF (11 digits) or a CNPJ (14 digits) with valid check digits, not "
             "both, and optionally xNome"},
    {"nItem", "the items' nItem count 1, 2, 3... in document order"},
    {"prod", "cProd, xProd, CFOP (4 digits) and uCom present; qCom above zero with up to 4 "
             "decimals; vUnCom with up to 3 decimals; indRegra A or T; vDesc and vOutro with up "
             "to 2 decimals"},
    {"vItem", "qCom x vUnCom, rounded (indRegra A) or truncated (T) to cents, is the item's "
              "vProd, and vProd - vDesc + vOutro its vItem, not below zero; a vProd or vItem "
              "the document gives must agree"},
    {"total", "the sum of the items' vItem, less DescAcrEntr's vDescSubtot or plus its "
              "vAcresSubtot (not both), is not below zero; a vCFe the document gives must agree"},
    {"pgto", "one or more MP, each with cMP (2 digits) and vMP above zero; together they cover "
             "the total"},
};
const std::size_t kQuantasRegrasVenda = std::size(kRegrasVenda);

const Regra kRegrasCancelamento[] = {
    {"xml", "as for a sale"},
    {"raiz", "the root is <CFeCanc>, holding one <infCFe> and nothing else"},
    {"chCanc", "infCFe's chCanc is CFe followed by the key of the sale being cancelled"},
    {"grupos", "infCFe holds ide, emit, dest and total, nothing else"},
    {"ide", "CNPJ and signAC of the software house this SAT is associated with, numeroCaixa "
            "(3 digits)"},
    {"emit", "empty, or the CNPJ of the taxpayer"},
    {"dest", "empty, or the CPF or CNPJ of the sale's buyer"},
    {"total", "empty, or the sale's vCFe"},
};
const std::size_t kQuantasRegrasCancelamento = std::size(kRegrasCancelamento);

namespace {

// Amounts above this (in cents, or in scaled units) are refused rather than risk overflow.
constexpr long long kValorMaximo = 1'000'000'000'000'000LL;
constexpr std::size_t kItensMaximos = 500;

std::string Digitos(long long valor, int largura) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%0*lld", largura, valor);
  return texto;
}

bool Recusa(std::string &motivo, std::string texto) {
  motivo = std::move(texto);
  return false;
}

// Bytes that follow from the data (CRC-32 of a block counter and the data, block by block):
// stands in for digests and signatures that a real device makes with its keys.
std::string Resumo(std::string_view dados, std::size_t tamanho) {
  std::string saida;
  for (std::uint32_t bloco = 0; saida.size() < tamanho; ++bloco) {
    unsigned char contador[4] = {
        static_cast<unsigned char>(bloco), static_cast<unsigned char>(bloco >> 8),
        static_cast<unsigned char>(bloco >> 16), static_cast<unsigned char>(bloco >> 24)};
    uLong crc = crc32(0L, contador, 4);
    crc = crc32_z(crc, reinterpret_cast<const Bytef *>(dados.data()), dados.size());
    for (int i = 0; i < 4 && saida.size() < tamanho; ++i)
      saida += static_cast<char>(crc >> (8 * i) & 0xFF);
  }
  return saida;
}

bool DigitosVerificadores(std::string_view numero, int pesoMaximo) {
  if (std::all_of(numero.begin(), numero.end(), [&](char c) { return c == numero[0]; }))
    return false;
  for (std::size_t posicao : {numero.size() - 2, numero.size() - 1}) {
    int soma = 0;
    int peso = 2;
    for (std::size_t i = posicao; i-- > 0;) {
      soma += (numero[i] - '0') * peso;
      peso = peso == pesoMaximo ? 2 : peso + 1;
    }
    const int resto = soma % 11;
    const int digito = resto < 2 ? 0 : 11 - resto;
    if (numero[posicao] - '0' != digito)
      return false;
  }
  return true;
}

// The signature block of a document whose signed part serialises to `assinado`.
void AcrescentaAssinatura(xmlNode *raiz, std::string_view chave, std::string_view assinado,
                          std::string_view serie) {
  const std::string resumo = CodificaBase64(Resumo(assinado, 32));
  std::string certificado = "satemu: certificado de teste do SAT ";
  certificado.append(serie);
  xmlNode *assinatura = Acrescenta(raiz, "Signature");
  xmlSetNs(assinatura,
           xmlNewNs(assinatura,
                    reinterpret_cast<const xmlChar *>("http://www.w3.org/2000/09/xmldsig#"),
                    nullptr));
  auto algoritmo = [](xmlNode *pai, const char *nome, const char *uri) {
    DefineAtributo(Acrescenta(pai, nome), "Algorithm", uri);
  };
  xmlNode *info = Acrescenta(assinatura, "SignedInfo");
  algoritmo(info, "CanonicalizationMethod", "http://www.w3.org/TR/2001/REC-xml-c14n-20010315");
  algoritmo(info, "SignatureMethod", "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256");
  xmlNode *referencia = Acrescenta(info, "Reference");
  DefineAtributo(referencia, "URI", "#CFe" + std::string(chave));
  xmlNode *transformacoes = Acrescenta(referencia, "Transforms");
  algoritmo(transformacoes, "Transform", "http://www.w3.org/2000/09/xmldsig#enveloped-signature");
  algoritmo(transformacoes, "Transform", "http://www.w3.org/TR/2001/REC-xml-c14n-20010315");
  algoritmo(referencia, "DigestMethod", "http://www.w3.org/2001/04/xmlenc#sha256");
  Acrescenta(referencia, "DigestValue", resumo);
  Acrescenta(assinatura, "SignatureValue",
             CodificaBase64(Resumo(resumo + std::string(serie), 256)));
  xmlNode *dadosChave = Acrescenta(Acrescenta(assinatura, "KeyInfo"), "X509Data");
  Acrescenta(dadosChave, "X509Certificate", CodificaBase64(certificado));
}

std::string Data(const std::tm &quando) { return CarimboTempo(quando).substr(0, 8); }
std::string Hora(const std::tm &quando) { return CarimboTempo(quando).substr(8); }

// The device's part of <ide>, before the fields the host sent.
xmlNode *InicioIde(xmlNode *pai, const Emissao &emissao, std::string_view chave) {
  xmlNode *ide = Acrescenta(pai, "ide");
  Acrescenta(ide, "cUF", Digitos(emissao.uf, 2));
  Acrescenta(ide, "cNF", Digitos(emissao.codigoNumerico, 6));
  Acrescenta(ide, "mod", "59");
  Acrescenta(ide, "nserieSAT", emissao.serie);
  Acrescenta(ide, "nCFe", Digitos(emissao.numero, 6));
  Acrescenta(ide, "dEmi", Data(emissao.quando));
  Acrescenta(ide, "hEmi", Hora(emissao.quando));
  Acrescenta(ide, "cDV", chave.substr(43));
  Acrescenta(ide, "tpAmb", "2");
  return ide;
}

std::string DadosQrCode(const CFe &cfe) {
  std::string dados = cfe.chave;
  dados.append("|").append(cfe.dataHora).append("|").append(cfe.total).append("|");
  dados.append(cfe.cpfCnpj).append("|").append(cfe.assinaturaAC);
  return dados;
}

std::string ComDeclaracao(const xmlNode *raiz) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + Serializa(raiz);
}

// ---- reading a received document ------------------------------------------------------

bool Unico(const xmlNode *pai, const char *nome, const char *regra, xmlNode *&no,
           std::string &motivo) {
  const auto achados = Filhos(pai, nome);
  if (achados.size() != 1)
    return Recusa(motivo, std::string(regra) + ": " +
                              (achados.empty() ? "no <" : "more than one <") + nome + "> in <" +
                              Nome(pai) + ">");
  no = achados.front();
  return true;
}

// Only these children, each at most once unless repeatable.
bool SoFilhos(const xmlNode *pai, std::initializer_list<const char *> permitidos,
              const char *repetivel, const char *regra, std::string &motivo) {
  const std::string texto = Texto(pai);
  if (Filhos(pai).empty() && texto.find_first_not_of(" \t\r\n") != std::string::npos)
    return Recusa(motivo, std::string(regra) + ": <" + Nome(pai) + "> holds the text '" +
                              Mostra(texto) + "' where its fields belong");
  std::vector<std::string> vistos;
  for (const xmlNode *f : Filhos(pai)) {
    const std::string nome = Nome(f);
    const bool permitido =
        std::any_of(permitidos.begin(), permitidos.end(), [&](const char *p) { return nome == p; });
    if (!permitido)
      return Recusa(motivo, std::string(regra) + ": <" + Mostra(nome) + "> has no place in <" +
                                Nome(pai) + ">");
    if ((repetivel == nullptr || nome != repetivel) &&
        std::find(vistos.begin(), vistos.end(), nome) != vistos.end())
      return Recusa(motivo,
                    std::string(regra) + ": more than one <" + nome + "> in <" + Nome(pai) + ">");
    vistos.push_back(nome);
  }
  return true;
}

bool Exige(const xmlNode *pai, const char *nome, const char *regra, std::string &valor,
           std::string &motivo) {
  const auto texto = TextoFilho(pai, nome);
  if (!texto || texto->empty())
    return Recusa(motivo,
                  std::string(regra) + ": <" + nome + "> missing or empty in <" + Nome(pai) + ">");
  valor = *texto;
  return true;
}

// A decimal child with at most `casas` decimals; `valor` is left at 0 when it is absent and
// not required.
bool Decimal(const xmlNode *pai, const char *nome, int casas, bool obrigatorio, const char *regra,
             long long &valor, std::string &motivo) {
  valor = 0;
  const auto texto = TextoFilho(pai, nome);
  if (!texto && !obrigatorio)
    return true;
  if (!texto)
    return Recusa(motivo, std::string(regra) + ": <" + nome + "> missing in <" + Nome(pai) + ">");
  if (!LeDecimal(*texto, casas, valor))
    return Recusa(motivo, std::string(regra) + ": <" + nome + "> '" + Mostra(*texto) +
                              "' is not a decimal with up to " + std::to_string(casas) +
                              " decimals");
  return true;
}

bool Igual(const xmlNode *pai, const char *nome, long long esperado, const char *regra,
           std::string &motivo) {
  const auto texto = TextoFilho(pai, nome);
  long long valor = 0;
  if (!texto)
    return true;
  if (!LeDecimal(*texto, 2, valor) || valor != esperado)
    return Recusa(motivo, std::string(regra) + ": <" + nome + "> '" + Mostra(*texto) +
                              "' should be " + FormataCentavos(esperado));
  return true;
}

// CPF or CNPJ of the buyer, or nothing.
bool LeDestinatario(const xmlNode *dest, std::string &documento, std::string &motivo) {
  if (!SoFilhos(dest, {"CPF", "CNPJ", "xNome"}, nullptr, "dest", motivo))
    return false;
  const auto cpf = TextoFilho(dest, "CPF");
  const auto cnpj = TextoFilho(dest, "CNPJ");
  if (cpf && cnpj)
    return Recusa(motivo, "dest: a CPF and a CNPJ");
  if (cpf && !CpfValido(*cpf))
    return Recusa(motivo, "dest: CPF '" + Mostra(*cpf) +
                              "' is not 11 digits with valid check "
                              "digits");
  if (cnpj && !CnpjValido(*cnpj))
    return Recusa(motivo,
                  "dest: CNPJ '" + Mostra(*cnpj) + "' is not 14 digits with valid check digits");
  documento = cpf ? *cpf : cnpj.value_or("");
  return true;
}

bool LeIde(const xmlNode *ide, CFe &cfe, std::string &motivo) {
  if (!SoFilhos(ide, {"CNPJ", "signAC", "numeroCaixa"}, nullptr, "ide", motivo))
    return false;
  std::string numeroCaixa;
  if (!Exige(ide, "CNPJ", "ide", cfe.cnpjSoftwareHouse, motivo) ||
      !Exige(ide, "signAC", "ide", cfe.assinaturaAC, motivo) ||
      !Exige(ide, "numeroCaixa", "ide", numeroCaixa, motivo))
    return false;
  if (!CnpjValido(cfe.cnpjSoftwareHouse))
    return Recusa(motivo, "ide: CNPJ '" + Mostra(cfe.cnpjSoftwareHouse) +
                              "' is not 14 digits with valid check digits");
  if (!PareceBase64(cfe.assinaturaAC))
    return Recusa(motivo, "ide: signAC is not base64");
  if (!SoDigitos(numeroCaixa, 3))
    return Recusa(motivo, "ide: numeroCaixa '" + Mostra(numeroCaixa) + "' is not 3 digits");
  return true;
}

bool LeEmitente(const xmlNode *emit, const Emissao &emissao, std::string &motivo) {
  if (!SoFilhos(emit, {"CNPJ", "IE", "IM", "cRegTribISSQN", "indRatISSQN"}, nullptr, "emit",
                motivo))
    return false;
  std::string cnpj, ie, rateio;
  if (!Exige(emit, "CNPJ", "emit", cnpj, motivo) || !Exige(emit, "IE", "emit", ie, motivo) ||
      !Exige(emit, "indRatISSQN", "emit", rateio, motivo))
    return false;
  if (!CnpjValido(cnpj))
    return Recusa(motivo,
                  "emit: CNPJ '" + Mostra(cnpj) + "' is not 14 digits with valid check digits");
  if (cnpj != emissao.cnpjEmitente)
    return Recusa(motivo, "emit: CNPJ " + cnpj +
                              " is not the taxpayer this SAT was activated for (" +
                              emissao.cnpjEmitente + ")");
  if (ie.size() < 2 || ie.size() > 14 || !SoDigitos(ie, ie.size()))
    return Recusa(motivo, "emit: IE '" + Mostra(ie) + "' is not 2 to 14 digits");
  if (rateio != "S" && rateio != "N")
    return Recusa(motivo, "emit: indRatISSQN '" + Mostra(rateio) + "' is not S or N");
  return true;
}

struct ValoresItem {
  long long vProd = 0;
  long long vDesc = 0;
  long long vOutro = 0;
  long long vItem = 0;
};

bool LeItem(const xmlNode *det, std::size_t ordem, ValoresItem &valores, std::string &motivo) {
  const std::string esperado = std::to_string(ordem);
  const auto nItem = Atributo(det, "nItem");
  if (!nItem || *nItem != esperado)
    return Recusa(motivo,
                  "nItem: item " + esperado + " has nItem '" + Mostra(nItem.value_or("")) + "'");
  xmlNode *prod = nullptr;
  xmlNode *imposto = nullptr;
  if (!SoFilhos(det, {"prod", "imposto", "infAdProd"}, nullptr, "grupos", motivo) ||
      !Unico(det, "prod", "grupos", prod, motivo) ||
      !Unico(det, "imposto", "grupos", imposto, motivo))
    return false;
  const std::string textoProd = "prod: item " + esperado;
  const char *regraProd = textoProd.c_str();
  std::string texto;
  for (const char *nome : {"cProd", "xProd", "CFOP", "uCom", "indRegra"})
    if (!Exige(prod, nome, regraProd, texto, motivo))
      return false;
  const std::string cfop = *TextoFilho(prod, "CFOP");
  if (!SoDigitos(cfop, 4))
    return Recusa(motivo, textoProd + ": CFOP '" + Mostra(cfop) + "' is not 4 digits");
  const std::string regra = *TextoFilho(prod, "indRegra");
  if (regra != "A" && regra != "T")
    return Recusa(motivo, textoProd + ": indRegra '" + Mostra(regra) + "' is not A or T");
  long long quantidade = 0, unitario = 0;
  if (!Decimal(prod, "qCom", 4, true, regraProd, quantidade, motivo) ||
      !Decimal(prod, "vUnCom", 3, true, regraProd, unitario, motivo) ||
      !Decimal(prod, "vDesc", 2, false, regraProd, valores.vDesc, motivo) ||
      !Decimal(prod, "vOutro", 2, false, regraProd, valores.vOutro, motivo))
    return false;
  if (quantidade == 0)
    return Recusa(motivo, textoProd + ": qCom is zero");

  // qCom has 4 decimals and vUnCom 3: the product is in units of 10^-7.
  const std::string item = "vItem: item " + esperado;
  const __int128 produto = static_cast<__int128>(quantidade) * unitario;
  const __int128 centavos = regra == "A" ? (produto + 50'000) / 100'000 : produto / 100'000;
  if (centavos > kValorMaximo || valores.vOutro > kValorMaximo)
    return Recusa(motivo, item + ": value out of range");
  valores.vProd = static_cast<long long>(centavos);
  valores.vItem = valores.vProd - valores.vDesc + valores.vOutro;
  if (valores.vItem < 0)
    return Recusa(motivo, item + ": vDesc " + FormataCentavos(valores.vDesc) +
                              " exceeds the item's value " +
                              FormataCentavos(valores.vProd + valores.vOutro));
  return Igual(prod, "vProd", valores.vProd, item.c_str(), motivo) &&
         Igual(prod, "vItem", valores.vItem, item.c_str(), motivo);
}

// The checks of a sale that pass: what the CF-e is made of.
struct VendaLida {
  Documento doc;
  xmlNode *infCFe = nullptr;
  std::string versao;
  std::vector<ValoresItem> itens;
  long long total = 0;
  long long troco = 0;
};

bool LeVenda(std::string_view venda, const Emissao &emissao, VendaLida &lida, CFe &cfe,
             std::string &motivo) {
  if (!LeXml(venda, emissao.semDeclaracao, lida.doc, motivo))
    return false;
  const xmlNode *raiz = Raiz(lida.doc);
  const auto dentro = Filhos(raiz);
  if (Nome(raiz) != "CFe" || dentro.size() != 1 || Nome(dentro.front()) != "infCFe")
    return Recusa(motivo,
                  "raiz: the root is <" + Mostra(Nome(raiz)) + ">, not <CFe> holding one <infCFe>");
  xmlNode *inf = lida.infCFe = dentro.front();
  lida.versao = Atributo(inf, "versaoDadosEnt").value_or("");
  if (lida.versao != "0.07" && lida.versao != "0.08")
    return Recusa(motivo,
                  "versao: versaoDadosEnt '" + Mostra(lida.versao) + "' is not 0.07 or 0.08");
  xmlNode *ide = nullptr, *emit = nullptr, *dest = nullptr, *total = nullptr, *pgto = nullptr;
  if (!SoFilhos(inf, {"ide", "emit", "dest", "entrega", "det", "total", "pgto", "infAdic"}, "det",
                "grupos", motivo) ||
      !Unico(inf, "ide", "grupos", ide, motivo) || !Unico(inf, "emit", "grupos", emit, motivo) ||
      !Unico(inf, "dest", "grupos", dest, motivo) ||
      !Unico(inf, "total", "grupos", total, motivo) || !Unico(inf, "pgto", "grupos", pgto, motivo))
    return false;
  const auto itens = Filhos(inf, "det");
  if (itens.empty() || itens.size() > kItensMaximos)
    return Recusa(motivo,
                  "grupos: " + std::to_string(itens.size()) + " items (<det>), not 1 to 500");

  if (!LeIde(ide, cfe, motivo) || !LeEmitente(emit, emissao, motivo) ||
      !LeDestinatario(dest, cfe.cpfCnpj, motivo))
    return false;

  long long soma = 0;
  for (std::size_t i = 0; i < itens.size(); ++i) {
    ValoresItem valores;
    if (!LeItem(itens[i], i + 1, valores, motivo))
      return false;
    soma += valores.vItem;
    if (soma > kValorMaximo)
      return Recusa(motivo, "total: out of range");
    lida.itens.push_back(valores);
  }

  if (!SoFilhos(total, {"vCFe", "DescAcrEntr", "vCFeLei12741"}, nullptr, "total", motivo))
    return false;
  long long desconto = 0, acrescimo = 0, lei12741 = 0;
  if (const xmlNode *ajuste = Filho(total, "DescAcrEntr")) {
    if (!SoFilhos(ajuste, {"vDescSubtot", "vAcresSubtot"}, nullptr, "total", motivo) ||
        !Decimal(ajuste, "vDescSubtot", 2, false, "total", desconto, motivo) ||
        !Decimal(ajuste, "vAcresSubtot", 2, false, "total", acrescimo, motivo))
      return false;
    if (Filho(ajuste, "vDescSubtot") != nullptr && Filho(ajuste, "vAcresSubtot") != nullptr)
      return Recusa(motivo, "total: DescAcrEntr holds both vDescSubtot and vAcresSubtot");
  }
  if (!Decimal(total, "vCFeLei12741", 2, false, "total", lei12741, motivo))
    return false;
  lida.total = soma - desconto + acrescimo;
  if (lida.total < 0)
    return Recusa(motivo, "total: the discount on the subtotal " + FormataCentavos(desconto) +
                              " exceeds the items' " + FormataCentavos(soma));
  if (!Igual(total, "vCFe", lida.total, "total", motivo))
    return false;

  const auto meios = Filhos(pgto, "MP");
  if (!SoFilhos(pgto, {"MP"}, "MP", "pgto", motivo))
    return false;
  if (meios.empty())
    return Recusa(motivo, "pgto: no <MP>");
  long long pago = 0;
  for (const xmlNode *mp : meios) {
    std::string cMP;
    long long valor = 0;
    if (!SoFilhos(mp, {"cMP", "vMP", "cAdmC"}, nullptr, "pgto", motivo) ||
        !Exige(mp, "cMP", "pgto", cMP, motivo) ||
        !Decimal(mp, "vMP", 2, true, "pgto", valor, motivo))
      return false;
    if (!SoDigitos(cMP, 2))
      return Recusa(motivo, "pgto: cMP '" + Mostra(cMP) + "' is not 2 digits");
    if (valor == 0)
      return Recusa(motivo, "pgto: a vMP of zero");
    pago += valor;
    if (pago > kValorMaximo)
      return Recusa(motivo, "pgto: out of range");
  }
  if (pago < lida.total)
    return Recusa(motivo, "pgto: the payments (" + FormataCentavos(pago) +
                              ") do not cover the total (" + FormataCentavos(lida.total) + ")");
  lida.troco = pago - lida.total;
  return true;
}

// ---- writing the CF-e --------------------------------------------------------------------

void CopiaItem(xmlNode *pai, const xmlNode *det, const ValoresItem &valores) {
  xmlNode *novo = Acrescenta(pai, "det");
  DefineAtributo(novo, "nItem", *Atributo(det, "nItem"));
  for (const xmlNode *grupo : Filhos(det)) {
    if (Nome(grupo) != "prod") {
      Copia(novo, grupo);
      continue;
    }
    // The device writes the item's values it worked out: vProd after vUnCom, vItem after
    // the discounts and before the observations.
    xmlNode *prod = Acrescenta(novo, "prod");
    bool itemEscrito = false;
    for (const xmlNode *campo : Filhos(grupo)) {
      const std::string nome = Nome(campo);
      if (nome == "vProd" || nome == "vItem")
        continue;
      if (nome == "obsFiscoDet" && !itemEscrito) {
        Acrescenta(prod, "vItem", FormataCentavos(valores.vItem));
        itemEscrito = true;
      }
      Copia(prod, campo);
      if (nome == "vUnCom")
        Acrescenta(prod, "vProd", FormataCentavos(valores.vProd));
    }
    if (!itemEscrito)
      Acrescenta(prod, "vItem", FormataCentavos(valores.vItem));
  }
}

} // namespace

bool SoDigitos(std::string_view texto, std::size_t quantos) {
  return texto.size() == quantos &&
         std::all_of(texto.begin(), texto.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool CnpjValido(std::string_view cnpj) {
  return SoDigitos(cnpj, 14) && DigitosVerificadores(cnpj, 9);
}

bool CpfValido(std::string_view cpf) { return SoDigitos(cpf, 11) && DigitosVerificadores(cpf, 11); }

bool UfValida(int uf) {
  static constexpr int kUfs[] = {11, 12, 13, 14, 15, 16, 17, 21, 22, 23, 24, 25, 26, 27,
                                 28, 29, 31, 32, 33, 35, 41, 42, 43, 50, 51, 52, 53};
  return std::find(std::begin(kUfs), std::end(kUfs), uf) != std::end(kUfs);
}

int DigitoChave(std::string_view base43) {
  int soma = 0;
  int peso = 2;
  for (std::size_t i = base43.size(); i-- > 0;) {
    soma += (base43[i] - '0') * peso;
    peso = peso == 9 ? 2 : peso + 1;
  }
  const int digito = 11 - soma % 11;
  return digito >= 10 ? 0 : digito;
}

std::string MontaChave(int uf, const std::tm &quando, std::string_view cnpj, std::string_view serie,
                       int numero, int codigoNumerico) {
  std::string chave = Digitos(uf, 2);
  chave += Digitos((quando.tm_year + 1900) % 100, 2);
  chave += Digitos(quando.tm_mon + 1, 2);
  chave.append(cnpj);
  chave += "59";
  chave.append(serie);
  chave += Digitos(numero, 6);
  chave += Digitos(codigoNumerico, 6);
  chave += static_cast<char>('0' + DigitoChave(chave));
  return chave;
}

bool ChaveValida(std::string_view chave) {
  if (!SoDigitos(chave, 44))
    return false;
  const int uf = (chave[0] - '0') * 10 + (chave[1] - '0');
  const int mes = (chave[4] - '0') * 10 + (chave[5] - '0');
  return UfValida(uf) && mes >= 1 && mes <= 12 && CnpjValido(chave.substr(6, 14)) &&
         chave.substr(20, 2) == "59" && chave[43] - '0' == DigitoChave(chave.substr(0, 43));
}

std::string CarimboTempo(const std::tm &quando) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%04d%02d%02d%02d%02d%02d", quando.tm_year + 1900,
                quando.tm_mon + 1, quando.tm_mday, quando.tm_hour, quando.tm_min, quando.tm_sec);
  return texto;
}

bool DataValida(std::string_view data) {
  if (!SoDigitos(data, 8))
    return false;
  auto numero = [&](std::size_t de, std::size_t quantos) {
    int valor = 0;
    for (std::size_t i = de; i < de + quantos; ++i)
      valor = valor * 10 + (data[i] - '0');
    return valor;
  };
  const int ano = numero(0, 4), mes = numero(4, 2), dia = numero(6, 2);
  static constexpr int kDias[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool bissexto = (ano % 4 == 0 && ano % 100 != 0) || ano % 400 == 0;
  return ano >= 2000 && mes >= 1 && mes <= 12 && dia >= 1 &&
         dia <= (mes == 2 && !bissexto ? 28 : kDias[mes - 1]);
}

bool CarimboValido(std::string_view carimbo) {
  if (!SoDigitos(carimbo, 14) || !DataValida(carimbo.substr(0, 8)))
    return false;
  const int hora = (carimbo[8] - '0') * 10 + (carimbo[9] - '0');
  const int minuto = (carimbo[10] - '0') * 10 + (carimbo[11] - '0');
  const int segundo = (carimbo[12] - '0') * 10 + (carimbo[13] - '0');
  return hora < 24 && minuto < 60 && segundo < 61;
}

bool LeDecimal(std::string_view texto, int casas, long long &escalado) {
  const std::size_t ponto = texto.find('.');
  const std::string_view inteira = texto.substr(0, ponto);
  const std::string_view fracao =
      ponto == std::string_view::npos ? std::string_view() : texto.substr(ponto + 1);
  const bool temPonto = ponto != std::string_view::npos;
  if (inteira.empty() || inteira.size() > 12 || static_cast<int>(fracao.size()) > casas ||
      (temPonto && fracao.empty()))
    return false;
  if (!SoDigitos(inteira, inteira.size()) || !SoDigitos(fracao, fracao.size()))
    return false;
  long long valor = 0;
  for (const char c : inteira)
    valor = valor * 10 + (c - '0');
  for (int i = 0; i < casas; ++i)
    valor = valor * 10 + (i < static_cast<int>(fracao.size()) ? fracao[i] - '0' : 0);
  escalado = valor;
  return true;
}

std::string FormataCentavos(long long centavos) {
  char texto[40];
  std::snprintf(texto, sizeof texto, "%lld.%02lld", centavos / 100, centavos % 100);
  return texto;
}

std::string AssinaturaQrCode(std::string_view dados) { return CodificaBase64(Resumo(dados, 256)); }

bool MontaCFeVenda(std::string_view venda, const Emissao &emissao, CFe &cfe, std::string &motivo) {
  cfe = CFe{};
  VendaLida lida;
  if (!LeVenda(venda, emissao, lida, cfe, motivo))
    return false;
  cfe.total = FormataCentavos(lida.total);
  cfe.chave = MontaChave(emissao.uf, emissao.quando, emissao.cnpjEmitente, emissao.serie,
                         emissao.numero, emissao.codigoNumerico);
  cfe.dataHora = CarimboTempo(emissao.quando);
  cfe.assinaturaQr = AssinaturaQrCode(DadosQrCode(cfe));

  Documento saida(xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0")));
  xmlNode *raiz =
      xmlNewDocNode(saida.get(), nullptr, reinterpret_cast<const xmlChar *>("CFe"), nullptr);
  xmlDocSetRootElement(saida.get(), raiz);
  xmlNode *inf = Acrescenta(raiz, "infCFe");
  DefineAtributo(inf, "Id", "CFe" + cfe.chave);
  DefineAtributo(inf, "versao", lida.versao);
  DefineAtributo(inf, "versaoDadosEnt", lida.versao);
  DefineAtributo(inf, "versaoSB", "010000");
  std::size_t item = 0;
  for (const xmlNode *grupo : Filhos(lida.infCFe)) {
    const std::string nome = Nome(grupo);
    if (nome == "ide") {
      xmlNode *ide = InicioIde(inf, emissao, cfe.chave);
      Acrescenta(ide, "CNPJ", cfe.cnpjSoftwareHouse);
      Acrescenta(ide, "signAC", cfe.assinaturaAC);
      Acrescenta(ide, "assinaturaQRCODE", cfe.assinaturaQr);
      Acrescenta(ide, "numeroCaixa", *TextoFilho(grupo, "numeroCaixa"));
    } else if (nome == "emit") {
      xmlNode *emit = Acrescenta(inf, "emit");
      Acrescenta(emit, "CNPJ", emissao.cnpjEmitente);
      for (const xmlNode *campo : Filhos(grupo))
        if (Nome(campo) != "CNPJ")
          Copia(emit, campo);
    } else if (nome == "det") {
      CopiaItem(inf, grupo, lida.itens[item++]);
    } else if (nome == "total") {
      xmlNode *total = Acrescenta(inf, "total");
      Acrescenta(total, "vCFe", cfe.total);
      for (const xmlNode *campo : Filhos(grupo))
        if (Nome(campo) != "vCFe")
          Copia(total, campo);
    } else if (nome == "pgto") {
      xmlNode *pgto = Copia(inf, grupo);
      Acrescenta(pgto, "vTroco", FormataCentavos(lida.troco));
    } else {
      Copia(inf, grupo);
    }
  }
  AcrescentaAssinatura(raiz, cfe.chave, Serializa(inf), emissao.serie);
  cfe.xml = ComDeclaracao(raiz);
  return true;
}

bool MontaCFeCancelamento(std::string_view dados, const VendaEmitida &venda, const Emissao &emissao,
                          CFe &cfe, std::string &motivo) {
  cfe = CFe{};
  Documento doc;
  if (!LeXml(dados, emissao.semDeclaracao, doc, motivo))
    return false;
  const xmlNode *raiz = Raiz(doc);
  const auto dentro = Filhos(raiz);
  if (Nome(raiz) != "CFeCanc" || dentro.size() != 1 || Nome(dentro.front()) != "infCFe")
    return Recusa(motivo, "raiz: the root is <" + Mostra(Nome(raiz)) +
                              ">, not <CFeCanc> holding one <infCFe>");
  const xmlNode *inf = dentro.front();
  const std::string chCanc = Atributo(inf, "chCanc").value_or("");
  if (chCanc != "CFe" + venda.chave)
    return Recusa(motivo, "chCanc: '" + Mostra(chCanc) + "' is not the key of the sale cancelled");
  xmlNode *ide = nullptr, *emit = nullptr, *dest = nullptr, *total = nullptr;
  if (!SoFilhos(inf, {"ide", "emit", "dest", "total"}, nullptr, "grupos", motivo) ||
      !Unico(inf, "ide", "grupos", ide, motivo) || !Unico(inf, "emit", "grupos", emit, motivo) ||
      !Unico(inf, "dest", "grupos", dest, motivo) || !Unico(inf, "total", "grupos", total, motivo))
    return false;
  if (!LeIde(ide, cfe, motivo))
    return false;
  // The cancellation belongs to the sale's taxpayer and buyer; what the document says of them
  // must be theirs.
  const std::string cnpjEmitente = venda.chave.substr(6, 14);
  if (!SoFilhos(emit, {"CNPJ"}, nullptr, "emit", motivo))
    return false;
  if (const auto cnpj = TextoFilho(emit, "CNPJ"); cnpj && *cnpj != cnpjEmitente)
    return Recusa(motivo, "emit: CNPJ '" + Mostra(*cnpj) + "' is not the taxpayer's");
  std::string comprador;
  if (!LeDestinatario(dest, comprador, motivo))
    return false;
  if (!comprador.empty() && comprador != venda.cpfCnpj)
    return Recusa(motivo, "dest: " + comprador + " is not the sale's buyer");
  if (!SoFilhos(total, {"vCFe"}, nullptr, "total", motivo))
    return false;
  if (const auto vCFe = TextoFilho(total, "vCFe"); vCFe && *vCFe != venda.total)
    return Recusa(motivo, "total: vCFe '" + Mostra(*vCFe) + "' is not the sale's " + venda.total);

  cfe.total = venda.total;
  cfe.cpfCnpj = venda.cpfCnpj;
  cfe.chave = MontaChave(emissao.uf, emissao.quando, cnpjEmitente, emissao.serie, emissao.numero,
                         emissao.codigoNumerico);
  cfe.dataHora = CarimboTempo(emissao.quando);
  cfe.assinaturaQr = AssinaturaQrCode(DadosQrCode(cfe));

  Documento saida(xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0")));
  xmlNode *raizNova =
      xmlNewDocNode(saida.get(), nullptr, reinterpret_cast<const xmlChar *>("CFeCanc"), nullptr);
  xmlDocSetRootElement(saida.get(), raizNova);
  xmlNode *novo = Acrescenta(raizNova, "infCFe");
  DefineAtributo(novo, "Id", "CFe" + cfe.chave);
  DefineAtributo(novo, "chCanc", "CFe" + venda.chave);
  DefineAtributo(novo, "versao", "0.08");
  Acrescenta(novo, "dEmi", venda.dataHora.substr(0, 8));
  Acrescenta(novo, "hEmi", venda.dataHora.substr(8));
  xmlNode *ideNova = InicioIde(novo, emissao, cfe.chave);
  Acrescenta(ideNova, "CNPJ", cfe.cnpjSoftwareHouse);
  Acrescenta(ideNova, "signAC", cfe.assinaturaAC);
  Acrescenta(ideNova, "assinaturaQRCODE", cfe.assinaturaQr);
  Acrescenta(ideNova, "numeroCaixa", *TextoFilho(ide, "numeroCaixa"));
  Acrescenta(Acrescenta(novo, "emit"), "CNPJ", cnpjEmitente);
  xmlNode *destNovo = Acrescenta(novo, "dest");
  if (cfe.cpfCnpj.size() == 11)
    Acrescenta(destNovo, "CPF", cfe.cpfCnpj);
  else if (!cfe.cpfCnpj.empty())
    Acrescenta(destNovo, "CNPJ", cfe.cpfCnpj);
  Acrescenta(Acrescenta(novo, "total"), "vCFe", cfe.total);
  AcrescentaAssinatura(raizNova, cfe.chave, Serializa(novo), emissao.serie);
  cfe.xml = ComDeclaracao(raizNova);
  return true;
}

} // namespace satemu
