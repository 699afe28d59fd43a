// Sale and cancellation documents as a POS builds them, for the end-to-end tests and the
// benchmarks, accepted by satemu --pronto (its taxpayer, software house and signature); and the
// fields of a reply.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

constexpr char ASSINATURA[] = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD";

// A sale as a POS builds it, UTF-8, with `itens` items (at most 500) of `quantidade` units at
// `centavos` each and, when `complemento` is not 0, that many bytes of additional information.
inline std::string VendaDeItens(int itens, int quantidade, int centavos, size_t complemento) {
  const auto reais = [](long long c) {
    char texto[32];
    std::snprintf(texto, sizeof texto, "%lld.%02lld", c / 100, c % 100);
    return std::string(texto);
  };
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CFe><infCFe "
                    "versaoDadosEnt=\"0.07\"><ide><CNPJ>22233344000183</CNPJ><signAC>";
  xml += ASSINATURA;
  xml += "</signAC><numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>11222333000181</CNPJ><IE>"
         "111111111111</IE><IM>123123</IM><cRegTribISSQN>3</cRegTribISSQN><indRatISSQN>N"
         "</indRatISSQN></emit><dest><CPF>11144477735</CPF></dest>";
  for (int i = 1; i <= itens; i++) {
    xml += "<det nItem=\"" + std::to_string(i) +
           "\"><prod><cProd>001</cProd><xProd>P\xC3\xA3o de queijo</xProd><NCM>19059090</NCM>"
           "<CFOP>5102</CFOP><uCom>UN</uCom><qCom>" +
           std::to_string(quantidade) + ".0000</qCom><vUnCom>" + reais(centavos) +
           "</vUnCom><indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig>"
           "<CSOSN>102</CSOSN></ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS>"
           "<COFINSSN><CST>49</CST></COFINSSN></COFINS></imposto></det>";
  }
  xml += "<total/><pgto><MP><cMP>01</cMP><vMP>" +
         reais(static_cast<long long>(itens) * quantidade * centavos) + "</vMP></MP></pgto>";
  if (complemento > 0) {
    xml += "<infAdic><infCpl>" + std::string(complemento, 'x') + "</infCpl></infAdic>";
  }
  xml += "</infCFe></CFe>";
  return xml;
}

// `itens` items of 3 x 2.50.
inline std::string Venda(int itens = 2, size_t complemento = 0) {
  return VendaDeItens(itens, 3, 250, complemento);
}

inline std::string Cancelamento(const std::string &chave) {
  return "<CFeCanc><infCFe chCanc=\"" + chave + "\"><ide><CNPJ>22233344000183</CNPJ><signAC>" +
         ASSINATURA +
         "</signAC><numeroCaixa>001</numeroCaixa></ide><emit/><dest/><total/></infCFe>"
         "</CFeCanc>";
}

// A sale of about `kb` kilobytes: items as far as the device takes them (500), then additional
// information.
inline std::string VendaDe(size_t kb) {
  const size_t porItem = Venda(2).size() - Venda(1).size();
  const size_t base = Venda(1).size() - porItem;
  const size_t alvo = kb * 1000;
  const size_t itens =
      alvo > base ? std::min<size_t>(500, (alvo - base + porItem - 1) / porItem) : 1;
  const size_t comItens = base + itens * porItem;
  return Venda(static_cast<int>(itens), alvo > comItens + 64 ? alvo - comItens - 64 : 0);
}

// A reply's fields, split at every '|'.
inline std::vector<std::string> CamposDaResposta(const std::string &resposta) {
  std::vector<std::string> campos;
  size_t inicio = 0;
  for (size_t barra; (barra = resposta.find('|', inicio)) != std::string::npos;
       inicio = barra + 1) {
    campos.push_back(resposta.substr(inicio, barra - inicio));
  }
  campos.push_back(resposta.substr(inicio));
  return campos;
}
