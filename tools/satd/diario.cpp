#include "diario.h"

#include "registro.h"

#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <unistd.h>

namespace satd {

namespace {

constexpr int kVersao = kVersaoDiario;

// Run in one transaction with the archiving of a version 1 journal's CF-e: a file is either a
// whole journal of this version or untouched.
const char kEsquema[] = "CREATE TABLE IF NOT EXISTS fiscais ("
                        " id INTEGER PRIMARY KEY,"
                        " quando TEXT NOT NULL,"
                        " caixa INTEGER NOT NULL,"
                        " sessao INTEGER NOT NULL,"
                        " funcao TEXT NOT NULL,"
                        " respondido_em TEXT,"
                        " codigo TEXT,"
                        " chave TEXT,"
                        " total TEXT,"
                        " resposta BLOB,"
                        " entregue INTEGER,"
                        " descartada INTEGER NOT NULL DEFAULT 0);"
                        "CREATE INDEX IF NOT EXISTS fiscais_caixa ON fiscais (caixa, id);"
                        "CREATE INDEX IF NOT EXISTS fiscais_sessao ON fiscais (sessao);"
                        // Tiny, and spares a scan of years of sales at every start.
                        "CREATE INDEX IF NOT EXISTS fiscais_pendentes ON fiscais (id)"
                        " WHERE (resposta IS NULL OR codigo = '-') AND descartada = 0;"
                        // The signed CF-e, by the key's 44 digits.
                        "CREATE TABLE IF NOT EXISTS cfe ("
                        " chave TEXT PRIMARY KEY,"
                        " tipo TEXT NOT NULL,"
                        " cnpj TEXT NOT NULL,"
                        " caixa INTEGER NOT NULL,"
                        " sessao INTEGER NOT NULL,"
                        " emitido_em TEXT NOT NULL,"
                        " total TEXT NOT NULL,"
                        " xml BLOB NOT NULL);"
                        "CREATE INDEX IF NOT EXISTS cfe_emitido ON cfe (emitido_em);"
                        // The documents not yet forwarded to the chain's central database: a
                        // queue kept by SQLite itself, small while a forwarder empties it.
                        // Everything already archived is in it, so a central configured later
                        // gets the whole archive.
                        "CREATE TABLE IF NOT EXISTS central (chave TEXT PRIMARY KEY) WITHOUT ROWID;"
                        "INSERT OR IGNORE INTO central SELECT chave FROM cfe;"
                        "CREATE TRIGGER IF NOT EXISTS cfe_central AFTER INSERT ON cfe BEGIN"
                        " INSERT OR IGNORE INTO central VALUES (new.chave); END;"
                        "PRAGMA user_version = 3;";

// A prepared statement that finalizes itself; every failure is counted by whoever uses it.
class Comando {
public:
  Comando(sqlite3 *banco, const char *sql) {
    ok_ = banco != nullptr && sqlite3_prepare_v2(banco, sql, -1, &stmt_, nullptr) == SQLITE_OK;
  }
  ~Comando() { sqlite3_finalize(stmt_); }
  Comando(const Comando &) = delete;
  Comando &operator=(const Comando &) = delete;

  Comando &Int(int i, int64_t valor) {
    ok_ = ok_ && sqlite3_bind_int64(stmt_, i, valor) == SQLITE_OK;
    return *this;
  }
  // Copied: short, and often a temporary.
  Comando &Texto(int i, const std::string &valor) {
    ok_ = ok_ && sqlite3_bind_text(stmt_, i, valor.data(), static_cast<int>(valor.size()),
                                   SQLITE_TRANSIENT) == SQLITE_OK;
    return *this;
  }
  Comando &Blob(int i, const std::string &valor) {
    // Not copied: it may be a sale of megabytes, and the caller's string outlives the step.
    // data() is never null, so an empty reply is an empty blob, not NULL.
    ok_ = ok_ &&
          sqlite3_bind_blob64(stmt_, i, valor.data(), valor.size(), SQLITE_STATIC) == SQLITE_OK;
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or anything else for a failure.
  int Passo() { return ok_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  // A write that must touch exactly one row.
  bool Escreve(sqlite3 *banco) { return Passo() == SQLITE_DONE && sqlite3_changes(banco) == 1; }
  std::string Coluna(int i) const {
    const void *dados = sqlite3_column_blob(stmt_, i);
    const int tamanho = sqlite3_column_bytes(stmt_, i);
    return dados ? std::string(static_cast<const char *>(dados), static_cast<size_t>(tamanho))
                 : std::string();
  }
  int64_t ColunaInt(int i) const { return sqlite3_column_int64(stmt_, i); }

private:
  sqlite3_stmt *stmt_ = nullptr;
  bool ok_ = false;
};

std::string Agora() { return AgoraLocal("%Y-%m-%dT%H:%M:%S"); }

// Field n (from 1) of a reply, "" when it has fewer.
std::string Campo(const std::string &resposta, int n) {
  size_t inicio = 0;
  for (int i = 1; i < n; ++i) {
    inicio = resposta.find('|', inicio);
    if (inicio == std::string::npos) {
      return "";
    }
    ++inicio;
  }
  const size_t fim = resposta.find('|', inicio);
  return resposta.substr(inicio, fim == std::string::npos ? std::string::npos : fim - inicio);
}

bool Digitos(const std::string &texto, size_t inicio, size_t quantos) {
  if (texto.size() != inicio + quantos) {
    return false;
  }
  for (size_t i = inicio; i < texto.size(); ++i) {
    if (texto[i] < '0' || texto[i] > '9') {
      return false;
    }
  }
  return true;
}

// Whether the reply is the SAT's own stored sale or cancellation of that session.
bool RespostaDaSessao(const std::string &resposta, int32_t sessao) {
  const std::string primeiro = Campo(resposta, 1);
  int64_t numero = -1;
  const auto [fim, erro] =
      std::from_chars(primeiro.data(), primeiro.data() + primeiro.size(), numero);
  if (primeiro.empty() || erro != std::errc() || fim != primeiro.data() + primeiro.size() ||
      numero != sessao) {
    return false;
  }
  const std::string codigo = CamposFiscais(resposta).codigo;
  return codigo.compare(0, 2, "06") == 0 || codigo.compare(0, 2, "07") == 0;
}

// The first column of a query's first row; nullopt when it has none, or when the query failed
// (counted in `falhas`).
std::optional<std::string> PrimeiraColuna(Comando &c, std::atomic<uint64_t> &falhas) {
  const int rc = c.Passo();
  if (rc == SQLITE_ROW) {
    return c.Coluna(0);
  }
  if (rc != SQLITE_DONE) {
    ++falhas;
  }
  return std::nullopt;
}

// The rows of a query of the archive's listing columns (chave, tipo, cnpj, caixa, sessao,
// emitido_em, total, length(xml)); a failure is counted in `falhas`.
std::vector<Diario::Item> Itens(Comando &c, std::atomic<uint64_t> &falhas) {
  std::vector<Diario::Item> itens;
  int rc;
  while ((rc = c.Passo()) == SQLITE_ROW) {
    Diario::Item item;
    item.chave = c.Coluna(0);
    item.tipo = c.Coluna(1);
    item.cnpj = c.Coluna(2);
    item.caixa = static_cast<int>(c.ColunaInt(3));
    item.sessao = static_cast<int32_t>(c.ColunaInt(4));
    item.emitidoEm = c.Coluna(5);
    item.total = c.Coluna(6);
    item.bytes = static_cast<uint64_t>(c.ColunaInt(7));
    itens.push_back(std::move(item));
  }
  if (rc != SQLITE_DONE) {
    ++falhas;
  }
  return itens;
}

// base64 as the SAT writes it, on one line; nullopt when it is not that or holds nothing.
std::optional<std::string> DeBase64(const std::string &texto) {
  if (texto.empty() || texto.size() % 4 != 0 || texto.size() > INT_MAX) {
    return std::nullopt;
  }
  std::string saida(texto.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(saida.data()),
                                reinterpret_cast<const unsigned char *>(texto.data()),
                                static_cast<int>(texto.size()));
  // EVP_DecodeBlock counts the padding as decoded zero bytes.
  const size_t enchimento = texto.back() != '=' ? 0 : texto[texto.size() - 2] == '=' ? 2 : 1;
  if (n < 0 || static_cast<size_t>(n) != saida.size() || saida.size() == enchimento) {
    return std::nullopt;
  }
  saida.resize(saida.size() - enchimento);
  return saida;
}

// What the archive keeps of a reply: a successful sale's or cancellation's signed CF-e.
struct Cfe {
  std::string digitos, tipo, cnpj, emitidoEm, total, xml;
};

std::optional<Cfe> CfeDe(const std::string &resposta, const Campos &campos) {
  if ((campos.codigo != "06000" && campos.codigo != "07000") || campos.chave.empty()) {
    return std::nullopt;
  }
  const std::string instante = Campo(resposta, 8);
  std::optional<std::string> xml = DeBase64(Campo(resposta, 7));
  if (!Digitos(instante, 0, 14) || !xml) {
    return std::nullopt;
  }
  Cfe cfe;
  cfe.digitos = campos.chave.substr(3);
  cfe.tipo = campos.codigo == "06000" ? "venda" : "cancelamento";
  cfe.cnpj = cfe.digitos.substr(6, 14); // after cUF and AAMM
  cfe.emitidoEm = instante.substr(0, 4) + "-" + instante.substr(4, 2) + "-" +
                  instante.substr(6, 2) + " " + instante.substr(8, 2) + ":" +
                  instante.substr(10, 2) + ":" + instante.substr(12, 2);
  cfe.total = campos.total;
  cfe.xml = std::move(*xml);
  return cfe;
}

// Keeps `cfe`, of fiscal call `id`, unless the archive has it already (`novo` says which).
// False when it could not be written.
bool Arquiva(sqlite3 *banco, int64_t id, const Cfe &cfe, bool *novo = nullptr) {
  Comando c(banco, "INSERT OR IGNORE INTO cfe (chave, tipo, cnpj, caixa, sessao, emitido_em,"
                   " total, xml) SELECT ?, ?, ?, caixa, sessao, ?, ?, ? FROM fiscais WHERE id = ?");
  c.Texto(1, cfe.digitos).Texto(2, cfe.tipo).Texto(3, cfe.cnpj).Texto(4, cfe.emitidoEm);
  c.Texto(5, cfe.total).Blob(6, cfe.xml).Int(7, id);
  if (c.Passo() != SQLITE_DONE) {
    return false;
  }
  if (novo != nullptr) {
    *novo = sqlite3_changes(banco) == 1;
  }
  return true;
}

// Adds one document to the archive's figures.
void Soma(Diario::Acervo &acervo, bool venda, uint64_t bytes, const std::string &emitidoEm) {
  ++(venda ? acervo.vendas : acervo.cancelamentos);
  acervo.bytes += bytes;
  if (acervo.maisAntigo.empty() || emitidoEm < acervo.maisAntigo) {
    acervo.maisAntigo = emitidoEm;
  }
}

// A version 1 journal kept the replies but not their CF-e: they are archived from the replies.
bool ArquivaAntigas(sqlite3 *banco) {
  Comando c(banco, "SELECT id, resposta FROM fiscais WHERE codigo IN ('06000', '07000')"
                   " AND resposta IS NOT NULL ORDER BY id");
  int rc;
  while ((rc = c.Passo()) == SQLITE_ROW) {
    const std::string resposta = c.Coluna(1);
    const std::optional<Cfe> cfe = CfeDe(resposta, CamposFiscais(resposta));
    if (cfe && !Arquiva(banco, c.ColunaInt(0), *cfe)) {
      return false;
    }
  }
  return rc == SQLITE_DONE;
}

} // namespace

std::string DigitosDaChave(const std::string &chave) {
  const size_t inicio = chave.compare(0, 3, "CFe") == 0 ? 3 : 0;
  return Digitos(chave, inicio, 44) ? chave.substr(inicio) : std::string();
}

bool Centavos(const std::string &total, int64_t &centavos) {
  const size_t ponto = total.find('.');
  const size_t inteiros = ponto == std::string::npos ? total.size() : ponto;
  const size_t decimais = ponto == std::string::npos ? 0 : total.size() - ponto - 1;
  // 15 digits of reais: far beyond any sale, and far from int64's end when a month adds up.
  if (inteiros == 0 || inteiros > 15 || !Digitos(total.substr(0, inteiros), 0, inteiros) ||
      decimais > 2 ||
      (ponto != std::string::npos && (decimais == 0 || !Digitos(total, ponto + 1, decimais)))) {
    return false;
  }
  centavos = std::stoll(total.substr(0, inteiros)) * 100;
  if (decimais > 0) {
    centavos += std::stoll(total.substr(ponto + 1)) * (decimais == 1 ? 10 : 1);
  }
  return true;
}

Campos CamposFiscais(const std::string &resposta) {
  Campos campos;
  campos.codigo = Campo(resposta, 2);
  if (!Digitos(campos.codigo, 0, 5)) {
    campos.codigo = "-";
  }
  const std::string chave = Campo(resposta, 9);
  if (chave.compare(0, 3, "CFe") == 0 && Digitos(chave, 3, 44)) {
    campos.chave = chave;
  }
  if (campos.codigo == "06000" || campos.codigo == "07000") {
    campos.total = Campo(resposta, 10);
  }
  return campos;
}

Diario::~Diario() { sqlite3_close_v2(banco_); }

bool Diario::Abre(const std::string &arquivo, std::string &erro) {
  std::lock_guard<std::mutex> trava(mutex_);
  sqlite3_close_v2(banco_);
  banco_ = nullptr;
  arquivo_ = arquivo;

  // SQLite would create it 0644 less the umask; created 0666 here, the umask alone decides, and
  // the -wal and -shm files take the journal's own mode.
  const int fd = ::open(arquivo.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::close(fd);
  }

  sqlite3 *banco = nullptr;
  const auto falha = [&](const std::string &porque) {
    erro = "diário " + arquivo + ": " + porque;
    sqlite3_close_v2(banco);
    ++falhas_;
    return false;
  };
  const auto mensagem = [&] { return std::string(sqlite3_errmsg(banco)); };
  if (sqlite3_open_v2(arquivo.c_str(), &banco,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    return falha("não foi possível abrir: " +
                 (banco ? mensagem() : std::string("memória insuficiente")));
  }
  // SQLite falls back to read-only when it may not write; a journal that cannot be written is
  // no journal.
  if (sqlite3_db_readonly(banco, "main") != 0) {
    return falha("não pode ser gravado");
  }
  sqlite3_busy_timeout(banco, 5000);

  int64_t versao = 0;
  {
    Comando c(banco, "PRAGMA user_version");
    if (c.Passo() != SQLITE_ROW) {
      return falha("não é um arquivo SQLite (" + mensagem() + ")");
    }
    versao = c.ColunaInt(0);
  }
  if (versao > kVersao) {
    return falha("gravado por um satd mais novo (versão do esquema " + std::to_string(versao) +
                 "; este conhece até a " + std::to_string(kVersao) + ")");
  }
  if (versao == 0) {
    // A fresh file has no tables; one with tables belongs to some other program.
    Comando c(banco, "SELECT count(*) FROM sqlite_master");
    if (c.Passo() != SQLITE_ROW) {
      return falha("não pode ser lido (" + mensagem() + ")");
    }
    if (c.ColunaInt(0) != 0) {
      return falha("um arquivo SQLite que não é um diário do satd");
    }
  }
  {
    Comando c(banco, "PRAGMA journal_mode=WAL");
    if (c.Passo() != SQLITE_ROW || c.Coluna(0) != "wal") {
      return falha("não pode ser posto no modo WAL (" + mensagem() + ")");
    }
  }
  if (sqlite3_exec(banco, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return falha("não foi possível ativar a sincronização total (" + mensagem() + ")");
  }
  if (versao < kVersao &&
      (sqlite3_exec(banco, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK ||
       sqlite3_exec(banco, kEsquema, nullptr, nullptr, nullptr) != SQLITE_OK ||
       (versao == 1 && !ArquivaAntigas(banco)) ||
       sqlite3_exec(banco, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)) {
    const std::string porque = mensagem();
    sqlite3_exec(banco, "ROLLBACK", nullptr, nullptr, nullptr);
    return falha("não foi possível criar as tabelas (" + porque + ")");
  }
  // Counted once here; Conclui keeps the figures from then on, so a scrape never scans years
  // of documents.
  Acervo acervo;
  {
    Comando c(banco, "SELECT tipo, count(*), sum(length(xml)), min(emitido_em) FROM cfe"
                     " GROUP BY tipo");
    int rc;
    while ((rc = c.Passo()) == SQLITE_ROW) {
      const bool venda = c.Coluna(0) == "venda";
      (venda ? acervo.vendas : acervo.cancelamentos) += static_cast<uint64_t>(c.ColunaInt(1));
      acervo.bytes += static_cast<uint64_t>(c.ColunaInt(2));
      const std::string data = c.Coluna(3);
      if (acervo.maisAntigo.empty() || data < acervo.maisAntigo) {
        acervo.maisAntigo = data;
      }
    }
    if (rc != SQLITE_DONE) {
      return falha("o arquivo de CF-e não pode ser lido (" + mensagem() + ")");
    }
  }
  acervo_ = acervo;
  banco_ = banco;
  return true;
}

int64_t Diario::Anota(int caixa, int32_t sessao, const std::string &funcao) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "INSERT INTO fiscais (quando, caixa, sessao, funcao) VALUES (?, ?, ?, ?)");
  c.Texto(1, Agora()).Int(2, caixa).Int(3, sessao).Texto(4, funcao);
  if (!c.Escreve(banco_)) {
    ++falhas_;
    return 0;
  }
  return sqlite3_last_insert_rowid(banco_);
}

bool Diario::Conclui(int64_t id, const std::string &resposta, const std::string &documento) {
  const Campos campos = CamposFiscais(resposta);
  std::optional<Cfe> cfe = CfeDe(resposta, campos);
  if (cfe && !documento.empty()) {
    cfe->xml = documento;
  }
  std::lock_guard<std::mutex> trava(mutex_);
  // The reply and its CF-e together: the document is kept once the reply is, and only once.
  bool ok = banco_ != nullptr &&
            sqlite3_exec(banco_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (ok) {
    Comando c(banco_, "UPDATE fiscais SET respondido_em = ?, codigo = ?, chave = ?, total = ?,"
                      " resposta = ? WHERE id = ?");
    c.Texto(1, Agora()).Texto(2, campos.codigo).Texto(3, campos.chave).Texto(4, campos.total);
    c.Blob(5, resposta).Int(6, id);
    ok = c.Escreve(banco_);
  }
  bool novo = false;
  ok = ok && (!cfe || Arquiva(banco_, id, *cfe, &novo));
  ok = ok && sqlite3_exec(banco_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) {
    sqlite3_exec(banco_, "ROLLBACK", nullptr, nullptr, nullptr);
    ++falhas_;
  } else if (novo) {
    Soma(acervo_, cfe->tipo == "venda", cfe->xml.size(), cfe->emitidoEm);
    if (aviso_) {
      aviso_();
    }
  }
  return ok;
}

std::vector<Diario::AEnviar> Diario::ParaACentral(size_t limite, size_t bytes) {
  std::lock_guard<std::mutex> trava(mutex_);
  std::vector<AEnviar> documentos;
  Comando c(banco_, "SELECT c.chave, tipo, cnpj, caixa, sessao, emitido_em, total, xml"
                    " FROM central JOIN cfe c USING (chave) ORDER BY chave LIMIT ?");
  c.Int(1, static_cast<int64_t>(limite));
  size_t soma = 0;
  int rc = SQLITE_DONE;
  while (soma < bytes && (rc = c.Passo()) == SQLITE_ROW) {
    AEnviar d;
    d.item.chave = c.Coluna(0);
    d.item.tipo = c.Coluna(1);
    d.item.cnpj = c.Coluna(2);
    d.item.caixa = static_cast<int>(c.ColunaInt(3));
    d.item.sessao = static_cast<int32_t>(c.ColunaInt(4));
    d.item.emitidoEm = c.Coluna(5);
    d.item.total = c.Coluna(6);
    d.xml = c.Coluna(7);
    d.item.bytes = d.xml.size();
    soma += d.xml.size();
    documentos.push_back(std::move(d));
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    ++falhas_;
  }
  return documentos;
}

bool Diario::Enviados(const std::vector<std::string> &chaves) {
  std::lock_guard<std::mutex> trava(mutex_);
  bool ok = banco_ != nullptr &&
            sqlite3_exec(banco_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < chaves.size(); ++i) {
    Comando c(banco_, "DELETE FROM central WHERE chave = ?");
    c.Texto(1, chaves[i]);
    ok = c.Passo() == SQLITE_DONE;
  }
  ok = ok && sqlite3_exec(banco_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) {
    sqlite3_exec(banco_, "ROLLBACK", nullptr, nullptr, nullptr);
    ++falhas_;
  }
  return ok;
}

std::optional<uint64_t> Diario::NaCentral() {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "SELECT count(*) FROM central");
  if (c.Passo() != SQLITE_ROW) {
    ++falhas_;
    return std::nullopt;
  }
  return static_cast<uint64_t>(c.ColunaInt(0));
}

std::optional<std::string> Diario::Documento(const std::string &digitos) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "SELECT xml FROM cfe WHERE chave = ?");
  c.Texto(1, digitos);
  return PrimeiraColuna(c, falhas_);
}

Diario::Acervo Diario::Resumo() {
  std::lock_guard<std::mutex> trava(mutex_);
  return acervo_;
}

Diario::Dia Diario::DoDia(const std::string &dia) {
  std::lock_guard<std::mutex> trava(mutex_);
  Dia d;
  Comando c(banco_, "SELECT tipo, substr(emitido_em, 12, 2), total FROM cfe"
                    " WHERE emitido_em BETWEEN ? AND ?");
  c.Texto(1, dia).Texto(2, dia + " 23:59:59");
  int rc;
  while ((rc = c.Passo()) == SQLITE_ROW) {
    int64_t centavos = 0;
    Centavos(c.Coluna(2), centavos); // a total the SAT never writes counts as none
    const std::string hora = c.Coluna(1);
    if (c.Coluna(0) != "venda") {
      ++d.cancelamentos;
      d.centavosCancelados += centavos;
    } else if (Digitos(hora, 0, 2) && std::stoi(hora) < 24) {
      Dia::Hora &h = d.porHora[static_cast<size_t>(std::stoi(hora))];
      ++h.vendas;
      h.centavos += centavos;
      ++d.vendas;
      d.centavos += centavos;
    }
  }
  if (rc != SQLITE_DONE) {
    ++falhas_;
  }
  return d;
}

std::vector<Diario::Item> Diario::Ultimos(size_t quantos) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "SELECT chave, tipo, cnpj, caixa, sessao, emitido_em, total, length(xml)"
                    " FROM cfe ORDER BY emitido_em DESC, chave DESC LIMIT ?");
  c.Int(1, static_cast<int64_t>(quantos));
  return Itens(c, falhas_);
}

std::vector<Diario::Item> Diario::Lista(const std::string &de, const std::string &ate, int caixa,
                                        size_t limite) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "SELECT chave, tipo, cnpj, caixa, sessao, emitido_em, total, length(xml)"
                    " FROM cfe WHERE emitido_em BETWEEN ? AND ? AND (? < 0 OR caixa = ?)"
                    " ORDER BY emitido_em, chave LIMIT ?");
  c.Texto(1, de).Texto(2, ate + " 23:59:59").Int(3, caixa).Int(4, caixa);
  c.Int(5, static_cast<int64_t>(limite));
  return Itens(c, falhas_);
}

bool Diario::Entrega(int64_t id, bool entregue) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "UPDATE fiscais SET entregue = ? WHERE id = ?");
  c.Int(1, entregue ? 1 : 0).Int(2, id);
  if (!c.Escreve(banco_)) {
    ++falhas_;
    return false;
  }
  return true;
}

std::optional<std::string> Diario::Resposta(const char *onde, int64_t valor) {
  std::lock_guard<std::mutex> trava(mutex_);
  const std::string sql =
      std::string("SELECT resposta FROM fiscais WHERE ") + onde +
      " = ? AND resposta IS NOT NULL AND codigo <> '-' ORDER BY id DESC LIMIT 1";
  Comando c(banco_, sql.c_str());
  c.Int(1, valor);
  return PrimeiraColuna(c, falhas_);
}

std::optional<std::string> Diario::UltimaDoCaixa(int caixa) { return Resposta("caixa", caixa); }

std::optional<std::string> Diario::DaSessao(int32_t sessao) { return Resposta("sessao", sessao); }

std::optional<std::string> Diario::RespostaDe(int64_t id) { return Resposta("id", id); }

bool Diario::DeOutraChamada(int64_t id, int32_t sessao, const std::string &resposta) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "SELECT 1 FROM fiscais WHERE sessao = ? AND id <> ? AND resposta = ? LIMIT 1");
  c.Int(1, sessao).Int(2, id).Blob(3, resposta);
  return PrimeiraColuna(c, falhas_).has_value();
}

std::vector<Diario::Pendente> Diario::Pendentes() {
  std::lock_guard<std::mutex> trava(mutex_);
  std::vector<Pendente> pendentes;
  Comando c(banco_, "SELECT id, caixa, sessao, funcao FROM fiscais"
                    " WHERE (resposta IS NULL OR codigo = '-') AND descartada = 0 ORDER BY id");
  int rc;
  while ((rc = c.Passo()) == SQLITE_ROW) {
    Pendente p;
    p.id = c.ColunaInt(0);
    p.caixa = static_cast<int>(c.ColunaInt(1));
    p.sessao = static_cast<int32_t>(c.ColunaInt(2));
    p.funcao = c.Coluna(3);
    pendentes.push_back(std::move(p));
  }
  if (rc != SQLITE_DONE) {
    ++falhas_;
  }
  return pendentes;
}

bool Diario::Descarta(int64_t id) {
  std::lock_guard<std::mutex> trava(mutex_);
  Comando c(banco_, "UPDATE fiscais SET descartada = 1 WHERE id = ?");
  c.Int(1, id);
  if (!c.Escreve(banco_)) {
    ++falhas_;
    return false;
  }
  return true;
}

void Reconcilia(Diario &diario, const std::function<std::string(int32_t sessao)> &porSessao,
                const std::function<std::string()> &ultimaFiscal,
                const std::function<void(const std::string &)> &anota) {
  // Asked once: no fiscal call goes to the SAT while this runs.
  std::optional<std::string> ultima;
  const std::string deNovo = "; será perguntado de novo na próxima inicialização";
  for (const Diario::Pendente &p : diario.Pendentes()) {
    char inicio[96];
    std::snprintf(inicio, sizeof inicio, "diário: caixa=%03d sessao=%06d ", p.caixa, p.sessao);
    const std::string linha = inicio + p.funcao + " ";
    const auto conclui = [&](const std::string &resposta, const std::string &onde) {
      const std::string codigo = CamposFiscais(resposta).codigo;
      anota(linha +
            (diario.Conclui(p.id, resposta)
                 ? "conciliado com " + onde + " (" + codigo + ")"
                 : onde + " trouxe " + codigo + ", mas o diário não pôde ser gravado" + deNovo));
    };

    const auto descarta = [&](const std::string &porque) {
      anota(linha + (diario.Descarta(p.id)
                         ? porque
                         : porque + ", mas o diário não pôde ser gravado" + deNovo));
    };
    // A reply of this session settles the call, unless it is an earlier call's of the same
    // number (DeOutraChamada): this one the SAT then refused, or never received.
    const auto encerra = [&](const std::string &resposta, const std::string &onde) {
      if (diario.DeOutraChamada(p.id, p.sessao, resposta)) {
        descarta("o SAT nunca o executou: " + onde +
                 " é a de uma chamada anterior da mesma sessão");
      } else {
        conclui(resposta, onde);
      }
    };

    const std::string resposta = porSessao(p.sessao);
    const std::string codigo = CamposFiscais(resposta).codigo;
    if (codigo == "11003") {
      descarta("o SAT nunca o executou");
    } else if (RespostaDaSessao(resposta, p.sessao)) {
      encerra(resposta, "a resposta guardada no SAT");
    } else {
      if (!ultima) {
        ultima = ultimaFiscal();
      }
      if (RespostaDaSessao(*ultima, p.sessao)) {
        encerra(*ultima, "a última sessão fiscal do SAT");
      } else {
        anota(linha + "ainda desconhecido: o SAT respondeu " + codigo + ", e " +
              CamposFiscais(*ultima).codigo + " para a sua última sessão fiscal" + deNovo);
      }
    }
  }
}

} // namespace satd
