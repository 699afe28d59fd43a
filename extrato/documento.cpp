#include "documento.h"

#include <algorithm>
#include <cctype>

namespace extrato {

const No *No::Filho(std::string_view n) const {
  for (const auto &f : filhos) {
    if (f->nome == n) {
      return f.get();
    }
  }
  return nullptr;
}

std::string No::Texto(std::string_view caminho) const {
  const No *no = this;
  while (no != nullptr && !caminho.empty()) {
    const size_t barra = caminho.find('/');
    no = no->Filho(caminho.substr(0, barra));
    caminho = barra == std::string_view::npos ? std::string_view{} : caminho.substr(barra + 1);
  }
  return no != nullptr ? no->texto : std::string{};
}

std::string No::Atributo(std::string_view n) const {
  for (const auto &[chave, valor] : atributos) {
    if (chave == n) {
      return valor;
    }
  }
  return {};
}

std::string Documento::ConteudoQRCode() const {
  const std::string &comprador = !cpfDestinatario.empty() ? cpfDestinatario : cnpjDestinatario;
  return chave + "|" + dEmi + hEmi + "|" + vCFe + "|" + comprador + "|" + assinaturaQRCODE;
}

namespace {

bool Digitos(const std::string &s, size_t n) {
  return s.size() == n &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// "CFe" and the 44 digits of a key.
bool Chave(const std::string &id, std::string &chave) {
  if (id.size() != 47 || id.compare(0, 3, "CFe") != 0 || !Digitos(id.substr(3), 44)) {
    return false;
  }
  chave = id.substr(3);
  return true;
}

// A value as the SAT writes them: digits, and a point followed by digits.
bool Valor(const std::string &v) {
  const size_t ponto = v.find('.');
  const std::string inteiro = v.substr(0, ponto);
  const std::string fracao = ponto == std::string::npos ? "" : v.substr(ponto + 1);
  const auto digitos = [](const std::string &s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
  };
  return !inteiro.empty() && inteiro.size() <= 15 && digitos(inteiro) && fracao.size() <= 4 &&
         digitos(fracao) && (ponto == std::string::npos || !fracao.empty());
}

// Whitespace runs (line breaks and tabs included) become one space; other control characters
// go: a document's text never moves the printer.
std::string Limpo(const std::string &s) {
  std::string r;
  for (unsigned char c : s) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!r.empty() && r.back() != ' ') {
        r += ' ';
      }
    } else if (c >= 0x20 && c != 0x7F) {
      r += static_cast<char>(c);
    }
  }
  while (!r.empty() && r.back() == ' ') {
    r.pop_back();
  }
  return r;
}

struct Leitura {
  std::string &erro;
  bool Falta(const std::string &o_que) {
    erro = "o documento não traz " + o_que;
    return false;
  }
  bool Exige(const No &no, const char *caminho, std::string &destino) {
    destino = Limpo(no.Texto(caminho));
    return !destino.empty() || Falta(caminho);
  }
  bool ExigeValor(const No &no, const char *caminho, std::string &destino) {
    if (!Exige(no, caminho, destino)) {
      return false;
    }
    return Valor(destino) || Invalido(caminho, destino);
  }
  // An optional value: empty, or a value.
  bool Opcional(const No &no, const char *caminho, std::string &destino) {
    destino = Limpo(no.Texto(caminho));
    return destino.empty() || Valor(destino) || Invalido(caminho, destino);
  }
  bool Invalido(const std::string &campo, const std::string &valor) {
    erro = "o documento traz " + campo + " inválido: '" + valor.substr(0, 60) + "'";
    return false;
  }
};

bool LeEmitente(const No &inf, Documento &d, Leitura &l) {
  const No *emit = inf.Filho("emit");
  if (emit == nullptr) {
    return l.Falta("emit");
  }
  if (!l.Exige(*emit, "CNPJ", d.cnpj) || !l.Exige(*emit, "xNome", d.xNome)) {
    return false;
  }
  d.xFant = Limpo(emit->Texto("xFant"));
  d.xLgr = Limpo(emit->Texto("enderEmit/xLgr"));
  d.nro = Limpo(emit->Texto("enderEmit/nro"));
  d.xCpl = Limpo(emit->Texto("enderEmit/xCpl"));
  d.xBairro = Limpo(emit->Texto("enderEmit/xBairro"));
  d.xMun = Limpo(emit->Texto("enderEmit/xMun"));
  d.cep = Limpo(emit->Texto("enderEmit/CEP"));
  d.ie = Limpo(emit->Texto("IE"));
  d.im = Limpo(emit->Texto("IM"));
  return true;
}

bool LeIde(const No &inf, Documento &d, Leitura &l) {
  const No *ide = inf.Filho("ide");
  if (ide == nullptr) {
    return l.Falta("ide");
  }
  if (!l.Exige(*ide, "nCFe", d.nCFe) || !l.Exige(*ide, "nserieSAT", d.nserieSAT) ||
      !l.Exige(*ide, "dEmi", d.dEmi) || !l.Exige(*ide, "hEmi", d.hEmi) ||
      !l.Exige(*ide, "assinaturaQRCODE", d.assinaturaQRCODE)) {
    return false;
  }
  d.numeroCaixa = Limpo(ide->Texto("numeroCaixa"));
  if (!Digitos(d.nCFe, 6)) {
    return l.Invalido("nCFe", d.nCFe);
  }
  if (!Digitos(d.nserieSAT, 9)) {
    return l.Invalido("nserieSAT", d.nserieSAT);
  }
  if (!Digitos(d.dEmi, 8)) {
    return l.Invalido("dEmi", d.dEmi);
  }
  if (!Digitos(d.hEmi, 6)) {
    return l.Invalido("hEmi", d.hEmi);
  }
  if (d.assinaturaQRCODE.size() > 1024) {
    return l.Invalido("assinaturaQRCODE", d.assinaturaQRCODE);
  }
  return true;
}

void LeDestinatario(const No &inf, Documento &d) {
  if (const No *dest = inf.Filho("dest")) {
    d.cpfDestinatario = Limpo(dest->Texto("CPF"));
    d.cnpjDestinatario = Limpo(dest->Texto("CNPJ"));
    d.nomeDestinatario = Limpo(dest->Texto("xNome"));
  }
}

void LeObservacoes(const No &inf, Documento &d) {
  const No *adic = inf.Filho("infAdic");
  if (adic == nullptr) {
    return;
  }
  d.infCpl = Limpo(adic->Texto("infCpl"));
  for (const auto &f : adic->filhos) {
    if (f->nome == "obsFisco") {
      d.obsFisco.push_back({Limpo(f->Atributo("xCampo")), Limpo(f->Texto("xTexto"))});
    }
  }
}

bool LeItens(const No &inf, Documento &d, Leitura &l) {
  for (const auto &det : inf.filhos) {
    if (det->nome != "det") {
      continue;
    }
    const No *prod = det->Filho("prod");
    if (prod == nullptr) {
      return l.Falta("det/prod");
    }
    Item i;
    i.nItem = Limpo(det->Atributo("nItem"));
    if (!l.Exige(*prod, "xProd", i.xProd) || !l.ExigeValor(*prod, "qCom", i.qCom) ||
        !l.ExigeValor(*prod, "vUnCom", i.vUnCom) || !l.ExigeValor(*prod, "vItem", i.vItem) ||
        !l.Opcional(*prod, "vProd", i.vProd) || !l.Opcional(*prod, "vDesc", i.vDesc) ||
        !l.Opcional(*prod, "vOutro", i.vOutro) || !l.Opcional(*prod, "vRatDesc", i.vRatDesc) ||
        !l.Opcional(*prod, "vRatAcr", i.vRatAcr) ||
        !l.Opcional(*det, "imposto/vItem12741", i.vItem12741)) {
      return false;
    }
    i.cProd = Limpo(prod->Texto("cProd"));
    i.cEAN = Limpo(prod->Texto("cEAN"));
    i.uCom = Limpo(prod->Texto("uCom"));
    i.infAdProd = Limpo(det->Texto("infAdProd"));
    if (i.nItem.empty()) {
      i.nItem = std::to_string(d.itens.size() + 1);
    }
    d.itens.push_back(std::move(i));
  }
  if (d.itens.empty()) {
    return l.Falta("itens (det)");
  }
  return true;
}

bool LeVenda(const No &inf, Documento &d, Leitura &l) {
  if (!LeIde(inf, d, l) || !LeEmitente(inf, d, l) || !LeItens(inf, d, l)) {
    return false;
  }
  LeDestinatario(inf, d);
  const No *total = inf.Filho("total");
  if (total == nullptr) {
    return l.Falta("total");
  }
  if (!l.ExigeValor(*total, "vCFe", d.vCFe) || !l.Opcional(*total, "ICMSTot/vProd", d.vProd) ||
      !l.Opcional(*total, "ICMSTot/vDesc", d.vDesc) ||
      !l.Opcional(*total, "ICMSTot/vOutro", d.vOutro) ||
      !l.Opcional(*total, "DescAcrEntr/vDescSubtot", d.vDescSubtot) ||
      !l.Opcional(*total, "DescAcrEntr/vAcresSubtot", d.vAcresSubtot) ||
      !l.Opcional(*total, "vCFeLei12741", d.vCFeLei12741)) {
    return false;
  }
  const No *pgto = inf.Filho("pgto");
  if (pgto == nullptr) {
    return l.Falta("pgto");
  }
  for (const auto &mp : pgto->filhos) {
    if (mp->nome == "MP") {
      Pagamento p;
      if (!l.Exige(*mp, "cMP", p.cMP) || !l.ExigeValor(*mp, "vMP", p.vMP)) {
        return false;
      }
      d.pagamentos.push_back(std::move(p));
    }
  }
  if (d.pagamentos.empty()) {
    return l.Falta("pgto/MP");
  }
  if (!l.Opcional(*pgto, "vTroco", d.vTroco)) {
    return false;
  }
  LeObservacoes(inf, d);
  return true;
}

bool LeCancelamento(const No &inf, Documento &d, Leitura &l) {
  if (!Chave(inf.Atributo("chCanc"), d.chaveVenda)) {
    return l.Invalido("chCanc", inf.Atributo("chCanc"));
  }
  if (!l.Exige(inf, "dEmi", d.dEmiVenda) || !l.Exige(inf, "hEmi", d.hEmiVenda)) {
    return false;
  }
  if (!Digitos(d.dEmiVenda, 8) || !Digitos(d.hEmiVenda, 6)) {
    return l.Invalido("dEmi/hEmi da venda", d.dEmiVenda + d.hEmiVenda);
  }
  if (!LeIde(inf, d, l) || !LeEmitente(inf, d, l)) {
    return false;
  }
  LeDestinatario(inf, d);
  if (!l.ExigeValor(inf, "total/vCFe", d.vCFe)) {
    return false;
  }
  LeObservacoes(inf, d);
  return true;
}

} // namespace

bool LeDocumento(std::string_view xml, Documento &documento, std::string &erro) {
  if (xml.size() > kMaiorDocumento) {
    erro = "o XML tem mais de " + std::to_string(kMaiorDocumento) + " bytes";
    return false;
  }
  No raiz;
  if (!LeXml(xml, raiz, erro)) {
    return false;
  }
  Documento d;
  Leitura l{erro};
  if (raiz.nome != "CFe" && raiz.nome != "CFeCanc") {
    erro = "o documento não é um CF-e (a raiz é " + raiz.nome.substr(0, 40) + ")";
    return false;
  }
  d.cancelamento = raiz.nome == "CFeCanc";
  const No *inf = raiz.Filho("infCFe");
  if (inf == nullptr) {
    return l.Falta("infCFe");
  }
  if (!Chave(inf->Atributo("Id"), d.chave)) {
    return l.Invalido("infCFe Id", inf->Atributo("Id"));
  }
  if (!(d.cancelamento ? LeCancelamento(*inf, d, l) : LeVenda(*inf, d, l))) {
    return false;
  }
  documento = std::move(d);
  return true;
}

} // namespace extrato
