#include "cfe.h"

#include "codifica.h"
#include "comum/datas.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace satemu {

const Regra kRegrasVenda[] = {
    {"xml", "XML bem formado, lido pela codificação que declara (UTF-8 quando não declara "
            "nenhuma; Windows-1252 com --windows-1252), sem DOCTYPE e sem texto ao lado de "
            "elementos filhos"},
    {"raiz", "a raiz é <CFe>, com um <infCFe> e nada mais"},
    {"versao", "versaoDadosEnt de infCFe é 0.07 ou 0.08"},
    {"grupos", "infCFe traz ide, emit, dest, det (de 1 a 500), total e pgto, e pode trazer "
               "entrega e infAdic; nada mais; cada det traz um prod e um imposto"},
    {"ide", "CNPJ da software house (dígitos verificadores válidos), signAC (base64) e "
            "numeroCaixa (3 dígitos), e nenhum dos campos que o próprio SAT preenche"},
    {"emit", "o CNPJ é o do contribuinte para quem este SAT foi ativado; IE de 2 a 14 dígitos; "
             "indRatISSQN S ou N; IM e cRegTribISSQN podem vir; nada que o próprio SAT preenche"},
    {"dest", "vazio, ou um CPF (11 dígitos) ou um CNPJ (14 dígitos) com dígitos verificadores "
             "válidos, não ambos, e opcionalmente xNome"},
    {"nItem", "os nItem dos itens contam 1, 2, 3... na ordem do documento"},
    {"prod", "cProd, xProd, CFOP (4 dígitos) e uCom presentes; qCom acima de zero com até 4 "
             "decimais; vUnCom com até 3 decimais; indRegra A ou T; vDesc e vOutro com até 2 "
             "decimais"},
    {"vItem", "qCom x vUnCom, arredondado (indRegra A) ou truncado (T) em centavos, é o vProd "
              "do item, e vProd - vDesc + vOutro o seu vItem, não abaixo de zero; um vProd ou "
              "vItem que o documento traga tem de conferir"},
    {"total", "a soma dos vItem dos itens, menos vDescSubtot de DescAcrEntr ou mais seu "
              "vAcresSubtot (não ambos), não fica abaixo de zero; um vCFe que o documento traga "
              "tem de conferir"},
    {"pgto", "um ou mais MP, cada um com cMP (2 dígitos) e vMP acima de zero; juntos cobrem o "
             "total"},
    {"imposto", "está presente aquilo de que o aparelho calcula um imposto: pICMS (até 2 "
                "decimais) em ICMS00 e ICMSSN900; vBC (2 decimais) e pPIS ou pCOFINS (4), ou "
                "qBCProd e vAliqProd (4 cada), nos grupos de PIS e COFINS tributados e em PISST "
                "e COFINSST; um vICMS, vPIS ou vCOFINS que o documento traga tem de conferir"},
};
const std::size_t kQuantasRegrasVenda = std::size(kRegrasVenda);

const Regra kRegrasCancelamento[] = {
    {"xml", "como para uma venda"},
    {"raiz", "a raiz é <CFeCanc>, com um <infCFe> e nada mais"},
    {"chCanc", "chCanc de infCFe é CFe seguido da chave da venda cancelada"},
    {"grupos", "infCFe traz ide, emit, dest e total, nada mais"},
    {"ide", "CNPJ e signAC da software house a que este SAT está associado, numeroCaixa "
            "(3 dígitos)"},
    {"emit", "vazio, ou o CNPJ do contribuinte"},
    {"dest", "vazio, ou o CPF ou CNPJ do comprador da venda"},
    {"total", "vazio, ou o vCFe da venda"},
};
const std::size_t kQuantasRegrasCancelamento = std::size(kRegrasCancelamento);

const CampoEmitente kCamposEmitente[] = {
    {"xNome", &Emitente::xNome, false},       {"xFant", &Emitente::xFant, true},
    {"xLgr", &Emitente::xLgr, false},         {"nro", &Emitente::nro, false},
    {"xCpl", &Emitente::xCpl, true},          {"xBairro", &Emitente::xBairro, false},
    {"xMun", &Emitente::xMun, false},         {"CEP", &Emitente::CEP, false},
    {"cRegTrib", &Emitente::cRegTrib, false},
};
const std::size_t kQuantosCamposEmitente = std::size(kCamposEmitente);

std::string ProblemaEmitente(const CampoEmitente &campo, std::string_view valor) {
  const std::string nome = campo.nome;
  if (nome == "CEP")
    return SoDigitos(valor, 8) ? "" : "'" + Mostra(valor) + "' não tem 8 dígitos";
  if (nome == "cRegTrib")
    return valor == "1" || valor == "3" ? ""
                                        : "'" + Mostra(valor) +
                                              "' não é 1 (Simples Nacional) "
                                              "nem 3 (regime normal)";
  if (valor.empty())
    return campo.opcional ? "" : "vazio";
  const std::string texto(valor);
  const auto *bytes = reinterpret_cast<const xmlChar *>(texto.c_str());
  if (texto.size() != std::strlen(texto.c_str()) || !xmlCheckUTF8(bytes))
    return "não é texto UTF-8";
  if (std::any_of(texto.begin(), texto.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    return "contém um caractere de controle";
  if (xmlUTF8Strlen(bytes) > 60)
    return "tem mais de 60 caracteres";
  return {};
}

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
xmlNode *InicioIde(xmlNode *pai, const Emissao &emissao, std::string_view chave, bool ambiente) {
  xmlNode *ide = Acrescenta(pai, "ide");
  Acrescenta(ide, "cUF", Digitos(emissao.uf, 2));
  Acrescenta(ide, "cNF", Digitos(emissao.codigoNumerico, 6));
  Acrescenta(ide, "mod", "59");
  Acrescenta(ide, "nserieSAT", emissao.serie);
  Acrescenta(ide, "nCFe", Digitos(emissao.numero, 6));
  Acrescenta(ide, "dEmi", Data(emissao.quando));
  Acrescenta(ide, "hEmi", Hora(emissao.quando));
  Acrescenta(ide, "cDV", chave.substr(43));
  if (ambiente)
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
                              (achados.empty() ? "nenhum <" : "mais de um <") + nome + "> em <" +
                              Nome(pai) + ">");
  no = achados.front();
  return true;
}

// Only these children, each at most once unless repeatable.
bool SoFilhos(const xmlNode *pai, std::initializer_list<const char *> permitidos,
              const char *repetivel, const char *regra, std::string &motivo) {
  const std::string texto = Texto(pai);
  if (Filhos(pai).empty() && texto.find_first_not_of(" \t\r\n") != std::string::npos)
    return Recusa(motivo, std::string(regra) + ": <" + Nome(pai) + "> traz o texto '" +
                              Mostra(texto) + "' no lugar de seus campos");
  std::vector<std::string> vistos;
  for (const xmlNode *f : Filhos(pai)) {
    const std::string nome = Nome(f);
    const bool permitido =
        std::any_of(permitidos.begin(), permitidos.end(), [&](const char *p) { return nome == p; });
    if (!permitido)
      return Recusa(motivo, std::string(regra) + ": <" + Mostra(nome) + "> não pertence a <" +
                                Nome(pai) + ">");
    if ((repetivel == nullptr || nome != repetivel) &&
        std::find(vistos.begin(), vistos.end(), nome) != vistos.end())
      return Recusa(motivo,
                    std::string(regra) + ": mais de um <" + nome + "> em <" + Nome(pai) + ">");
    vistos.push_back(nome);
  }
  return true;
}

bool Exige(const xmlNode *pai, const char *nome, const char *regra, std::string &valor,
           std::string &motivo) {
  const auto texto = TextoFilho(pai, nome);
  if (!texto || texto->empty())
    return Recusa(motivo,
                  std::string(regra) + ": <" + nome + "> ausente ou vazio em <" + Nome(pai) + ">");
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
    return Recusa(motivo, std::string(regra) + ": <" + nome + "> ausente em <" + Nome(pai) + ">");
  if (!LeDecimal(*texto, casas, valor))
    return Recusa(motivo, std::string(regra) + ": <" + nome + "> '" + Mostra(*texto) +
                              "' não é um decimal com até " + std::to_string(casas) +
                              " casas decimais");
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
                              "' deveria ser " + FormataCentavos(esperado));
  return true;
}

// CPF or CNPJ of the buyer, or nothing.
bool LeDestinatario(const xmlNode *dest, std::string &documento, std::string &motivo) {
  if (!SoFilhos(dest, {"CPF", "CNPJ", "xNome"}, nullptr, "dest", motivo))
    return false;
  const auto cpf = TextoFilho(dest, "CPF");
  const auto cnpj = TextoFilho(dest, "CNPJ");
  if (cpf && cnpj)
    return Recusa(motivo, "dest: um CPF e um CNPJ");
  if (cpf && !CpfValido(*cpf))
    return Recusa(motivo, "dest: CPF '" + Mostra(*cpf) +
                              "' não tem 11 dígitos com dígitos "
                              "verificadores válidos");
  if (cnpj && !CnpjValido(*cnpj))
    return Recusa(motivo, "dest: CNPJ '" + Mostra(*cnpj) +
                              "' não tem 14 dígitos com dígitos verificadores válidos");
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
                              "' não tem 14 dígitos com dígitos verificadores válidos");
  if (!PareceBase64(cfe.assinaturaAC))
    return Recusa(motivo, "ide: signAC não está em base64");
  if (!SoDigitos(numeroCaixa, 3))
    return Recusa(motivo, "ide: numeroCaixa '" + Mostra(numeroCaixa) + "' não tem 3 dígitos");
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
    return Recusa(motivo, "emit: CNPJ '" + Mostra(cnpj) +
                              "' não tem 14 dígitos com dígitos verificadores válidos");
  if (cnpj != emissao.cnpjEmitente)
    return Recusa(motivo, "emit: CNPJ " + cnpj +
                              " não é o do contribuinte para quem este SAT foi ativado (" +
                              emissao.cnpjEmitente + ")");
  if (ie.size() < 2 || ie.size() > 14 || !SoDigitos(ie, ie.size()))
    return Recusa(motivo, "emit: IE '" + Mostra(ie) + "' não tem de 2 a 14 dígitos");
  if (rateio != "S" && rateio != "N")
    return Recusa(motivo, "emit: indRatISSQN '" + Mostra(rateio) + "' não é S nem N");
  return true;
}

// A tax value the device works out, written at the end of the received group it belongs to.
struct Calculado {
  const xmlNode *grupo;
  std::string nome; // vICMS, vPIS, vCOFINS
  long long centavos;
};

struct ValoresItem {
  long long vProd = 0;
  long long vDesc = 0;
  long long vOutro = 0;
  long long vItem = 0; // after vRatDesc and vRatAcr, once they are spread
  long long vRatDesc = 0;
  long long vRatAcr = 0;
  const xmlNode *imposto = nullptr;
  std::vector<Calculado> calculados;
  bool comIcms = false; // counts in ICMSTot (an item of services has ISSQN instead)
  long long vICMS = 0, vPIS = 0, vCOFINS = 0, vPISST = 0, vCOFINSST = 0;
};

bool LeItem(const xmlNode *det, std::size_t ordem, ValoresItem &valores, std::string &motivo) {
  const std::string esperado = std::to_string(ordem);
  const auto nItem = Atributo(det, "nItem");
  if (!nItem || *nItem != esperado)
    return Recusa(motivo,
                  "nItem: o item " + esperado + " tem nItem '" + Mostra(nItem.value_or("")) + "'");
  xmlNode *prod = nullptr;
  xmlNode *imposto = nullptr;
  if (!SoFilhos(det, {"prod", "imposto", "infAdProd"}, nullptr, "grupos", motivo) ||
      !Unico(det, "prod", "grupos", prod, motivo) ||
      !Unico(det, "imposto", "grupos", imposto, motivo))
    return false;
  valores.imposto = imposto;
  const std::string textoProd = "prod: item " + esperado;
  const char *regraProd = textoProd.c_str();
  std::string texto;
  for (const char *nome : {"cProd", "xProd", "CFOP", "uCom", "indRegra"})
    if (!Exige(prod, nome, regraProd, texto, motivo))
      return false;
  const std::string cfop = *TextoFilho(prod, "CFOP");
  if (!SoDigitos(cfop, 4))
    return Recusa(motivo, textoProd + ": CFOP '" + Mostra(cfop) + "' não tem 4 dígitos");
  const std::string regra = *TextoFilho(prod, "indRegra");
  if (regra != "A" && regra != "T")
    return Recusa(motivo, textoProd + ": indRegra '" + Mostra(regra) + "' não é A nem T");
  long long quantidade = 0, unitario = 0;
  if (!Decimal(prod, "qCom", 4, true, regraProd, quantidade, motivo) ||
      !Decimal(prod, "vUnCom", 3, true, regraProd, unitario, motivo) ||
      !Decimal(prod, "vDesc", 2, false, regraProd, valores.vDesc, motivo) ||
      !Decimal(prod, "vOutro", 2, false, regraProd, valores.vOutro, motivo))
    return false;
  if (quantidade == 0)
    return Recusa(motivo, textoProd + ": qCom é zero");

  // qCom has 4 decimals and vUnCom 3: the product is in units of 10^-7.
  const std::string item = "vItem: item " + esperado;
  const __int128 produto = static_cast<__int128>(quantidade) * unitario;
  const __int128 centavos = regra == "A" ? (produto + 50'000) / 100'000 : produto / 100'000;
  if (centavos > kValorMaximo || valores.vOutro > kValorMaximo)
    return Recusa(motivo, item + ": valor fora do limite");
  valores.vProd = static_cast<long long>(centavos);
  valores.vItem = valores.vProd - valores.vDesc + valores.vOutro;
  if (valores.vItem < 0)
    return Recusa(motivo, item + ": vDesc " + FormataCentavos(valores.vDesc) +
                              " excede o valor do item, " +
                              FormataCentavos(valores.vProd + valores.vOutro));
  return Igual(prod, "vProd", valores.vProd, item.c_str(), motivo) &&
         Igual(prod, "vItem", valores.vItem, item.c_str(), motivo);
}

// A base times a rate, both scaled, in cents rounded half up; `escala` is how many cents' parts
// the product holds.
bool Produto(__int128 base, long long taxa, long long escala, long long &centavos) {
  const __int128 valor = (base * taxa + escala / 2) / escala;
  if (valor > kValorMaximo)
    return false;
  centavos = static_cast<long long>(valor);
  return true;
}

// The subtotal's discount (or increase) spread over the items in proportion to their value,
// each share rounded to cents and the rest on the last item. A share the rounding pushed below
// zero, or a discount above its item's value, gives the difference to the item before it.
bool Rateia(std::vector<ValoresItem> &itens, long long valor, bool desconto, std::string &motivo) {
  if (valor == 0)
    return true;
  __int128 base = 0;
  for (const ValoresItem &v : itens)
    base += v.vItem;
  std::vector<long long> partes(itens.size(), 0);
  long long distribuido = 0;
  for (std::size_t i = 0; i + 1 < itens.size(); ++i) {
    if (base > 0)
      partes[i] = static_cast<long long>(
          (valor * static_cast<__int128>(itens[i].vItem) * 2 + base) / (2 * base));
    distribuido += partes[i];
  }
  partes.back() = valor - distribuido;
  for (std::size_t i = itens.size() - 1; i > 0; --i) {
    const long long teto = desconto ? itens[i].vItem : kValorMaximo;
    const long long certo = std::clamp(partes[i], 0LL, teto);
    partes[i - 1] += partes[i] - certo;
    partes[i] = certo;
  }
  if (partes[0] < 0 || (desconto && partes[0] > itens[0].vItem))
    return Recusa(motivo, "total: o ajuste sobre o subtotal não pode ser rateado entre os itens");
  for (std::size_t i = 0; i < itens.size(); ++i) {
    (desconto ? itens[i].vRatDesc : itens[i].vRatAcr) = partes[i];
    itens[i].vItem += desconto ? -partes[i] : partes[i];
  }
  return true;
}

// The tax values of an item, from its final vItem and the rates and bases it was sent with.
bool CalculaImpostos(ValoresItem &v, std::size_t ordem, std::string &motivo) {
  const std::string regra = "imposto: item " + std::to_string(ordem);
  auto calcula = [&](const xmlNode *grupo, const std::string &nome, long long valor,
                     long long &soma) {
    if (!Igual(grupo, nome.c_str(), valor, regra.c_str(), motivo))
      return false;
    v.calculados.push_back({grupo, nome, valor});
    soma += valor;
    return true;
  };
  for (const xmlNode *grupo : Filhos(v.imposto)) {
    const std::string nome = Nome(grupo);
    if (nome == "ICMS") {
      v.comIcms = true;
      for (const xmlNode *icms : Filhos(grupo)) {
        if (Nome(icms) != "ICMS00" && Nome(icms) != "ICMSSN900")
          continue;
        long long aliquota = 0, valor = 0;
        // pICMS is a percentage with 2 decimals: cents x hundredths of a percent / 10,000.
        if (!Decimal(icms, "pICMS", 2, true, regra.c_str(), aliquota, motivo))
          return false;
        if (!Produto(v.vItem, aliquota, 10'000, valor))
          return Recusa(motivo, regra + ": vICMS fora do limite");
        if (!calcula(icms, "vICMS", valor, v.vICMS))
          return false;
      }
      continue;
    }
    const bool st = nome == "PISST" || nome == "COFINSST";
    if (!st && nome != "PIS" && nome != "COFINS")
      continue;
    const std::string tributo = st ? nome.substr(0, nome.size() - 2) : nome;
    long long &soma = nome == "PIS"      ? v.vPIS
                      : nome == "COFINS" ? v.vCOFINS
                      : nome == "PISST"  ? v.vPISST
                                         : v.vCOFINSST;
    std::vector<xmlNode *> grupos =
        st ? std::vector<xmlNode *>{const_cast<xmlNode *>(grupo)} : Filhos(grupo);
    for (const xmlNode *tributado : grupos) {
      const bool porValor = Filho(tributado, "vBC") != nullptr;
      // Not taxed (PISNT, PISSN...): no base, no value.
      if (!porValor && Filho(tributado, "qBCProd") == nullptr && !st)
        continue;
      long long base = 0, taxa = 0, valor = 0;
      // The rate is a fraction with 4 decimals on the base in cents, or a value per unit with 4
      // decimals on a quantity with 4.
      const bool lidos =
          porValor ? Decimal(tributado, "vBC", 2, true, regra.c_str(), base, motivo) &&
                         Decimal(tributado, ("p" + tributo).c_str(), 4, true, regra.c_str(), taxa,
                                 motivo)
                   : Decimal(tributado, "qBCProd", 4, true, regra.c_str(), base, motivo) &&
                         Decimal(tributado, "vAliqProd", 4, true, regra.c_str(), taxa, motivo);
      if (!lidos)
        return false;
      if (!Produto(base, taxa, porValor ? 10'000 : 1'000'000, valor))
        return Recusa(motivo, regra + ": v" + tributo + " fora do limite");
      if (!calcula(tributado, "v" + tributo, valor, soma))
        return false;
    }
  }
  return true;
}

// The checks of a sale that pass: what the CF-e is made of.
struct VendaLida {
  Documento doc;
  xmlNode *infCFe = nullptr;
  std::string versao;
  std::vector<ValoresItem> itens;
  long long total = 0;
  long long troco = 0;
  long long desconto = 0; // the subtotal's, spread over the items
  long long acrescimo = 0;
};

bool LeVenda(std::string_view venda, const Emissao &emissao, VendaLida &lida, CFe &cfe,
             std::string &motivo) {
  if (!LeXml(venda, emissao.semDeclaracao, lida.doc, motivo))
    return false;
  const xmlNode *raiz = Raiz(lida.doc);
  const auto dentro = Filhos(raiz);
  if (Nome(raiz) != "CFe" || dentro.size() != 1 || Nome(dentro.front()) != "infCFe")
    return Recusa(motivo, "raiz: a raiz é <" + Mostra(Nome(raiz)) + ">, não <CFe> com um <infCFe>");
  xmlNode *inf = lida.infCFe = dentro.front();
  lida.versao = Atributo(inf, "versaoDadosEnt").value_or("");
  if (lida.versao != "0.07" && lida.versao != "0.08")
    return Recusa(motivo,
                  "versao: versaoDadosEnt '" + Mostra(lida.versao) + "' não é 0.07 nem 0.08");
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
                  "grupos: " + std::to_string(itens.size()) + " itens (<det>), não de 1 a 500");

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
      return Recusa(motivo, "total: fora do limite");
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
      return Recusa(motivo, "total: DescAcrEntr traz vDescSubtot e vAcresSubtot juntos");
  }
  if (!Decimal(total, "vCFeLei12741", 2, false, "total", lei12741, motivo))
    return false;
  lida.total = soma - desconto + acrescimo;
  if (lida.total < 0)
    return Recusa(motivo, "total: o desconto sobre o subtotal, " + FormataCentavos(desconto) +
                              ", excede o valor dos itens, " + FormataCentavos(soma));
  if (!Igual(total, "vCFe", lida.total, "total", motivo))
    return false;
  lida.desconto = desconto;
  lida.acrescimo = acrescimo;
  if (!Rateia(lida.itens, desconto, true, motivo) || !Rateia(lida.itens, acrescimo, false, motivo))
    return false;
  for (std::size_t i = 0; i < lida.itens.size(); ++i)
    if (!CalculaImpostos(lida.itens[i], i + 1, motivo))
      return false;

  const auto meios = Filhos(pgto, "MP");
  if (!SoFilhos(pgto, {"MP"}, "MP", "pgto", motivo))
    return false;
  if (meios.empty())
    return Recusa(motivo, "pgto: nenhum <MP>");
  long long pago = 0;
  for (const xmlNode *mp : meios) {
    std::string cMP;
    long long valor = 0;
    if (!SoFilhos(mp, {"cMP", "vMP", "cAdmC"}, nullptr, "pgto", motivo) ||
        !Exige(mp, "cMP", "pgto", cMP, motivo) ||
        !Decimal(mp, "vMP", 2, true, "pgto", valor, motivo))
      return false;
    if (!SoDigitos(cMP, 2))
      return Recusa(motivo, "pgto: cMP '" + Mostra(cMP) + "' não tem 2 dígitos");
    if (valor == 0)
      return Recusa(motivo, "pgto: um vMP igual a zero");
    pago += valor;
    if (pago > kValorMaximo)
      return Recusa(motivo, "pgto: fora do limite");
  }
  if (pago < lida.total)
    return Recusa(motivo, "pgto: os pagamentos (" + FormataCentavos(pago) +
                              ") não cobrem o total (" + FormataCentavos(lida.total) + ")");
  lida.troco = pago - lida.total;
  return true;
}

// ---- writing the CF-e --------------------------------------------------------------------

// A received tax group copied with the values the device worked out at the end of their groups,
// in place of any the document gave.
void CompletaImposto(xmlNode *copia, const xmlNode *original,
                     const std::vector<Calculado> &calculados) {
  const auto originais = Filhos(original);
  const auto copias = Filhos(copia);
  for (std::size_t i = 0; i < originais.size() && i < copias.size(); ++i)
    CompletaImposto(copias[i], originais[i], calculados);
  for (const Calculado &c : calculados) {
    if (c.grupo != original)
      continue;
    for (xmlNode *dado : Filhos(copia, c.nome.c_str())) {
      xmlUnlinkNode(dado);
      xmlFreeNode(dado);
    }
    Acrescenta(copia, c.nome.c_str(), FormataCentavos(c.centavos));
  }
}

void CopiaItem(xmlNode *pai, const xmlNode *det, const ValoresItem &valores) {
  xmlNode *novo = Acrescenta(pai, "det");
  DefineAtributo(novo, "nItem", *Atributo(det, "nItem"));
  for (const xmlNode *grupo : Filhos(det)) {
    if (grupo == valores.imposto) {
      CompletaImposto(Copia(novo, grupo), grupo, valores.calculados);
      continue;
    }
    if (Nome(grupo) != "prod") {
      Copia(novo, grupo);
      continue;
    }
    // The device writes the item's values it worked out: vProd after vUnCom, vItem and the
    // subtotal's shares after the discounts and before the observations.
    xmlNode *prod = Acrescenta(novo, "prod");
    bool itemEscrito = false;
    auto escreveItem = [&] {
      Acrescenta(prod, "vItem", FormataCentavos(valores.vItem));
      Acrescenta(prod, "vRatDesc", FormataCentavos(valores.vRatDesc));
      Acrescenta(prod, "vRatAcr", FormataCentavos(valores.vRatAcr));
      itemEscrito = true;
    };
    for (const xmlNode *campo : Filhos(grupo)) {
      const std::string nome = Nome(campo);
      if (nome == "vProd" || nome == "vItem" || nome == "vRatDesc" || nome == "vRatAcr")
        continue;
      if (nome == "obsFiscoDet" && !itemEscrito)
        escreveItem();
      Copia(prod, campo);
      if (nome == "vUnCom")
        Acrescenta(prod, "vProd", FormataCentavos(valores.vProd));
    }
    if (!itemEscrito)
      escreveItem();
  }
}

// The taxpayer as the device knows it: CNPJ, name and address; the sale's document gives the rest.
xmlNode *InicioEmitente(xmlNode *pai, std::string_view cnpj, const Emitente &e, bool fantasia) {
  xmlNode *emit = Acrescenta(pai, "emit");
  Acrescenta(emit, "CNPJ", cnpj);
  Acrescenta(emit, "xNome", e.xNome);
  if (fantasia && !e.xFant.empty())
    Acrescenta(emit, "xFant", e.xFant);
  xmlNode *endereco = Acrescenta(emit, "enderEmit");
  Acrescenta(endereco, "xLgr", e.xLgr);
  Acrescenta(endereco, "nro", e.nro);
  if (!e.xCpl.empty())
    Acrescenta(endereco, "xCpl", e.xCpl);
  Acrescenta(endereco, "xBairro", e.xBairro);
  Acrescenta(endereco, "xMun", e.xMun);
  Acrescenta(endereco, "CEP", e.CEP);
  return emit;
}

void CopiaSeHouver(xmlNode *pai, const xmlNode *de, const char *nome) {
  if (const xmlNode *campo = Filho(de, nome))
    Copia(pai, campo);
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
  comum::Instante dia;
  return comum::LeData(data, dia) && dia.ano >= 2000;
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
  DefineAtributo(inf, "versao", kVersaoLayout);
  DefineAtributo(inf, "versaoDadosEnt", lida.versao);
  DefineAtributo(inf, "versaoSB", kVersaoSoftware);
  std::size_t item = 0;
  for (const xmlNode *grupo : Filhos(lida.infCFe)) {
    const std::string nome = Nome(grupo);
    if (nome == "ide") {
      xmlNode *ide = InicioIde(inf, emissao, cfe.chave, true);
      Acrescenta(ide, "CNPJ", cfe.cnpjSoftwareHouse);
      Acrescenta(ide, "signAC", cfe.assinaturaAC);
      Acrescenta(ide, "assinaturaQRCODE", cfe.assinaturaQr);
      Acrescenta(ide, "numeroCaixa", *TextoFilho(grupo, "numeroCaixa"));
    } else if (nome == "emit") {
      xmlNode *emit = InicioEmitente(inf, emissao.cnpjEmitente, emissao.emitente, true);
      CopiaSeHouver(emit, grupo, "IE");
      CopiaSeHouver(emit, grupo, "IM");
      Acrescenta(emit, "cRegTrib", emissao.emitente.cRegTrib);
      CopiaSeHouver(emit, grupo, "cRegTribISSQN");
      CopiaSeHouver(emit, grupo, "indRatISSQN");
    } else if (nome == "det") {
      CopiaItem(inf, grupo, lida.itens[item++]);
    } else if (nome == "total") {
      xmlNode *total = Acrescenta(inf, "total");
      // The sums over the items of goods, in the layout's order.
      static constexpr std::pair<const char *, long long ValoresItem::*> kSomas[] = {
          {"vICMS", &ValoresItem::vICMS},         {"vProd", &ValoresItem::vProd},
          {"vDesc", &ValoresItem::vDesc},         {"vPIS", &ValoresItem::vPIS},
          {"vCOFINS", &ValoresItem::vCOFINS},     {"vPISST", &ValoresItem::vPISST},
          {"vCOFINSST", &ValoresItem::vCOFINSST}, {"vOutro", &ValoresItem::vOutro}};
      xmlNode *icmsTot = Acrescenta(total, "ICMSTot");
      for (const auto &[campo, valor] : kSomas) {
        long long soma = 0;
        for (const ValoresItem &v : lida.itens)
          soma += v.comIcms ? v.*valor : 0;
        Acrescenta(icmsTot, campo, FormataCentavos(soma));
      }
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
    return Recusa(motivo,
                  "raiz: a raiz é <" + Mostra(Nome(raiz)) + ">, não <CFeCanc> com um <infCFe>");
  const xmlNode *inf = dentro.front();
  const std::string chCanc = Atributo(inf, "chCanc").value_or("");
  if (chCanc != "CFe" + venda.chave)
    return Recusa(motivo, "chCanc: '" + Mostra(chCanc) + "' não é a chave da venda cancelada");
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
    return Recusa(motivo, "emit: CNPJ '" + Mostra(*cnpj) + "' não é o do contribuinte");
  std::string comprador;
  if (!LeDestinatario(dest, comprador, motivo))
    return false;
  if (!comprador.empty() && comprador != venda.cpfCnpj)
    return Recusa(motivo, "dest: " + comprador + " não é o comprador da venda");
  if (!SoFilhos(total, {"vCFe"}, nullptr, "total", motivo))
    return false;
  if (const auto vCFe = TextoFilho(total, "vCFe"); vCFe && *vCFe != venda.total)
    return Recusa(motivo, "total: vCFe '" + Mostra(*vCFe) + "' não é o da venda, " + venda.total);

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
  DefineAtributo(novo, "versao", kVersaoLayout);
  Acrescenta(novo, "dEmi", venda.dataHora.substr(0, 8));
  Acrescenta(novo, "hEmi", venda.dataHora.substr(8));
  xmlNode *ideNova = InicioIde(novo, emissao, cfe.chave, false);
  Acrescenta(ideNova, "CNPJ", cfe.cnpjSoftwareHouse);
  Acrescenta(ideNova, "signAC", cfe.assinaturaAC);
  Acrescenta(ideNova, "assinaturaQRCODE", cfe.assinaturaQr);
  Acrescenta(ideNova, "numeroCaixa", *TextoFilho(ide, "numeroCaixa"));
  // What the cancellation repeats of the sale comes from the sale's own CF-e.
  Documento vendaLida;
  std::string semUso;
  const xmlNode *infVenda = nullptr;
  if (!venda.xml.empty() && LeXml(venda.xml, SemDeclaracao::Utf8, vendaLida, semUso))
    infVenda = Filho(Raiz(vendaLida), "infCFe");
  const xmlNode *emitVenda = infVenda ? Filho(infVenda, "emit") : nullptr;
  const xmlNode *destVenda = infVenda ? Filho(infVenda, "dest") : nullptr;
  xmlNode *emitNovo = InicioEmitente(novo, cnpjEmitente, emissao.emitente, false);
  if (emitVenda != nullptr) {
    CopiaSeHouver(emitNovo, emitVenda, "IE");
    CopiaSeHouver(emitNovo, emitVenda, "IM");
  }
  if (destVenda != nullptr) {
    Copia(novo, destVenda);
  } else {
    xmlNode *destNovo = Acrescenta(novo, "dest");
    if (cfe.cpfCnpj.size() == 11)
      Acrescenta(destNovo, "CPF", cfe.cpfCnpj);
    else if (!cfe.cpfCnpj.empty())
      Acrescenta(destNovo, "CNPJ", cfe.cpfCnpj);
  }
  Acrescenta(Acrescenta(novo, "total"), "vCFe", cfe.total);
  AcrescentaAssinatura(raizNova, cfe.chave, Serializa(novo), emissao.serie);
  cfe.xml = ComDeclaracao(raizNova);
  return true;
}

} // namespace satemu
