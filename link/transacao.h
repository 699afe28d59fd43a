// The transaction engine: one command from opening the port to closing it again.
#pragma once

#include <cstdint>

constexpr char TIMEOUT_MENSAGEM[] = "Timeout de comunica\xE7\xE3o";
constexpr char PORTA_NAO_ABERTA_RESPOSTA[] = "Erro ao tentar abrir a porta";

// After its time limit the engine still reads while bytes keep coming, but for at most this
// many further seconds. The drain before the write stops after LIMITE_DESCARTE seconds (at
// least two real seconds, as the clock counts whole ones): long enough for the stray bytes a
// device may send after a reply, short enough that a device that never stops cannot hold a call.
constexpr int64_t TOLERANCIA_APOS_LIMITE = 2;
constexpr int64_t LIMITE_DESCARTE = 3;

// A data frame whose header has come in, announcing a length that fits BufferRecepcao, may
// finish after that tolerance: it gets the time its whole length takes at the line's rate
// (115200 bit/s, ten bits a byte), counted from when its header was seen, plus a margin.
constexpr int64_t BYTES_POR_SEGUNDO_LINHA = 11520;
constexpr int64_t MARGEM_QUADRO = 2;

// Sends one command and waits for its reply.
//
// The request is "%06d|<comando>" followed by "|<parametros>" when `parametros` is given
// (text form, `tamanhoParametros` <= 0), or "%06d|<comando>|" followed by exactly
// `tamanhoParametros` bytes of `parametros` (raw form). `*resposta` is the reply buffer, at
// least TAMANHO_RESPOSTA_LIMPA bytes; `tempoLimite` is in milliseconds and counts in whole
// seconds of the monotonic clock.
//
// The reply buffer receives the reply payload, or one of the library's own texts: the bare
// "Erro ao tentar abrir a porta" when no port opens; "%06d|9999|Timeout de comunica\xE7\xE3o" when
// no whole data frame came in time; "%06d|9999|Erro ao tentar abrir a porta de
// comunicacao!!" when the frame could not be written (RegistroErro code 32769); and
// "%06d|9999|<why>" with RegistroErro code ERRO_RECUSADO when the request was refused before
// anything was sent (it does not fit a frame, or the transaction buffers are missing).
// Otherwise RegistroErro ends at code 0 with an empty message. Returns the number of payload
// bytes copied, 0 when no reply came.
int32_t EnviaComando(const char *comando, int32_t numeroSessao, const char *parametros,
                     char **resposta, int32_t tempoLimite, int32_t tamanhoParametros);

// Replies of other sessions that a command takes as its own. A data frame whose first field is a
// session number other than the request's is the late reply of an earlier command: the engine
// logs it, discards it and keeps waiting within the limit. A first field that is not a number is
// taken as it is.
struct SessoesAceitas {
  bool outra = false; // also the session `sessao` (ConsultarNumeroSessao asks for it)
  int32_t sessao = 0;
  bool sessaoFiscal = false; // also any stored sale (06...) or cancellation (07...) reply
};

// EnviaComando, taking the replies `aceitas` names as well.
int32_t EnviaComando(const char *comando, int32_t numeroSessao, const char *parametros,
                     char **resposta, int32_t tempoLimite, int32_t tamanhoParametros,
                     const SessoesAceitas &aceitas);

// The library's answer to a call it refuses before sending anything: writes
// "%06d|9999|<mensagem>" into `resposta` (at least TAMANHO_RESPOSTA_LIMPA bytes), logs it and
// sets RegistroErro to ERRO_RECUSADO with `mensagem`.
void RecusaComando(char *resposta, int32_t numeroSessao, const char *mensagem);
