// The extrato's layout: the taxpayer, the document's title, the buyer, the items, the totals and
// payments, the observations, and the SAT's number, date, key, barcode and QR code; for a
// cancellation, the cancelled sale's data and then the cancellation's.
#include "diagrama.h"

#include "documento.h"

#include <algorithm>
#include <cstdint>

namespace extrato {

namespace {

// Code points of a UTF-8 text (the columns it takes: one a character, as the printer prints it).
size_t Colunas(const std::string &s) {
  size_t n = 0;
  for (unsigned char c : s) {
    n += (c & 0xC0) != 0x80;
  }
  return n;
}

// The byte offset after the first `colunas` code points of `s`.
size_t Prefixo(const std::string &s, size_t colunas) {
  size_t i = 0;
  for (size_t n = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n++ == colunas) {
      break;
    }
  }
  return i;
}

// `texto` in lines of at most `largura` columns, broken at spaces, a word longer than a line
// broken where the line ends.
std::vector<std::string> Quebra(const std::string &texto, size_t largura) {
  std::vector<std::string> linhas;
  std::string linha;
  size_t i = 0;
  while (i < texto.size()) {
    size_t fim = texto.find(' ', i);
    if (fim == std::string::npos) {
      fim = texto.size();
    }
    std::string palavra = texto.substr(i, fim - i);
    i = fim + 1;
    while (!palavra.empty()) {
      const size_t ocupado = linha.empty() ? 0 : Colunas(linha) + 1;
      const size_t cabe = largura - std::min(largura, ocupado);
      if (Colunas(palavra) <= cabe) {
        linha += (linha.empty() ? "" : " ") + palavra;
        palavra.clear();
      } else if (linha.empty()) {
        const size_t corte = Prefixo(palavra, largura);
        linhas.push_back(palavra.substr(0, corte));
        palavra.erase(0, corte);
      } else {
        linhas.push_back(linha);
        linha.clear();
      }
    }
  }
  if (!linha.empty() || linhas.empty()) {
    linhas.push_back(linha);
  }
  return linhas;
}

std::string Espacos(size_t n) { return std::string(n, ' '); }

// "1234.5" as "1.234,50": the SAT's value with the decimal comma, thousands marked, and at
// least `casas` decimals (more when the SAT wrote more significant ones).
std::string Brasileiro(const std::string &valor, size_t casas = 2) {
  const size_t ponto = valor.find('.');
  std::string inteiro = valor.substr(0, ponto);
  std::string fracao = ponto == std::string::npos ? "" : valor.substr(ponto + 1);
  while (inteiro.size() > 1 && inteiro[0] == '0') {
    inteiro.erase(0, 1);
  }
  while (fracao.size() > casas && fracao.back() == '0') {
    fracao.pop_back();
  }
  fracao.resize(std::max(fracao.size(), casas), '0');
  std::string r;
  for (size_t i = 0; i < inteiro.size(); ++i) {
    if (i > 0 && (inteiro.size() - i) % 3 == 0) {
      r += '.';
    }
    r += inteiro[i];
  }
  return fracao.empty() ? r : r + "," + fracao;
}

// A value the SAT wrote and which is not zero.
bool Presente(const std::string &valor) {
  return valor.find_first_of("123456789") != std::string::npos;
}

std::string Mascara(const std::string &digitos, const char *mascara) {
  std::string r;
  size_t i = 0;
  for (const char *m = mascara; *m != '\0'; ++m) {
    if (*m == '#') {
      if (i >= digitos.size()) {
        return digitos; // not the length the mask is for: as it came
      }
      r += digitos[i++];
    } else {
      r += *m;
    }
  }
  return i == digitos.size() ? r : digitos;
}

std::string Data(const std::string &d, const std::string &h) {
  return d.substr(6, 2) + "/" + d.substr(4, 2) + "/" + d.substr(0, 4) + " - " + h.substr(0, 2) +
         ":" + h.substr(2, 2) + ":" + h.substr(4, 2);
}

const char *MeioDePagamento(const std::string &codigo) {
  static const struct {
    const char *codigo, *nome;
  } kMeios[] = {
      {"01", "Dinheiro"},
      {"02", "Cheque"},
      {"03", "Cartão de Crédito"},
      {"04", "Cartão de Débito"},
      {"05", "Crédito Loja"},
      {"10", "Vale Alimentação"},
      {"11", "Vale Refeição"},
      {"12", "Vale Presente"},
      {"13", "Vale Combustível"},
      {"15", "Boleto Bancário"},
      {"16", "Depósito Bancário"},
      {"17", "Pagamento Instantâneo (PIX)"},
      {"18", "Transferência bancária, Carteira Digital"},
      {"19", "Programa de fidelidade, Cashback, Crédito Virtual"},
      {"90", "Sem pagamento"},
      {"99", "Outros"},
  };
  for (const auto &m : kMeios) {
    if (codigo == m.codigo) {
      return m.nome;
    }
  }
  return nullptr;
}

class Montagem {
public:
  explicit Montagem(int larguraPapel) : d_(Papel(larguraPapel)) {}

  Diagrama Pronto() { return std::move(d_); }

  size_t Largura(bool condensado) const {
    return static_cast<size_t>(condensado ? d_.colunasCondensadas : d_.colunas);
  }

  void Linha(std::string texto, bool negrito = false, bool condensado = false) {
    Elemento e;
    e.texto = std::move(texto);
    e.negrito = negrito;
    e.condensado = condensado;
    d_.elementos.push_back(std::move(e));
  }

  void Esquerda(const std::string &texto, bool negrito = false, bool condensado = false) {
    for (std::string &l : Quebra(texto, Largura(condensado))) {
      Linha(std::move(l), negrito, condensado);
    }
  }

  void Centro(const std::string &texto, bool negrito = false, bool condensado = false) {
    const size_t largura = Largura(condensado);
    for (std::string &l : Quebra(texto, largura)) {
      const size_t sobra = largura - Colunas(l);
      Linha(Espacos(sobra / 2) + l, negrito, condensado);
    }
  }

  void Direita(const std::string &texto, bool negrito = false, bool condensado = false) {
    const size_t largura = Largura(condensado);
    for (std::string &l : Quebra(texto, largura)) {
      Linha(Espacos(largura - Colunas(l)) + l, negrito, condensado);
    }
  }

  // A label at the left and its value at the right of the same line (the label wrapped above
  // when both do not fit).
  void Par(const std::string &rotulo, const std::string &valor, bool negrito = false,
           bool condensado = false) {
    const size_t largura = Largura(condensado);
    const size_t espaco = Colunas(valor) + 1;
    std::vector<std::string> linhas = Quebra(rotulo, largura > espaco ? largura - espaco : largura);
    for (size_t i = 0; i + 1 < linhas.size(); ++i) {
      Linha(linhas[i], negrito, condensado);
    }
    const std::string &ultima = linhas.back();
    if (Colunas(ultima) + espaco <= largura) {
      Linha(ultima + Espacos(largura - Colunas(ultima) - Colunas(valor)) + valor, negrito,
            condensado);
    } else {
      Linha(ultima, negrito, condensado);
      Direita(valor, negrito, condensado);
    }
  }

  // An item's quantity times price, right-aligned before its value's column.
  void Conta(const std::string &conta, const std::string &valor) {
    const size_t largura = Largura(true);
    const size_t coluna = std::max<size_t>(10, Colunas(valor));
    if (Colunas(conta) + 1 + coluna > largura) {
      Direita(conta, false, true);
      Direita(valor, false, true);
      return;
    }
    Linha(Espacos(largura - coluna - 1 - Colunas(conta)) + conta + " " +
              Espacos(coluna - Colunas(valor)) + valor,
          false, true);
  }

  void Separador() { Linha(std::string(Largura(true), '-'), false, true); }

  void Codigo(Elemento::Tipo tipo, std::string conteudo) {
    Elemento e;
    e.tipo = tipo;
    e.texto = std::move(conteudo);
    d_.elementos.push_back(std::move(e));
  }

  void Avanco() { Codigo(Elemento::Tipo::Avanco, ""); }

  // The key in eleven groups of four digits, and as Code 128: whole on 80 mm paper, in two
  // halves of 22 digits on 58 mm, where 44 digits at the smallest module a thermal printer
  // prints reliably do not fit.
  void Chave(const std::string &chave) {
    std::string grupos;
    for (size_t i = 0; i < chave.size(); i += 4) {
      grupos += (i > 0 ? " " : "") + chave.substr(i, 4);
    }
    Centro(grupos, false, true);
    if (d_.larguraPapel == 80) {
      Codigo(Elemento::Tipo::Codigo128, chave);
    } else {
      Codigo(Elemento::Tipo::Codigo128, chave.substr(0, 22));
      Codigo(Elemento::Tipo::Codigo128, chave.substr(22));
    }
  }

  void Consulta() {
    Centro("Consulte o QR Code pelo aplicativo \"De olho na nota\", disponível na AppStore "
           "(Apple) e PlayStore (Android)",
           false, true);
  }

private:
  Diagrama d_;
};

std::string Endereco(const Documento &d) {
  std::string r;
  for (const std::string *parte : {&d.xLgr, &d.nro, &d.xCpl, &d.xBairro, &d.xMun}) {
    if (!parte->empty()) {
      r += (r.empty() ? "" : ", ") + *parte;
    }
  }
  if (!d.cep.empty()) {
    r += (r.empty() ? "CEP " : ", CEP ") + Mascara(d.cep, "#####-###");
  }
  return r;
}

void Emitente(Montagem &m, const Documento &d) {
  if (!d.xFant.empty()) {
    m.Centro(d.xFant, true);
  }
  m.Centro(d.xNome, d.xFant.empty());
  m.Centro(Endereco(d), false, true);
  std::string inscricoes = "CNPJ " + Mascara(d.cnpj, "##.###.###/####-##");
  if (!d.ie.empty()) {
    inscricoes += "  IE " + d.ie;
  }
  if (!d.im.empty()) {
    inscricoes += "  IM " + d.im;
  }
  m.Centro(inscricoes, false, true);
  m.Separador();
}

void Titulo(Montagem &m, const Documento &d, bool cancelamento) {
  m.Centro("Extrato No. " + d.nCFe, true);
  m.Centro(cancelamento ? "CUPOM FISCAL ELETRÔNICO - SAT CANCELAMENTO"
                        : "CUPOM FISCAL ELETRÔNICO - SAT",
           true);
  m.Separador();
}

void Consumidor(Montagem &m, const Documento &d) {
  if (!d.cpfDestinatario.empty()) {
    m.Esquerda("CPF/CNPJ do Consumidor: " + Mascara(d.cpfDestinatario, "###.###.###-##"), false,
               true);
  } else if (!d.cnpjDestinatario.empty()) {
    m.Esquerda("CPF/CNPJ do Consumidor: " + Mascara(d.cnpjDestinatario, "##.###.###/####-##"),
               false, true);
  }
  if (!d.nomeDestinatario.empty()) {
    m.Esquerda("Razão Social/Nome: " + d.nomeDestinatario, false, true);
  }
}

// The SAT's number and the date and time of a document; then its key and codes.
void Rodape(Montagem &m, const std::string &chave, const std::string &serie,
            const std::string &dEmi, const std::string &hEmi, const std::string &qrcode) {
  m.Centro("SAT No. " + Mascara(serie, "###.###.###"), true);
  m.Centro(Data(dEmi, hEmi));
  m.Avanco();
  m.Chave(chave);
  m.Codigo(Elemento::Tipo::QRCode, qrcode);
}

void Itens(Montagem &m, const Documento &d) {
  bool tributos = false;
  for (const Item &i : d.itens) {
    tributos = tributos || !i.vItem12741.empty();
  }
  m.Esquerda(tributos ? "# | COD | DESC | QTD | UN | VL UN R$ | (VL TR R$)* | VL ITEM R$"
                      : "# | COD | DESC | QTD | UN | VL UN R$ | VL ITEM R$",
             false, true);
  m.Separador();
  for (const Item &i : d.itens) {
    std::string numero = i.nItem;
    if (numero.size() < 3) {
      numero.insert(0, 3 - numero.size(), '0');
    }
    m.Esquerda(numero + " " + (i.cProd.empty() ? "" : i.cProd + " ") + i.xProd, false, true);
    std::string conta = Brasileiro(i.qCom, 0) + " " + i.uCom + " X " + Brasileiro(i.vUnCom);
    if (!i.vItem12741.empty()) {
      conta += " (" + Brasileiro(i.vItem12741) + ")";
    }
    // The item's gross value, in a column of its own: what a discount or increase below starts
    // from.
    m.Conta(conta, Brasileiro(i.vProd.empty() ? i.vItem : i.vProd));
    if (!i.infAdProd.empty()) {
      m.Esquerda(i.infAdProd, false, true);
    }
    if (Presente(i.vDesc)) {
      m.Par("desconto sobre item", "-" + Brasileiro(i.vDesc), false, true);
    }
    if (Presente(i.vOutro)) {
      m.Par("acréscimo sobre item", "+" + Brasileiro(i.vOutro), false, true);
    }
    if (Presente(i.vRatDesc)) {
      m.Par("rateio de desconto sobre subtotal", "-" + Brasileiro(i.vRatDesc), false, true);
    }
    if (Presente(i.vRatAcr)) {
      m.Par("rateio de acréscimo sobre subtotal", "+" + Brasileiro(i.vRatAcr), false, true);
    }
  }
  if (tributos) {
    m.Esquerda("* Valor aproximado dos tributos do item", false, true);
  }
}

void Totais(Montagem &m, const Documento &d) {
  const bool ajustes = Presente(d.vDesc) || Presente(d.vOutro) || Presente(d.vDescSubtot) ||
                       Presente(d.vAcresSubtot);
  if (ajustes && !d.vProd.empty()) {
    m.Par("Total bruto de itens", Brasileiro(d.vProd), false, true);
  }
  if (Presente(d.vDesc)) {
    m.Par("Total de descontos sobre item", "-" + Brasileiro(d.vDesc), false, true);
  }
  if (Presente(d.vOutro)) {
    m.Par("Total de acréscimos sobre item", "+" + Brasileiro(d.vOutro), false, true);
  }
  if (Presente(d.vDescSubtot)) {
    m.Par("Desconto sobre subtotal", "-" + Brasileiro(d.vDescSubtot), false, true);
  }
  if (Presente(d.vAcresSubtot)) {
    m.Par("Acréscimo sobre subtotal", "+" + Brasileiro(d.vAcresSubtot), false, true);
  }
  m.Par("TOTAL R$", Brasileiro(d.vCFe), true);
  for (const Pagamento &p : d.pagamentos) {
    const char *nome = MeioDePagamento(p.cMP);
    m.Par(nome != nullptr ? nome : "Meio de pagamento " + p.cMP, Brasileiro(p.vMP));
  }
  if (!d.vTroco.empty()) {
    m.Par("Troco R$", Brasileiro(d.vTroco));
  }
}

void Observacoes(Montagem &m, const Documento &d) {
  if (!d.infCpl.empty() || !d.vCFeLei12741.empty()) {
    m.Separador();
    m.Esquerda("OBSERVAÇÕES DO CONTRIBUINTE", true, true);
    if (!d.infCpl.empty()) {
      m.Esquerda(d.infCpl, false, true);
    }
    if (!d.vCFeLei12741.empty()) {
      m.Esquerda("Valor aproximado dos tributos deste cupom R$ " + Brasileiro(d.vCFeLei12741) +
                     " (conforme Lei Fed. 12.741/2012)",
                 false, true);
    }
  }
  if (!d.obsFisco.empty()) {
    m.Separador();
    for (const Observacao &o : d.obsFisco) {
      m.Esquerda(o.xCampo + ": " + o.xTexto, false, true);
    }
  }
  m.Separador();
}

} // namespace

Diagrama Papel(int larguraPapel) {
  Diagrama d;
  d.larguraPapel = larguraPapel == 58 ? 58 : 80;
  d.larguraPontos = d.larguraPapel == 58 ? 384 : 576;
  d.colunas = d.larguraPontos / 12;
  d.colunasCondensadas = d.larguraPontos / 9;
  return d;
}

Diagrama DiagramaVenda(const Documento &venda, int larguraPapel) {
  Montagem m(larguraPapel);
  Emitente(m, venda);
  Titulo(m, venda, false);
  if (!venda.cpfDestinatario.empty() || !venda.cnpjDestinatario.empty() ||
      !venda.nomeDestinatario.empty()) {
    Consumidor(m, venda);
    m.Separador();
  }
  Itens(m, venda);
  m.Separador();
  Totais(m, venda);
  Observacoes(m, venda);
  Rodape(m, venda.chave, venda.nserieSAT, venda.dEmi, venda.hEmi, venda.ConteudoQRCode());
  m.Consulta();
  m.Codigo(Elemento::Tipo::Corte, "");
  return m.Pronto();
}

Diagrama DiagramaCancelamento(const Documento &cancelamento, const Documento &venda,
                              int larguraPapel) {
  Montagem m(larguraPapel);
  Emitente(m, venda); // the same taxpayer, with the trade name the cancellation leaves out
  Titulo(m, cancelamento, true);
  m.Esquerda("DADOS DO CUPOM FISCAL ELETRÔNICO CANCELADO", true, true);
  m.Avanco();
  Consumidor(m, venda);
  m.Par("TOTAL R$", Brasileiro(venda.vCFe), true);
  m.Avanco();
  Rodape(m, venda.chave, venda.nserieSAT, venda.dEmi, venda.hEmi, venda.ConteudoQRCode());
  m.Separador();
  m.Esquerda("DADOS DO CUPOM FISCAL ELETRÔNICO DE CANCELAMENTO", true, true);
  m.Avanco();
  Rodape(m, cancelamento.chave, cancelamento.nserieSAT, cancelamento.dEmi, cancelamento.hEmi,
         cancelamento.ConteudoQRCode());
  m.Consulta();
  m.Codigo(Elemento::Tipo::Corte, "");
  return m.Pronto();
}

} // namespace extrato
