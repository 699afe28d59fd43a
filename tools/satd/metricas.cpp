#include "metricas.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "texto.h"

namespace satd {

namespace {

// A sample's value: whole numbers as such, the rest with ten significant digits.
std::string Numero(double valor) {
  char texto[40];
  if (std::isfinite(valor) && std::floor(valor) == valor && std::fabs(valor) < 1e15) {
    std::snprintf(texto, sizeof texto, "%.0f", valor);
  } else {
    std::snprintf(texto, sizeof texto, "%.10g", valor);
  }
  return texto;
}

// A label's value as the format wants it: UTF-8 with backslash, quote and newline escaped;
// other control characters, which no reader expects in a label, become '?'. At most 80 bytes,
// cut between characters: a broken sequence would spoil the whole scrape.
std::string Rotulo(const std::string &utf8) {
  size_t fim = std::min<size_t>(utf8.size(), 80);
  while (fim < utf8.size() && fim > 0 && (static_cast<unsigned char>(utf8[fim]) & 0xC0) == 0x80) {
    --fim;
  }
  std::string saida;
  for (const char c : utf8.substr(0, fim)) {
    if (c == '\\' || c == '"') {
      saida += '\\';
      saida += c;
    } else if (c == '\n') {
      saida += "\\n";
    } else {
      saida += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
  }
  return saida;
}

void Familia(std::string &saida, const char *nome, const char *tipo, const char *ajuda) {
  saida += std::string("# HELP ") + nome + " " + ajuda + "\n# TYPE " + nome + " " + tipo + "\n";
}

void Amostra(std::string &saida, const std::string &nome, const std::string &rotulos,
             double valor) {
  saida += nome;
  if (!rotulos.empty()) {
    saida += "{" + rotulos + "}";
  }
  saida += " " + Numero(valor) + "\n";
}

// One gauge with no labels.
void Medida(std::string &saida, const char *nome, const char *ajuda, double valor) {
  Familia(saida, nome, "gauge", ajuda);
  Amostra(saida, nome, "", valor);
}

void Contador(std::string &saida, const char *nome, const char *ajuda, double valor) {
  Familia(saida, nome, "counter", ajuda);
  Amostra(saida, nome, "", valor);
}

// A check's figure, or nullptr when the check or the figure is not there.
const saude::Dado *DadoDe(const saude::Avaliacao &a, const char *verificacao, const char *nome) {
  for (const saude::Verificacao &v : a.verificacoes) {
    for (const saude::Dado &d : v.dados) {
      if (v.id == verificacao && d.nome == nome) {
        return &d;
      }
    }
  }
  return nullptr;
}

const saude::Dado *Numerico(const saude::Avaliacao &a, const char *verificacao, const char *nome) {
  const saude::Dado *d = DadoDe(a, verificacao, nome);
  return d != nullptr && d->numerico ? d : nullptr;
}

// The first instant after the certificate's last day (AAAA-MM-DD), in satd's local time: the
// certificate is good through the whole of that day. -1 when the date cannot be read.
std::time_t FimDoDia(const std::string &iso) {
  int ano = 0, mes = 0, dia = 0;
  char resto = 0;
  if (std::sscanf(iso.c_str(), "%4d-%2d-%2d%c", &ano, &mes, &dia, &resto) != 3) {
    return -1;
  }
  std::tm tm{};
  tm.tm_year = ano - 1900;
  tm.tm_mon = mes - 1;
  tm.tm_mday = dia + 1; // mktime carries it into the next month or year
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

void Dispositivo(std::string &saida, const Painel &p) {
  const saude::Avaliacao &a = p.avaliacao;
  Medida(saida, "sat_health_level",
         "The worst of the health checks of the SAT's last status: 0 ok, 1 attention, 2 critical",
         static_cast<int>(a.nivel));
  Familia(saida, "sat_check_level", "gauge",
          "Each health check's level: 0 ok, 1 attention, 2 critical (consulta: the status query "
          "itself)");
  for (const saude::Verificacao &v : a.verificacoes) {
    Amostra(saida, "sat_check_level", "check=\"" + Rotulo(v.id) + "\"", static_cast<int>(v.nivel));
  }
  if (!a.campos.empty()) {
    Familia(saida, "sat_info", "gauge", "The SAT's serial number and software versions");
    const auto campo = [&](const char *nome) { return Rotulo(Windows1252ParaUtf8(a.Campo(nome))); };
    Amostra(saida, "sat_info",
            "nserie=\"" + campo("NSERIE") + "\",ver_sb=\"" + campo("VER_SB") + "\",ver_layout=\"" +
                campo("VER_LAYOUT") + "\"",
            1);
  }
  if (const saude::Dado *d = Numerico(a, "operacao", "estado_operacao")) {
    Medida(saida, "sat_operation_state",
           "ESTADO_OPERACAO: 0 unblocked, 1 blocked by SEFAZ, 2 by the taxpayer, 3 autonomous "
           "block, 4 blocked for deactivation",
           d->numero);
  }
  if (const saude::Dado *d = DadoDe(a, "certificado", "vencimento")) {
    const std::time_t fim = FimDoDia(d->texto);
    if (fim != -1) {
      Medida(saida, "sat_certificate_expiry_timestamp_seconds",
             "When the SAT's certificate stops being valid: the end of CERT_VENCIMENTO's day",
             static_cast<double>(fim));
    }
  }
  if (const saude::Dado *d = Numerico(a, "transmissao", "pendentes")) {
    Medida(saida, "sat_cfe_pending", "CF-e waiting to be transmitted to SEFAZ", d->numero);
  }
  // The ages were measured on the SAT's own clock, which stamped both times: on satd's clock
  // they are as old as that, counted back from the reply.
  if (const saude::Dado *d = Numerico(a, "transmissao", "ultima_transmissao_s")) {
    Medida(saida, "sat_last_transmission_timestamp_seconds",
           "The SAT's last transmission of CF-e to SEFAZ (DH_CFe)",
           static_cast<double>(p.consultadoUnix) - d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "transmissao", "ultimo_contato_s")) {
    Medida(saida, "sat_last_sefaz_contact_timestamp_seconds",
           "The SAT's last contact with SEFAZ (DH_ULTIMA); it blocks itself after 10 days without",
           static_cast<double>(p.consultadoUnix) - d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "relogio", "diferenca_s")) {
    Medida(saida, "sat_clock_offset_seconds",
           "The SAT's clock minus satd's (positive: the SAT is ahead)", d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "memoria", "usada_bytes")) {
    Medida(saida, "sat_memory_used_bytes", "The SAT's working memory in use (MT_USADA)", d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "memoria", "total_bytes")) {
    Medida(saida, "sat_memory_total_bytes", "The SAT's working memory (MT_TOTAL)", d->numero);
  }
}

} // namespace

void Requisicoes::Conta(const Funcao &funcao, const std::string &codigo, int http,
                        double segundos) {
  std::lock_guard<std::mutex> trava(mutex_);
  PorFuncao &f = funcoes_[IndiceDe(funcao)];
  std::pair<std::string, int> chave{codigo, http};
  if (f.respostas.count(chave) == 0 && f.respostas.size() >= kCodigosPorFuncao) {
    chave.first = "outro";
  }
  ++f.respostas[chave];
  for (size_t i = 0; i < kFaixas; ++i) {
    if (segundos <= kLimites[i]) {
      ++f.faixas[i];
      break;
    }
  }
  ++f.total;
  f.soma += segundos;
}

std::string Requisicoes::Texto() const {
  std::lock_guard<std::mutex> trava(mutex_);
  std::string saida;
  Familia(saida, "satd_requests_total", "counter",
          "Checkouts' requests by function, the device's code (\"-\": none, the library's own "
          "reply or a refusal by satd) and HTTP status");
  for (size_t i = 0; i < kTotalFuncoes; ++i) {
    const std::string funcao = NomeDe(FuncaoDeIndice(i));
    for (const auto &[chave, quantas] : funcoes_[i].respostas) {
      Amostra(saida, "satd_requests_total",
              "funcao=\"" + funcao + "\",codigo=\"" + Rotulo(chave.first) + "\",http=\"" +
                  std::to_string(chave.second) + "\"",
              static_cast<double>(quantas));
    }
  }
  Familia(saida, "satd_request_duration_seconds", "histogram",
          "Checkouts' requests from arrival to reply, waiting for the SAT included, by function");
  for (size_t i = 0; i < kTotalFuncoes; ++i) {
    const std::string funcao = "funcao=\"" + std::string(NomeDe(FuncaoDeIndice(i))) + "\"";
    const PorFuncao &f = funcoes_[i];
    uint64_t acumulado = 0;
    for (size_t k = 0; k < kFaixas; ++k) {
      acumulado += f.faixas[k];
      char limite[24];
      std::snprintf(limite, sizeof limite, "%g", kLimites[k]);
      Amostra(saida, "satd_request_duration_seconds_bucket", funcao + ",le=\"" + limite + "\"",
              static_cast<double>(acumulado));
    }
    Amostra(saida, "satd_request_duration_seconds_bucket", funcao + ",le=\"+Inf\"",
            static_cast<double>(f.total));
    Amostra(saida, "satd_request_duration_seconds_sum", funcao, f.soma);
    Amostra(saida, "satd_request_duration_seconds_count", funcao, static_cast<double>(f.total));
  }
  return saida;
}

std::string TextoMetricas(const Painel &p, const Requisicoes &requisicoes) {
  std::string saida;
  Familia(saida, "satd_info", "gauge",
          "satd, with the version of the library it drives the SAT with");
  Amostra(saida, "satd_info", "biblioteca=\"" + Rotulo(p.versao) + "\"", 1);
  Medida(saida, "process_start_time_seconds", "When satd started",
         static_cast<double>(p.inicioUnix));
  Medida(saida, "satd_status_interval_seconds",
         "[saude] intervalo_s: satd asks the SAT for its status at most this often", p.intervalo);
  Contador(saida, "satd_status_queries_total", "Status queries satd made to the SAT",
           static_cast<double>(p.consultas));
  Medida(saida, "sat_status_age_seconds",
         "Age of the SAT's last status reply, which every sat_ metric comes from (since satd "
         "started while there is none)",
         static_cast<double>(p.consultado ? p.idade : p.uptime));
  Dispositivo(saida, p);
  Medida(saida, "satd_queue_length", "Requests waiting for their turn with the SAT",
         static_cast<double>(p.fila.esperando));
  Medida(saida, "satd_queue_capacity", "Requests that may wait ([fila] tamanho); one more gets 503",
         static_cast<double>(p.fila.capacidade));
  Medida(saida, "satd_queue_busy", "1 while a call is with the SAT", p.fila.emCurso ? 1 : 0);
  Contador(saida, "satd_device_calls_total",
           "Calls the worker made to the SAT, satd's status queries included",
           static_cast<double>(p.fila.feitas));
  Contador(saida, "satd_queue_rejected_total",
           "Requests refused with 503 because the queue was full or the wait too long",
           static_cast<double>(p.fila.recusadas));
  Medida(saida, "satd_connections_open", "HTTP connections open now",
         static_cast<double>(p.conexoesAbertas));
  Contador(saida, "satd_connections_refused_total",
           "Connections refused (503 or closed) because [http] conexoes or conexoes_por_endereco "
           "were reached with none idle",
           static_cast<double>(p.conexoesRecusadas));
  Familia(saida, "satd_write_failures_total", "counter",
          "Failures by file: log (a line lost) and journal (a read or write that failed: a "
          "fiscal reply not kept, or a sale refused because it could not be noted)");
  Amostra(saida, "satd_write_failures_total", "file=\"log\"",
          static_cast<double>(p.falhasRegistro));
  Amostra(saida, "satd_write_failures_total", "file=\"journal\"",
          static_cast<double>(p.falhasDiario));
  Contador(saida, "satd_replies_undelivered_total",
           "Sale and cancellation replies (kept in the journal) that their client did not take",
           static_cast<double>(p.naoEntregues));
  saida += requisicoes.Texto();
  return saida;
}

} // namespace satd
