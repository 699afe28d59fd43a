#include "link/descoberta.h"

#include <cstring>

#include "platform/plataforma.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

constexpr char NAO_ENCONTROU_SAT[] = "BRIVEL n\xE3o encontrou um SAT TAVRO no barramento USB!\n";
constexpr char REVISAO_RECUSADA[] = "BRIVEL n\xE3o encontrou um SAT TAVRO no barramento USB...!\n";

struct Enumeracao {
  PassoCandidata passo;
  void *contexto;
  bool testaRevisao;
  bool rejeitada;
};

// A device with a hardware-identifier list of type REG_NONE must name revision 2498; every
// real list is REG_MULTI_SZ, so in practice every revision is accepted.
bool RevisaoRecusada(const DispositivoPorta *d) {
  if (d->idsHardwareLidos == 0) {
    return false;
  }
  const char *id = d->idHardware != nullptr ? d->idHardware : "";
  return std::strstr(id, "USB\\VID_0525&PID_A4A7&REV_2498") == nullptr &&
         std::strstr(id, "USB\\Vid_0525&Pid_a4a7&Rev_2498") == nullptr &&
         d->tipoIdsHardware == REGISTRO_NONE;
}

int PassoDispositivoSAT(const DispositivoPorta *d, void *contexto) {
  auto *e = static_cast<Enumeracao *>(contexto);
  const char *id = d->idInstancia != nullptr ? d->idInstancia : "";
  if (std::strncmp(id, PREFIXO_SAT, TAMANHO_PREFIXO_SAT) != 0 || d->chaveAberta == 0) {
    return 1;
  }
  if (e->testaRevisao && RevisaoRecusada(d)) {
    e->rejeitada = true;
    return 0;
  }
  // Without a port name there is nothing to open or to report.
  if (d->nomePorta == nullptr || d->nomePorta[0] == '\0') {
    GravaLogFormatado("Porta SAT sem nome (PortName) ignorada: %.256s\r\n", id);
    return 1;
  }
  const PortaCandidata candidata{d->nomePorta, id + TAMANHO_PREFIXO_SAT, id,
                                 strnlen(d->nomePorta, TAMANHO_NOME_PORTA) < TAMANHO_NOME_PORTA};
  return e->passo(&candidata, e->contexto) ? 1 : 0;
}

struct Procura {
  char *destino;
  size_t tamanho;
  bool achou;
};

bool PassoProcura(const PortaCandidata *c, void *contexto) {
  auto *p = static_cast<Procura *>(contexto);
  if (!c->nomeCabe) {
    GravaLogFormatado("Porta SAT %.256s ignorada, nome com mais de %u caracteres: %.64s\r\n",
                      c->idInstancia, static_cast<unsigned>(TAMANHO_NOME_PORTA - 1), c->nomePorta);
    return true;
  }
  MostraCandidata(c);
  const size_t n = strnlen(c->nomePorta, p->tamanho);
  if (n < p->tamanho) {
    std::memcpy(p->destino, c->nomePorta, n);
    p->achou = true;
  }
  return false;
}

} // namespace

void MostraCandidata(const PortaCandidata *c) {
  Plataforma->SaidaPadrao("Port: ");
  Plataforma->SaidaPadrao(c->nomePorta);
  Plataforma->SaidaPadrao("   Serial number: ");
  Plataforma->SaidaPadrao(c->numeroSerie);
  Plataforma->SaidaPadrao("\n");
}

void VerificaBarramentoUSB() {
  if (Plataforma->VerificaUSB() == 0) {
    GravaLog("hDevInfo == INVALID_HANDLE_VALUE \n");
  }
}

ResultadoEnumeracao EnumeraPortasSAT(PassoCandidata passo, void *contexto, bool testaRevisao) {
  VerificaBarramentoUSB();
  Enumeracao e{passo, contexto, testaRevisao, false};
  if (Plataforma->ListaPortas(PassoDispositivoSAT, &e) < 0) {
    return ENUMERACAO_INDISPONIVEL;
  }
  return e.rejeitada ? ENUMERACAO_REJEITADA : ENUMERACAO_CONCLUIDA;
}

bool ProcuraPortaSAT(char *destino, size_t tamanho) {
  if (destino == nullptr || tamanho == 0) {
    return false;
  }
  std::memset(destino, 0, tamanho);
  Procura p{destino, tamanho, false};
  switch (EnumeraPortasSAT(PassoProcura, &p, true)) {
  case ENUMERACAO_INDISPONIVEL:
    GravaLog(NAO_ENCONTROU_SAT);
    return false;
  case ENUMERACAO_REJEITADA:
    GravaLog(REVISAO_RECUSADA);
    return false;
  case ENUMERACAO_CONCLUIDA:
    break;
  }
  return p.achou;
}
