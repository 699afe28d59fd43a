// The extrato of documents that satemu signed, through libsat as a POS gets them, read back as
// a customer would: the PDF's text (pdftotext) and pages (pdftoppm), the PNG, and the ESC/POS
// stream as a printer prints it (the test's own interpreter), with zbarimg decoding the codes.
// A table of sales, each on 80 and 58 mm paper, in every output.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "escpos/interprete.h"
#include "sat.h"
#include "satextrato.h"
#include "tests/e2e/venda_exemplo.h"
#include "tests/processo.h"

namespace {

struct Caso {
  const char *nome;
  int itens;
  const char *descricao; // each item's, after its number
  bool descontos;        // on the first item and on the subtotal
  std::vector<std::pair<const char *, const char *>> pagamentos; // cMP, vMP ("" = the total)
  const char *comprador;                                         // CPF, CNPJ or nullptr
  const char *complemento;                                       // infCpl or nullptr
  bool cancela;
};

const Caso kCasos[] = {
    {"um_item", 1, "Pão francês", false, {{"01", ""}}, nullptr, nullptr, false},
    {"quarenta_itens", 40, "Biscoito", false, {{"04", ""}}, "11144477735", nullptr, false},
    {"descontos", 3, "Café", true, {{"01", ""}}, nullptr, "Obrigado, volte sempre!", false},
    {"dois_pagamentos_troco",
     2,
     "Suco",
     false,
     {{"03", "2.00"}, {"01", "10.00"}},
     nullptr,
     nullptr,
     false},
    {"comprador_cnpj", 2, "Leite", false, {{"01", ""}}, "11222333000181", nullptr, false},
    {"descricoes_longas",
     2,
     "Açúcar cristal orgânico ção ÁÉÍÓÚ âêô ü pacote de um quilograma com selo de "
     "procedência da cooperativa",
     false,
     {{"01", ""}},
     nullptr,
     "Promoção válida até o fim do mês; troca só com este extrato e a embalagem íntegra.",
     false},
    {"cancelamento", 2, "Bolo", false, {{"01", ""}}, "11144477735", nullptr, true},
};

// Each item: 2 x 1.25; a discount of 0.50 on the first, 1.00 on the subtotal.
long long Centavos(const Caso &c) { return c.itens * 250 - (c.descontos ? 150 : 0); }

std::string Reais(long long c) {
  char t[32];
  std::snprintf(t, sizeof t, "%lld.%02lld", c / 100, c % 100);
  return t;
}

// "1234.50" as the extrato writes it: "1.234,50".
std::string Brasileiro(long long c) {
  std::string inteiro = std::to_string(c / 100);
  for (int i = static_cast<int>(inteiro.size()) - 3; i > 0; i -= 3) {
    inteiro.insert(static_cast<size_t>(i), ".");
  }
  char t[8];
  std::snprintf(t, sizeof t, ",%02lld", c % 100);
  return inteiro + t;
}

std::string VendaDoCaso(const Caso &c) {
  std::string x = "<CFe><infCFe versaoDadosEnt=\"0.08\"><ide><CNPJ>22233344000183</CNPJ><signAC>";
  x += ASSINATURA;
  x += "</signAC><numeroCaixa>002</numeroCaixa></ide><emit><CNPJ>11222333000181</CNPJ><IE>"
       "111111111111</IE><IM>123123</IM><cRegTribISSQN>3</cRegTribISSQN><indRatISSQN>N"
       "</indRatISSQN></emit><dest>";
  if (c.comprador != nullptr) {
    const std::string doc = c.comprador;
    x += doc.size() == 11 ? "<CPF>" + doc + "</CPF>" : "<CNPJ>" + doc + "</CNPJ>";
    x += "<xNome>Cliente Exemplar</xNome>";
  }
  x += "</dest>";
  for (int i = 1; i <= c.itens; ++i) {
    x += "<det nItem=\"" + std::to_string(i) + "\"><prod><cProd>" + std::to_string(7000 + i) +
         "</cProd><xProd>" + std::to_string(i) + " " + c.descricao +
         "</xProd><NCM>19059090</NCM><CFOP>5102</CFOP><uCom>UN</uCom><qCom>2.0000</qCom>"
         "<vUnCom>1.25</vUnCom><indRegra>A</indRegra>" +
         (c.descontos && i == 1 ? "<vDesc>0.50</vDesc>" : "") +
         "</prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>"
         "<PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN>"
         "</COFINS></imposto></det>";
  }
  x += c.descontos ? "<total><DescAcrEntr><vDescSubtot>1.00</vDescSubtot></DescAcrEntr>"
                     "<vCFeLei12741>0.42</vCFeLei12741></total>"
                   : "<total/>";
  x += "<pgto>";
  for (const auto &[meio, valor] : c.pagamentos) {
    x += std::string("<MP><cMP>") + meio + "</cMP><vMP>" +
         (*valor != '\0' ? valor : Reais(Centavos(c))) + "</vMP></MP>";
  }
  x += "</pgto>";
  if (c.complemento != nullptr) {
    x += std::string("<infAdic><infCpl>") + c.complemento + "</infCpl></infAdic>";
  }
  return x + "</infCFe></CFe>";
}

std::string Executa(const std::string &comando) {
  std::string saida;
  FILE *p = popen(comando.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "popen: " << comando;
    return saida;
  }
  char bloco[4096];
  for (size_t n; (n = fread(bloco, 1, sizeof bloco, p)) > 0;) {
    saida.append(bloco, n);
  }
  const int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << comando;
  return saida;
}

void Grava(const std::string &arquivo, const std::string &conteudo) {
  std::ofstream(arquivo, std::ios::binary) << conteudo;
}

// Every code zbarimg finds in a picture, as "QR-Code:..." and "CODE-128:...".
std::set<std::string> Codigos(const std::string &png) {
  std::set<std::string> codigos;
  std::istringstream linhas(Executa("zbarimg -q '" + png + "' 2>/dev/null"));
  for (std::string l; std::getline(linhas, l);) {
    codigos.insert(l);
  }
  return codigos;
}

// Lines joined by one space, each run of whitespace one space: a wrapped text reads whole.
std::string Corrido(const std::string &texto) {
  std::string r;
  for (char ch : texto) {
    const bool espaco = ch == ' ' || ch == '\n' || ch == '\t' || ch == '\f';
    if (!espaco) {
      r += ch;
    } else if (!r.empty() && r.back() != ' ') {
      r += ' ';
    }
  }
  return r;
}

// A signed document and what the SAT's reply says of it: the QR code's content as the reply's
// fields give it, and the key.
struct Assinado {
  std::string xml, chave, qrcode, data;
};

class Extrato : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    char molde[] = "/tmp/extrato-e2eXXXXXX";
    ASSERT_NE(mkdtemp(molde), nullptr);
    pasta_ = molde;
    setenv("SAT_DEV_DIR", (pasta_ + "/").c_str(), 1);
    std::string linha;
    emulador_ = new teste::Processo;
    ASSERT_TRUE(emulador_->Inicia({SATEMU_BINARIO, "--pronto", "--link", pasta_ + "/COM7"}, linha))
        << linha;
    AbreSerialSAT(7, 0, 0, 0, 0);
  }
  static void TearDownTestSuite() {
    delete emulador_;
    Executa("rm -rf '" + pasta_ + "'");
  }

  static Assinado Assina(char *resposta, const char *codigo) {
    const std::vector<std::string> campos = CamposDaResposta(resposta);
    Assinado a;
    EXPECT_GE(campos.size(), 11u) << resposta;
    if (campos.size() < 11 || campos[1] != codigo) {
      ADD_FAILURE() << resposta;
      return a;
    }
    a.xml = Base64ToAscii();
    a.chave = campos[8].substr(3);
    a.qrcode = a.chave + "|" + campos[7] + "|" + campos[9] + "|" + campos[10] + "|" + campos[11];
    const std::string &t = campos[7]; // AAAAMMDDHHMMSS
    a.data = t.substr(6, 2) + "/" + t.substr(4, 2) + "/" + t.substr(0, 4) + " - " + t.substr(8, 2) +
             ":" + t.substr(10, 2) + ":" + t.substr(12, 2);
    return a;
  }

  static std::string pasta_;
  static teste::Processo *emulador_;
};
std::string Extrato::pasta_;
teste::Processo *Extrato::emulador_ = nullptr;

// The codes an extrato of this document prints: the QR code and the key's barcode, whole on
// 80 mm, in halves on 58.
void Espera(std::set<std::string> &codigos, const Assinado &a, int papel) {
  codigos.insert("QR-Code:" + a.qrcode);
  if (papel == 80) {
    codigos.insert("CODE-128:" + a.chave);
  } else {
    codigos.insert("CODE-128:" + a.chave.substr(0, 22));
    codigos.insert("CODE-128:" + a.chave.substr(22));
  }
}

TEST_F(Extrato, CadaDocumentoEmCadaPapelECadaSaida) {
  ASSERT_EQ(FormatosExtrato(), (1 << EXTRATO_ESCPOS) | (1 << EXTRATO_ESCPOS_IMAGEM) |
                                   (1 << EXTRATO_PDF) | (1 << EXTRATO_PNG));
  int sessao = 4100 + static_cast<int>(getpid() % 1000) * 10;
  for (const Caso &c : kCasos) {
    SCOPED_TRACE(c.nome);
    const Assinado venda =
        Assina(EnviarDadosVenda(++sessao, "12345678", VendaDoCaso(c).c_str()), "06000");
    ASSERT_FALSE(venda.xml.empty());
    Assinado cancelamento;
    if (c.cancela) {
      cancelamento = Assina(CancelarUltimaVenda(++sessao, "12345678", ("CFe" + venda.chave).c_str(),
                                                Cancelamento("CFe" + venda.chave).c_str()),
                            "07000");
      ASSERT_FALSE(cancelamento.xml.empty());
    }

    // What a customer must read on it, whatever the paper.
    long long pago = 0;
    for (const auto &p : c.pagamentos) {
      pago += *p.second != '\0' ? std::llround(std::stod(p.second) * 100) : Centavos(c);
    }
    std::vector<std::string> linhas = {
        "CNPJ 11.222.333/0001-81",
        "Extrato No. " + (c.cancela ? cancelamento : venda).chave.substr(31, 6),
        "TOTAL R$ " + Brasileiro(Centavos(c)),
        "SAT No. " + venda.chave.substr(22, 3) + "." + venda.chave.substr(25, 3) + "." +
            venda.chave.substr(28, 3),
        venda.data,
        "De olho na nota"};
    std::string grupos;
    for (size_t i = 0; i < 44; i += 4) {
      grupos += (i ? " " : "") + venda.chave.substr(i, 4);
    }
    linhas.push_back(grupos);
    if (c.comprador != nullptr) {
      const std::string d = c.comprador;
      linhas.push_back(
          "CPF/CNPJ do Consumidor: " +
          (d.size() == 11
               ? d.substr(0, 3) + "." + d.substr(3, 3) + "." + d.substr(6, 3) + "-" + d.substr(9)
               : d.substr(0, 2) + "." + d.substr(2, 3) + "." + d.substr(5, 3) + "/" +
                     d.substr(8, 4) + "-" + d.substr(12)));
    }
    if (c.cancela) {
      linhas.push_back("CUPOM FISCAL ELETRÔNICO - SAT CANCELAMENTO");
      linhas.push_back(cancelamento.data);
    } else {
      linhas.push_back("CUPOM FISCAL ELETRÔNICO - SAT");
      for (int i = 1; i <= c.itens; ++i) {
        linhas.push_back(std::to_string(i) + " " + c.descricao);
      }
      linhas.push_back("2 UN X 1,25");
      if (pago > Centavos(c)) {
        linhas.push_back("Troco R$ " + Brasileiro(pago - Centavos(c)));
      }
      for (const auto &p : c.pagamentos) {
        linhas.push_back(std::string(p.first) == "01"   ? "Dinheiro"
                         : std::string(p.first) == "03" ? "Cartão de Crédito"
                                                        : "Cartão de Débito");
      }
      if (c.descontos) {
        linhas.push_back("Desconto sobre subtotal -1,00");
        linhas.push_back("desconto sobre item -0,50");
        linhas.push_back("Valor aproximado dos tributos deste cupom R$ 0,42");
      }
      if (c.complemento != nullptr) {
        linhas.push_back(c.complemento);
      }
    }

    for (int papel : {80, 58}) {
      SCOPED_TRACE(papel);
      std::set<std::string> codigos;
      Espera(codigos, venda, papel);
      if (c.cancela) {
        Espera(codigos, cancelamento, papel);
      }
      const std::string base = pasta_ + "/" + c.nome + "-" + std::to_string(papel);
      for (int formato : {EXTRATO_PDF, EXTRATO_PNG, EXTRATO_ESCPOS, EXTRATO_ESCPOS_IMAGEM}) {
        SCOPED_TRACE(formato);
        unsigned char *extrato = nullptr;
        int32_t tamanho = 0;
        const int32_t r =
            c.cancela
                ? ExtratoCancelamento(cancelamento.xml.data(),
                                      static_cast<int32_t>(cancelamento.xml.size()),
                                      venda.xml.data(), static_cast<int32_t>(venda.xml.size()),
                                      formato, papel, &extrato, &tamanho)
                : ExtratoVenda(venda.xml.data(), static_cast<int32_t>(venda.xml.size()), formato,
                               papel, &extrato, &tamanho);
        ASSERT_EQ(r, EXTRATO_OK) << ErroExtrato();
        const std::string bytes(reinterpret_cast<char *>(extrato), static_cast<size_t>(tamanho));
        LiberaExtrato(extrato);
        const std::string png = base + "-" + std::to_string(formato) + ".png";
        std::string texto;
        if (formato == EXTRATO_PDF) {
          Grava(base + ".pdf", bytes);
          texto = Executa("pdftotext -layout '" + base + ".pdf' -");
          Executa("pdftoppm -r 300 -png -singlefile '" + base + ".pdf' '" +
                  png.substr(0, png.size() - 4) + "'");
        } else if (formato == EXTRATO_PNG) {
          Grava(png, bytes);
        } else {
          escpos::Impressao impressao;
          std::string erro;
          ASSERT_TRUE(escpos::Interpreta(bytes, papel == 80 ? 576 : 384, impressao, erro)) << erro;
          ASSERT_TRUE(escpos::GravaPng(impressao, png, erro)) << erro;
          EXPECT_EQ(impressao.cortes, 1);
          for (const escpos::Linha &l : impressao.linhas) {
            texto += l.texto + "\n";
          }
        }
        EXPECT_EQ(Codigos(png), codigos);
        if (formato == EXTRATO_PDF || formato == EXTRATO_ESCPOS) {
          const std::string corrido = Corrido(texto);
          for (const std::string &l : linhas) {
            EXPECT_NE(corrido.find(Corrido(l)), std::string::npos) << l << "\n" << texto;
          }
        }
      }
    }
  }
}

// What is not a signed document of the kind asked, or an argument out of range, is refused
// with a reason, never laid out.
TEST_F(Extrato, RecusaOQueNaoEExtrato) {
  const Assinado venda = Assina(EnviarDadosVenda(9000 + static_cast<int>(getpid() % 900),
                                                 "12345678", VendaDoCaso(kCasos[0]).c_str()),
                                "06000");
  ASSERT_FALSE(venda.xml.empty());
  const std::string semChave =
      std::string(venda.xml).replace(venda.xml.find("Id=\"CFe") + 7, 1, "x");
  const std::string dtd =
      "<!DOCTYPE CFe [<!ENTITY a \"aaaa\">]>" + venda.xml.substr(venda.xml.find("<CFe"));
  const struct {
    std::string documento;
    int formato, papel, esperado;
  } kRecusas[] = {
      {"<CFe><infCFe", EXTRATO_PDF, 80, EXTRATO_ERRO_DOCUMENTO},
      {semChave, EXTRATO_ESCPOS, 80, EXTRATO_ERRO_DOCUMENTO},
      {dtd, EXTRATO_ESCPOS, 80, EXTRATO_ERRO_DOCUMENTO},
      {venda.xml + std::string(4 << 20, ' '), EXTRATO_ESCPOS, 80, EXTRATO_ERRO_DOCUMENTO},
      {venda.xml, EXTRATO_ESCPOS, 76, EXTRATO_ERRO_PARAMETRO},
      {venda.xml, 9, 80, EXTRATO_ERRO_FORMATO},
      {venda.xml, -1, 80, EXTRATO_ERRO_FORMATO},
  };
  for (const auto &r : kRecusas) {
    unsigned char *extrato = nullptr;
    int32_t tamanho = -1;
    EXPECT_EQ(ExtratoVenda(r.documento.data(), static_cast<int32_t>(r.documento.size()), r.formato,
                           r.papel, &extrato, &tamanho),
              r.esperado)
        << r.documento.substr(0, 80);
    EXPECT_EQ(extrato, nullptr);
    EXPECT_STRNE(ErroExtrato(), "");
  }
  // A sale is not a cancellation, nor another sale the one it cancels.
  unsigned char *extrato = nullptr;
  int32_t tamanho = 0;
  EXPECT_EQ(ExtratoCancelamento(venda.xml.data(), static_cast<int32_t>(venda.xml.size()),
                                venda.xml.data(), static_cast<int32_t>(venda.xml.size()),
                                EXTRATO_ESCPOS, 80, &extrato, &tamanho),
            EXTRATO_ERRO_DOCUMENTO);
  EXPECT_EQ(ExtratoVenda(venda.xml.data(), static_cast<int32_t>(venda.xml.size()), EXTRATO_ESCPOS,
                         80, nullptr, &tamanho),
            EXTRATO_ERRO_PARAMETRO);
}

} // namespace

namespace {

// make bench: the time to lay out the extrato of a sale of forty items, in each output.
TEST_F(Extrato, DISABLED_Medicao) {
  const Assinado venda = Assina(EnviarDadosVenda(9900 + static_cast<int>(getpid() % 90), "12345678",
                                                 VendaDoCaso(kCasos[1]).c_str()),
                                "06000");
  ASSERT_FALSE(venda.xml.empty());
  for (int formato : {EXTRATO_ESCPOS, EXTRATO_ESCPOS_IMAGEM, EXTRATO_PDF, EXTRATO_PNG}) {
    constexpr int kVezes = 50;
    const auto inicio = std::chrono::steady_clock::now();
    int32_t tamanho = 0;
    for (int i = 0; i < kVezes; ++i) {
      unsigned char *extrato = nullptr;
      ASSERT_EQ(ExtratoVenda(venda.xml.data(), static_cast<int32_t>(venda.xml.size()), formato, 80,
                             &extrato, &tamanho),
                EXTRATO_OK);
      LiberaExtrato(extrato);
    }
    const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - inicio;
    std::printf("extrato de 40 itens, formato %d: %.2f ms, %d bytes\n", formato,
                ms.count() / kVezes, tamanho);
  }
}

} // namespace
