#include "apoio.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace teste {

std::string DeHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

std::string ParaHex(std::string_view bytes) {
  std::string hex;
  char par[3];
  for (const char c : bytes) {
    std::snprintf(par, sizeof par, "%02x", static_cast<unsigned char>(c));
    hex += par;
  }
  return hex;
}

std::string DecodificaBase64(std::string_view texto) {
  std::string saida;
  unsigned acumulado = 0;
  int bits = 0;
  for (const char c : texto) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      throw std::runtime_error("not base64");
    acumulado = acumulado << 6 | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      saida += static_cast<char>(acumulado >> bits & 0xFF);
    }
  }
  return saida;
}

std::string Inflate(std::string_view fluxo) {
  std::string saida(8u * 1024 * 1024, '\0');
  uLongf tamanho = saida.size();
  if (uncompress(reinterpret_cast<Bytef *>(saida.data()), &tamanho,
                 reinterpret_cast<const Bytef *>(fluxo.data()), fluxo.size()) != Z_OK)
    throw std::runtime_error("bad zlib stream");
  saida.resize(tamanho);
  return saida;
}

std::string Deflate(std::string_view texto) {
  std::string saida(compressBound(texto.size()), '\0');
  uLongf tamanho = saida.size();
  compress2(reinterpret_cast<Bytef *>(saida.data()), &tamanho,
            reinterpret_cast<const Bytef *>(texto.data()), texto.size(), 2);
  saida.resize(tamanho);
  return saida;
}

std::uint32_t Le32(std::string_view bytes, std::size_t onde) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[onde])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[onde + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[onde + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[onde + 3])) << 24;
}

std::string Le32Bytes(std::uint32_t valor) {
  std::string bytes;
  for (int i = 0; i < 4; ++i)
    bytes += static_cast<char>(valor >> (8 * i) & 0xFF);
  return bytes;
}

std::string QuadroResposta(std::uint8_t sequencia, std::string_view carga) {
  std::string quadro = std::string(1, '\x01') + static_cast<char>(sequencia) + std::string(7, '\0');
  quadro += Le32Bytes(static_cast<std::uint32_t>(carga.size()));
  quadro.append(carga);
  unsigned soma = 0;
  for (std::size_t i = 1; i < quadro.size(); ++i)
    soma += static_cast<unsigned char>(quadro[i]);
  return quadro + static_cast<char>(soma & 0xFF);
}

std::vector<std::string> Divide(std::string_view texto, char separador) {
  std::vector<std::string> partes;
  std::size_t inicio = 0;
  for (;;) {
    const std::size_t fim = texto.find(separador, inicio);
    partes.emplace_back(texto.substr(inicio, fim - inicio));
    if (fim == std::string_view::npos)
      return partes;
    inicio = fim + 1;
  }
}

std::string PedidoVenda(std::string_view sessao, std::string_view codigo, std::string_view xml) {
  const std::string fluxo = Deflate(xml);
  std::string pedido(sessao);
  pedido.append("|EnviarDadosVenda|").append(codigo).append("|");
  return pedido + Le32Bytes(static_cast<std::uint32_t>(fluxo.size())) + fluxo;
}

std::string XmlVenda(std::string_view assinatura, std::string_view dest) {
  std::string xml = "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide><CNPJ>22233344000183</CNPJ><signAC>";
  xml.append(assinatura);
  xml += "</signAC><numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>11222333000181</CNPJ>"
         "<IE>111111111111</IE><indRatISSQN>N</indRatISSQN></emit><dest>";
  xml.append(dest);
  xml += "</dest><det nItem=\"1\"><prod><cProd>1</cProd><xProd>P\xC3\xA3o</xProd><CFOP>5102</CFOP>"
         "<uCom>UN</uCom><qCom>3.0000</qCom><vUnCom>10.005</vUnCom><indRegra>A</indRegra></prod>"
         "<imposto/></det><total/><pgto><MP><cMP>01</cMP><vMP>50.00</vMP></MP></pgto></infCFe>"
         "</CFe>";
  return xml;
}

std::string XmlCancelamento(std::string_view chave, std::string_view assinatura) {
  std::string xml = "<CFeCanc><infCFe chCanc=\"CFe";
  xml.append(chave);
  xml += "\"><ide><CNPJ>22233344000183</CNPJ><signAC>";
  xml.append(assinatura);
  xml += "</signAC><numeroCaixa>001</numeroCaixa></ide><emit/><dest/><total/></infCFe></CFeCanc>";
  return xml;
}

std::string LeArquivo(const std::string &caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  if (!arquivo)
    throw std::runtime_error("cannot read " + caminho);
  return std::string((std::istreambuf_iterator<char>(arquivo)), {});
}

int DigitoModulo11(std::string_view base43) {
  // Weights 2, 3, ..., 9, 2, 3, ... from the last digit back.
  int soma = 0;
  for (std::size_t i = 0; i < base43.size(); ++i)
    soma += (base43[base43.size() - 1 - i] - '0') * static_cast<int>(2 + i % 8);
  const int resto = soma % 11;
  return resto < 2 ? 0 : 11 - resto;
}

XmlLido::XmlLido(std::string_view documento) {
  xmlParserCtxtPtr contexto = xmlNewParserCtxt();
  xmlDocPtr doc =
      xmlCtxtReadMemory(contexto, documento.data(), static_cast<int>(documento.size()), nullptr,
                        nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr)
    erro_ = contexto->lastError.message != nullptr ? contexto->lastError.message : "?";
  xmlFreeParserCtxt(contexto);
  doc_ = doc;
}

XmlLido::~XmlLido() { xmlFreeDoc(static_cast<xmlDocPtr>(doc_)); }

namespace {

template <typename F> auto Consulta(void *doc, const std::string &xpath, F &&usa) {
  xmlXPathContextPtr contexto = xmlXPathNewContext(static_cast<xmlDocPtr>(doc));
  // The signature's elements are in the xmldsig namespace, reached with the prefix ds.
  xmlXPathRegisterNs(contexto, BAD_CAST "ds", BAD_CAST "http://www.w3.org/2000/09/xmldsig#");
  xmlXPathObjectPtr achado = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), contexto);
  auto resultado = usa(achado);
  xmlXPathFreeObject(achado);
  xmlXPathFreeContext(contexto);
  return resultado;
}

} // namespace

std::string XmlLido::Valor(const std::string &xpath) const {
  if (doc_ == nullptr)
    return "<not XML>";
  return Consulta(doc_, xpath, [](xmlXPathObjectPtr achado) -> std::string {
    if (achado == nullptr || achado->nodesetval == nullptr || achado->nodesetval->nodeNr == 0)
      return "<none>";
    xmlChar *texto = xmlNodeGetContent(achado->nodesetval->nodeTab[0]);
    std::string valor = reinterpret_cast<const char *>(texto);
    xmlFree(texto);
    return valor;
  });
}

int XmlLido::Conta(const std::string &xpath) const {
  if (doc_ == nullptr)
    return -1;
  return Consulta(doc_, xpath, [](xmlXPathObjectPtr achado) {
    return achado == nullptr || achado->nodesetval == nullptr ? 0 : achado->nodesetval->nodeNr;
  });
}

RespostaVenda LeRespostaVenda(std::string_view carga) {
  RespostaVenda r;
  std::size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    const std::size_t barra = carga.find('|', pos);
    if (barra == std::string_view::npos)
      return r;
    r.campos.emplace_back(carga.substr(pos, barra - pos));
    pos = barra + 1;
  }
  if (carga.size() < pos + 4)
    return r;
  const std::uint32_t tamanho = Le32(carga, pos);
  if (carga.size() != pos + 4 + tamanho)
    return r;
  r.cauda = Divide(Inflate(carga.substr(pos + 4)));
  r.valida = true;
  return r;
}

std::string ProblemaCFe(std::string_view resposta) {
  const auto campos = Divide(resposta.substr(0, 13));
  if (campos.size() < 2)
    return {};
  std::string base64;
  if (campos[1] == "06000") {
    const RespostaVenda venda = LeRespostaVenda(resposta);
    if (!venda.valida || venda.cauda.empty())
      return "a sale reply without its CF-e";
    base64 = venda.cauda[0];
  } else if (campos[1] == "07000" || campos[1] == "09000") {
    const auto todos = Divide(resposta);
    const std::size_t indice = campos[1] == "07000" ? 6 : 5;
    if (todos.size() <= indice)
      return "a reply without its CF-e";
    base64 = todos[indice];
  } else {
    return {};
  }
  const XmlLido xml(DecodificaBase64(base64));
  if (!xml.Valido())
    return "CF-e not well-formed: " + xml.Erro();
  return ProblemaGrupos(xml);
}

std::string ProblemaGrupos(const XmlLido &xml) {
  // What a SAT writes in every document it signs, beside what the POS sent.
  static const char *const kVenda[] = {
      "/CFe/infCFe[@Id and @versao='0.08' and @versaoDadosEnt and @versaoSB='010000']",
      "/CFe/infCFe/ide[cUF and cNF and mod='59' and nserieSAT and nCFe and dEmi and hEmi and cDV "
      "and tpAmb and CNPJ and signAC and assinaturaQRCODE and numeroCaixa]",
      "/CFe/infCFe/emit[CNPJ and xNome and enderEmit[xLgr and nro and xBairro and xMun and CEP] "
      "and IE and cRegTrib and indRatISSQN]",
      "/CFe/infCFe/dest",
      "/CFe/infCFe[count(det) = count(det/prod[vProd and vItem and vRatDesc and vRatAcr])]",
      "/CFe/infCFe/total/*[1][self::ICMSTot[vICMS and vProd and vDesc and vPIS and vCOFINS and "
      "vPISST and vCOFINSST and vOutro]]/following-sibling::*[1][self::vCFe]",
      "/CFe/infCFe/pgto/vTroco",
      "/CFe/ds:Signature/ds:SignedInfo/ds:Reference",
  };
  static const char *const kCancelamento[] = {
      "/CFeCanc/infCFe[@Id and @chCanc and @versao='0.08']",
      "/CFeCanc/infCFe/*[1][self::dEmi]/following-sibling::*[1][self::hEmi]",
      "/CFeCanc/infCFe/ide[cUF and cNF and mod='59' and nserieSAT and nCFe and dEmi and hEmi and "
      "cDV and not(tpAmb) and CNPJ and signAC and assinaturaQRCODE and numeroCaixa]",
      "/CFeCanc/infCFe/emit[CNPJ and xNome and enderEmit[xLgr and nro and xBairro and xMun and "
      "CEP] and IE]",
      "/CFeCanc/infCFe/dest",
      "/CFeCanc/infCFe/total/vCFe",
      "/CFeCanc/ds:Signature/ds:SignedInfo/ds:Reference",
  };
  const bool venda = xml.Conta("/CFe") == 1;
  if (!venda && xml.Conta("/CFeCanc") != 1)
    return "neither <CFe> nor <CFeCanc>";
  const std::vector<const char *> grupos =
      venda ? std::vector<const char *>(std::begin(kVenda), std::end(kVenda))
            : std::vector<const char *>(std::begin(kCancelamento), std::end(kCancelamento));
  for (const char *grupo : grupos)
    if (xml.Conta(grupo) != 1)
      return std::string("CF-e without ") + grupo;
  return {};
}

} // namespace teste
