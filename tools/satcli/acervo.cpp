// cfe and mes over libcurl: one GET each, bounded in time and size, with satd's refusals and
// the network's failures told in Portuguese.
#include "acervo.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "comum/opcoes.h"
#include "parcial.h"

const bool kAcervoDisponivel = true;

namespace {

using json = nlohmann::ordered_json;

constexpr size_t kErroMaximo = 64 * 1024;               // of a refusal's body, to quote its "erro"
constexpr size_t kMotivoMaximo = 300;                   // of satd's "erro", as quoted
constexpr size_t kDocumentoMaximo = 16 * 1024 * 1024;   // a CF-e or a list, held in memory
constexpr curl_off_t kMesMaximo = curl_off_t(64) << 30; // a month's zip, on disk
constexpr long kConexaoS = 10;                          // to connect and finish TLS
constexpr long kParadoS = 30;                           // no byte for this long ends a transfer
constexpr long kPedidoS = 120;                          // a CF-e's or a list's whole request

// One GET: a 2xx body goes to `corpo`, any other body's first bytes to `recusa`.
struct Transferencia {
  std::function<bool(const char *, size_t)> corpo; // false stops the transfer
  std::string motivo;                              // why `corpo` stopped it
  int statusMotivo = STATUS_SATD;
  std::string recusa;
  long http = 0;
  CURL *curl = nullptr;
};

size_t Recebe(char *dados, size_t, size_t n, void *usuario) {
  Transferencia &t = *static_cast<Transferencia *>(usuario);
  if (t.http == 0) {
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &t.http);
  }
  if (t.http >= 200 && t.http < 300) {
    return t.corpo(dados, n) ? n : 0;
  }
  t.recusa.append(dados, std::min(n, kErroMaximo - std::min(kErroMaximo, t.recusa.size())));
  return n;
}

// satd's {"erro": ...}, without control bytes and cut short; or what stands for it.
std::string MotivoDoSatd(const std::string &corpo) {
  const json j = json::parse(corpo, nullptr, false);
  if (!j.is_object() || !j.contains("erro") || !j["erro"].is_string()) {
    return "sem o motivo em JSON";
  }
  std::string motivo;
  for (const char c : j["erro"].get<std::string>().substr(0, kMotivoMaximo)) {
    motivo += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return motivo;
}

std::string Recusa(long http, const std::string &corpo) {
  const std::string motivo = "(" + std::to_string(http) + ": " + MotivoDoSatd(corpo) + ")";
  switch (http) {
  case 401:
    return "o satd recusou as credenciais " + motivo +
           ": dê --usuario e a senha em SATD_SENHA ou --senha-arquivo";
  case 403:
    return "esta credencial não dá acesso a isto " + motivo;
  case 404:
    return "não encontrado " + motivo;
  case 400:
    return "o satd recusou o pedido " + motivo;
  default:
    return "o satd respondeu com erro " + motivo;
  }
}

std::string Descreve(CURLcode codigo, const char *detalhe, const std::string &origem) {
  const std::string mais = detalhe[0] != '\0' ? std::string(" (") + detalhe + ")" : "";
  switch (codigo) {
  case CURLE_COULDNT_RESOLVE_HOST:
    return "o endereço de " + origem + " não foi encontrado" + mais;
  case CURLE_COULDNT_CONNECT:
    return "o satd em " + origem +
           " não aceitou a conexão: ele está no ar, nesse endereço e porta?" + mais;
  case CURLE_OPERATION_TIMEDOUT:
    return "o satd em " + origem + " não respondeu a tempo" + mais;
  case CURLE_PEER_FAILED_VERIFICATION:
    return "o certificado TLS de " + origem +
           " não foi verificado: dê a CA da loja com --ca ARQUIVO" + mais;
  case CURLE_SSL_CACERT_BADFILE:
    return "a CA de --ca não pôde ser lida" + mais;
  case CURLE_SSL_CONNECT_ERROR:
    return "a negociação TLS com " + origem + " falhou" + mais;
  case CURLE_GOT_NOTHING:
  case CURLE_RECV_ERROR:
  case CURLE_PARTIAL_FILE:
    return "a conexão com o satd em " + origem + " caiu antes do fim da resposta" + mais;
  default:
    return "a conversa com o satd em " + origem + " falhou: " + curl_easy_strerror(codigo) + mais;
  }
}

void Falha(Resultado &r, const std::string &texto, int status, long http) {
  r.falha = texto;
  r.status = status;
  r.json = json{
      {"comando", r.exportacao},
      {"sucesso", false},
      {"status", status},
      {"http", http != 0 ? json(http) : json()},
      {"erro",
       texto}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Sucesso(Resultado &r, json campos, const std::string &legivel) {
  json j = {{"comando", r.exportacao}, {"sucesso", true}, {"status", STATUS_SUCESSO}};
  for (auto &[chave, valor] : campos.items()) {
    j[chave] = std::move(valor);
  }
  r.json = j.dump(-1, ' ', false, json::error_handler_t::replace);
  r.legivel = legivel;
  r.status = STATUS_SUCESSO;
}

// GETs `caminho` of satd into `t`; false, with `r` telling why, unless satd answered 2xx whole.
bool Pede(const Opcoes &o, const std::string &caminho, Transferencia &t, bool longa, Resultado &r) {
  static const bool iniciada = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  std::string origem, base;
  EnderecoSatd(o.satd, origem, base);
  CURL *curl = iniciada ? curl_easy_init() : nullptr;
  if (curl == nullptr) {
    Falha(r, "a libcurl não pôde ser iniciada", STATUS_SATD, 0);
    return false;
  }
  char detalhe[CURL_ERROR_SIZE] = "";
  const std::string url = origem + caminho;
  const std::string agente = opcoes::Versao("satcli");
  t.curl = curl;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConexaoS);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kParadoS);
  if (!longa) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kPedidoS);
  }
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agente.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detalhe);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Recebe);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  if (!o.usuario.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, o.usuario.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, o.senha.c_str());
  }
  if (!o.ca.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, o.ca.c_str());
  }
  const CURLcode codigo = curl_easy_perform(curl);
  if (t.http == 0) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &t.http);
  }
  curl_easy_cleanup(curl);
  t.curl = nullptr;
  if (codigo == CURLE_WRITE_ERROR && !t.motivo.empty()) {
    Falha(r, t.motivo, t.statusMotivo, t.http);
    return false;
  }
  if (t.http != 0 && (t.http < 200 || t.http >= 300)) {
    Falha(r, Recusa(t.http, t.recusa), STATUS_FALHA, t.http);
    return false;
  }
  if (codigo != CURLE_OK) {
    Falha(r, Descreve(codigo, detalhe, origem), STATUS_SATD, t.http);
    return false;
  }
  return true;
}

std::string BaseDe(const Opcoes &o) {
  std::string origem, base;
  EnderecoSatd(o.satd, origem, base);
  return base;
}

Resultado Novo(const std::string &caminho) {
  Resultado r;
  r.vistaPropria = true;
  r.exportacao = "GET " + caminho;
  return r;
}

// A member of a listed document as a cell: text without control bytes, or a number.
std::string Celula(const json &item, const char *nome) {
  if (!item.is_object() || !item.contains(nome)) {
    return "-";
  }
  const json &v = item[nome];
  std::string texto = v.is_string() ? v.get<std::string>() : v.is_number() ? v.dump() : "-";
  for (char &c : texto) {
    c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return texto.substr(0, 64);
}

std::string Alinha(const std::string &texto, size_t largura, bool direita) {
  const std::string espacos(largura > texto.size() ? largura - texto.size() : 0, ' ');
  return direita ? espacos + texto : texto + espacos;
}

void Lista(Resultado &r, const Passo &p, const std::string &corpo) {
  json lista = json::parse(corpo, nullptr, false);
  if (!lista.is_object() || !lista.contains("documentos") || !lista["documentos"].is_array() ||
      !lista.contains("completa") || !lista["completa"].is_boolean()) {
    Falha(r, "a resposta do satd não é a lista de CF-e", STATUS_SATD, 200);
    return;
  }
  const json &documentos = lista["documentos"];
  const std::string periodo =
      "de " + p.de + " a " + p.ate + (p.caixa.empty() ? std::string() : ", caixa " + p.caixa);
  std::string texto;
  if (documentos.empty()) {
    texto = "nenhum CF-e " + periodo + "\n";
  } else {
    texto = "emitido em           caixa  sessão  tipo          total  bytes  chave\n";
    for (const json &d : documentos) {
      texto += Alinha(Celula(d, "emitido_em"), 19, false) + " " +
               Alinha(Celula(d, "caixa"), 6, true) + " " + Alinha(Celula(d, "sessao"), 7, true) +
               "  " + Alinha(Celula(d, "tipo"), 12, false) + " " +
               Alinha(Celula(d, "total"), 6, true) + " " + Alinha(Celula(d, "bytes"), 6, true) +
               "  " + Celula(d, "chave") + "\n";
    }
    texto += std::to_string(documentos.size()) + " CF-e " + periodo + "\n";
  }
  if (!lista["completa"].get<bool>()) {
    texto += "a lista está incompleta: o satd dá no máximo 10000 por vez; peça um período menor\n";
  }
  r.bruto = corpo;
  Sucesso(r, {{"documentos", documentos}, {"completa", lista["completa"]}}, texto);
}

} // namespace

Resultado AcervoCfe(Execucao &e, const Passo &p) {
  std::string caminho = BaseDe(e.opcoes) + "/cfe";
  if (p.args.empty()) {
    caminho += "?de=" + p.de + "&ate=" + p.ate + (p.caixa.empty() ? "" : "&caixa=" + p.caixa);
  } else {
    caminho += "/" + p.args[0];
  }
  Resultado r = Novo(caminho);
  std::string corpo;
  Transferencia t;
  t.corpo = [&corpo, &t](const char *dados, size_t n) {
    if (corpo.size() + n > kDocumentoMaximo) {
      t.motivo = "a resposta do satd passa de 16 MiB";
      return false;
    }
    corpo.append(dados, n);
    return true;
  };
  if (!Pede(e.opcoes, caminho, t, false, r)) {
    return r;
  }
  if (p.args.empty()) {
    Lista(r, p, corpo);
    return r;
  }
  if (p.salva.empty()) {
    r.bruto = corpo;
    r.literal = true;
    Sucesso(r, {{"bytes", corpo.size()}, {"documento", corpo}}, "");
    return r;
  }
  ArquivoParcial arquivo(p.salva);
  arquivo.Escreve(corpo.data(), corpo.size());
  const std::string erro = arquivo.Conclui();
  if (!erro.empty()) {
    Falha(r, erro, STATUS_ARQUIVO, t.http);
    return r;
  }
  r.documento = p.salva;
  Sucesso(r, {{"bytes", corpo.size()}, {"arquivo", p.salva}},
          "[ok] " + r.exportacao + ": " + std::to_string(corpo.size()) + " bytes gravados em " +
              p.salva + "\n");
  return r;
}

Resultado AcervoMes(Execucao &e, const Passo &p) {
  const std::string caminho = BaseDe(e.opcoes) + "/arquivo/" + p.args[0] + ".zip";
  Resultado r = Novo(caminho);
  ArquivoParcial arquivo(p.args[1]);
  if (!arquivo.Erro().empty()) {
    Falha(r, arquivo.Erro(), STATUS_ARQUIVO, 0);
    return r;
  }
  curl_off_t recebidos = 0;
  std::string inicio; // the first bytes, to know a zip
  Transferencia t;
  t.corpo = [&](const char *dados, size_t n) {
    if (recebidos + static_cast<curl_off_t>(n) > kMesMaximo) {
      t.motivo = "o zip do satd passa de 64 GiB";
      return false;
    }
    if (!arquivo.Escreve(dados, n)) {
      t.motivo = arquivo.Erro();
      t.statusMotivo = STATUS_ARQUIVO;
      return false;
    }
    inicio.append(dados, std::min(n, 4 - std::min<size_t>(4, inicio.size())));
    recebidos += static_cast<curl_off_t>(n);
    return true;
  };
  if (!Pede(e.opcoes, caminho, t, true, r)) {
    return r;
  }
  if (inicio.compare(0, 2, "PK") != 0) {
    Falha(r, "a resposta do satd não é um zip", STATUS_SATD, t.http);
    return r;
  }
  const std::string erro = arquivo.Conclui();
  if (!erro.empty()) {
    Falha(r, erro, STATUS_ARQUIVO, t.http);
    return r;
  }
  r.documento = p.args[1];
  Sucesso(r, {{"bytes", recebidos}, {"arquivo", p.args[1]}},
          "[ok] " + r.exportacao + ": " + std::to_string(recebidos) + " bytes gravados em " +
              p.args[1] + "\n");
  return r;
}
