// One month of the archive as an accountant takes it: a zip with each signed CF-e of the month
// (by the SAT's own time of issue) under its key's name, CFe<44 digits>.xml for a sale and
// CFeCanc<44 digits>.xml for a cancellation, byte for byte, and resumo-AAAA-MM.csv, each day's
// count and value of sales and of cancellations. Read a row at a time from a read-only
// connection of its own inside one read transaction (the journal's WAL gives it a snapshot and
// the sales go on meanwhile), and written as it is read: memory does not grow with the month.
// The route GET {base}/arquivo/AAAA-MM.zip and satd --exporta are this same code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace satd {

// "AAAA-MM" with a month from 01 to 12.
bool MesValido(const std::string &mes);

// "12.34" (digits, and at most two decimals after a point) in cents; false for anything else.
bool Centavos(const std::string &total, int64_t &centavos);

class Exportacao {
public:
  Exportacao();
  ~Exportacao(); // a transaction still open is ended here
  Exportacao(const Exportacao &) = delete;
  Exportacao &operator=(const Exportacao &) = delete;

  // Opens the journal read-only (never creating it) and begins the read transaction of month
  // `mes`. False, with `erro`, when the file cannot be read or is not a journal of this satd.
  bool Abre(const std::string &arquivo, const std::string &mes, std::string &erro);
  // Appends the zip's next bytes to `bloco`: at least `alvo` of them, and then at most one
  // slice of a document's XML more, unless the zip ends first (then Terminada). False, with
  // `erro`, when reading or writing failed: what came so far is then not a whole zip.
  bool Avanca(std::string &bloco, size_t alvo, std::string &erro);
  bool Terminada() const;
  uint64_t Documentos() const; // written so far

private:
  struct Estado;
  std::unique_ptr<Estado> e_;
};

// The whole zip of month `mes` through `destino` (which says false when it could not take its
// bytes), in blocks of about `bloco` bytes.
bool Exporta(const std::string &diario, const std::string &mes,
             const std::function<bool(std::string_view)> &destino, std::string &erro,
             size_t bloco = 256 * 1024);

// satd --exporta: to `saida` through a temporary file beside it, renamed once the zip is whole
// and on disk (never half a zip under its name); "-" is the standard output.
bool ExportaParaArquivo(const std::string &diario, const std::string &mes, const std::string &saida,
                        std::string &erro);

} // namespace satd
