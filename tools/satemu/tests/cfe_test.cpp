#include "cfe.h"
#include "codifica.h"

#include "apoio.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using satemu::CFe;
using satemu::Emissao;
using teste::XmlLido;

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
  for (const auto &caso : casos) {
    EXPECT_EQ(satemu::DigitoChave(caso.base), caso.digito) << caso.base;
    EXPECT_EQ(teste::DigitoModulo11(caso.base), caso.digito) << caso.base;
  }
}

TEST(ChaveAcesso, CamposNaOrdem) {
  std::tm quando{};
  quando.tm_year = 124;
  quando.tm_mon = 0;
  EXPECT_EQ(satemu::MontaChave(35, quando, "11222333000181", "900000001", 1, 123457),
            "35240111222333000181599000000010000011234579");
}

TEST(Documentos, CpfECnpj) {
  const struct {
    const char *numero;
    bool cnpj;
    bool valido;
  } casos[] = {{"11222333000181", true, true},  {"22233344000183", true, true},
               {"11444777000161", true, true},  {"11222333000182", true, false},
               {"11222333000191", true, false}, {"1122233300018", true, false},
               {"1122233300018a", true, false}, {"00000000000000", true, false},
               {"12345678909", false, true},    {"11144477735", false, true},
               {"12345678900", false, false},   {"12345678919", false, false},
               {"11111111111", false, false},   {"123|45678909", false, false},
               {"1234567890", false, false}};
  for (const auto &caso : casos)
    EXPECT_EQ(caso.cnpj ? satemu::CnpjValido(caso.numero) : satemu::CpfValido(caso.numero),
              caso.valido)
        << caso.numero;
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
  for (const auto &caso : casos) {
    EXPECT_EQ(satemu::CodificaBase64(caso[0]), caso[1]);
    std::string volta;
    EXPECT_TRUE(satemu::DecodificaBase64(caso[1], volta)) << caso[1];
    EXPECT_EQ(volta, caso[0]);
  }
  // Not what an encoder writes: no padding, bits left over, padding inside, other bytes.
  for (const char *ruim : {"Zg", "Zh==", "Zg=a", "Z===", "Zm9v\n", "Zm-v"}) {
    std::string dados;
    EXPECT_FALSE(satemu::DecodificaBase64(ruim, dados)) << ruim;
  }
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

std::string Troca(std::string texto,
                  const std::vector<std::pair<std::string, std::string>> &trocas) {
  for (const auto &[de, para] : trocas) {
    const std::size_t onde = texto.find(de);
    if (onde == std::string::npos)
      throw std::runtime_error("not in the document: " + de);
    texto.replace(onde, de.size(), para);
  }
  return texto;
}

TEST(CFeVenda, DocumentoAssinado) {
  CFe cfe;
  std::string motivo;
  ASSERT_TRUE(satemu::MontaCFeVenda(teste::XmlVenda("QUJD", "<CPF>12345678909</CPF>"), UmaEmissao(),
                                    cfe, motivo))
      << motivo;
  // 35 2402 11222333000181 59 900000001 000042 654321: weights from the right sum 537, which
  // is 48 x 11 + 9, so the digit is 11 - 9 = 2.
  EXPECT_EQ(cfe.chave, "35240211222333000181599000000010000426543212");
  EXPECT_EQ(cfe.total, "30.02");
  EXPECT_EQ(cfe.cpfCnpj, "12345678909");
  EXPECT_EQ(cfe.dataHora, "20240229130509");
  EXPECT_EQ(cfe.assinaturaAC, "QUJD");
  EXPECT_EQ(cfe.cnpjSoftwareHouse, "22233344000183");
  EXPECT_EQ(teste::DecodificaBase64(cfe.assinaturaQr).size(), 256u);

  EXPECT_EQ(cfe.xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe>", 0), 0u);
  const XmlLido xml(cfe.xml);
  ASSERT_TRUE(xml.Valido()) << xml.Erro();
  const std::pair<const char *, std::string> valores[] = {
      {"/CFe/infCFe/@Id", "CFe" + cfe.chave},
      {"/CFe/infCFe/@versaoDadosEnt", "0.07"},
      {"/CFe/infCFe/ide/cUF", "35"},
      {"/CFe/infCFe/ide/cNF", "654321"},
      {"/CFe/infCFe/ide/nserieSAT", "900000001"},
      {"/CFe/infCFe/ide/nCFe", "000042"},
      {"/CFe/infCFe/ide/dEmi", "20240229"},
      {"/CFe/infCFe/ide/hEmi", "130509"},
      {"/CFe/infCFe/ide/cDV", "2"},
      {"/CFe/infCFe/ide/signAC", "QUJD"},
      {"/CFe/infCFe/ide/assinaturaQRCODE", cfe.assinaturaQr},
      {"/CFe/infCFe/ide/assinaturaQRCODE/following-sibling::*[1]", "001"},
      {"/CFe/infCFe/emit/CNPJ", "11222333000181"},
      {"/CFe/infCFe/emit/IE", "111111111111"},
      {"/CFe/infCFe/dest/CPF", "12345678909"},
      {"/CFe/infCFe/det[@nItem='1']/prod/xProd", "P\xC3\xA3o"},
      {"/CFe/infCFe/det/prod/vUnCom/following-sibling::*[1]", "30.02"},
      {"/CFe/infCFe/det/prod/vItem", "30.02"},
      {"/CFe/infCFe/total/vCFe", "30.02"},
      {"/CFe/infCFe/pgto/vTroco", "19.98"},
      {"/CFe/ds:Signature/ds:SignedInfo/ds:Reference/@URI", "#CFe" + cfe.chave},
  };
  for (const auto &[caminho, valor] : valores)
    EXPECT_EQ(xml.Valor(caminho), valor) << caminho;
  EXPECT_EQ(xml.Conta("/CFe/*"), 2);
  EXPECT_EQ(xml.Conta("/CFe/infCFe/following-sibling::ds:Signature"), 1);
}

// The totals the device works out, and the CF-e it writes for each: well-formed and saying so.
TEST(CFeVenda, Totais) {
  const struct {
    std::vector<std::pair<std::string, std::string>> trocas;
    const char *total;
    const char *troco;
  } casos[] = {
      {{}, "30.02", "19.98"},
      {{{"<indRegra>A", "<indRegra>T"}}, "30.01", "19.99"},
      {{{"</indRegra>", "</indRegra><vDesc>0.02</vDesc><vOutro>0.10</vOutro>"}}, "30.10", "19.90"},
      {{{"<total/>", "<total><DescAcrEntr><vDescSubtot>1.25</vDescSubtot></DescAcrEntr></total>"}},
       "28.77",
       "21.23"},
      {{{"<total/>",
         "<total><DescAcrEntr><vAcresSubtot>0.98</vAcresSubtot></DescAcrEntr></total>"}},
       "31.00",
       "19.00"},
      {{{"<total/>", "<total><vCFe>30.02</vCFe><vCFeLei12741>4.10</vCFeLei12741></total>"},
        {"</vUnCom>", "</vUnCom><vProd>30.02</vProd>"}},
       "30.02",
       "19.98"},
      {{{"</det>", "</det><det nItem=\"2\"><prod><cProd>2</cProd><xProd>a &amp; b</xProd>"
                   "<CFOP>5102</CFOP><uCom>KG</uCom><qCom>0.3335</qCom><vUnCom>29.90</vUnCom>"
                   "<indRegra>T</indRegra></prod><imposto/></det>"}},
       "39.99",
       "10.01"},
  };
  for (const auto &caso : casos) {
    const std::string documento = Troca(teste::XmlVenda(), caso.trocas);
    SCOPED_TRACE(documento);
    CFe cfe;
    std::string motivo;
    ASSERT_TRUE(satemu::MontaCFeVenda(documento, UmaEmissao(), cfe, motivo)) << motivo;
    EXPECT_EQ(cfe.total, caso.total);
    const XmlLido xml(cfe.xml);
    ASSERT_TRUE(xml.Valido()) << xml.Erro();
    EXPECT_EQ(xml.Valor("/CFe/infCFe/total/vCFe"), caso.total);
    EXPECT_EQ(xml.Conta("/CFe/infCFe/total/vCFe"), 1);
    EXPECT_EQ(xml.Valor("/CFe/infCFe/pgto/vTroco"), caso.troco);
  }
}

// What the device adds to a sale: each item's values and taxes, the subtotal's adjustment spread
// over the items, the sums and the change, in integer cents. Each case: its items (what follows
// uCom in <prod>, and <imposto>), what <total> holds, the payments, and the values expected:
// "vProd vItem vRatDesc vRatAcr" by item, then ICMSTot's eight, then vCFe and vTroco.
TEST(CFeVenda, OQueOSatAcrescenta) {
  const std::string icms = "<ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>18.00</pICMS>"
                           "</ICMS00></ICMS>";
  const std::string isento = "<ICMS><ICMS40><Orig>0</Orig><CST>40</CST></ICMS40></ICMS>"
                             "<PIS><PISNT><CST>04</CST></PISNT></PIS>";
  const std::string um = "<qCom>1.0000</qCom><vUnCom>";
  const struct {
    std::vector<std::pair<std::string, std::string>> itens;
    const char *total, *pagamentos, *esperado;
  } casos[] = {
      {{{"<qCom>3.0000</qCom><vUnCom>10.005</vUnCom><indRegra>A</indRegra>",
         icms + "<PIS><PISAliq><CST>01</CST><vBC>30.02</vBC><pPIS>0.0165</pPIS></PISAliq></PIS>"
                "<COFINS><COFINSAliq><CST>01</CST><vBC>30.02</vBC><pCOFINS>0.0760</pCOFINS>"
                "</COFINSAliq></COFINS>"}},
       "",
       "50.00",
       "30.02 30.02 0.00 0.00 | 5.40 30.02 0.00 0.50 2.28 0.00 0.00 0.00 | 30.02 19.98"},
      {{{"<qCom>2.0000</qCom><vUnCom>5.00</vUnCom><indRegra>A</indRegra><vDesc>1.00</vDesc>",
         isento},
        {um + "8.00</vUnCom><indRegra>A</indRegra><vOutro>0.50</vOutro>", isento}},
       "",
       "10.00</vMP></MP><MP><cMP>03</cMP><vMP>10.00", // two payments, 2.50 of change
       "10.00 9.00 0.00 0.00 8.00 8.50 0.00 0.00 | 0.00 18.00 1.00 0.00 0.00 0.00 0.00 0.50 | "
       "17.50 2.50"},
      // 0.10 over 5.00, 2.50, 2.50: 0.05, 0.025 rounded to 0.03, the 0.02 left on the last; the
      // ICMS of each item on its value after its share.
      {{{um + "5.00</vUnCom><indRegra>A</indRegra>", icms},
        {um + "2.50</vUnCom><indRegra>A</indRegra>", icms},
        {um + "2.50</vUnCom><indRegra>A</indRegra>", icms}},
       "<DescAcrEntr><vDescSubtot>0.10</vDescSubtot></DescAcrEntr>",
       "10.00",
       "5.00 4.95 0.05 0.00 2.50 2.47 0.03 0.00 2.50 2.48 0.02 0.00 | "
       "1.78 10.00 0.00 0.00 0.00 0.00 0.00 0.00 | 9.90 0.10"},
      {{{um + "1.00</vUnCom><indRegra>A</indRegra>", isento},
        {um + "1.00</vUnCom><indRegra>A</indRegra>", isento},
        {um + "1.00</vUnCom><indRegra>A</indRegra>", isento}},
       "<DescAcrEntr><vAcresSubtot>0.10</vAcresSubtot></DescAcrEntr>",
       "5.00",
       "1.00 1.03 0.00 0.03 1.00 1.03 0.00 0.03 1.00 1.04 0.00 0.04 | "
       "0.00 3.00 0.00 0.00 0.00 0.00 0.00 0.00 | 3.10 1.90"},
      // 0.3335 x 29.95 = 9.988325: 9.99 rounded, 9.98 truncated. Taxes by quantity and the ST
      // groups: 0.3335 x 0.15 = 0.050025; 9.98 x 0.0165 = 0.16467, x 0.076 = 0.75848.
      {{{"<qCom>0.3335</qCom><vUnCom>29.95</vUnCom><indRegra>A</indRegra>",
         icms + "<PIS><PISQtde><CST>03</CST><qBCProd>0.3335</qBCProd><vAliqProd>0.1500"
                "</vAliqProd></PISQtde></PIS>"},
        {"<qCom>0.3335</qCom><vUnCom>29.95</vUnCom><indRegra>T</indRegra>",
         isento + "<PISST><vBC>9.98</vBC><pPIS>0.0165</pPIS></PISST><COFINSST><vBC>9.98</vBC>"
                  "<pCOFINS>0.0760</pCOFINS></COFINSST>"}},
       "",
       "20.00",
       "9.99 9.99 0.00 0.00 9.98 9.98 0.00 0.00 | 1.80 19.97 0.00 0.05 0.00 0.16 0.76 0.00 | "
       "19.97 0.03"},
  };
  for (const auto &caso : casos) {
    std::string documento = teste::XmlVenda("QUJD", "<CPF>12345678909</CPF><xNome>Ana</xNome>");
    std::string itens;
    for (std::size_t i = 0; i < caso.itens.size(); ++i)
      itens += "<det nItem=\"" + std::to_string(i + 1) +
               "\"><prod><cProd>1</cProd><xProd>x</xProd>"
               "<CFOP>5102</CFOP><uCom>UN</uCom>" +
               caso.itens[i].first + "</prod><imposto>" + caso.itens[i].second + "</imposto></det>";
    const std::size_t de = documento.find("<det "), ate = documento.find("<pgto>");
    documento = Troca(
        documento, {{documento.substr(de, ate - de), itens + "<total>" + caso.total + "</total>"},
                    {"50.00", caso.pagamentos}});
    SCOPED_TRACE(documento);
    CFe cfe;
    std::string motivo;
    ASSERT_TRUE(satemu::MontaCFeVenda(documento, UmaEmissao(), cfe, motivo)) << motivo;
    const XmlLido xml(cfe.xml);
    ASSERT_TRUE(xml.Valido()) << xml.Erro();
    EXPECT_EQ(teste::ProblemaGrupos(xml), "");
    std::string obtido;
    for (std::size_t i = 1; i <= caso.itens.size(); ++i)
      for (const char *valor : {"vProd", "vItem", "vRatDesc", "vRatAcr"})
        obtido += xml.Valor("/CFe/infCFe/det[" + std::to_string(i) + "]/prod/" + valor) + " ";
    obtido += "|";
    for (const char *soma :
         {"vICMS", "vProd", "vDesc", "vPIS", "vCOFINS", "vPISST", "vCOFINSST", "vOutro"})
      obtido += " " + xml.Valor(std::string("/CFe/infCFe/total/ICMSTot/") + soma);
    obtido += " | " + xml.Valor("/CFe/infCFe/total/vCFe") + " " + xml.Valor("//pgto/vTroco");
    EXPECT_EQ(obtido, caso.esperado);
    // Each tax computed at the end of its own group.
    EXPECT_EQ(xml.Conta("//ICMS00[not(*[last()][self::vICMS])] | //*[vBC or qBCProd]"
                        "[not(*[last()][self::vPIS or self::vCOFINS])]"),
              0);
  }
}

// A document is read by its declaration: UTF-8 when it has none, unless the device is set to
// take such a document as Windows-1252. Whatever it came in, the CF-e is UTF-8.
TEST(CFeVenda, CodificacaoDoDocumento) {
  const std::string utf8 = teste::XmlVenda();
  const std::string latin = Troca(utf8, {{"P\xC3\xA3o", "P\xE3o \x80"}});
  const std::string declara1252 = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>" + latin;
  const std::string declaraUtf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  using satemu::SemDeclaracao;
  const struct {
    std::string documento;
    SemDeclaracao semDeclaracao;
    const char *xProd; // nullptr: refused
  } casos[] = {
      {utf8, SemDeclaracao::Utf8, "P\xC3\xA3o"},
      {"\xEF\xBB\xBF" + utf8, SemDeclaracao::Utf8, "P\xC3\xA3o"},
      {declaraUtf8 + utf8, SemDeclaracao::Windows1252, "P\xC3\xA3o"},
      {latin, SemDeclaracao::Utf8, nullptr},
      {declaraUtf8 + latin, SemDeclaracao::Utf8, nullptr},
      {declaraUtf8 + latin, SemDeclaracao::Windows1252, nullptr},
      {latin, SemDeclaracao::Windows1252, "P\xC3\xA3o \xE2\x82\xAC"},
      {declara1252, SemDeclaracao::Utf8, "P\xC3\xA3o \xE2\x82\xAC"},
      {"<?xml version=\"1.0\" encoding=\"x-nenhuma\"?>" + utf8, SemDeclaracao::Utf8, nullptr},
      // Read as the device is told to, UTF-8 bytes become two characters each.
      {utf8, SemDeclaracao::Windows1252, "P\xC3\x83\xC2\xA3o"},
  };
  for (const auto &caso : casos) {
    SCOPED_TRACE(teste::ParaHex(caso.documento.substr(0, 60)));
    Emissao emissao = UmaEmissao();
    emissao.semDeclaracao = caso.semDeclaracao;
    CFe cfe;
    std::string motivo;
    const bool aceito = satemu::MontaCFeVenda(caso.documento, emissao, cfe, motivo);
    ASSERT_EQ(aceito, caso.xProd != nullptr) << motivo;
    if (!aceito) {
      EXPECT_EQ(motivo.rfind("xml: ", 0), 0u) << motivo;
      continue;
    }
    const XmlLido xml(cfe.xml);
    ASSERT_TRUE(xml.Valido()) << xml.Erro();
    EXPECT_EQ(xml.Valor("//xProd"), caso.xProd);
  }
}

// What a POS gets wrong, each refused with the rule it breaks named first.
TEST(CFeVenda, DocumentosRecusados) {
  const std::string cpf = "<dest><CPF>12345678909</CPF></dest>";
  const struct {
    std::vector<std::pair<std::string, std::string>> trocas;
    const char *regra;
  } casos[] = {
      {{{"P\xC3\xA3o", "P\xE3o"}}, "xml"},
      {{{"<CFe>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe>"}, {"P\xC3\xA3o", "P\xE3o"}},
       "xml"},
      {{{"</CFe>", "</CFe>x"}}, "xml"},
      {{{"</pgto>", ""}}, "xml"},
      {{{"<CFe>", "<!DOCTYPE CFe><CFe>"}}, "xml"},
      {{{"<emit>", "<emit>texto"}}, "xml"},
      {{{"<CFe>", "<NFe>"}, {"</CFe>", "</NFe>"}}, "raiz"},
      {{{"</infCFe>", "</infCFe><infCFe/>"}}, "raiz"},
      {{{"versaoDadosEnt=\"0.07\"", "versaoDadosEnt=\"0.05\""}}, "versao"},
      {{{" versaoDadosEnt=\"0.07\"", ""}}, "versao"},
      {{{"<total/>", ""}}, "grupos"},
      {{{"<total/>", "<total>30.02</total>"}}, "total"},
      {{{"<pgto>", "<pagto>"}, {"</pgto>", "</pagto>"}}, "grupos"},
      {{{"<dest>", "<dest></dest><dest>"}}, "grupos"},
      {{{"<imposto/>", ""}}, "grupos"},
      {{{"<imposto/>", "<imposto/><imposto/>"}}, "grupos"},
      {{{"22233344000183", "22233344000184"}}, "ide"},
      {{{"<numeroCaixa>001", "<numeroCaixa>1"}}, "ide"},
      {{{teste::kAssinaturaPronto, "n\xC3\xA3o base64"}}, "ide"},
      {{{"</numeroCaixa>", "</numeroCaixa><nCFe>000001</nCFe>"}}, "ide"},
      {{{"11222333000181", "11444777000161"}}, "emit"},
      {{{"11222333000181", "11222333000182"}}, "emit"},
      {{{"<IE>111111111111", "<IE>ISENTO"}}, "emit"},
      {{{"<indRatISSQN>N", "<indRatISSQN>X"}}, "emit"},
      {{{"</IE>", "</IE><xNome>Loja</xNome>"}}, "emit"},
      {{{"<dest>", "<dest><CPF>123|456</CPF>"}}, "dest"},
      {{{"<dest>", "<dest><CPF>12345678900</CPF>"}}, "dest"},
      {{{"<dest>", "<dest><CNPJ>11222333000182</CNPJ>"}}, "dest"},
      {{{"<dest>", "<dest><CPF>12345678909</CPF><CNPJ>11222333000181</CNPJ>"}}, "dest"},
      {{{"nItem=\"1\"", "nItem=\"2\""}}, "nItem"},
      {{{"<qCom>3.0000", "<qCom>3,0"}}, "prod"},
      {{{"<qCom>3.0000", "<qCom>0"}}, "prod"},
      {{{"<vUnCom>10.005", "<vUnCom>10.0050"}}, "prod"},
      {{{"<indRegra>A", "<indRegra>R"}}, "prod"},
      {{{"<CFOP>5102", "<CFOP>51"}}, "prod"},
      {{{"<cProd>1</cProd>", ""}}, "prod"},
      {{{"</vUnCom>", "</vUnCom><vProd>30.01</vProd>"}}, "vItem"},
      {{{"</indRegra>", "</indRegra><vDesc>40.00</vDesc>"}}, "vItem"},
      {{{"<total/>", "<total><vCFe>30.00</vCFe></total>"}}, "total"},
      {{{"<total/>", "<total><DescAcrEntr><vDescSubtot>1.00</vDescSubtot><vAcresSubtot>1.00"
                     "</vAcresSubtot></DescAcrEntr></total>"}},
       "total"},
      {{{"<total/>", "<total><DescAcrEntr><vDescSubtot>31.00</vDescSubtot></DescAcrEntr></total>"}},
       "total"},
      {{{"<vMP>50.00", "<vMP>30.00"}}, "pgto"},
      {{{"<MP><cMP>01</cMP><vMP>50.00</vMP></MP>", ""}}, "pgto"},
      {{{"<cMP>01", "<cMP>1"}}, "pgto"},
      {{{"<vMP>50.00", "<vMP>0.00"}}, "pgto"},
      {{{"<imposto/>", "<imposto><ICMS><ICMS00><CST>00</CST></ICMS00></ICMS></imposto>"}},
       "imposto"},
      {{{"<imposto/>",
         "<imposto><PIS><PISAliq><vBC>1</vBC><pPIS>0.01650</pPIS></PISAliq></PIS></imposto>"}},
       "imposto"},
      {{{"<imposto/>",
         "<imposto><ICMS><ICMS00><pICMS>18</pICMS><vICMS>5.41</vICMS></ICMS00></ICMS></imposto>"}},
       "imposto"},
  };
  for (const auto &caso : casos) {
    const std::string documento = Troca(teste::XmlVenda(), caso.trocas);
    CFe cfe;
    std::string motivo;
    EXPECT_FALSE(satemu::MontaCFeVenda(documento, UmaEmissao(), cfe, motivo)) << documento;
    EXPECT_EQ(motivo.rfind(std::string(caso.regra) + ": ", 0), 0u)
        << documento << "\n  -> " << motivo;
    // The reason goes into a log line and a line on standard error: nothing that breaks them.
    EXPECT_EQ(motivo.find_first_of("|\n"), std::string::npos) << motivo;
  }
}

TEST(CFeCancelamento, ReferenciaAVenda) {
  satemu::VendaEmitida venda{
      "35240211222333000181599000000010000426543212", "30.02", "12345678909", "20240229130509", {}};
  Emissao emissao = UmaEmissao();
  CFe vendida;
  std::string motivo;
  ASSERT_TRUE(satemu::MontaCFeVenda(
      teste::XmlVenda(teste::kAssinaturaPronto, "<CPF>12345678909</CPF><xNome>Ana</xNome>"),
      emissao, vendida, motivo))
      << motivo;
  venda.xml = vendida.xml;
  emissao.numero = 43;
  emissao.quando.tm_hour = 14;
  const std::string documento = "<?xml version=\"1.0\"?>\n" +
                                Troca(teste::XmlCancelamento(venda.chave, "QUJD"),
                                      {{"<dest/>", "<dest><CPF>12345678909</CPF></dest>"},
                                       {"<total/>", "<total><vCFe>30.02</vCFe></total>"}}) +
                                "\n";
  CFe cfe;
  ASSERT_TRUE(satemu::MontaCFeCancelamento(documento, venda, emissao, cfe, motivo)) << motivo;
  EXPECT_EQ(cfe.chave.substr(31, 6), "000043");
  EXPECT_EQ(cfe.chave[43] - '0', teste::DigitoModulo11(cfe.chave.substr(0, 43)));
  EXPECT_EQ(cfe.total, "30.02");
  EXPECT_EQ(cfe.cpfCnpj, "12345678909");
  const XmlLido xml(cfe.xml);
  ASSERT_TRUE(xml.Valido()) << xml.Erro();
  const std::pair<const char *, std::string> valores[] = {
      {"/CFeCanc/infCFe/@Id", "CFe" + cfe.chave},
      {"/CFeCanc/infCFe/@chCanc", "CFe" + venda.chave},
      {"/CFeCanc/infCFe/dEmi", "20240229"},
      {"/CFeCanc/infCFe/hEmi", "130509"},
      {"/CFeCanc/infCFe/ide/nCFe", "000043"},
      {"/CFeCanc/infCFe/ide/hEmi", "140509"},
      {"/CFeCanc/infCFe/ide/signAC", "QUJD"},
      {"/CFeCanc/infCFe/emit/CNPJ", "11222333000181"},
      {"/CFeCanc/infCFe/emit/xNome", "Padaria P\xC3\xA3o Dourado Ltda"},
      {"/CFeCanc/infCFe/emit/IE", "111111111111"},
      {"/CFeCanc/infCFe/dest/CPF", "12345678909"},
      {"/CFeCanc/infCFe/dest/xNome", "Ana"},
      {"/CFeCanc/infCFe/total/vCFe", "30.02"},
      {"/CFeCanc/ds:Signature/ds:SignedInfo/ds:Reference/@URI", "#CFe" + cfe.chave},
  };
  for (const auto &[caminho, valor] : valores)
    EXPECT_EQ(xml.Valor(caminho), valor) << caminho;
  EXPECT_EQ(teste::ProblemaGrupos(xml), "");

  const struct {
    std::vector<std::pair<std::string, std::string>> trocas;
    const char *regra;
  } recusas[] = {
      {{{"<CFeCanc>", "<CFe>"}, {"</CFeCanc>", "</CFe>"}}, "raiz"},
      {{{"chCanc=\"CFe3524", "chCanc=\"CFe3525"}}, "chCanc"},
      {{{" chCanc=", " x="}}, "chCanc"},
      {{{"<total/>", ""}}, "grupos"},
      {{{"<numeroCaixa>001</numeroCaixa>", ""}}, "ide"},
      {{{"<emit/>", "<emit><CNPJ>11444777000161</CNPJ></emit>"}}, "emit"},
      {{{"<dest/>", "<dest><CPF>11144477735</CPF></dest>"}}, "dest"},
      {{{"<dest/>", "<dest><CPF>123|456</CPF></dest>"}}, "dest"},
      {{{"<total/>", "<total><vCFe>30.00</vCFe></total>"}}, "total"},
  };
  for (const auto &recusa : recusas) {
    const std::string errado = Troca(teste::XmlCancelamento(venda.chave), recusa.trocas);
    EXPECT_FALSE(satemu::MontaCFeCancelamento(errado, venda, emissao, cfe, motivo)) << errado;
    EXPECT_EQ(motivo.rfind(std::string(recusa.regra) + ": ", 0), 0u)
        << errado << "\n  -> " << motivo;
  }
}

} // namespace
