#include "dispositivo.h"

#include <cstdio>
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
  return {[] { return GeraNumeroSessao(); }, ChamaBiblioteca};
}

Dispositivo::Dispositivo(const Configuracao &configuracao, Registro &registro,
                         Biblioteca biblioteca)
    : codigo_(configuracao.codigoAtivacao), arquivoCodigo_(configuracao.arquivoCodigo),
      porta_(configuracao.portaSat), log_(configuracao.logSat), registro_(registro),
      biblioteca_(std::move(biblioteca)) {}

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
  // A refused session number did nothing on the device: draw another.
  for (int tentativa = 1;; ++tentativa) {
    r.sessao = NovaSessao();
    r.resposta = biblioteca_.chama(pedido, r.sessao, codigo_);
    if (tentativa == kTentativas || !SessaoRecusada(r.resposta)) {
      break;
    }
    registro_.Escreve("note: the SAT refused session " + Sessao(r.sessao) +
                      " as already used; drawing another");
  }
  if (ComandoDe(pedido) == Comando::TrocarCodigoDeAtivacao &&
      CodigoDaResposta(r.resposta) == "18000") {
    codigo_ = pedido.campos.at("novo_codigo_ativacao");
    std::string erro;
    if (arquivoCodigo_.empty()) {
      registro_.Escreve("note: activation code changed; satd uses the new one, and so must "
                        "sat.codigo_ativacao before satd starts again");
    } else if (GravaArquivoCodigo(arquivoCodigo_, codigo_, erro)) {
      registro_.Escreve("note: activation code changed and kept in " + arquivoCodigo_);
    } else {
      registro_.Escreve("error: activation code changed, but " + erro +
                        "; satd uses the new one until it stops");
    }
  }
  return r;
}

} // namespace satd
