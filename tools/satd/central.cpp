#include "central.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "configuracao.h"
#include "diario.h"
#include "registro.h"

namespace satd {

namespace {

using Relogio = std::chrono::steady_clock;

// At most this much XML in one transaction (and at least one document, whatever its size).
constexpr size_t kBytesPorLote = 8u * 1024 * 1024;
constexpr std::chrono::milliseconds kPrimeiraEspera{1000};
constexpr std::chrono::milliseconds kMaiorEspera{60000};

bool LocalOuSoquete(const std::string &host) {
  return host.empty() || host.front() == '/' || host.front() == '@' || Loopback(host);
}

// Each element of a comma-separated list of hosts.
bool TodosLocais(const std::string &lista) {
  size_t inicio = 0;
  for (;;) {
    const size_t fim = std::min(lista.find(',', inicio), lista.size());
    if (!LocalOuSoquete(lista.substr(inicio, fim - inicio))) {
      return false;
    }
    if (fim == lista.size()) {
      return true;
    }
    inicio = fim + 1;
  }
}

void Acorda(int fd) {
  const uint64_t um = 1;
  while (::write(fd, &um, sizeof um) < 0 && errno == EINTR) {
  }
}

void Esvazia(int fd) {
  uint64_t valor;
  while (::read(fd, &valor, sizeof valor) < 0 && errno == EINTR) {
  }
}

// A value PostgreSQL takes as a timestamp, or nullopt: a faulty SAT's date must not hold up the
// queue behind it.
std::optional<std::string> Instante(const std::string &emitido) {
  std::tm tm{};
  char resto;
  if (std::sscanf(emitido.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &resto) != 6) {
    return std::nullopt;
  }
  const std::tm lido = tm;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t t = timegm(&tm);
  std::tm volta{};
  if (t == -1 || gmtime_r(&t, &volta) == nullptr || volta.tm_year + 1900 != lido.tm_year ||
      volta.tm_mon + 1 != lido.tm_mon || volta.tm_mday != lido.tm_mday ||
      volta.tm_hour != lido.tm_hour || volta.tm_min != lido.tm_min || volta.tm_sec != lido.tm_sec) {
    return std::nullopt;
  }
  return emitido;
}

// A value numeric(15,2) takes, or nullopt.
std::optional<std::string> Valor(const std::string &total) {
  const size_t ponto = total.find('.');
  const std::string inteiro = total.substr(0, ponto);
  const std::string fracao = ponto == std::string::npos ? "" : total.substr(ponto + 1);
  const auto digitos = [](const std::string &s) {
    return s.find_first_not_of("0123456789") == std::string::npos;
  };
  if (inteiro.empty() || inteiro.size() > 13 || !digitos(inteiro) || !digitos(fracao) ||
      fracao.size() > 2 || (ponto != std::string::npos && fracao.empty())) {
    return std::nullopt;
  }
  return total;
}

} // namespace

bool ConfereConexaoCentral(const std::string &conexao, std::string &erro) {
  char *mensagem = nullptr;
  PQconninfoOption *opcoes = PQconninfoParse(conexao.c_str(), &mensagem);
  if (opcoes == nullptr) {
    erro = "não é uma conexão que a libpq entenda" +
           (mensagem ? ": " + std::string(mensagem) : std::string());
    PQfreemem(mensagem);
    while (!erro.empty() && erro.back() == '\n') {
      erro.pop_back();
    }
    return false;
  }
  std::string host, hostaddr, sslmode, senha, servico;
  for (const PQconninfoOption *o = opcoes; o->keyword != nullptr; ++o) {
    const std::string valor = o->val ? o->val : "";
    const std::string chave = o->keyword;
    (chave == "host"       ? host
     : chave == "hostaddr" ? hostaddr
     : chave == "sslmode"  ? sslmode
     : chave == "password" ? senha
     : chave == "service"  ? servico
                           : erro) = valor;
  }
  PQconninfoFree(opcoes);
  erro.clear();
  if (!senha.empty()) {
    erro = "não pode trazer a senha: ponha-a no arquivo de central.arquivo_senha";
  } else if (!servico.empty()) {
    erro = "não pode usar service: escreva o host, o banco e o usuário nela";
  } else if (sslmode != "verify-full" &&
             !(hostaddr.empty() ? TodosLocais(host) : TodosLocais(hostaddr) && TodosLocais(host))) {
    erro = "vai além do loopback sem sslmode=verify-full: a senha e os CF-e só saem da máquina "
           "por TLS com o certificado do servidor conferido (sslrootcert)";
  }
  return erro.empty();
}

// One connection to the central, each step bounded by [central] prazo_s and by a stop.
struct Central::Conexao {
  PGconn *pg = nullptr;
  int parada;
  std::chrono::seconds prazo;
  std::string erro;

  Conexao(int fd, std::chrono::seconds segundos) : parada(fd), prazo(segundos) {}
  ~Conexao() { PQfinish(pg); }

  bool Falha(const std::string &porque) {
    erro = porque;
    while (!erro.empty() && (erro.back() == '\n' || erro.back() == ' ')) {
      erro.pop_back();
    }
    return false;
  }
  std::string Mensagem() const { return PQerrorMessage(pg); }

  // Until the socket can be read (or written) or the time is up; false, with `erro`, on a stop
  // or at the deadline.
  bool Aguarda(bool escrita, Relogio::time_point limite) {
    pollfd fds[2] = {{PQsocket(pg), static_cast<short>(escrita ? POLLOUT : POLLIN), 0},
                     {parada, POLLIN, 0}};
    for (;;) {
      const auto resta =
          std::chrono::duration_cast<std::chrono::milliseconds>(limite - Relogio::now()).count();
      if (resta <= 0) {
        return Falha("o servidor não respondeu em " + std::to_string(prazo.count()) + " s");
      }
      const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(resta, 1000)));
      if (n < 0 && errno != EINTR) {
        return Falha(std::string("poll: ") + std::strerror(errno));
      }
      if (fds[1].revents != 0) {
        return Falha("satd está parando");
      }
      if (n > 0 && fds[0].revents != 0) {
        return true;
      }
    }
  }

  bool Abre(const Configuracao &c) {
    const char *chaves[] = {"dbname", "password", "application_name", "client_encoding", nullptr};
    const char *valores[] = {c.centralConexao.c_str(),
                             c.centralSenha.empty() ? nullptr : c.centralSenha.c_str(), "satd",
                             "UTF8", nullptr};
    pg = PQconnectStartParams(chaves, valores, 1);
    if (pg == nullptr) {
      return Falha("memória insuficiente");
    }
    if (PQstatus(pg) == CONNECTION_BAD) {
      return Falha(Mensagem());
    }
    const auto limite = Relogio::now() + prazo;
    for (PostgresPollingStatusType estado = PGRES_POLLING_WRITING;;) {
      if (estado == PGRES_POLLING_OK) {
        break;
      }
      if (estado == PGRES_POLLING_FAILED) {
        return Falha(Mensagem());
      }
      if (!Aguarda(estado == PGRES_POLLING_WRITING, limite)) {
        return false;
      }
      estado = PQconnectPoll(pg);
    }
    if (PQsetnonblocking(pg, 1) != 0) {
      return Falha(Mensagem());
    }
    // The server gives up too on a statement we stopped waiting for.
    std::string valor;
    const std::string sql = "SET statement_timeout = " + std::to_string(prazo.count() * 1000) +
                            "; SELECT to_regclass('cfe') IS NOT NULL";
    if (!PQsendQuery(pg, sql.c_str()) || !Resultados(limite, &valor)) {
      return Falha(erro.empty() ? Mensagem() : erro);
    }
    if (valor != "t") {
      return Falha("o banco não tem a tabela cfe: aplique nele o esquema.sql do satd");
    }
    return true;
  }

  // The results of what was sent, all of them; false, with `erro`, when one failed. `valor`:
  // the first column of the last row returned; `status`: the last command's tag.
  bool Resultados(Relogio::time_point limite, std::string *valor = nullptr,
                  std::string *status = nullptr) {
    for (int enviando = PQflush(pg); enviando != 0; enviando = PQflush(pg)) {
      if (enviando < 0 || !Aguarda(true, limite)) {
        return enviando < 0 ? Falha(Mensagem()) : false;
      }
    }
    bool ok = true;
    for (;;) {
      while (PQisBusy(pg)) {
        if (!Aguarda(false, limite)) {
          return false;
        }
        if (!PQconsumeInput(pg)) {
          return Falha(Mensagem());
        }
      }
      PGresult *r = PQgetResult(pg);
      if (r == nullptr) {
        return ok;
      }
      const ExecStatusType estado = PQresultStatus(r);
      if (status) {
        *status = PQcmdStatus(r);
      }
      if (estado == PGRES_TUPLES_OK && valor && PQntuples(r) > 0) {
        *valor = PQgetvalue(r, PQntuples(r) - 1, 0);
      } else if (estado != PGRES_TUPLES_OK && estado != PGRES_COMMAND_OK && ok) {
        ok = Falha(PQresultErrorMessage(r));
      }
      PQclear(r);
      // Past an error the connection's own state tells more than the next result would.
      if (PQstatus(pg) == CONNECTION_BAD) {
        return ok ? Falha(Mensagem()) : false;
      }
    }
  }

  bool Executa(const char *sql, Relogio::time_point limite) {
    if (!PQsendQuery(pg, sql)) {
      return Falha(Mensagem());
    }
    return Resultados(limite);
  }

  // The batch in one transaction: true once COMMIT succeeded.
  bool Envia(const std::string &loja, const std::vector<Diario::AEnviar> &lote) {
    std::string sql = "INSERT INTO cfe (chave, loja, tipo, cnpj, caixa, sessao, emitido_em, "
                      "total, xml) VALUES ";
    std::vector<std::optional<std::string>> textos;
    std::vector<const char *> valores{loja.c_str()};
    std::vector<int> tamanhos{0};
    std::vector<int> formatos{0};
    textos.reserve(lote.size() * 5);
    for (size_t i = 0; i < lote.size(); ++i) {
      const Diario::Item &d = lote[i].item;
      const auto p = [&](int k) { return "$" + std::to_string(2 + i * 8 + k); };
      sql += (i ? ",(" : "(") + p(0) + ", $1, " + p(1) + ", " + p(2) + ", " + p(3) + "::int, " +
             p(4) + "::int, " + p(5) + "::timestamp, " + p(6) + "::numeric, " + p(7) + "::bytea)";
      textos.emplace_back(std::to_string(d.caixa));
      textos.emplace_back(std::to_string(d.sessao));
      textos.push_back(Instante(d.emitidoEm));
      textos.push_back(Valor(d.total));
      const size_t base = textos.size() - 4;
      for (const char *v : {d.chave.c_str(), d.tipo.c_str(), d.cnpj.c_str()}) {
        valores.push_back(v);
      }
      for (size_t k = base; k < base + 4; ++k) {
        valores.push_back(textos[k] ? textos[k]->c_str() : nullptr);
      }
      valores.push_back(lote[i].xml.data());
      tamanhos.insert(tamanhos.end(), 7, 0);
      tamanhos.push_back(static_cast<int>(lote[i].xml.size()));
      formatos.insert(formatos.end(), 7, 0);
      formatos.push_back(1); // the XML's bytes as they are
    }
    sql += " ON CONFLICT (chave) DO NOTHING";
    const auto limite = Relogio::now() + prazo;
    if (!Executa("BEGIN", limite)) {
      return false;
    }
    if (!PQsendQueryParams(pg, sql.c_str(), static_cast<int>(valores.size()), nullptr,
                           valores.data(), tamanhos.data(), formatos.data(), 0)) {
      return Falha(Mensagem());
    }
    if (!Resultados(limite)) {
      return false;
    }
    // A COMMIT of a transaction that failed answers ROLLBACK, not an error.
    std::string status;
    if (!PQsendQuery(pg, "COMMIT")) {
      return Falha(Mensagem());
    }
    if (!Resultados(limite, nullptr, &status)) {
      return false;
    }
    return status == "COMMIT" || Falha("o COMMIT respondeu " + status);
  }
};

Central::Central(const Configuracao &configuracao, Diario &diario, Registro &registro)
    : configuracao_(configuracao), diario_(diario), registro_(registro) {}

Central::~Central() {
  Para();
  if (thread_.joinable()) {
    thread_.join();
  }
  for (const int fd : {aviso_, parada_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool Central::Inicia(std::string &erro) {
  if (configuracao_.centralConexao.empty()) {
    return true;
  }
  aviso_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  parada_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (aviso_ < 0 || parada_ < 0) {
    erro = std::string("central: eventfd: ") + std::strerror(errno);
    return false;
  }
  const int aviso = aviso_;
  diario_.AoArquivar([aviso] { Acorda(aviso); });
  thread_ = std::thread([this] { Corre(); });
  return true;
}

void Central::Para() {
  if (parada_ >= 0) {
    Acorda(parada_);
  }
}

Central::Estado Central::Consulta() const {
  Estado e;
  e.configurada = !configuracao_.centralConexao.empty();
  if (e.configurada) {
    e.conectada = conectada_.load();
    e.pendentes = diario_.NaCentral();
    e.enviados = enviados_.load();
    e.falhas = falhas_.load();
    e.ultimoEnvio = ultimoEnvio_.load();
  }
  return e;
}

void Central::Corre() {
  const Configuracao &c = configuracao_;
  std::unique_ptr<Conexao> conexao;
  std::mt19937 sorteio(static_cast<unsigned>(getpid()) ^
                       static_cast<unsigned>(Relogio::now().time_since_epoch().count()));
  auto espera = kPrimeiraEspera;
  bool avisada = false;           // the current run of failures is in the log already
  bool anunciada = false;         // so is this connection's good news
  size_t tamanho = c.centralLote; // documents in the next batch
  int corte = 0;                  // and its bytes, kBytesPorLote halved this many times
  // Waits for `fd` (or a stop) at most `ms` (-1: no limit); false on a stop.
  const auto dorme = [&](int fd, int ms) {
    pollfd fds[2] = {{parada_, POLLIN, 0}, {fd, POLLIN, 0}};
    while (::poll(fds, fd >= 0 ? 2 : 1, ms) < 0 && errno == EINTR) {
    }
    if (fds[0].revents != 0) {
      return false;
    }
    if (fd >= 0 && fds[1].revents != 0) {
      Esvazia(fd);
    }
    return true;
  };
  const auto falha = [&](const std::string porque) { // a copy: the connection holding it goes
    ++falhas_;
    conexao.reset();
    conectada_ = false;
    if (!dorme(-1, 0)) {
      return false; // a stop, not a fault worth a line
    }
    if (!avisada) {
      registro_.Escreve("central: sem conexão com o banco central (" + porque +
                        "); os CF-e ficam no diário e são enviados quando ela voltar");
      avisada = true;
    }
    // Jittered over the upper half: shops that lost the central together do not come back
    // together.
    std::uniform_int_distribution<long> faixa(espera.count() / 2, espera.count());
    const int ms = static_cast<int>(faixa(sorteio));
    espera = std::min(espera * 2, kMaiorEspera);
    return dorme(-1, ms);
  };

  for (;;) {
    if (!conexao) {
      conexao = std::make_unique<Conexao>(parada_, c.centralPrazo);
      if (!conexao->Abre(c)) {
        if (!falha(conexao->erro)) {
          return;
        }
        continue;
      }
      conectada_ = true;
      anunciada = false;
    }
    // A connection is good once a batch went through it (or nothing waits): one whose batches
    // keep failing is a failure that waits longer each time, not a connection restored.
    const auto boa = [&] {
      if (!anunciada) {
        registro_.Escreve(std::string("central: ") +
                          (avisada ? "conexão restabelecida com " : "conectado a ") +
                          PQdb(conexao->pg) + " em " + PQhost(conexao->pg) + " porta " +
                          PQport(conexao->pg) + ", loja " + c.centralLoja);
        anunciada = true;
        avisada = false;
        espera = kPrimeiraEspera;
      }
    };
    const std::vector<Diario::AEnviar> lote = diario_.ParaACentral(tamanho, kBytesPorLote >> corte);
    if (lote.empty()) {
      boa();
      // Wakes at each document archived; once a minute regardless, in case the journal could
      // not be read.
      if (!dorme(aviso_, 60000)) {
        return;
      }
      continue;
    }
    if (!conexao->Envia(c.centralLoja, lote)) {
      // A batch too big for the link to carry within prazo_s would fail for ever: the next is
      // half as big, down to one document.
      tamanho = std::max<size_t>(1, lote.size() / 2);
      corte = std::min(corte + 1, 23);
      if (!falha(conexao->erro)) {
        return;
      }
      continue;
    }
    boa();
    tamanho = std::min(tamanho * 2, c.centralLote);
    corte = std::max(corte - 1, 0);
    enviados_ += lote.size();
    ultimoEnvio_ = std::time(nullptr);
    std::vector<std::string> chaves;
    for (const Diario::AEnviar &d : lote) {
      chaves.push_back(d.item.chave);
    }
    // When this fails they go again, and the central's key absorbs them.
    if (!diario_.Enviados(chaves) && !dorme(-1, 1000)) {
      return;
    }
  }
}

} // namespace satd
