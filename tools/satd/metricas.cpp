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

// AAAA-MM-DD HH:MM:SS read as satd's local time; -1 when it cannot be read.
std::time_t HoraLocal(const std::string &data) {
  std::tm tm{};
  char resto = 0;
  if (std::sscanf(data.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &resto) != 6) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

void Dispositivo(std::string &saida, const Painel &p) {
  const saude::Avaliacao &a = p.avaliacao;
  Medida(
      saida, "sat_health_level",
      "O pior nível das verificações de saúde do último status do SAT: 0 ok, 1 atenção, 2 crítico",
      static_cast<int>(a.nivel));
  Familia(saida, "sat_check_level", "gauge",
          "O nível de cada verificação de saúde: 0 ok, 1 atenção, 2 crítico (consulta: a própria "
          "consulta de status)");
  for (const saude::Verificacao &v : a.verificacoes) {
    Amostra(saida, "sat_check_level", "check=\"" + Rotulo(v.id) + "\"", static_cast<int>(v.nivel));
  }
  if (!a.campos.empty()) {
    Familia(saida, "sat_info", "gauge", "O número de série e as versões de software do SAT");
    const auto campo = [&](const char *nome) { return Rotulo(Windows1252ParaUtf8(a.Campo(nome))); };
    Amostra(saida, "sat_info",
            "nserie=\"" + campo("NSERIE") + "\",ver_sb=\"" + campo("VER_SB") + "\",ver_layout=\"" +
                campo("VER_LAYOUT") + "\"",
            1);
  }
  if (const saude::Dado *d = Numerico(a, "operacao", "estado_operacao")) {
    Medida(saida, "sat_operation_state",
           "ESTADO_OPERACAO: 0 desbloqueado, 1 bloqueado pela SEFAZ, 2 pelo contribuinte, 3 "
           "bloqueio autônomo, 4 bloqueado para desativação",
           d->numero);
  }
  if (const saude::Dado *d = DadoDe(a, "certificado", "vencimento")) {
    const std::time_t fim = FimDoDia(d->texto);
    if (fim != -1) {
      Medida(saida, "sat_certificate_expiry_timestamp_seconds",
             "Quando o certificado do SAT deixa de valer: o fim do dia de CERT_VENCIMENTO",
             static_cast<double>(fim));
    }
  }
  if (const saude::Dado *d = Numerico(a, "transmissao", "pendentes")) {
    Medida(saida, "sat_cfe_pending", "CF-e esperando transmissão para a SEFAZ", d->numero);
  }
  // The ages were measured on the SAT's own clock, which stamped both times: on satd's clock
  // they are as old as that, counted back from the reply.
  if (const saude::Dado *d = Numerico(a, "transmissao", "ultima_transmissao_s")) {
    Medida(saida, "sat_last_transmission_timestamp_seconds",
           "A última transmissão de CF-e do SAT para a SEFAZ (DH_CFe)",
           static_cast<double>(p.consultadoUnix) - d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "transmissao", "ultimo_contato_s")) {
    Medida(
        saida, "sat_last_sefaz_contact_timestamp_seconds",
        "O último contato do SAT com a SEFAZ (DH_ULTIMA); ele se bloqueia após 10 dias sem contato",
        static_cast<double>(p.consultadoUnix) - d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "relogio", "diferenca_s")) {
    Medida(saida, "sat_clock_offset_seconds",
           "O relógio do SAT menos o do satd (positivo: o SAT está adiantado)", d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "memoria", "usada_bytes")) {
    Medida(saida, "sat_memory_used_bytes", "A memória de trabalho do SAT em uso (MT_USADA)",
           d->numero);
  }
  if (const saude::Dado *d = Numerico(a, "memoria", "total_bytes")) {
    Medida(saida, "sat_memory_total_bytes", "A memória de trabalho do SAT (MT_TOTAL)", d->numero);
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
          "Requisições dos caixas por função, código do SAT (\"-\": nenhum, resposta da própria "
          "biblioteca ou recusa do satd) e status HTTP");
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
          "Requisições dos caixas da chegada à resposta, espera pelo SAT incluída, por função");
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
          "O satd, com a versão da biblioteca com que ele controla o SAT");
  Amostra(saida, "satd_info", "biblioteca=\"" + Rotulo(p.versao) + "\"", 1);
  Medida(saida, "process_start_time_seconds", "Quando o satd foi iniciado",
         static_cast<double>(p.inicioUnix));
  Medida(saida, "satd_status_interval_seconds",
         "[saude] intervalo_s: o satd pede o status ao SAT no máximo com esta frequência",
         p.intervalo);
  Contador(saida, "satd_status_queries_total", "Consultas de status que o satd fez ao SAT",
           static_cast<double>(p.consultas));
  Medida(saida, "sat_status_age_seconds",
         "Idade da última resposta de status do SAT, de onde vem toda métrica sat_ (desde o "
         "início do satd enquanto não há nenhuma)",
         static_cast<double>(p.consultado ? p.idade : p.uptime));
  Dispositivo(saida, p);
  Medida(saida, "satd_queue_length", "Requisições esperando a sua vez com o SAT",
         static_cast<double>(p.fila.esperando));
  Medida(saida, "satd_queue_capacity",
         "Requisições que podem esperar ([fila] tamanho); mais uma recebe 503",
         static_cast<double>(p.fila.capacidade));
  Medida(saida, "satd_queue_busy", "1 enquanto uma chamada está com o SAT", p.fila.emCurso ? 1 : 0);
  Contador(saida, "satd_device_calls_total",
           "Chamadas feitas ao SAT, consultas de status do satd incluídas",
           static_cast<double>(p.fila.feitas));
  Contador(saida, "satd_queue_rejected_total",
           "Requisições recusadas com 503 porque a fila estava cheia ou a espera foi longa demais",
           static_cast<double>(p.fila.recusadas));
  Medida(saida, "satd_connections_open", "Conexões HTTP abertas agora",
         static_cast<double>(p.conexoesAbertas));
  Contador(saida, "satd_connections_refused_total",
           "Conexões recusadas (503 ou fechadas) porque [http] conexoes ou conexoes_por_endereco "
           "foi atingido sem nenhuma ociosa",
           static_cast<double>(p.conexoesRecusadas));
  Familia(saida, "satd_write_failures_total", "counter",
          "Falhas por arquivo: log, o registro (uma linha perdida), e journal, o diário (uma "
          "leitura ou gravação que falhou: uma resposta fiscal não guardada, ou uma venda "
          "recusada por não poder ser anotada)");
  Amostra(saida, "satd_write_failures_total", "file=\"log\"",
          static_cast<double>(p.falhasRegistro));
  Amostra(saida, "satd_write_failures_total", "file=\"journal\"",
          static_cast<double>(p.falhasDiario));
  Contador(saida, "satd_replies_undelivered_total",
           "Respostas de venda e cancelamento (guardadas no diário) que o cliente não recebeu",
           static_cast<double>(p.naoEntregues));
  Familia(saida, "satd_arquivo_documentos", "gauge",
          "CF-e assinados guardados no diário, por tipo: venda ou cancelamento");
  Amostra(saida, "satd_arquivo_documentos", "tipo=\"venda\"", static_cast<double>(p.cfeVendas));
  Amostra(saida, "satd_arquivo_documentos", "tipo=\"cancelamento\"",
          static_cast<double>(p.cfeCancelamentos));
  Medida(saida, "satd_arquivo_bytes", "Os bytes de XML dos CF-e guardados no diário",
         static_cast<double>(p.cfeBytes));
  // Served with no sample while the archive is empty.
  Familia(saida, "satd_arquivo_mais_antigo_timestamp_segundos", "gauge",
          "A data e hora de emissão do CF-e mais antigo guardado no diário");
  const std::time_t antigo = HoraLocal(p.cfeMaisAntigo);
  if (antigo != -1) {
    Amostra(saida, "satd_arquivo_mais_antigo_timestamp_segundos", "", static_cast<double>(antigo));
  }
  saida += requisicoes.Texto();
  return saida;
}

std::string TextoCentral(const Central::Estado &e) {
  std::string saida;
  if (!e.configurada) {
    return saida;
  }
  // Served with no sample while the journal cannot be read.
  Familia(saida, "satd_central_pendentes", "gauge",
          "CF-e guardados no diário que ainda não foram confirmados pelo banco central");
  if (e.pendentes) {
    Amostra(saida, "satd_central_pendentes", "", static_cast<double>(*e.pendentes));
  }
  Medida(saida, "satd_central_conectado", "1 enquanto o satd tem conexão com o banco central",
         e.conectada ? 1 : 0);
  Contador(saida, "satd_central_enviados_total",
           "CF-e cujo envio o banco central confirmou (COMMIT) desde o início do satd",
           static_cast<double>(e.enviados));
  Contador(saida, "satd_central_falhas_total",
           "Conexões e lotes de envio ao banco central que falharam (cada um é tentado de novo)",
           static_cast<double>(e.falhas));
  // Served with no sample before the first.
  Familia(saida, "satd_central_ultimo_envio_timestamp_segundos", "gauge",
          "O último lote de CF-e confirmado pelo banco central");
  if (e.ultimoEnvio != 0) {
    Amostra(saida, "satd_central_ultimo_envio_timestamp_segundos", "",
            static_cast<double>(e.ultimoEnvio));
  }
  return saida;
}

std::string TextoImpressora(const Extratos::Estado &e) {
  std::string saida;
  Contador(saida, "satd_impressora_extratos_total",
           "Extratos que a impressora da loja recebeu desde o início do satd",
           static_cast<double>(e.impressos));
  Contador(saida, "satd_impressora_falhas_total",
           "Extratos que não puderam ser feitos ou enviados à impressora",
           static_cast<double>(e.falhas));
  Contador(saida, "satd_impressora_descartados_total",
           "Extratos deixados de lado porque a fila da impressora estava cheia",
           static_cast<double>(e.descartados));
  Medida(saida, "satd_impressora_pendentes", "Extratos esperando a impressora",
         static_cast<double>(e.pendentes));
  return saida;
}

} // namespace satd
