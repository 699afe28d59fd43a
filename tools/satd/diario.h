// The journal of fiscal replies: every sale and cancellation satd sends to the SAT, noted before
// it goes and completed with the SAT's reply before the checkout's HTTP reply goes out, in SQLite
// (WAL, full sync). A reply the checkout never got is there to be asked for again; a call that
// was under way when satd died is found at the next start and reconciled with the SAT.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace satd {

// The journal's schema version (SQLite's user_version): 2 added the archive of CF-e, 3 the
// central's queue.
inline constexpr int kVersaoDiario = 3;

class Diario {
public:
  Diario() = default;
  Diario(const Diario &) = delete;
  Diario &operator=(const Diario &) = delete;
  ~Diario();

  // Opens or creates the file (its mode follows the process's umask). False, with `erro`,
  // when it cannot be opened, is not a journal, or cannot be put in WAL mode.
  bool Abre(const std::string &arquivo, std::string &erro);

  // A fiscal call about to go to the SAT: checkout, session, the function's name. Its row id,
  // or 0 when the row could not be written (the call must then not go).
  int64_t Anota(int caixa, int32_t sessao, const std::string &funcao);
  // The SAT's reply to it (Windows-1252, the library's text as it came): the code, the access
  // key and the total are read from it; a signed CF-e is archived as `documento` (the library's
  // decoding of it), or decoded from the reply when that is empty. False when it could not be
  // written.
  bool Conclui(int64_t id, const std::string &resposta, const std::string &documento = "");
  // Whether the HTTP reply carrying it was written to the client whole.
  bool Entrega(int64_t id, bool entregue);

  // The reply of checkout `caixa`'s last fiscal call that the SAT answered (whatever its code;
  // not the library's own failure, which says nothing of what the SAT did).
  std::optional<std::string> UltimaDoCaixa(int caixa);
  // The reply of the fiscal call made with this session, when it has one.
  std::optional<std::string> DaSessao(int32_t sessao);
  // The reply of call `id`, once the SAT answered it.
  std::optional<std::string> RespostaDe(int64_t id);
  // Whether `resposta` is already the reply of another call made with `sessao`. A restarted satd
  // may offer a number of its last run again, and the SAT refuses it (it answered it lately): what
  // the SAT keeps for that number is then the earlier call's reply, not the refused one's.
  bool DeOutraChamada(int64_t id, int32_t sessao, const std::string &resposta);

  struct Pendente {
    int64_t id = 0;
    int caixa = 0;
    int32_t sessao = 0;
    std::string funcao;
  };
  // Calls noted and never completed (satd stopped between sending them and writing the reply),
  // or answered by the library alone (a timeout, a port that failed): the SAT may or may not
  // have executed them.
  std::vector<Pendente> Pendentes();
  // A pending call the SAT says it never executed: closed without a reply.
  bool Descarta(int64_t id);

  // The archive: every signed CF-e of a successful sale or cancellation, kept by Conclui in the
  // same transaction as its reply. The XML as base64-decoding arquivoCFeSAT gives it, by the key's
  // 44 digits; nullopt when the archive has no such document.
  std::optional<std::string> Documento(const std::string &digitos);
  struct Acervo {
    uint64_t vendas = 0;
    uint64_t cancelamentos = 0;
    uint64_t bytes = 0;     // of XML
    std::string maisAntigo; // the oldest document's AAAA-MM-DD HH:MM:SS, or "" when none
  };
  // Kept up to date by Conclui, read from the file once, at Abre.
  Acervo Resumo();
  // A day's documents (AAAA-MM-DD of their time of issue): sales by hour, cancellations.
  struct Dia {
    struct Hora {
      uint64_t vendas = 0;
      int64_t centavos = 0;
    };
    uint64_t vendas = 0;
    int64_t centavos = 0;
    uint64_t cancelamentos = 0;
    int64_t centavosCancelados = 0;
    std::array<Hora, 24> porHora{};
  };
  Dia DoDia(const std::string &dia);
  struct Item {
    std::string chave; // the 44 digits
    std::string tipo, cnpj, emitidoEm, total;
    int caixa = 0;
    int32_t sessao = 0;
    uint64_t bytes = 0; // of XML
  };
  // The documents issued from day `de` to day `ate` (AAAA-MM-DD, both included) by checkout
  // `caixa` (every checkout when negative), in the order of issue: at most `limite`.
  std::vector<Item> Lista(const std::string &de, const std::string &ate, int caixa, size_t limite);
  // The last `quantos` documents issued, the latest first.
  std::vector<Item> Ultimos(size_t quantos);

  // The chain's central database: the archived documents not yet forwarded to it (all of them
  // while none is configured), by key, at most `limite` of them and, past the first, no more
  // than `bytes` of XML; marked forwarded (gone from the queue) once the central has them.
  struct AEnviar {
    Item item;
    std::string xml;
  };
  std::vector<AEnviar> ParaACentral(size_t limite, size_t bytes);
  bool Enviados(const std::vector<std::string> &chaves);
  // How many wait; nullopt when the journal could not be read.
  std::optional<uint64_t> NaCentral();
  // Called after each document archived, from the thread that archived it (under the journal's
  // lock: it must not call the journal back). Set before any other thread uses the journal.
  void AoArquivar(std::function<void()> aviso) { aviso_ = std::move(aviso); }

  // Writes (and opens) that failed since the start; never reset.
  uint64_t Falhas() const { return falhas_.load(); }
  std::string Arquivo() const { return arquivo_; }

private:
  // The reply of the latest answered row whose column `onde` holds `valor`.
  std::optional<std::string> Resposta(const char *onde, int64_t valor);

  std::mutex mutex_;
  sqlite3 *banco_ = nullptr;
  std::string arquivo_;
  std::atomic<uint64_t> falhas_{0};
  Acervo acervo_;
  std::function<void()> aviso_;
};

// The replies' fields the journal keeps: the device's code ("-" when none), the access key
// ("CFe" and 44 digits, or "") and the total ("" when none), of a sale's or a cancellation's
// reply.
struct Campos {
  std::string codigo;
  std::string chave;
  std::string total;
};
Campos CamposFiscais(const std::string &resposta);

// A total as the SAT writes it ("12.34", "5", "0.5": digits, at most two decimals after a
// point) in cents; false for anything else.
bool Centavos(const std::string &total, int64_t &centavos);

// The 44 digits of an access key written as "CFe" and 44 digits or the digits alone; "" when it
// is neither.
std::string DigitosDaChave(const std::string &chave);

// At start, before the first request: every pending call is asked of the SAT, first by its
// session (`porSessao`, the library's ConsultarNumeroSessao), then as the SAT's last fiscal
// session (`ultimaFiscal`, ConsultarUltimaSessaoFiscal); a reply whose session is the pending
// one completes it; one that says the session does not exist, or that is the reply of an earlier
// call of the same session, closes it without a reply; any other leaves it pending for the next
// start. Each outcome is a line through `anota`.
void Reconcilia(Diario &diario, const std::function<std::string(int32_t sessao)> &porSessao,
                const std::function<std::string()> &ultimaFiscal,
                const std::function<void(const std::string &)> &anota);

} // namespace satd
