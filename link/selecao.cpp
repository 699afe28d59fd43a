#include "link/selecao.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/descoberta.h"
#include "link/porta.h"
#include "platform/plataforma.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

// What one export asks of the walk.
struct Selecao {
  const char *funcao;   // "GetPortaSAT" or "SetPortaSAT"; null for GetMapaPortasSAT
  int32_t numeroSessao; // the status query's, for GetPortaSAT and SetPortaSAT
  const char *codigoDeAtivacao;
  const FuncoesSelecao *funcoes;
  bool viuCandidata;
};

bool Mapa(const Selecao *s) { return s->funcao == nullptr; }

long Processo() { return static_cast<long>(Plataforma->IdProcesso()); }

// Logs `antes`, `texto` and `depois` as one line of at most TAMANHO_LINHA_SELECAO - 1
// characters. Only `texto` (a caller's, a device's or a port's name) is cut, so the line keeps
// its ending and the process identifier however long the text is.
void GravaLinha(const char *antes, const char *texto, const char *depois) {
  char linha[TAMANHO_LINHA_SELECAO];
  const size_t fixos = std::strlen(antes) + std::strlen(depois);
  const int cabe = fixos < sizeof linha - 1 ? static_cast<int>(sizeof linha - 1 - fixos) : 0;
  std::snprintf(linha, sizeof linha, "%s%.*s%s", antes, cabe, texto, depois);
  GravaLog(linha);
}

// "Entered GetPortaSAT(%s) @ %ld\r\n", "Exiting SetPortaSAT(%s) @ %ld\r\n" and the like.
void GravaEntradaSaida(const char *verbo, const char *funcao, const char *numeroSerie) {
  char antes[48];
  char depois[40];
  std::snprintf(antes, sizeof antes, "%s %s(", verbo, funcao);
  std::snprintf(depois, sizeof depois, ") @ %ld\r\n", Processo());
  GravaLinha(antes, numeroSerie, depois);
}

// Reads the code field as atoi does; a code too long to read is no multiple of 1000.
bool MultiploDeMil(const char *campo) { return std::strtoll(campo, nullptr, 10) % 1000 == 0; }

// The map's entry, "serial:port;", when the status reply names a serial number.
void AnotaNoMapa() {
  char numeroSerie[TAMANHO_NUMERO_SERIE];
  switch (ExtraiNumeroSerie(BufferResposta, sizeof BufferResposta, numeroSerie)) {
  case NUMERO_SERIE_LIDO:
    if (numeroSerie[0] != '\0') {
      std::snprintf(MapaPortas, TAMANHO_LIMPO_MAPA, "%s:%s;", numeroSerie, NomePorta);
    }
    break;
  case NUMERO_SERIE_LONGO:
    // A cut serial number would name another device: the port stays out of the map.
    GravaLogFormatado("N\xFAmero de s\xE9rie com mais de %u caracteres, porta %s fora do mapa\r\n",
                      static_cast<unsigned>(TAMANHO_NUMERO_SERIE - 1), NomePorta);
    break;
  case NUMERO_SERIE_AUSENTE:
    break;
  }
}

// Makes the candidate the current port, opens it and sends it the status query. False when the
// port could not be opened (RegistroErro then holds code 1, as AbrePorta leaves it).
bool TestaPortaSAT(const PortaCandidata *c, const Selecao *s) {
  GravaLinha("Port found: ", c->nomePorta, "\r\n");
  MostraCandidata(c);
  if (!c->nomeCabe) {
    // NomePorta cannot hold it, so no command could ever open it: refused as AbrePorta
    // refuses a port it cannot open, and NomePorta keeps what it had.
    GravaLogFormatado("Porta SAT %.256s recusada, nome com mais de %u caracteres: %.64s\r\n",
                      c->idInstancia, static_cast<unsigned>(TAMANHO_NOME_PORTA - 1), c->nomePorta);
    DefineRegistroErro(ERRO_ABRIR_PORTA, ERRO_ABRIR_PORTA_MENSAGEM);
    GravaLinha("Could not open port ", c->nomePorta, "\r\n");
    return false;
  }
  // An open port would be kept by AbrePorta whatever NomePorta says.
  FechaPorta();
  std::memset(NomePorta, 0, sizeof NomePorta);
  std::memcpy(NomePorta, c->nomePorta, std::strlen(c->nomePorta));
  if (AbrePorta() == 0) {
    GravaLinha("Could not open port ", NomePorta, "\r\n");
    return false;
  }
  GravaLinha("Openned port ", NomePorta, "\r\n");
  if (Mapa(s)) {
    s->funcoes->consultaStatus(s->funcoes->sorteiaSessao(), s->codigoDeAtivacao);
  } else {
    s->funcoes->consultaStatus(s->numeroSessao, s->codigoDeAtivacao);
    GravaLog(BufferResposta);
  }
  return true;
}

bool PassoSelecao(const PortaCandidata *c, void *contexto) {
  auto *s = static_cast<Selecao *>(contexto);
  if (TestaPortaSAT(c, s) && Mapa(s)) {
    AnotaNoMapa();
  }
  // The engine closed it after the query; this also forgets the handle of a failed open.
  FechaPorta();
  if (Mapa(s)) {
    return true;
  }
  const int escritos = std::snprintf(BufferResposta, TAMANHO_RESPOSTA_LIMPA, "%s", c->nomePorta);
  MarcaResposta(BufferResposta, escritos > 0 ? static_cast<size_t>(escritos) + 1 : 0);
  s->viuCandidata = true;
  return false;
}

} // namespace

ResultadoNumeroSerie ExtraiNumeroSerie(const char *resposta, size_t tamanho, char *destino) {
  std::memset(destino, 0, TAMANHO_NUMERO_SERIE);
  // An empty reply is not read at all: its address may be anything, null included.
  const size_t fim = tamanho > 0 ? strnlen(resposta, tamanho) : 0;
  size_t inicio = 0;
  int campo = 0;
  for (size_t i = 0; i < fim; i++) {
    if (resposta[i] != '|') {
      continue;
    }
    // Field `campo` is [inicio, i): a '|' follows it, so it counts. The '|' also ends the
    // number read from the code field.
    if (campo == 1 && !MultiploDeMil(resposta + inicio)) {
      return NUMERO_SERIE_AUSENTE;
    }
    if (campo == 5) {
      const size_t n = i - inicio;
      if (n >= TAMANHO_NUMERO_SERIE) {
        return NUMERO_SERIE_LONGO;
      }
      std::memcpy(destino, resposta + inicio, n);
      return NUMERO_SERIE_LIDO;
    }
    campo++;
    inicio = i + 1;
  }
  return NUMERO_SERIE_AUSENTE;
}

char *SelecionaPortaSAT(const char *funcao, const char *numeroSerie, int32_t numeroSessao,
                        const char *codigoDeAtivacao, const FuncoesSelecao &funcoes) {
  GravaEntradaSaida("Entered", funcao, numeroSerie);
  Selecao s{funcao, numeroSessao, codigoDeAtivacao, &funcoes, false};
  if (EnumeraPortasSAT(PassoSelecao, &s) == ENUMERACAO_INDISPONIVEL) {
    return nullptr;
  }
  GravaEntradaSaida("Exiting", funcao, numeroSerie);
  return s.viuCandidata ? BufferResposta : nullptr;
}

char *MapeiaPortasSAT(const char *codigoDeAtivacao, const FuncoesSelecao &funcoes) {
  char linha[TAMANHO_LINHA_SELECAO];
  std::snprintf(linha, sizeof linha, "Entered GetMapaPortasSAT @ %ld\r\n", Processo());
  GravaLog(linha);
  std::memset(MapaPortas, 0, TAMANHO_LIMPO_MAPA);
  Selecao s{nullptr, 0, codigoDeAtivacao, &funcoes, false};
  if (EnumeraPortasSAT(PassoSelecao, &s) == ENUMERACAO_INDISPONIVEL) {
    return nullptr;
  }
  // Its exit line names GetPortaSAT: the log keeps the lines it has always had.
  std::snprintf(linha, sizeof linha, "Exiting GetPortaSAT @ %ld\r\n", Processo());
  GravaLog(linha);
  return MapaPortas;
}
