#include "link/transacao.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "link/pacote.h"
#include "link/porta.h"
#include "platform/plataforma.h"
#include "support/armazenamento.h"
#include "support/log.h"

namespace {

constexpr char ERRO_ESCRITA_LOG[] = "WriteFile Failed!!\r\n";
constexpr char TIMEOUT_LOG[] = "Request timed out!\r\n";
constexpr char SEPARADOR_DEPURACAO[] =
    "-------------------------------------------------------------------------------\n";
static_assert(sizeof SEPARADOR_DEPURACAO == 81, "79 hyphens, a line feed and the terminator");

// How much of each transaction buffer an earlier call may have written. Only that part is
// cleared before the next call: nothing ever reads a byte of these buffers that the same call
// has not written (InterpretaPacote stops at the received count), so clearing more would only
// cost time. At load the contents are unknown, hence the full sizes.
struct UsoBuffer {
  unsigned char **buffer;
  size_t tamanho;
  size_t usado;
};

UsoBuffer gCopiaComando{&BufferCopiaComando, TAMANHO_BUFFER_COPIA_COMANDO,
                        TAMANHO_BUFFER_COPIA_COMANDO};
UsoBuffer gRecepcao{&BufferRecepcao, TAMANHO_BUFFER_RECEPCAO, TAMANHO_BUFFER_RECEPCAO};
UsoBuffer gLeitura{&BufferLeitura, TAMANHO_BUFFER_LEITURA, TAMANHO_BUFFER_LEITURA};
UsoBuffer gPacote{&BufferPacote, TAMANHO_BUFFER_PACOTE, TAMANHO_BUFFER_PACOTE};
UsoBuffer gComando{&BufferComando, TAMANHO_BUFFER_COMANDO, TAMANHO_BUFFER_COMANDO};

void LimpaBuffers() {
  for (UsoBuffer *uso : {&gCopiaComando, &gRecepcao, &gLeitura, &gPacote, &gComando}) {
    std::memset(*uso->buffer, 0, uso->usado < uso->tamanho ? uso->usado : uso->tamanho);
    uso->usado = 0;
  }
}

void Usou(UsoBuffer &uso, size_t bytes) {
  if (bytes > uso.usado) {
    uso.usado = bytes;
  }
}

// One read of at most `maximo` bytes into BufferLeitura; a failed read counts as 0 bytes.
size_t LePorta(size_t maximo) {
  const long lidos = Plataforma->LeSerial(HandlePorta, BufferLeitura, maximo);
  if (lidos <= 0) {
    return 0;
  }
  const size_t n = static_cast<size_t>(lidos) < maximo ? static_cast<size_t>(lidos) : maximo;
  Usou(gLeitura, n);
  return n;
}

// Builds the request in BufferComando; returns its length, or 0 with `motivo` filled when it
// cannot be sent.
size_t MontaRequisicao(const char *comando, int32_t numeroSessao, const char *parametros,
                       int32_t tamanhoParametros, char *motivo, size_t tamanhoMotivo) {
  char *texto = reinterpret_cast<char *>(BufferComando);
  unsigned long long tamanho = 0;
  if (tamanhoParametros > 0) {
    if (parametros == nullptr) {
      std::snprintf(motivo, tamanhoMotivo, "Argumento nulo: parametros");
      return 0;
    }
    const int prefixo = std::snprintf(texto, TAMANHO_BUFFER_COMANDO, "%06d|%s|",
                                      static_cast<int>(numeroSessao), comando);
    tamanho = prefixo < 0 ? ~0ull
                          : static_cast<unsigned long long>(prefixo) +
                                static_cast<unsigned long long>(tamanhoParametros);
    if (tamanho <= MAXIMO_DADOS_ENVIO) {
      // A zero byte closes the request, so that its log line stops inside the buffer.
      std::memcpy(texto + prefixo, parametros, static_cast<size_t>(tamanhoParametros));
      texto[tamanho] = '\0';
    }
  } else {
    const bool comParametros = parametros != nullptr;
    const int n =
        std::snprintf(texto, TAMANHO_BUFFER_COMANDO, "%06d|%s%s%s", static_cast<int>(numeroSessao),
                      comando, comParametros ? "|" : "", comParametros ? parametros : "");
    tamanho = n < 0 ? ~0ull : static_cast<unsigned long long>(n);
  }
  Usou(gComando, tamanho < TAMANHO_BUFFER_COMANDO ? static_cast<size_t>(tamanho) + 1
                                                  : TAMANHO_BUFFER_COMANDO);
  if (tamanho > MAXIMO_DADOS_ENVIO) {
    std::snprintf(motivo, tamanhoMotivo,
                  "Comando de %llu bytes excede o m\xE1ximo de %u bytes de um pacote", tamanho,
                  static_cast<unsigned>(MAXIMO_DADOS_ENVIO));
    return 0;
  }
  return static_cast<size_t>(tamanho);
}

// The moment by which the data frame whose header is in must be whole, or -1 when the bytes
// are no such frame (another control code, or a length that BufferRecepcao cannot hold).
int64_t PrazoDoQuadro(uint32_t esperado, int64_t agora) {
  const uint64_t quadro = TamanhoDoQuadro(esperado);
  if (BufferRecepcao[0] != CONTROLE_SOH || quadro > TAMANHO_BUFFER_RECEPCAO) {
    return -1;
  }
  const int64_t duracao = static_cast<int64_t>((quadro + BYTES_POR_SEGUNDO_LINHA - 1) /
                                               static_cast<uint64_t>(BYTES_POR_SEGUNDO_LINHA));
  return agora + duracao + MARGEM_QUADRO;
}

// The first field of the data frame at `inicio` in BufferRecepcao, as far as it has come in: the
// session number the device answers. `completo` tells that the field's end was seen; `fim` is
// where the payload that came ends.
struct PrimeiroCampo {
  const char *texto;
  size_t tamanho;
  bool completo;
  const char *fim;
};

// The frame's header must be in (recebidos >= inicio + 13).
PrimeiroCampo CampoDeSessao(size_t inicio, size_t recebidos, uint32_t esperado) {
  const char *carga =
      reinterpret_cast<const char *>(BufferRecepcao) + inicio + TAMANHO_CABECALHO_RESPOSTA;
  const size_t chegou = recebidos - inicio - TAMANHO_CABECALHO_RESPOSTA;
  const size_t disponivel = chegou < esperado ? chegou : esperado;
  const void *barra = std::memchr(carga, '|', disponivel);
  const size_t tamanho =
      barra != nullptr ? static_cast<size_t>(static_cast<const char *>(barra) - carga) : disponivel;
  return {carga, tamanho, barra != nullptr || disponivel == esperado, carga + disponivel};
}

// The session number a field holds ("%06d" or any other decimal form); false when the field is
// no number. A number beyond 32 bits is a number all the same, and nobody's session.
bool LeSessao(const PrimeiroCampo &campo, int64_t *sessao) {
  size_t i = 0;
  const bool negativo = campo.tamanho > 0 && campo.texto[0] == '-';
  i += negativo ? 1 : 0;
  if (i == campo.tamanho) {
    return false;
  }
  int64_t valor = 0;
  for (; i < campo.tamanho; i++) {
    const char c = campo.texto[i];
    if (c < '0' || c > '9') {
      return false;
    }
    if (valor <= INT64_C(1) << 40) {
      valor = valor * 10 + (c - '0');
    }
  }
  *sessao = negativo ? -valor : valor;
  return true;
}

// The code field of a stored sale or cancellation reply: "06..." or "07...".
bool RespostaFiscal(const PrimeiroCampo &campo) {
  const char *codigo = campo.texto + campo.tamanho + 1;
  return codigo + 2 <= campo.fim && codigo[0] == '0' && (codigo[1] == '6' || codigo[1] == '7');
}

enum class Sessao {
  Desta,      // this call's, or one it takes as its own
  Outra,      // another session's number: the late reply of an earlier command
  NaoNumero,  // a first field that is no number
  Incompleta, // the first field has not come in yet
};

// Whose reply the data frame at `inicio` (its header in) is.
Sessao SessaoDoQuadro(size_t inicio, size_t recebidos, uint32_t esperado, int32_t numeroSessao,
                      const SessoesAceitas &aceitas) {
  const PrimeiroCampo campo = CampoDeSessao(inicio, recebidos, esperado);
  int64_t sessao = 0;
  if (!campo.completo) {
    return Sessao::Incompleta;
  }
  if (!LeSessao(campo, &sessao)) {
    return Sessao::NaoNumero;
  }
  if (sessao == numeroSessao || (aceitas.outra && sessao == aceitas.sessao) ||
      (aceitas.sessaoFiscal && RespostaFiscal(campo))) {
    return Sessao::Desta;
  }
  return Sessao::Outra;
}

void RegistraOutraSessao(size_t inicio, size_t recebidos, uint32_t esperado) {
  const PrimeiroCampo campo = CampoDeSessao(inicio, recebidos, esperado);
  GravaLogFormatado("Resposta de outra sess\xE3o descartada: %.*s\r\n",
                    static_cast<int>(campo.tamanho < 20 ? campo.tamanho : 20), campo.texto);
}

// True (and logged) when the frame at the start of BufferRecepcao answers another session.
bool DeOutraSessao(size_t recebidos, uint32_t esperado, int32_t numeroSessao,
                   const SessoesAceitas &aceitas) {
  if (BufferRecepcao[0] != CONTROLE_SOH || recebidos < TAMANHO_CABECALHO_RESPOSTA ||
      SessaoDoQuadro(0, recebidos, esperado, numeroSessao, aceitas) != Sessao::Outra) {
    return false;
  }
  RegistraOutraSessao(0, recebidos, esperado);
  return true;
}

// How much the next read asks for: the header while it is not in, then what the data frame still
// lacks. A read returns once it has what it asked for; asked for more, a port with an interval
// limit (Windows: 50 ms) would wait out that limit after the frame's last byte on every reply.
// Bytes that are no such frame are read in reads as large as before.
size_t TamanhoDaLeitura(size_t recebidos, size_t livre) {
  size_t quero = livre < TAMANHO_BUFFER_LEITURA ? livre : TAMANHO_BUFFER_LEITURA;
  if (recebidos < TAMANHO_CABECALHO_RESPOSTA) {
    return TAMANHO_CABECALHO_RESPOSTA - recebidos;
  }
  if (BufferRecepcao[0] == CONTROLE_SOH) {
    const uint64_t quadro = TamanhoDoQuadro(TamanhoAnunciado(recebidos));
    if (quadro > recebidos && quadro - recebidos < quero) {
      quero = static_cast<size_t>(quadro - recebidos);
    }
  }
  return quero;
}

// What the search for the reply's frame has seen so far.
struct Busca {
  size_t recebidos = 0;
  size_t ruido = 0;     // dropped bytes that were no control frame
  size_t procurado = 0; // `recebidos` when the bytes behind a pending frame were last searched
};

// From `inicio`, passes over what cannot start a data frame: a control frame whole (a device may
// acknowledge a request before it answers), waited for while it is not, unless its bytes hold a
// 01: then it may be a stray code just before the data frame, and only what precedes that 01 is
// dropped.
// Anything else up to the next 01. Returns where the next candidate (a 01) or the wait begins.
size_t PulaAteCandidato(size_t inicio, Busca *b) {
  while (inicio < b->recebidos && BufferRecepcao[inicio] != CONTROLE_SOH) {
    const size_t resto = b->recebidos - inicio;
    const size_t controle = TamanhoControle(BufferRecepcao[inicio]);
    if (controle > 0) {
      const size_t visto = controle < resto ? controle : resto;
      const void *soh = std::memchr(BufferRecepcao + inicio + 1, CONTROLE_SOH, visto - 1);
      if (soh != nullptr) {
        inicio = static_cast<size_t>(static_cast<const unsigned char *>(soh) - BufferRecepcao);
        continue;
      }
      if (controle > resto) {
        break;
      }
      inicio += controle;
      continue;
    }
    const void *soh = std::memchr(BufferRecepcao + inicio + 1, CONTROLE_SOH, resto - 1);
    const size_t fim =
        soh != nullptr
            ? static_cast<size_t>(static_cast<const unsigned char *>(soh) - BufferRecepcao)
            : b->recebidos;
    b->ruido += fim - inicio;
    inicio = fim;
  }
  return inicio;
}

// The most payload bytes one search behind a pending frame adds up: the search stays a matter of
// milliseconds whatever a device sends.
constexpr uint64_t ORCAMENTO_PROCURA = 4 * TAMANHO_BUFFER_RECEPCAO;

// Behind the frame at `inicio`, still short of its announced length, a whole frame with its sum
// right that answers this call: then the first was a false start (a 01 in stale bytes whose
// length field announces bytes that never come). Returns its offset, or 0 when there is none.
size_t ProcuraQuadroAdiante(size_t inicio, size_t recebidos, int32_t numeroSessao,
                            const SessoesAceitas &aceitas) {
  uint64_t orcamento = ORCAMENTO_PROCURA;
  for (size_t j = inicio + 1; j + TAMANHO_CABECALHO_RESPOSTA < recebidos; j++) {
    const void *soh = std::memchr(BufferRecepcao + j, CONTROLE_SOH, recebidos - j);
    if (soh == nullptr) {
      break;
    }
    j = static_cast<size_t>(static_cast<const unsigned char *>(soh) - BufferRecepcao);
    if (recebidos - j <= TAMANHO_CABECALHO_RESPOSTA) {
      break;
    }
    const uint32_t n = TamanhoAnunciadoEm(BufferRecepcao + j);
    const uint64_t quadro = TamanhoDoQuadro(n);
    if (quadro > recebidos - j ||
        SessaoDoQuadro(j, recebidos, n, numeroSessao, aceitas) != Sessao::Desta) {
      continue;
    }
    if (quadro > orcamento) {
      break;
    }
    orcamento -= quadro;
    if (SomaConfere(BufferRecepcao + j, n)) {
      return j;
    }
  }
  return 0;
}

// Brings the reply's data frame to the start of BufferRecepcao, dropping what stands before it.
// A 01 is taken for a frame's start only while what it announces can hold: a length that fits
// the buffer, and once the frame is whole, its sum, or failing that a first field that names
// this call's session (such a frame is delivered, its sum logged as wrong). Any other 01 is no
// frame: the search goes on from its next byte. A whole frame of another session is a late reply
// and is dropped whole. While the frame at the start is short of its length and the line is
// quiet (`quieta`), the bytes behind it are searched for a whole frame of this call. Returns true
// when something was dropped.
bool Sincroniza(Busca *b, bool quieta, int32_t numeroSessao, const SessoesAceitas &aceitas) {
  size_t inicio = 0;
  for (;;) {
    inicio = PulaAteCandidato(inicio, b);
    const size_t resto = b->recebidos - inicio;
    if (resto < TAMANHO_CABECALHO_RESPOSTA) {
      break;
    }
    const uint32_t n = TamanhoAnunciadoEm(BufferRecepcao + inicio);
    const uint64_t quadro = TamanhoDoQuadro(n);
    if (quadro > TAMANHO_BUFFER_RECEPCAO) {
      b->ruido++;
      inicio++;
      continue;
    }
    if (resto >= quadro) {
      const Sessao sessao = SessaoDoQuadro(inicio, b->recebidos, n, numeroSessao, aceitas);
      const bool somaCerta = SomaConfere(BufferRecepcao + inicio, n);
      if (somaCerta ? sessao != Sessao::Outra : sessao == Sessao::Desta) {
        break;
      }
      if (somaCerta) {
        RegistraOutraSessao(inicio, b->recebidos, n);
        inicio += static_cast<size_t>(quadro);
      } else {
        b->ruido++;
        inicio++;
      }
      continue;
    }
    if (quieta && b->recebidos != b->procurado) {
      b->procurado = b->recebidos;
      const size_t adiante = ProcuraQuadroAdiante(inicio, b->recebidos, numeroSessao, aceitas);
      if (adiante != 0) {
        b->ruido += adiante - inicio;
        inicio = adiante;
        continue;
      }
    }
    break;
  }
  if (inicio == 0) {
    return false;
  }
  b->recebidos -= inicio;
  std::memmove(BufferRecepcao, BufferRecepcao + inicio, b->recebidos);
  b->procurado = 0;
  return true;
}

// Reads until a whole data frame is in, or the time limit has passed and a read brought
// nothing. Bytes that keep coming after the limit are read for TOLERANCIA_APOS_LIMITE seconds,
// or, while they are a data frame that fits, until its own time at the line's rate is up.
// Returns the count received; `transbordou` tells that BufferRecepcao filled up before the
// frame was whole.
size_t AguardaResposta(int32_t tempoLimite, int32_t numeroSessao, const SessoesAceitas &aceitas,
                       uint32_t *esperado, bool *transbordou) {
  const int64_t limite = tempoLimite / 1000;
  const int64_t inicio = Plataforma->SegundosMonotonicos();
  int64_t agora = inicio;
  int64_t prazoQuadro = -1;
  Busca busca;
  size_t ultimaLeitura = 0;
  bool leu = false;
  *esperado = 0;
  *transbordou = false;
  for (;;) {
    const int64_t decorrido = agora - inicio;
    if (Sincroniza(&busca, leu && ultimaLeitura == 0, numeroSessao, aceitas)) {
      *esperado = 0;
      // A frame that starts after the limit gets no time of its own.
      prazoQuadro = decorrido < limite ? -1 : prazoQuadro;
    }
    const size_t recebidos = busca.recebidos;
    if (recebidos >= TAMANHO_CABECALHO_RESPOSTA) {
      *esperado = TamanhoAnunciado(recebidos);
      if (recebidos >= TamanhoDoQuadro(*esperado)) {
        break;
      }
      if (prazoQuadro < 0) {
        prazoQuadro = PrazoDoQuadro(*esperado, agora);
      }
    }
    if (decorrido >= limite && ultimaLeitura == 0) {
      break;
    }
    const bool quadroNoPrazo = prazoQuadro >= 0 && agora < prazoQuadro;
    if (decorrido >= limite + TOLERANCIA_APOS_LIMITE && !quadroNoPrazo) {
      GravaLog("Dispositivo continua enviando ap\xF3s o limite de tempo; leitura encerrada\r\n");
      break;
    }
    const size_t livre = TAMANHO_BUFFER_RECEPCAO - recebidos;
    if (livre == 0) {
      GravaLogFormatado("Resposta de %u bytes excede o buffer de recep\xE7\xE3o\r\n",
                        static_cast<unsigned>(*esperado));
      *transbordou = true;
      break;
    }
    ultimaLeitura = LePorta(TamanhoDaLeitura(recebidos, livre));
    leu = true;
    if (ultimaLeitura > 0) {
      std::memcpy(BufferRecepcao + recebidos, BufferLeitura, ultimaLeitura);
      busca.recebidos += ultimaLeitura;
      Usou(gRecepcao, busca.recebidos);
    }
    agora = Plataforma->SegundosMonotonicos();
  }
  if (busca.ruido > 0) {
    GravaLogFormatado("%u bytes que n\xE3o formam quadro descartados antes da resposta\r\n",
                      static_cast<unsigned>(busca.ruido));
  }
  return busca.recebidos;
}

// What the driver already holds, without waiting for more.
size_t LePendentes() {
  const long lidos =
      Plataforma->LeSerialPendente(HandlePorta, BufferLeitura, TAMANHO_BUFFER_LEITURA);
  if (lidos <= 0) {
    return 0;
  }
  const size_t n = static_cast<size_t>(lidos) < TAMANHO_BUFFER_LEITURA ? static_cast<size_t>(lidos)
                                                                       : TAMANHO_BUFFER_LEITURA;
  Usou(gLeitura, n);
  return n;
}

// A data frame that the limit left short of its announced length, whose sum byte (its last)
// checks out with the length that did come, is whole: only its length field was wrong. It is
// taken at that length, so that its sum byte does not end up in the reply text.
void CorrigeTamanhoAnunciado(size_t recebidos, uint32_t esperado) {
  const size_t minimo = TAMANHO_CABECALHO_RESPOSTA + 1;
  if (recebidos < minimo || recebidos - minimo >= esperado || BufferRecepcao[0] != CONTROLE_SOH) {
    return;
  }
  const uint32_t veio = static_cast<uint32_t>(recebidos - minimo);
  unsigned char anunciado[4];
  std::memcpy(anunciado, BufferRecepcao + 9, sizeof anunciado);
  for (size_t i = 0; i < 4; i++) {
    BufferRecepcao[9 + i] = static_cast<unsigned char>(veio >> (8 * i));
  }
  if (!SomaConfere(BufferRecepcao, veio)) {
    std::memcpy(BufferRecepcao + 9, anunciado, sizeof anunciado);
    return;
  }
  GravaLogFormatado("Quadro anuncia %u bytes de dados e traz %u: tomado com %u\r\n",
                    static_cast<unsigned>(esperado), static_cast<unsigned>(veio),
                    static_cast<unsigned>(veio));
}

// Discards what the device sent before the request. On a quiet line that is one look at what the
// driver holds, without waiting. When it held something the device may still be sending (the
// rest of a late reply, at the line's rate): then the drain reads on, each read waiting its
// ~100 ms, until one brings nothing, for LIMITE_DESCARTE seconds at the most. A drain that took
// only what was there would leave the rest of that reply to arrive after the request.
void DescartaPendentes() {
  if (LePendentes() == 0) {
    return;
  }
  const int64_t inicio = Plataforma->SegundosMonotonicos();
  while (LePorta(TAMANHO_BUFFER_LEITURA) > 0) {
    if (Plataforma->SegundosMonotonicos() - inicio >= LIMITE_DESCARTE) {
      GravaLog("Dispositivo continua enviando antes do comando; descarte encerrado\r\n");
      break;
    }
  }
}

void VerificaModem() {
  uint32_t bits = 0;
  if (Plataforma->EstadoModem(HandlePorta, &bits) == 0) {
    GravaLog("GetCommModemStatus() Failed!\r\n");
    return;
  }
  if (bits & MODEM_CTS_ON) {
    Plataforma->SaidaDepuracao("CTS_ON\r\n");
  }
  if (bits & MODEM_DSR_ON) {
    Plataforma->SaidaDepuracao("DSR_ON\r\n");
  }
}

// The data frame is taken apart straight into the reply buffer, whose first
// TAMANHO_RESPOSTA_LIMPA bytes are cleared first.
int32_t EntregaResposta(char *resposta, size_t recebidos) {
  if (resposta == BufferResposta) {
    LimpaResposta();
  } else {
    std::memset(resposta, 0, TAMANHO_RESPOSTA_LIMPA);
  }
  Pacote pacote;
  std::memset(&pacote, 0, sizeof pacote);
  pacote.DadosResposta = reinterpret_cast<unsigned char *>(resposta);
  if (InterpretaPacote(&pacote, recebidos) == PACOTE_SOMA_INVALIDA) {
    GravaLog("Checksum do pacote recebido n\xE3o confere\r\n");
  }
  MarcaResposta(resposta, pacote.TamanhoResposta);
  Plataforma->SaidaDepuracao("ret <- ");
  Plataforma->SaidaDepuracao(resposta);
  Plataforma->SaidaDepuracao("\n");
  Plataforma->SaidaDepuracao(SEPARADOR_DEPURACAO);
  return static_cast<int32_t>(pacote.TamanhoResposta);
}

void RespostaPropria(char *resposta, int32_t numeroSessao, const char *mensagem) {
  const int n = std::snprintf(resposta, TAMANHO_RESPOSTA_LIMPA, "%06d|9999|%s",
                              static_cast<int>(numeroSessao), mensagem);
  MarcaResposta(resposta, n > 0 ? static_cast<size_t>(n) + 1 : 0);
}

// Steps after the port is open. Returns the payload length; RegistroErro is left for the
// caller to reset unless the exchange failed on writing or was refused.
int32_t Transacao(const char *comando, int32_t numeroSessao, const char *parametros, char *resposta,
                  int32_t tempoLimite, int32_t tamanhoParametros, const SessoesAceitas &aceitas,
                  bool *manterRegistro) {
  LimpaBuffers();
  char motivo[160];
  const size_t tamanho =
      MontaRequisicao(comando, numeroSessao, parametros, tamanhoParametros, motivo, sizeof motivo);
  if (tamanho == 0) {
    RecusaComando(resposta, numeroSessao, motivo);
    *manterRegistro = true;
    return 0;
  }
  GravaLog(reinterpret_cast<const char *>(BufferComando));

  Pacote pacote;
  std::memset(&pacote, 0, sizeof pacote);
  pacote.TamanhoEnvio = static_cast<uint32_t>(tamanho);
  std::memcpy(BufferCopiaComando, BufferComando, tamanho);
  BufferCopiaComando[tamanho] = 0;
  Usou(gCopiaComando, tamanho + 1);
  pacote.DadosEnvio = BufferCopiaComando;
  Plataforma->SaidaDepuracao("req -> ");
  Plataforma->SaidaDepuracao(reinterpret_cast<const char *>(BufferCopiaComando));
  Plataforma->SaidaDepuracao("\n");

  pacote.Sequencia = ContadorSequencia;
  ContadorSequencia = static_cast<uint8_t>(ContadorSequencia + 1);
  const int32_t tamanhoPacote = MontaPacote(&pacote);
  Usou(gPacote, static_cast<size_t>(tamanhoPacote));

  if (Plataforma->DescartaEntrada(HandlePorta) == 0) {
    GravaLog("PurgeComm Error");
  }
  if (Plataforma->EsvaziaSaida(HandlePorta) == 0) {
    GravaLog("FlushFileBuffers Error");
  }
  DescartaPendentes();

  if (Plataforma->EscreveSerial(HandlePorta, BufferPacote,
                                static_cast<unsigned long>(tamanhoPacote)) == 0) {
    GravaLog(ERRO_ESCRITA_LOG);
    DefineRegistroErro(ERRO_ESCRITA, ERRO_ABRIR_PORTA_MENSAGEM);
    RespostaPropria(resposta, numeroSessao, ERRO_ABRIR_PORTA_MENSAGEM);
    GravaLog(resposta);
    *manterRegistro = true;
    return 0;
  }
  VerificaModem();

  uint32_t esperado = 0;
  bool transbordou = false;
  const size_t recebidos =
      AguardaResposta(tempoLimite, numeroSessao, aceitas, &esperado, &transbordou);
  // A frame cut short at the limit counts as received, unless it shows another session's.
  if (esperado != 0 && recebidos >= esperado && !transbordou &&
      !DeOutraSessao(recebidos, esperado, numeroSessao, aceitas)) {
    CorrigeTamanhoAnunciado(recebidos, esperado);
    return EntregaResposta(resposta, recebidos);
  }
  RespostaPropria(resposta, numeroSessao, TIMEOUT_MENSAGEM);
  GravaLog(TIMEOUT_LOG);
  return 0;
}

} // namespace

void RecusaComando(char *resposta, int32_t numeroSessao, const char *mensagem) {
  RespostaPropria(resposta, numeroSessao, mensagem);
  GravaLog(resposta);
  DefineRegistroErro(ERRO_RECUSADO, mensagem);
}

int32_t EnviaComando(const char *comando, int32_t numeroSessao, const char *parametros,
                     char **resposta, int32_t tempoLimite, int32_t tamanhoParametros) {
  return EnviaComando(comando, numeroSessao, parametros, resposta, tempoLimite, tamanhoParametros,
                      SessoesAceitas{});
}

int32_t EnviaComando(const char *comando, int32_t numeroSessao, const char *parametros,
                     char **resposta, int32_t tempoLimite, int32_t tamanhoParametros,
                     const SessoesAceitas &aceitas) {
  if (resposta == nullptr || *resposta == nullptr) {
    return 0;
  }
  if (!BuffersAlocados()) {
    RecusaComando(*resposta, numeroSessao, "Buffers de comunica\xE7\xE3o n\xE3o alocados");
    return 0;
  }
  if (comando == nullptr) {
    comando = "";
  }
  int32_t resultado = 0;
  bool manterRegistro = false;
  if (AbrePorta() == 0) {
    std::snprintf(*resposta, TAMANHO_RESPOSTA_LIMPA, "%s", PORTA_NAO_ABERTA_RESPOSTA);
    MarcaResposta(*resposta, sizeof PORTA_NAO_ABERTA_RESPOSTA);
    GravaLog(*resposta);
  } else {
    resultado = Transacao(comando, numeroSessao, parametros, *resposta, tempoLimite,
                          tamanhoParametros, aceitas, &manterRegistro);
  }
  if (!manterRegistro) {
    DefineRegistroErro(ERRO_NENHUM, nullptr);
  }
  FechaPorta();
  return resultado;
}
