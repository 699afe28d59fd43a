#include "exportacao.h"
#include "diario.h"
#include <archive.h>
#include <archive_entry.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace satd {

namespace {

// A document's XML goes to the compressor in slices of this size, so that a block of the reply
// overshoots its target by one slice at most.
constexpr size_t kFatia = 64 * 1024;

// What the summary keeps of one day.
struct Dia {
  uint64_t vendas = 0, cancelamentos = 0;
  int64_t centavosVendas = 0, centavosCancelamentos = 0;
};

// Cents with a decimal comma, as a Brazilian spreadsheet reads a number: "1234,50", "-0,05".
std::string Valor(int64_t centavos) {
  const bool negativo = centavos < 0;
  const uint64_t absoluto =
      negativo ? 0 - static_cast<uint64_t>(centavos) : static_cast<uint64_t>(centavos);
  char texto[32];
  std::snprintf(texto, sizeof texto, "%s%llu,%02llu", negativo ? "-" : "",
                static_cast<unsigned long long>(absoluto / 100),
                static_cast<unsigned long long>(absoluto % 100));
  return texto;
}

std::string LinhaDoResumo(const std::string &rotulo, const Dia &d) {
  return rotulo + ";" + std::to_string(d.vendas) + ";" + Valor(d.centavosVendas) + ";" +
         std::to_string(d.cancelamentos) + ";" + Valor(d.centavosCancelamentos) + ";" +
         Valor(d.centavosVendas - d.centavosCancelamentos) + "\r\n";
}

// The summary: UTF-8 with a byte-order mark (without it a spreadsheet in Brazil takes the
// header's accents for Windows-1252), ';' between fields, decimal comma, DD/MM/AAAA, CRLF; a
// line per day with documents, in order, and the month's total last.
std::string Resumo(const std::map<std::string, Dia> &dias) {
  std::string texto = "\xEF\xBB\xBF"
                      "Data;Vendas;Valor das vendas;Cancelamentos;Valor dos cancelamentos;"
                      "Valor l\xC3\xADquido\r\n";
  Dia total;
  for (const auto &[dia, d] : dias) {
    texto += LinhaDoResumo(dia.substr(8, 2) + "/" + dia.substr(5, 2) + "/" + dia.substr(0, 4), d);
    total.vendas += d.vendas;
    total.cancelamentos += d.cancelamentos;
    total.centavosVendas += d.centavosVendas;
    total.centavosCancelamentos += d.centavosCancelamentos;
  }
  return texto + LinhaDoResumo("Total", total);
}

bool SoDigitos(const std::string &texto, size_t inicio, size_t fim) {
  for (size_t i = inicio; i < fim; ++i) {
    if (texto[i] < '0' || texto[i] > '9') {
      return false;
    }
  }
  return fim > inicio;
}

// The time of issue as the SAT wrote it, its local time: the zip's entries carry it, and a
// zip's times are local ones.
time_t Instante(const std::string &emitido) {
  std::tm t{};
  if (std::sscanf(emitido.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec) != 6) {
    return 0;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const time_t instante = mktime(&t);
  return instante < 0 ? 0 : instante;
}

} // namespace

bool MesValido(const std::string &mes) {
  return mes.size() == 7 && mes[4] == '-' && SoDigitos(mes, 0, 4) && SoDigitos(mes, 5, 7) &&
         mes.compare(5, 2, "01") >= 0 && mes.compare(5, 2, "12") <= 0;
}

struct Exportacao::Estado {
  sqlite3 *banco = nullptr;
  sqlite3_stmt *linhas = nullptr;
  archive *zip = nullptr;
  std::string mes;
  std::string *saida = nullptr; // where the compressor's bytes go during Avanca
  std::map<std::string, Dia> dias;
  uint64_t documentos = 0;
  time_t ultimo = 0; // the last document's time of issue: the summary's, so that a month's zip
                     // is the same bytes every time it is made
  // The entry being written: its XML (valid until the next step) and how much of it went.
  const char *xml = nullptr;
  size_t tamanho = 0, escrito = 0;
  bool emEntrada = false;
  bool terminada = false;
  bool falhou = false;

  ~Estado() {
    saida = nullptr; // what a close still flushes goes nowhere
    if (zip != nullptr) {
      archive_write_free(zip);
    }
    sqlite3_finalize(linhas);
    if (banco != nullptr) {
      sqlite3_exec(banco, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(banco);
  }

  static la_ssize_t Escreve(archive *, void *dados, const void *bytes, size_t n) {
    auto *e = static_cast<Estado *>(dados);
    if (e->saida != nullptr) {
      e->saida->append(static_cast<const char *>(bytes), n);
    }
    return static_cast<la_ssize_t>(n);
  }

  bool Falha(std::string &erro, const std::string &porque) {
    erro = porque;
    falhou = true;
    return false;
  }
  bool FalhaDoZip(std::string &erro) {
    const char *texto = archive_error_string(zip);
    return Falha(erro, std::string("falha ao compor o zip: ") + (texto ? texto : "sem motivo"));
  }

  bool Entrada(const std::string &nome, size_t bytes, time_t quando, std::string &erro) {
    archive_entry *entrada = archive_entry_new();
    if (entrada == nullptr) {
      return Falha(erro, "memória insuficiente");
    }
    archive_entry_set_pathname(entrada, nome.c_str());
    archive_entry_set_filetype(entrada, AE_IFREG);
    archive_entry_set_perm(entrada, 0644);
    archive_entry_set_size(entrada, static_cast<la_int64_t>(bytes));
    archive_entry_set_mtime(entrada, quando, 0);
    const int rc = archive_write_header(zip, entrada);
    archive_entry_free(entrada);
    return rc == ARCHIVE_OK || FalhaDoZip(erro);
  }

  // The next row as an entry begun, or the end of the month.
  bool Proxima(std::string &erro) {
    const int rc = sqlite3_step(linhas);
    if (rc == SQLITE_DONE) {
      return Fecha(erro);
    }
    if (rc != SQLITE_ROW) {
      return Falha(erro, std::string("falha ao ler o diário: ") + sqlite3_errmsg(banco));
    }
    const auto coluna = [this](int i) {
      const unsigned char *t = sqlite3_column_text(linhas, i);
      return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
    };
    const std::string chave = coluna(0), tipo = coluna(1), emitido = coluna(2), total = coluna(3);
    int64_t centavos = 0;
    if (chave.size() != 44 || !SoDigitos(chave, 0, 44) ||
        (tipo != "venda" && tipo != "cancelamento") || emitido.compare(0, 7, mes) != 0 ||
        emitido.size() != 19 || !Centavos(total, centavos)) {
      return Falha(erro, "documento malformado no diário: chave " + chave.substr(0, 44) +
                             ", tipo " + tipo + ", emitido_em " + emitido + ", total " + total);
    }
    Dia &dia = dias[emitido.substr(0, 10)];
    if (tipo == "venda") {
      ++dia.vendas;
      dia.centavosVendas += centavos;
    } else {
      ++dia.cancelamentos;
      dia.centavosCancelamentos += centavos;
    }
    xml = static_cast<const char *>(sqlite3_column_blob(linhas, 4));
    tamanho = static_cast<size_t>(sqlite3_column_bytes(linhas, 4));
    escrito = 0;
    emEntrada = true;
    ++documentos;
    ultimo = Instante(emitido);
    return Entrada((tipo == "venda" ? "CFe" : "CFeCanc") + chave + ".xml", tamanho, ultimo, erro);
  }

  bool Fatia(std::string &erro) {
    const size_t n = std::min(kFatia, tamanho - escrito);
    if (n > 0 && archive_write_data(zip, xml + escrito, n) != static_cast<la_ssize_t>(n)) {
      return FalhaDoZip(erro);
    }
    escrito += n;
    if (escrito == tamanho) {
      emEntrada = false;
      if (archive_write_finish_entry(zip) != ARCHIVE_OK) {
        return FalhaDoZip(erro);
      }
    }
    return true;
  }

  // The summary, the zip's central directory, and the end of the read transaction.
  bool Fecha(std::string &erro) {
    const std::string resumo = Resumo(dias);
    if (!Entrada("resumo-" + mes + ".csv", resumo.size(),
                 documentos > 0 ? ultimo : Instante(mes + "-01 00:00:00"), erro)) {
      return false;
    }
    if (archive_write_data(zip, resumo.data(), resumo.size()) !=
            static_cast<la_ssize_t>(resumo.size()) ||
        archive_write_finish_entry(zip) != ARCHIVE_OK || archive_write_close(zip) != ARCHIVE_OK) {
      return FalhaDoZip(erro);
    }
    sqlite3_finalize(linhas);
    linhas = nullptr;
    sqlite3_exec(banco, "COMMIT", nullptr, nullptr, nullptr);
    terminada = true;
    return true;
  }
};

Exportacao::Exportacao() : e_(std::make_unique<Estado>()) {}
Exportacao::~Exportacao() = default;

bool Exportacao::Abre(const std::string &arquivo, const std::string &mes, std::string &erro) {
  e_ = std::make_unique<Estado>();
  Estado &e = *e_;
  e.mes = mes;
  const auto falha = [&](const std::string &porque) {
    erro = "diário " + arquivo + ": " + porque;
    e_ = std::make_unique<Estado>();
    return false;
  };
  if (!MesValido(mes)) {
    return falha("mês inválido " + mes + " (é AAAA-MM)");
  }
  if (sqlite3_open_v2(arquivo.c_str(), &e.banco, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    return falha(std::string("não foi possível abrir: ") +
                 (e.banco ? sqlite3_errmsg(e.banco) : "memória insuficiente"));
  }
  sqlite3_busy_timeout(e.banco, 5000);
  sqlite3_stmt *versao = nullptr;
  const bool lida =
      sqlite3_prepare_v2(e.banco, "PRAGMA user_version", -1, &versao, nullptr) == SQLITE_OK &&
      sqlite3_step(versao) == SQLITE_ROW;
  const int64_t numero = lida ? sqlite3_column_int64(versao, 0) : -1;
  sqlite3_finalize(versao);
  if (!lida) {
    return falha(std::string("não pode ser lido (") + sqlite3_errmsg(e.banco) + ")");
  }
  // The archive's table is the same from version 2 on.
  if (numero < 2 || numero > kVersaoDiario) {
    return falha("não é um diário com o arquivo de CF-e desta versão do satd (versão do esquema " +
                 std::to_string(numero) + "; um satd desta versão o atualiza ao iniciar)");
  }
  // The month's bounds as text: emitido_em sorts as it reads, and the index keeps it in order.
  const int ano = std::stoi(mes.substr(0, 4)), numeroMes = std::stoi(mes.substr(5, 2));
  char seguinte[32];
  std::snprintf(seguinte, sizeof seguinte, "%04d-%02d", numeroMes == 12 ? ano + 1 : ano,
                numeroMes == 12 ? 1 : numeroMes + 1);
  if (sqlite3_exec(e.banco, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(e.banco,
                         "SELECT chave, tipo, emitido_em, total, xml FROM cfe"
                         " WHERE emitido_em >= ? AND emitido_em < ? ORDER BY emitido_em, chave",
                         -1, &e.linhas, nullptr) != SQLITE_OK ||
      sqlite3_bind_text(e.linhas, 1, (mes + "-01").c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
      sqlite3_bind_text(e.linhas, 2, (std::string(seguinte) + "-01").c_str(), -1,
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    return falha(std::string("não pode ser lido (") + sqlite3_errmsg(e.banco) + ")");
  }
  e.zip = archive_write_new();
  if (e.zip == nullptr || archive_write_set_format_zip(e.zip) != ARCHIVE_OK ||
      archive_write_zip_set_compression_deflate(e.zip) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(e.zip, 0) != ARCHIVE_OK ||
      archive_write_open2(e.zip, &e, nullptr, &Estado::Escreve, nullptr, nullptr) != ARCHIVE_OK) {
    return falha(std::string("falha ao compor o zip: ") + (e.zip && archive_error_string(e.zip)
                                                               ? archive_error_string(e.zip)
                                                               : "memória insuficiente"));
  }
  return true;
}

bool Exportacao::Avanca(std::string &bloco, size_t alvo, std::string &erro) {
  Estado &e = *e_;
  if (e.falhou || e.zip == nullptr) {
    erro = "a exportação já falhou";
    return false;
  }
  e.saida = &bloco;
  const size_t inicio = bloco.size();
  bool ok = true;
  while (ok && !e.terminada && bloco.size() - inicio < alvo) {
    ok = e.emEntrada ? e.Fatia(erro) : e.Proxima(erro);
  }
  e.saida = nullptr;
  return ok;
}

bool Exportacao::Terminada() const { return e_->terminada; }
uint64_t Exportacao::Documentos() const { return e_->documentos; }

bool Exporta(const std::string &diario, const std::string &mes,
             const std::function<bool(std::string_view)> &destino, std::string &erro,
             size_t bloco) {
  Exportacao exportacao;
  if (!exportacao.Abre(diario, mes, erro)) {
    return false;
  }
  std::string bytes;
  while (!exportacao.Terminada()) {
    bytes.clear();
    if (!exportacao.Avanca(bytes, bloco, erro)) {
      return false;
    }
    if (!destino(bytes)) {
      erro = "falha ao escrever o zip";
      return false;
    }
  }
  return true;
}

bool ExportaParaArquivo(const std::string &diario, const std::string &mes, const std::string &saida,
                        std::string &erro) {
  const auto escreve = [](int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  };
  if (saida == "-") {
    int falha = 0;
    const bool ok = Exporta(
        diario, mes,
        [&](std::string_view b) { return escreve(STDOUT_FILENO, b) || (falha = errno, false); },
        erro);
    if (!ok && falha != 0) {
      erro = std::string("falha ao escrever na saída padrão: ") + std::strerror(falha);
    }
    return ok;
  }
  // Beside the final name, so that the rename stays within one file system.
  const std::string temporario = saida + ".tmp-" + std::to_string(getpid());
  const int fd = ::open(temporario.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    erro = "não foi possível criar " + temporario + ": " + std::strerror(errno);
    return false;
  }
  int falha = 0;
  bool ok = Exporta(
      diario, mes, [&](std::string_view b) { return escreve(fd, b) || (falha = errno, false); },
      erro);
  if (ok && ::fsync(fd) != 0) {
    falha = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    falha = errno;
    ok = false;
  }
  if (ok && std::rename(temporario.c_str(), saida.c_str()) != 0) {
    erro =
        "não foi possível renomear " + temporario + " para " + saida + ": " + std::strerror(errno);
    ::unlink(temporario.c_str());
    return false;
  }
  if (!ok) {
    if (falha != 0) {
      erro = "falha ao escrever " + temporario + ": " + std::strerror(falha);
    }
    ::unlink(temporario.c_str());
  }
  return ok;
}

} // namespace satd
