#include "saida.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "saude_json.h"

namespace {

const size_t kValorLongo = 100; // longer values are cut in the readable view
const size_t kValorCortado = 60;

// Success or failure at a glance; a document that could not be saved does not undo a success.
const char *Marca(const Resultado &r) {
  if (r.resposta.sucesso) {
    return "ok";
  }
  return r.status == STATUS_BIBLIOTECA ? "biblioteca" : "falhou";
}

const char *Cor(const Resultado &r) {
  if (r.resposta.sucesso) {
    return "\x1b[32m"; // green
  }
  return r.status == STATUS_BIBLIOTECA ? "\x1b[33m" : "\x1b[31m";
}

bool Digitos(const std::string &texto, size_t quantos) {
  return texto.size() == quantos && texto.find_first_not_of("0123456789") == std::string::npos;
}

// AAAAMMDDHHMMSS and AAAAMMDD, as a Brazilian reads them.
std::string Data(const std::string &nome, const std::string &valor) {
  static const char *const kDataHora[] = {"timeStamp", "DH_ATUAL", "DH_CFe", "DH_ULTIMA"};
  static const char *const kData[] = {"CERT_EMISSAO", "CERT_VENCIMENTO"};
  const auto eh = [&nome](const auto &nomes) {
    return std::find(std::begin(nomes), std::end(nomes), nome) != std::end(nomes);
  };
  if (eh(kDataHora) && Digitos(valor, 14)) {
    return " (" + valor.substr(6, 2) + "/" + valor.substr(4, 2) + "/" + valor.substr(0, 4) + " " +
           valor.substr(8, 2) + ":" + valor.substr(10, 2) + ":" + valor.substr(12, 2) + ")";
  }
  if (eh(kData) && Digitos(valor, 8)) {
    return " (" + valor.substr(6, 2) + "/" + valor.substr(4, 2) + "/" + valor.substr(0, 4) + ")";
  }
  return std::string();
}

bool EhDocumento(const std::string &nome) {
  return nome == "arquivoCFeSAT" || nome == "arquivoCFeBase64" || nome == "arquivoLogBase64";
}

// A value for the terminal: control bytes shown as '?', line ends kept and indented.
std::string ParaTerminal(const std::string &valor, size_t recuo) {
  std::string limpo;
  for (const char c : valor) {
    if (c == '\n') {
      limpo += "\n" + std::string(recuo, ' ');
    } else {
      limpo += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
  }
  return DeWindows1252(limpo, Destino::Terminal);
}

void Legivel(const Resultado &r, bool mostraRegistro, const Terminal &t) {
  const Resposta &resposta = r.resposta;
  std::string titulo = r.exportacao;
  if (!resposta.codigo.empty()) {
    titulo += " " + resposta.codigo;
  }
  if (!resposta.explicacao.empty()) {
    titulo += ": " + resposta.explicacao;
  }
  if (!resposta.familia.empty() && resposta.familia != r.exportacao) {
    titulo += " (a resposta guardada de " + resposta.familia + ")";
  }
  if (t.cores) {
    std::fprintf(t.saida, "%s[%s]\x1b[0m %s\n", Cor(r), Marca(r),
                 DeWindows1252(titulo, Destino::Terminal).c_str());
  } else {
    std::fprintf(t.saida, "[%s] %s\n", Marca(r), DeWindows1252(titulo, Destino::Terminal).c_str());
  }

  size_t largura = 10;
  for (const Campo &c : resposta.campos) {
    largura = std::max(largura, c.nome.size());
  }
  const size_t recuo = largura + 3;
  for (const Campo &c : resposta.campos) {
    std::string valor;
    if (c.valor.size() > kValorLongo) {
      valor = ParaTerminal(c.valor.substr(0, kValorCortado), recuo) + "... (" +
              std::to_string(c.valor.size()) + " caracteres)";
    } else {
      valor = ParaTerminal(c.valor, recuo) + Data(c.nome, c.valor);
    }
    if (EhDocumento(c.nome) && !(r.documento.empty() && r.arquivado.empty())) {
      const std::string salvo = r.documento.empty() ? "" : " em " + r.documento;
      const std::string arquivado = r.arquivado.empty() ? "" : " e arquivado em " + r.arquivado;
      valor += DeUtf8(" decodificado" + salvo + arquivado, Destino::Terminal);
    }
    std::fprintf(t.saida, "  %-*s %s\n", static_cast<int>(largura), c.nome.c_str(), valor.c_str());
  }
  if (!resposta.caudaBinaria.empty()) {
    std::fprintf(
        t.saida, "  %-*s %s\n", static_cast<int>(largura), "",
        DeUtf8("(a cauda comprimida da venda, como o dispositivo a guardou)", Destino::Terminal)
            .c_str());
  }
  for (const auto &[serie, porta] : r.portas) {
    std::fprintf(t.saida, "  %-*s %s\n", static_cast<int>(largura), serie.c_str(),
                 ParaTerminal(porta, recuo).c_str());
  }
  if (mostraRegistro && r.registro) {
    std::fprintf(t.saida, "  %-*s %d %s\n", static_cast<int>(largura), "CodigoErro",
                 static_cast<int>(r.codigoErro), ParaTerminal(r.mensagemErro, recuo).c_str());
  }
  for (const std::string &nota : r.notas) {
    std::fprintf(t.saida, "  nota: %s\n", DeUtf8(nota, Destino::Terminal).c_str());
  }
}

const char *CorDoNivel(saude::Nivel nivel) {
  switch (nivel) {
  case saude::Nivel::Ok:
    return "\x1b[32m"; // green
  case saude::Nivel::Atencao:
    return "\x1b[33m"; // yellow
  case saude::Nivel::Critico:
    break;
  }
  return "\x1b[1;31m"; // bold red
}

// `texto` (Windows-1252, one byte a character) padded to `largura` columns, in colour on a
// terminal that shows it.
std::string Coluna(const std::string &texto, size_t largura, const char *cor, const Terminal &t) {
  const std::string espacos(largura > texto.size() ? largura - texto.size() : 0, ' ');
  const std::string convertido = DeWindows1252(texto, Destino::Terminal);
  return t.cores && cor[0] != '\0' ? cor + convertido + "\x1b[0m" + espacos : convertido + espacos;
}

// A headline with the device and the worst level, then a line per check.
void Saude(const Resultado &r, bool mostraRegistro, const Terminal &t) {
  const saude::Avaliacao &a = r.avaliacao;
  std::string serie = a.Campo("NSERIE");
  serie = serie.empty() ? std::string() : " " + serie;
  std::fprintf(t.saida, "%s\n",
               (DeWindows1252("Sa\xFA"
                              "de do SAT" +
                                  serie + " em " + r.quando + ": ",
                              Destino::Terminal) +
                Coluna(saude::RotuloDoNivel(a.nivel), 0, CorDoNivel(a.nivel), t))
                   .c_str());
  size_t largura = 0;
  for (const saude::Verificacao &v : a.verificacoes) {
    largura = std::max(largura, v.titulo.size());
  }
  for (const saude::Verificacao &v : a.verificacoes) {
    const std::string marca = std::string("[") + saude::RotuloDoNivel(v.nivel) + "]";
    std::fprintf(t.saida, "  %s %s  %s\n", Coluna(marca, 10, CorDoNivel(v.nivel), t).c_str(),
                 Coluna(v.titulo, largura, "", t).c_str(),
                 DeWindows1252(v.mensagem, Destino::Terminal).c_str());
  }
  if (mostraRegistro && r.registro) {
    std::fprintf(t.saida, "  CodigoErro %d %s\n", static_cast<int>(r.codigoErro),
                 ParaTerminal(r.mensagemErro, 2).c_str());
  }
}

void Bruto(const Resultado &r, bool mostraRegistro, const Terminal &t) {
  if (!r.nulo) {
    std::fwrite(r.bruto.data(), 1, r.bruto.size(), t.saida);
    if (r.bruto.empty() || r.bruto.back() != '\n') {
      std::fputc('\n', t.saida);
    }
  }
  if (mostraRegistro && r.registro) {
    std::fprintf(t.saida, "CodigoErro: %d\n", static_cast<int>(r.codigoErro));
    std::fwrite(r.mensagemErro.data(), 1, r.mensagemErro.size(), t.saida);
    std::fputc('\n', t.saida);
  }
}

std::string Utf8(const std::string &texto) { return DeWindows1252(texto, Destino::Utf8); }

std::string Hexa(const std::string &bytes) {
  static const char kDigitos[] = "0123456789abcdef";
  std::string texto;
  for (const unsigned char b : bytes) {
    texto += kDigitos[b >> 4];
    texto += kDigitos[b & 0x0F];
  }
  return texto;
}

void SaudeJson(const Resultado &r, const Terminal &t) {
  nlohmann::ordered_json j = {{"comando", "saude"}, {"status", r.status}};
  const nlohmann::ordered_json checagem = saude::ParaJson(
      r.avaliacao, [](std::string_view texto) { return DeWindows1252(texto, Destino::Utf8); });
  for (const auto &[chave, valor] : checagem.items()) {
    j[chave] = valor;
  }
  if (r.registro) {
    j["registroErro"] = {{"codigo", r.codigoErro}, {"mensagem", Utf8(r.mensagemErro)}};
  }
  const std::string texto = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(t.saida, "%s\n", texto.c_str());
}

void Json(const Resultado &r, const Terminal &t) {
  const Resposta &resposta = r.resposta;
  nlohmann::ordered_json j;
  j["comando"] = r.exportacao;
  j["origem"] = resposta.origem == Origem::Dispositivo ? "dispositivo" : "biblioteca";
  j["sucesso"] = resposta.sucesso;
  j["status"] = r.status;
  if (r.comando) {
    j["codigo"] = resposta.codigo.empty() ? nlohmann::ordered_json()
                                          : nlohmann::ordered_json(resposta.codigo);
    j["explicacao"] = Utf8(resposta.explicacao);
  }
  if (!resposta.familia.empty() && r.exportacao != resposta.familia) {
    j["respostaDe"] = resposta.familia;
  }
  nlohmann::ordered_json campos = nlohmann::ordered_json::object();
  for (const Campo &c : resposta.campos) {
    campos[c.nome] = c.emUtf8 ? c.valor : Utf8(c.valor);
  }
  j["campos"] = campos;
  if (!resposta.caudaBinaria.empty()) {
    j["caudaBinaria"] = Hexa(resposta.caudaBinaria);
  }
  if (!r.portas.empty() || r.exportacao == "GetMapaPortasSAT") {
    nlohmann::ordered_json portas = nlohmann::ordered_json::array();
    for (const auto &[serie, porta] : r.portas) {
      portas.push_back({{"serie", Utf8(serie)}, {"porta", Utf8(porta)}});
    }
    j["portas"] = portas;
  }
  if (r.registro) {
    j["registroErro"] = {{"codigo", r.codigoErro}, {"mensagem", Utf8(r.mensagemErro)}};
  }
  if (!r.documento.empty()) {
    j["documento"] = r.documento;
  }
  if (!r.arquivado.empty()) {
    j["arquivado"] = r.arquivado;
  }
  if (!r.impressora.empty()) {
    j["extrato"] = {{"impressora", r.impressora}, {"impresso", r.impresso}};
    if (!r.falhaImpressao.empty()) {
      j["extrato"]["erro"] = r.falhaImpressao;
    }
  }
  if (!r.notas.empty()) {
    j["notas"] = r.notas;
  }
  const std::string texto = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(t.saida, "%s\n", texto.c_str());
}

// satd's and extrato's: a failure on standard error (the output may be the document's file), the
// JSON view on standard output whatever happened, the document or satd's list exactly as they came.
void VistaPropria(const Resultado &r, Vista vista, const Terminal &t) {
  if (vista == Vista::Json) {
    std::fprintf(t.saida, "%s\n", r.json.c_str());
  } else if (!r.falha.empty()) {
    std::fputs(DeUtf8("satcli: " + r.falha + "\n", Destino::Erro).c_str(), stderr);
  } else if (r.literal || (vista == Vista::Bruto && !r.bruto.empty())) {
    std::fwrite(r.bruto.data(), 1, r.bruto.size(), t.saida);
  } else {
    std::fputs(DeUtf8(r.legivel, Destino::Terminal).c_str(), t.saida);
  }
}

} // namespace

void Imprime(const Resultado &r, Vista vista, bool mostraRegistro, const Terminal &t) {
  if (r.vistaPropria) {
    VistaPropria(r, vista, t);
    std::fflush(t.saida);
    return;
  }
  switch (vista) {
  case Vista::Legivel:
    if (r.saude) {
      Saude(r, mostraRegistro, t);
    } else if (r.literal) {
      Bruto(r, false, t);
    } else {
      Legivel(r, mostraRegistro, t);
    }
    break;
  case Vista::Bruto:
    Bruto(r, mostraRegistro, t);
    break;
  case Vista::Json:
    if (r.saude) {
      SaudeJson(r, t);
    } else {
      Json(r, t);
    }
    break;
  }
  std::fflush(t.saida);
  if (!r.falhaImpressao.empty()) {
    std::fputs(DeUtf8("satcli: " + r.falhaImpressao + "\n", Destino::Erro).c_str(), stderr);
  }
}
