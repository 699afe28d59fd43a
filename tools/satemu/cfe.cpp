#include "cfe.h"

#include "codifica.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace satemu {

namespace {

// Amounts above this (in cents, or in scaled units) are refused rather than risk overflow.
constexpr long long kValorMaximo = 1'000'000'000'000'000LL;

bool EhEspaco(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

std::string Digitos(long long valor, int largura) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%0*lld", largura, valor);
  return texto;
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

std::string Tag(std::string_view nome, std::string_view texto) {
  std::string saida;
  saida.reserve(nome.size() * 2 + texto.size() + 5);
  saida.append("<").append(nome).append(">").append(texto).append("</").append(nome).append(">");
  return saida;
}

std::string BlocoAssinatura(std::string_view chave, std::string_view conteudo,
                            std::string_view serie) {
  const std::string resumo = CodificaBase64(Resumo(conteudo, 32));
  std::string assinado(resumo);
  assinado.append(serie);
  std::string certificado = "satemu: certificado de teste do SAT ";
  certificado.append(serie);
  std::string bloco = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
                      "<CanonicalizationMethod "
                      "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
                      "<SignatureMethod "
                      "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
                      "<Reference URI=\"#CFe";
  bloco.append(chave);
  bloco.append("\"><Transforms><Transform "
               "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
               "<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
               "</Transforms><DigestMethod "
               "Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>");
  bloco.append(Tag("DigestValue", resumo));
  bloco.append("</Reference></SignedInfo>");
  bloco.append(Tag("SignatureValue", CodificaBase64(Resumo(assinado, 256))));
  bloco.append("<KeyInfo><X509Data>");
  bloco.append(Tag("X509Certificate", CodificaBase64(certificado)));
  bloco.append("</X509Data></KeyInfo></Signature>");
  return bloco;
}

std::string Data(const std::tm &quando) { return CarimboTempo(quando).substr(0, 8); }
std::string Hora(const std::tm &quando) { return CarimboTempo(quando).substr(8); }

// The device's part of <ide>, before what the host sent in its own <ide>.
std::string InicioIde(const Emissao &emissao, std::string_view chave) {
  std::string ide = "<ide>";
  ide += Tag("cUF", Digitos(emissao.uf, 2));
  ide += Tag("cNF", Digitos(emissao.codigoNumerico, 6));
  ide += Tag("mod", "59");
  ide += Tag("nserieSAT", emissao.serie);
  ide += Tag("nCFe", Digitos(emissao.numero, 6));
  ide += Tag("dEmi", Data(emissao.quando));
  ide += Tag("hEmi", Hora(emissao.quando));
  ide += Tag("cDV", chave.substr(43));
  ide += Tag("tpAmb", "2");
  return ide;
}

// The document without the XML declaration and the blanks around it.
std::string_view Aparado(std::string_view texto) {
  while (!texto.empty() && EhEspaco(texto.front()))
    texto.remove_prefix(1);
  if (texto.substr(0, 5) == "<?xml") {
    const std::size_t fim = texto.find("?>");
    texto.remove_prefix(fim == std::string_view::npos ? texto.size() : fim + 2);
  }
  while (!texto.empty() && EhEspaco(texto.front()))
    texto.remove_prefix(1);
  while (!texto.empty() && EhEspaco(texto.back()))
    texto.remove_suffix(1);
  return texto;
}

std::string_view Conteudo(std::string_view xml, const Elemento &e) {
  return xml.substr(e.conteudo, e.fimConteudo - e.conteudo);
}

// The value of an attribute in an opening tag's attribute text, if present.
std::string_view Atributo(std::string_view atributos, std::string_view nome) {
  std::string procura(nome);
  procura += "=\"";
  std::size_t pos = 0;
  while ((pos = atributos.find(procura, pos)) != std::string_view::npos) {
    if (pos == 0 || EhEspaco(atributos[pos - 1])) {
      const std::size_t inicio = pos + procura.size();
      const std::size_t fim = atributos.find('"', inicio);
      if (fim == std::string_view::npos)
        return {};
      return atributos.substr(inicio, fim - inicio);
    }
    pos += procura.size();
  }
  return {};
}

bool LeCampoValor(std::string_view xml, std::string_view nome, int casas, long long &valor) {
  const auto texto = TextoElemento(xml, nome);
  if (!texto) {
    valor = 0;
    return true;
  }
  return LeDecimal(*texto, casas, valor);
}

// Sum of the items (quantity times unit price, rounded to cents, less the item's discount
// plus its other charges), with the discount or surcharge on the subtotal.
bool CalculaTotal(std::string_view infCFe, std::optional<Elemento> total, long long &centavos,
                  std::string &motivo) {
  centavos = 0;
  std::size_t pos = 0;
  while (const auto det = ProcuraElemento(infCFe, "det", pos)) {
    pos = det->fim;
    const std::string_view item = Conteudo(infCFe, *det);
    long long quantidade = 0, unitario = 0, desconto = 0, outros = 0;
    const auto qCom = TextoElemento(item, "qCom");
    const auto vUnCom = TextoElemento(item, "vUnCom");
    if (!qCom || !vUnCom || !LeDecimal(*qCom, 4, quantidade) || !LeDecimal(*vUnCom, 3, unitario) ||
        !LeCampoValor(item, "vDesc", 2, desconto) || !LeCampoValor(item, "vOutro", 2, outros)) {
      motivo = "item sem quantidade ou valor unitario validos";
      return false;
    }
    const __int128 produto = static_cast<__int128>(quantidade) * unitario; // 10^-7
    const __int128 valorItem = (produto + 50000) / 100000;
    if (valorItem > kValorMaximo) {
      motivo = "valor de item fora do limite";
      return false;
    }
    centavos += static_cast<long long>(valorItem) - desconto + outros;
    if (centavos > kValorMaximo) {
      motivo = "total fora do limite";
      return false;
    }
  }
  if (total) {
    long long descontoSubtotal = 0, acrescimoSubtotal = 0;
    const std::string_view conteudo = Conteudo(infCFe, *total);
    if (!LeCampoValor(conteudo, "vDescSubtot", 2, descontoSubtotal) ||
        !LeCampoValor(conteudo, "vAcresSubtot", 2, acrescimoSubtotal)) {
      motivo = "desconto ou acrescimo sobre o subtotal invalido";
      return false;
    }
    centavos += acrescimoSubtotal - descontoSubtotal;
  }
  if (centavos < 0) {
    motivo = "total negativo";
    return false;
  }
  return true;
}

std::string LeComprador(std::string_view infCFe) {
  const auto dest = ProcuraElemento(infCFe, "dest");
  if (!dest)
    return {};
  const std::string_view conteudo = Conteudo(infCFe, *dest);
  if (const auto cpf = TextoElemento(conteudo, "CPF"))
    return std::string(*cpf);
  if (const auto cnpj = TextoElemento(conteudo, "CNPJ"))
    return std::string(*cnpj);
  return {};
}

struct Troca {
  std::size_t inicio;
  std::size_t fim;
  std::string texto;
};

std::string AplicaTrocas(std::string_view texto, std::vector<Troca> trocas) {
  std::stable_sort(trocas.begin(), trocas.end(),
                   [](const Troca &a, const Troca &b) { return a.inicio < b.inicio; });
  std::string saida;
  saida.reserve(texto.size() + 1024);
  std::size_t pos = 0;
  for (const Troca &t : trocas) {
    saida.append(texto.substr(pos, t.inicio - pos));
    saida.append(t.texto);
    pos = t.fim;
  }
  saida.append(texto.substr(pos));
  return saida;
}

std::string DadosQrCode(const CFe &cfe) {
  std::string dados = cfe.chave;
  dados.append("|").append(cfe.dataHora).append("|").append(cfe.total).append("|");
  dados.append(cfe.cpfCnpj).append("|").append(cfe.assinaturaAC);
  return dados;
}

} // namespace

bool SoDigitos(std::string_view texto, std::size_t quantos) {
  return texto.size() == quantos &&
         std::all_of(texto.begin(), texto.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool CnpjValido(std::string_view cnpj) {
  if (!SoDigitos(cnpj, 14))
    return false;
  for (int posicao : {12, 13}) {
    int soma = 0;
    int peso = 2;
    for (int i = posicao - 1; i >= 0; --i) {
      soma += (cnpj[i] - '0') * peso;
      peso = peso == 9 ? 2 : peso + 1;
    }
    const int resto = soma % 11;
    const int digito = resto < 2 ? 0 : 11 - resto;
    if (cnpj[posicao] - '0' != digito)
      return false;
  }
  return true;
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

std::string CarimboTempo(const std::tm &quando) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%04d%02d%02d%02d%02d%02d", quando.tm_year + 1900,
                quando.tm_mon + 1, quando.tm_mday, quando.tm_hour, quando.tm_min, quando.tm_sec);
  return texto;
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

std::optional<Elemento> ProcuraElemento(std::string_view xml, std::string_view nome,
                                        std::size_t desde) {
  std::string abertura = "<";
  abertura.append(nome);
  std::size_t pos = desde;
  while ((pos = xml.find(abertura, pos)) != std::string_view::npos) {
    const std::size_t depoisNome = pos + abertura.size();
    if (depoisNome >= xml.size())
      return std::nullopt;
    const char seguinte = xml[depoisNome];
    if (seguinte != '>' && seguinte != '/' && !EhEspaco(seguinte)) {
      pos = depoisNome;
      continue;
    }
    const std::size_t fimTag = xml.find('>', depoisNome);
    if (fimTag == std::string_view::npos)
      return std::nullopt;
    Elemento e;
    e.inicio = pos;
    e.conteudo = fimTag + 1;
    if (xml[fimTag - 1] == '/') {
      e.atributos = xml.substr(depoisNome, fimTag - 1 - depoisNome);
      e.fimConteudo = e.conteudo;
      e.fim = e.conteudo;
      return e;
    }
    e.atributos = xml.substr(depoisNome, fimTag - depoisNome);
    std::string fechamento = "</";
    fechamento.append(nome).append(">");
    const std::size_t fechaEm = xml.find(fechamento, e.conteudo);
    if (fechaEm == std::string_view::npos)
      return std::nullopt;
    e.fimConteudo = fechaEm;
    e.fim = fechaEm + fechamento.size();
    return e;
  }
  return std::nullopt;
}

std::optional<std::string_view> ConteudoRaiz(std::string_view documento, std::string_view raiz) {
  const std::string_view texto = Aparado(documento);
  const auto elemento = ProcuraElemento(texto, raiz);
  if (!elemento || elemento->inicio != 0 || elemento->fim != texto.size())
    return std::nullopt;
  return Conteudo(texto, *elemento);
}

std::optional<std::string_view> TextoElemento(std::string_view xml, std::string_view nome) {
  const auto e = ProcuraElemento(xml, nome);
  if (!e)
    return std::nullopt;
  return Conteudo(xml, *e);
}

std::string AssinaturaQrCode(std::string_view dados) { return CodificaBase64(Resumo(dados, 256)); }

bool MontaCFeVenda(std::string_view venda, const Emissao &emissao, CFe &cfe, std::string &motivo) {
  const auto raiz = ConteudoRaiz(venda, "CFe");
  if (!raiz) {
    motivo = "documento sem raiz <CFe>";
    return false;
  }
  const auto infCFe = ProcuraElemento(*raiz, "infCFe");
  if (!infCFe) {
    motivo = "documento sem <infCFe>";
    return false;
  }
  const std::string_view conteudo = Conteudo(*raiz, *infCFe);
  if (!ProcuraElemento(conteudo, "det")) {
    motivo = "venda sem itens";
    return false;
  }

  cfe = CFe{};
  const auto ide = ProcuraElemento(conteudo, "ide");
  const std::string_view conteudoIde = ide ? Conteudo(conteudo, *ide) : std::string_view();
  cfe.cnpjSoftwareHouse = std::string(TextoElemento(conteudoIde, "CNPJ").value_or(""));
  cfe.assinaturaAC = std::string(TextoElemento(conteudoIde, "signAC").value_or(""));

  std::string cnpjEmitente = emissao.cnpjEmitente;
  const auto emit = ProcuraElemento(conteudo, "emit");
  std::optional<std::string_view> cnpjVenda;
  if (emit)
    cnpjVenda = TextoElemento(Conteudo(conteudo, *emit), "CNPJ");
  if (cnpjVenda) {
    if (!SoDigitos(*cnpjVenda, 14)) {
      motivo = "CNPJ do emitente invalido";
      return false;
    }
    cnpjEmitente = std::string(*cnpjVenda);
  }

  const auto total = ProcuraElemento(conteudo, "total");
  const auto vCFe = total ? TextoElemento(Conteudo(conteudo, *total), "vCFe") : std::nullopt;
  long long centavos = 0;
  if (vCFe) {
    if (!LeDecimal(*vCFe, 2, centavos)) {
      motivo = "vCFe invalido";
      return false;
    }
  } else if (!CalculaTotal(conteudo, total, centavos, motivo)) {
    return false;
  }
  cfe.total = FormataCentavos(centavos);
  cfe.cpfCnpj = LeComprador(conteudo);
  cfe.chave = MontaChave(emissao.uf, emissao.quando, cnpjEmitente, emissao.serie, emissao.numero,
                         emissao.codigoNumerico);
  cfe.dataHora = CarimboTempo(emissao.quando);
  cfe.assinaturaQr = AssinaturaQrCode(DadosQrCode(cfe));

  std::vector<Troca> trocas;
  std::string novaIde = InicioIde(emissao, cfe.chave);
  novaIde.append(conteudoIde);
  novaIde += Tag("assinaturaQRCODE", cfe.assinaturaQr);
  novaIde += "</ide>";
  if (ide)
    trocas.push_back({ide->inicio, ide->fim, novaIde});
  else
    trocas.push_back({0, 0, novaIde});
  if (!emit)
    trocas.push_back({0, 0, "<emit>" + Tag("CNPJ", cnpjEmitente) + "</emit>"});
  else if (!cnpjVenda)
    trocas.push_back({emit->inicio, emit->fim,
                      "<emit>" + Tag("CNPJ", cnpjEmitente) +
                          std::string(Conteudo(conteudo, *emit)) + "</emit>"});
  const std::string vCFeNovo = Tag("vCFe", cfe.total);
  if (!total) {
    const auto pgto = ProcuraElemento(conteudo, "pgto");
    const std::size_t onde = pgto ? pgto->inicio : conteudo.size();
    trocas.push_back({onde, onde, Tag("total", vCFeNovo)});
  } else if (!vCFe) {
    trocas.push_back({total->inicio, total->fim,
                      Tag("total", std::string(Conteudo(conteudo, *total)) + vCFeNovo)});
  }

  std::string versao(Atributo(infCFe->atributos, "versaoDadosEnt"));
  if (versao.empty())
    versao = "0.07";
  std::string infNovo = "<infCFe Id=\"CFe" + cfe.chave + "\" versao=\"0.07\" versaoDadosEnt=\"" +
                        versao + "\" versaoSB=\"010000\">";
  infNovo += AplicaTrocas(conteudo, std::move(trocas));
  infNovo += "</infCFe>";
  cfe.xml = "<CFe>";
  cfe.xml += infNovo;
  cfe.xml += BlocoAssinatura(cfe.chave, infNovo, emissao.serie);
  cfe.xml += "</CFe>";
  return true;
}

bool MontaCFeCancelamento(std::string_view dados, const VendaEmitida &venda, const Emissao &emissao,
                          CFe &cfe, std::string &motivo) {
  const auto raiz = ConteudoRaiz(dados, "CFeCanc");
  const auto infCFe = raiz ? ProcuraElemento(*raiz, "infCFe") : std::nullopt;
  if (!infCFe) {
    motivo = "documento sem raiz <CFeCanc> e <infCFe>";
    return false;
  }
  const std::string_view conteudo = Conteudo(*raiz, *infCFe);
  const auto ide = TextoElemento(conteudo, "ide");
  cfe = CFe{};
  cfe.cnpjSoftwareHouse = std::string(TextoElemento(ide.value_or(""), "CNPJ").value_or(""));
  cfe.assinaturaAC = std::string(TextoElemento(ide.value_or(""), "signAC").value_or(""));
  // The cancellation belongs to the same taxpayer as the sale: its CNPJ is in the sale's key.
  const std::string cnpjEmitente = venda.chave.substr(6, 14);
  cfe.total = venda.total;
  cfe.cpfCnpj = venda.cpfCnpj;
  cfe.chave = MontaChave(emissao.uf, emissao.quando, cnpjEmitente, emissao.serie, emissao.numero,
                         emissao.codigoNumerico);
  cfe.dataHora = CarimboTempo(emissao.quando);
  cfe.assinaturaQr = AssinaturaQrCode(DadosQrCode(cfe));

  std::string inf =
      "<infCFe Id=\"CFe" + cfe.chave + "\" chCanc=\"CFe" + venda.chave + "\" versao=\"0.07\">";
  inf += Tag("dEmi", venda.dataHora.substr(0, 8));
  inf += Tag("hEmi", venda.dataHora.substr(8));
  inf += InicioIde(emissao, cfe.chave);
  inf.append(ide.value_or(""));
  inf += Tag("assinaturaQRCODE", cfe.assinaturaQr);
  inf += "</ide><emit>" + Tag("CNPJ", cnpjEmitente) + "</emit><dest>";
  if (cfe.cpfCnpj.size() == 11)
    inf += Tag("CPF", cfe.cpfCnpj);
  else if (!cfe.cpfCnpj.empty())
    inf += Tag("CNPJ", cfe.cpfCnpj);
  inf += "</dest>" + Tag("total", Tag("vCFe", cfe.total)) + "</infCFe>";
  cfe.xml = "<CFeCanc>" + inf + BlocoAssinatura(cfe.chave, inf, emissao.serie) + "</CFeCanc>";
  return true;
}

} // namespace satemu
