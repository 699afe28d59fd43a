#include "dispositivo.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

#include "sat.h"

namespace satd {

namespace {

// Tries per request when the device refuses the session number as used.
constexpr int kTentativas = 5;

// The device refused the session number as one it has already answered (x097).
bool SessaoRecusada(const std::string &resposta) {
  const std::string codigo = CodigoDaResposta(resposta);
  return codigo != "-" && codigo.compare(2, 3, "097") == 0;
}

std::string Sessao(int32_t sessao) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "%06d", static_cast<int>(sessao));
  return texto;
}

} // namespace

Biblioteca Biblioteca::Real() {
  return {[] { return GeraNumeroSessao(); }, ChamaBiblioteca,
          [] {
            const char *documento = Base64ToAscii();
            return std::string(documento != nullptr ? documento : "");
          }};
}

Dispositivo::Dispositivo(const Configuracao &configuracao, Registro &registro, Diario *diario,
                         Biblioteca biblioteca)
    : codigo_(configuracao.codigoAtivacao), arquivoCodigo_(configuracao.arquivoCodigo),
      porta_(configuracao.portaSat), log_(configuracao.logSat), registro_(registro),
      diario_(diario), biblioteca_(std::move(biblioteca)) {}

void Dispositivo::Prepara() {
  if (!log_.empty()) {
    ArquivoLog(log_.c_str());
  }
  if (porta_ >= 0) {
    AbreSerialSAT(porta_, 0, 0, 0, 0);
  }
  // The library's session numbers follow the same sequence in every process, and the SAT
  // refuses one it answered lately: after a restart, satd would offer the numbers of its last
  // run again. Starting at a random place in the sequence makes that rare; Executa copes with
  // the rest.
  const unsigned saltos = std::random_device{}() % 65536;
  for (unsigned i = 0; i < saltos; ++i) {
    biblioteca_.geraSessao();
  }
  ReconciliaDiario();
}

void Dispositivo::ReconciliaDiario() {
  if (diario_ == nullptr) {
    return;
  }
  Reconcilia(
      *diario_,
      [this](int32_t sessao) {
        Pedido consulta;
        consulta.funcao = ProcuraFuncao("consultarnumerosessao");
        consulta.campos["numero_sessao"] = std::to_string(sessao);
        return biblioteca_.chama(consulta, NovaSessao(), codigo_);
      },
      [this] {
        Pedido consulta;
        consulta.funcao = ProcuraFuncao("consultarultimasessaofiscal");
        return biblioteca_.chama(consulta, NovaSessao(), codigo_);
      },
      [this](const std::string &linha) { registro_.Escreve(linha); });
}

int32_t Dispositivo::NovaSessao() {
  int32_t sessao = biblioteca_.geraSessao();
  // A bound on the draws, for a generator that could only repeat itself.
  for (int i = 0; i < 100000 && sessoes_.count(sessao) > 0; ++i) {
    sessao = biblioteca_.geraSessao();
  }
  if (sessoes_.insert(sessao).second) {
    ordemSessoes_.push_back(sessao);
  }
  if (ordemSessoes_.size() > kSessoesLembradas) {
    sessoes_.erase(ordemSessoes_.front());
    ordemSessoes_.pop_front();
  }
  return sessao;
}

Resultado Dispositivo::Executa(const Pedido &pedido) {
  Resultado r;
  if (reabrirLog_.exchange(false) && !log_.empty()) {
    ArquivoLog(log_.c_str());
  }
  const Comando comando = ComandoDe(pedido);
  const bool fiscal =
      comando == Comando::EnviarDadosVenda || comando == Comando::CancelarUltimaVenda;
  if (diario_ != nullptr) {
    std::optional<std::string> guardada;
    if (comando == Comando::ConsultarUltimaSessaoFiscal) {
      guardada = diario_->UltimaDoCaixa(pedido.caixa);
    } else if (comando == Comando::ConsultarNumeroSessao) {
      guardada = diario_->DaSessao(static_cast<int32_t>(
          std::strtol(pedido.campos.at("numero_sessao").c_str(), nullptr, 10)));
    }
    if (guardada) {
      r.resposta = *guardada;
      r.doDiario = true;
      return r;
    }
  }
  // A refused session number did nothing on the device: draw another.
  for (int tentativa = 1;; ++tentativa) {
    r.sessao = NovaSessao();
    if (fiscal && diario_ != nullptr) {
      r.diario = diario_->Anota(pedido.caixa, r.sessao, NomeDe(*pedido.funcao));
      if (r.diario == 0) {
        registro_.Escreve("erro: não é possível gravar no diário " + diario_->Arquivo() +
                          "; caixa=" + Sessao(pedido.caixa).substr(3) + " " +
                          NomeDe(*pedido.funcao) + " não foi enviado ao SAT");
        r.enviada = false;
        return r;
      }
    }
    r.resposta = biblioteca_.chama(pedido, r.sessao, codigo_);
    // The archive keeps the document as the library decoded it for the POS programs.
    const std::string documento =
        r.diario != 0 && biblioteca_.documento ? biblioteca_.documento() : std::string();
    if (r.diario != 0 && !diario_->Conclui(r.diario, r.resposta, documento)) {
      registro_.Escreve("erro: não é possível gravar no diário " + diario_->Arquivo() +
                        "; a resposta da sessão " + Sessao(r.sessao) + " não ficou guardada nele");
    }
    if (r.diario != 0 && CodigoDaResposta(r.resposta) == "-") {
      // The library answered alone (a timeout, a port that failed): the SAT may have signed it.
      // It is asked now; what it cannot settle is asked again at the next start.
      ReconciliaDiario();
      if (const auto guardada = diario_->RespostaDe(r.diario)) {
        r.resposta = *guardada;
      }
    }
    if (tentativa == kTentativas || !SessaoRecusada(r.resposta)) {
      break;
    }
    registro_.Escreve("nota: o SAT recusou a sessão " + Sessao(r.sessao) +
                      " como já usada; sorteando outra");
  }
  if (ComandoDe(pedido) == Comando::TrocarCodigoDeAtivacao &&
      CodigoDaResposta(r.resposta) == "18000") {
    codigo_ = pedido.campos.at("novo_codigo_ativacao");
    std::string erro;
    if (arquivoCodigo_.empty()) {
      registro_.Escreve("nota: código de ativação trocado; o satd usa o novo, e "
                        "sat.codigo_ativacao precisa recebê-lo antes que o satd inicie de novo");
    } else if (GravaArquivoCodigo(arquivoCodigo_, codigo_, erro)) {
      registro_.Escreve("nota: código de ativação trocado e guardado em " + arquivoCodigo_);
    } else {
      registro_.Escreve("erro: código de ativação trocado, mas " + erro +
                        "; o satd usa o novo até parar");
    }
  }
  return r;
}

} // namespace satd
