#include "cfe.h"
#include "codifica.h"

#include "apoio.h"

#include <gtest/gtest.h>

namespace {

using satemu::CFe;
using satemu::Emissao;

// Key of cUF 35, 2024-01, CNPJ 11222333000181, serial 900000001, nCFe 1, cNF 123456:
//   3524011122233300018159900000001000001123456 (43 digits)
// Weights from the right, 2..9 repeating, digit by digit from the left:
//   3*4 5*3 2*2 4*9 0*8 1*7 1*6 1*5 2*4 2*3 2*2 3*9 3*8 3*7 0*6 0*5 0*4 1*3 8*2 1*9 5*8
//   9*7 9*6 0*5 0*4 0*3 0*2 0*9 0*8 0*7 1*6 0*5 0*4 0*3 0*2 0*9 1*8 1*7 2*6 3*5 4*4 5*3 6*2
//   = 12+15+4+36+0+7+6+5+8+6+4+27+24+21+0+0+0+3+16+9+40+63+54+0+0+0+0+0+0+0+6+0+0+0+0+0
//     +8+7+12+15+16+15+12 = 451
// 451 = 41 * 11 + 0, 11 - 0 = 11, which gives 0. Changing the last digit by d adds 2d to the
// sum: cNF 123457 sums 453 (rest 2, digit 9); cNF 123451 sums 441 (rest 1, 10, digit 0).
TEST(ChaveAcesso, DigitoVerificador) {
  const struct {
    const char *base;
    int digito;
  } casos[] = {{"3524011122233300018159900000001000001123456", 0},
               {"3524011122233300018159900000001000001123457", 9},
               {"3524011122233300018159900000001000001123451", 0},
               // 1 * 2 = 2, rest 2, digit 9; 1 * 4 (third from the right) = 4, rest 4, digit 7
               {"0000000000000000000000000000000000000000001", 9},
               {"0000000000000000000000000000000000000000100", 7}};
  for (const auto &caso : casos)
    EXPECT_EQ(satemu::DigitoChave(caso.base), caso.digito) << caso.base;
}

TEST(ChaveAcesso, CamposNaOrdem) {
  std::tm quando{};
  quando.tm_year = 124;
  quando.tm_mon = 0;
  EXPECT_EQ(satemu::MontaChave(35, quando, "11222333000181", "900000001", 1, 123457),
            "35240111222333000181599000000010000011234579");
}

TEST(Cnpj, Validacao) {
  const struct {
    const char *cnpj;
    bool valido;
  } casos[] = {{"11222333000181", true},  {"22233344000183", true}, {"11222333000182", false},
               {"11222333000191", false}, {"1122233300018", false}, {"1122233300018a", false}};
  for (const auto &caso : casos)
    EXPECT_EQ(satemu::CnpjValido(caso.cnpj), caso.valido) << caso.cnpj;
}

TEST(Valores, DecimaisEscalados) {
  const struct {
    const char *texto;
    int casas;
    bool aceito;
    long long valor;
  } casos[] = {{"10.005", 3, true, 10005}, {"10.5", 3, true, 10500}, {"7", 2, true, 700},
               {"1.234", 2, false, 0},     {"-1.00", 2, false, 0},   {"1.", 2, false, 0},
               {".5", 2, false, 0},        {"1,50", 2, false, 0},    {"", 2, false, 0}};
  for (const auto &caso : casos) {
    long long valor = 0;
    EXPECT_EQ(satemu::LeDecimal(caso.texto, caso.casas, valor), caso.aceito) << caso.texto;
    if (caso.aceito) {
      EXPECT_EQ(valor, caso.valor) << caso.texto;
    }
  }
  EXPECT_EQ(satemu::FormataCentavos(3002), "30.02");
  EXPECT_EQ(satemu::FormataCentavos(5), "0.05");
}

TEST(Codificacao, Base64) {
  const char *casos[][2] = {{"", ""},
                            {"f", "Zg=="},
                            {"fo", "Zm8="},
                            {"foo", "Zm9v"},
                            {"foob", "Zm9vYg=="},
                            {"fooba", "Zm9vYmE="},
                            {"\xE3\xFF", "4/8="}};
  for (const auto &caso : casos)
    EXPECT_EQ(satemu::CodificaBase64(caso[0]), caso[1]);
}

TEST(Codificacao, ExpansaoLimitada) {
  const std::string texto(1000, 'x');
  const std::string fluxo = teste::Deflate(texto);
  std::string saida;
  EXPECT_EQ(satemu::Expande(fluxo, 1000, saida), satemu::Expansao::Ok);
  EXPECT_EQ(saida, texto);
  EXPECT_EQ(satemu::Expande(fluxo, 999, saida), satemu::Expansao::Excede);
  EXPECT_EQ(satemu::Expande(fluxo.substr(0, fluxo.size() - 3), 5000, saida),
            satemu::Expansao::Invalida);
  EXPECT_EQ(satemu::Expande("not zlib", 5000, saida), satemu::Expansao::Invalida);
}

Emissao UmaEmissao() {
  Emissao e;
  e.uf = 35;
  e.cnpjEmitente = "11222333000181";
  e.serie = "900000001";
  e.numero = 42;
  e.codigoNumerico = 654321;
  e.quando.tm_year = 124;
  e.quando.tm_mon = 1;
  e.quando.tm_mday = 29;
  e.quando.tm_hour = 13;
  e.quando.tm_min = 5;
  e.quando.tm_sec = 9;
  return e;
}

TEST(CFeVenda, DocumentoAssinado) {
  CFe cfe;
  std::string motivo;
  ASSERT_TRUE(
      satemu::MontaCFeVenda(teste::XmlVenda("<signAC>QUJD</signAC>", "<CPF>12345678909</CPF>"),
                            UmaEmissao(), cfe, motivo))
      << motivo;
  EXPECT_EQ(cfe.chave.substr(0, 20), "35240211222333000181");
  EXPECT_EQ(cfe.chave.substr(20, 23), "59900000001000042654321");
  EXPECT_EQ(cfe.chave[43] - '0', satemu::DigitoChave(cfe.chave.substr(0, 43)));
  EXPECT_EQ(cfe.total, "30.02");
  EXPECT_EQ(cfe.cpfCnpj, "12345678909");
  EXPECT_EQ(cfe.dataHora, "20240229130509");
  EXPECT_EQ(cfe.assinaturaAC, "QUJD");
  EXPECT_EQ(cfe.cnpjSoftwareHouse, "22233344000183");
  EXPECT_EQ(teste::DecodificaBase64(cfe.assinaturaQr).size(), 256u);
  const std::string &xml = cfe.xml;
  EXPECT_EQ(xml.rfind("</CFe>"), xml.size() - 6);
  for (const std::string &parte :
       {"<infCFe Id=\"CFe" + cfe.chave + "\"", std::string("<nCFe>000042</nCFe>"),
        std::string("<nserieSAT>900000001</nserieSAT>"), std::string("<dEmi>20240229</dEmi>"),
        std::string("<hEmi>130509</hEmi>"), "<cDV>" + cfe.chave.substr(43) + "</cDV>",
        std::string("<emit><CNPJ>11222333000181</CNPJ><IE>"),
        std::string("<numeroCaixa>001</numeroCaixa><assinaturaQRCODE>"),
        std::string("<xProd>P\xE3o</xProd>"), std::string("<total><vCFe>30.02</vCFe></total>"),
        std::string("<pgto>")})
    EXPECT_NE(xml.find(parte), std::string::npos) << parte;
  EXPECT_LT(xml.find("</infCFe>"), xml.find("<Signature"));
}

// The total: taken from <vCFe> when the document has one, computed from the items otherwise.
TEST(CFeVenda, TotalEEmitente) {
  const std::string inicio = "<CFe><infCFe><emit><CNPJ>33444555000100</CNPJ></emit>";
  const struct {
    const char *corpo;
    const char *total;
  } casos[] = {
      {"<det><prod><qCom>1</qCom><vUnCom>5.00</vUnCom></prod></det><total><vCFe>4.50</vCFe>"
       "</total>",
       "4.50"},
      {"<det><prod><qCom>1.5</qCom><vUnCom>0.333</vUnCom><vDesc>0.10</vDesc></prod></det>"
       "<det><prod><qCom>2</qCom><vUnCom>1</vUnCom><vOutro>0.05</vOutro></prod></det>",
       "2.45"},
      {"<det><prod><qCom>1</qCom><vUnCom>10</vUnCom></prod></det><total><DescAcrEntr>"
       "<vDescSubtot>1.25</vDescSubtot></DescAcrEntr></total>",
       "8.75"},
  };
  for (const auto &caso : casos) {
    CFe cfe;
    std::string motivo;
    ASSERT_TRUE(
        satemu::MontaCFeVenda(inicio + caso.corpo + "</infCFe></CFe>", UmaEmissao(), cfe, motivo))
        << caso.corpo << ": " << motivo;
    EXPECT_EQ(cfe.total, caso.total) << caso.corpo;
    EXPECT_EQ(cfe.chave.substr(6, 14), "33444555000100");
    EXPECT_NE(cfe.xml.find("<vCFe>" + std::string(caso.total) + "</vCFe>"), std::string::npos);
  }
}

TEST(CFeVenda, DocumentosRecusados) {
  const char *casos[] = {
      "<CFeX><infCFe><det><prod><qCom>1</qCom><vUnCom>1</vUnCom></prod></det></infCFe></CFeX>",
      "<CFe><infCFe><det><prod><qCom>1</qCom><vUnCom>1</vUnCom></prod></det></infCFe></CFe>x",
      "<CFe><infCFe><total/></infCFe></CFe>",
      "<CFe><det><prod><qCom>1</qCom><vUnCom>1</vUnCom></prod></det></CFe>",
      "<CFe><infCFe><det><prod><qCom>1</qCom></prod></det></infCFe></CFe>",
      "<CFe><infCFe><det><prod><qCom>1</qCom><vUnCom>1,0</vUnCom></prod></det></infCFe></CFe>",
      "<CFe><infCFe><emit><CNPJ>123</CNPJ></emit><det><prod><qCom>1</qCom><vUnCom>1</vUnCom>"
      "</prod></det></infCFe></CFe>",
      "<CFe><infCFe><det><prod><qCom>1</qCom><vUnCom>1</vUnCom></prod></det>",
  };
  for (const char *caso : casos) {
    CFe cfe;
    std::string motivo;
    EXPECT_FALSE(satemu::MontaCFeVenda(caso, UmaEmissao(), cfe, motivo)) << caso;
  }
}

TEST(CFeCancelamento, ReferenciaAVenda) {
  const satemu::VendaEmitida venda{"35240211222333000181599000000010000426543210", "30.02",
                                   "12345678909", "20240229130509"};
  Emissao emissao = UmaEmissao();
  emissao.numero = 43;
  CFe cfe;
  std::string motivo;
  ASSERT_TRUE(satemu::MontaCFeCancelamento(
      "<?xml version=\"1.0\"?>\n<CFeCanc><infCFe chCanc=\"CFe" + venda.chave +
          "\"><ide><CNPJ>22233344000183</CNPJ><signAC>QUJD</signAC></ide></infCFe></CFeCanc>\n",
      venda, emissao, cfe, motivo))
      << motivo;
  EXPECT_EQ(cfe.chave.substr(31, 6), "000043");
  EXPECT_EQ(cfe.total, "30.02");
  EXPECT_EQ(cfe.cpfCnpj, "12345678909");
  for (const std::string &parte :
       {"chCanc=\"CFe" + venda.chave + "\"", std::string("<dEmi>20240229</dEmi>"),
        std::string("<CPF>12345678909</CPF>"), std::string("<signAC>QUJD</signAC>"),
        std::string("<vCFe>30.02</vCFe>")})
    EXPECT_NE(cfe.xml.find(parte), std::string::npos) << parte;
  EXPECT_EQ(cfe.xml.rfind("</CFeCanc>"), cfe.xml.size() - 10);
  EXPECT_FALSE(satemu::MontaCFeCancelamento("<CFe><infCFe/></CFe>", venda, emissao, cfe, motivo));
}

} // namespace
