// Module-wide storage: every buffer the library keeps from load to unload, with its size.
//
// The five transaction buffers live on the heap, allocated at load in a fixed order; the rest
// is static storage, zero at load. Nothing here is guarded by a lock: the command exports are
// called one at a time, and the port selection exports hold SecaoCritica.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/plataforma.h"

// Transaction buffers (heap), in the order they are allocated.
constexpr size_t TAMANHO_BUFFER_RECEPCAO = 2097152;
constexpr size_t TAMANHO_BUFFER_LEITURA = 1024000;
constexpr size_t TAMANHO_BUFFER_COMANDO = 2097152;
constexpr size_t TAMANHO_BUFFER_COPIA_COMANDO = 2097152;
constexpr size_t TAMANHO_BUFFER_PACOTE = 1577864; // 1.5 MiB plus 5,000 bytes

extern unsigned char *BufferRecepcao;
extern unsigned char *BufferLeitura;
extern unsigned char *BufferComando;
extern unsigned char *BufferCopiaComando;
extern unsigned char *BufferPacote;

// Static storage.
constexpr size_t TAMANHO_BUFFER_RESPOSTA = 3145728;
constexpr size_t TAMANHO_RESPOSTA_LIMPA = 2097152; // the part of BufferResposta that is cleared
constexpr size_t TAMANHO_MENSAGEM_ERRO = 800;
constexpr size_t TAMANHO_NOME_PORTA = 10;
// Room for the longest device path of any platform; each platform sets its own limit
// (Plataforma->TamanhoCaminhoDispositivo: 64 bytes on Windows).
constexpr size_t TAMANHO_CAMINHO_PORTA = 4096;
constexpr size_t TAMANHO_MAPA_PORTAS = 2097152;
constexpr size_t TAMANHO_CAMINHO_LOG = 100;
constexpr size_t TAMANHO_BUFFER_VENDA = 2097152;
constexpr size_t TAMANHO_BUFFER_COMPACTADO = 2097152;
constexpr size_t TAMANHO_BUFFER_DESCOMPACTADO = 3145728;
constexpr size_t TAMANHO_PARAMETROS_VENDA = 2097152;
constexpr size_t TAMANHO_MENSAGEM_VENDA = 2097152;
constexpr size_t TAMANHO_BUFFER_DECODIFICADO = 3145728;
constexpr size_t TAMANHO_DECODIFICADO_LIMPO = 2097152;
constexpr size_t QUANTIDADE_ULTIMAS_SESSOES = 100;

struct RegistroErroLib {
  int32_t codigo;
  char mensagem[TAMANHO_MENSAGEM_ERRO];
};
static_assert(sizeof(RegistroErroLib) == 804, "the error record is copied out whole, 804 bytes");

// Codes of the error record.
constexpr int32_t ERRO_NENHUM = 0;
constexpr int32_t ERRO_ABRIR_PORTA = 1;
constexpr int32_t ERRO_ESCRITA = 32769;
// The library refused the call before sending anything (a null text argument, a request that
// does not fit a frame); the message says why and the reply is "%06d|9999|<message>".
constexpr int32_t ERRO_RECUSADO = 9999;

extern char BufferResposta[TAMANHO_BUFFER_RESPOSTA];
extern RegistroErroLib RegistroErro;

// How far into BufferResposta nonzero bytes may stand. Every writer of the buffer raises it
// (MarcaResposta), so that clearing the buffer's first TAMANHO_RESPOSTA_LIMPA bytes
// (LimpaResposta) costs only what was written. It starts at the whole cleared part: until the
// first clearing the buffer's contents count as unknown.
extern size_t RespostaUsada;
// `bytes` from the start of `resposta` were written; counted when `resposta` is BufferResposta.
void MarcaResposta(const char *resposta, size_t bytes);
// The first TAMANHO_RESPOSTA_LIMPA bytes of BufferResposta are zero afterwards.
void LimpaResposta();

extern char NomePorta[TAMANHO_NOME_PORTA];
extern char CaminhoPorta[TAMANHO_CAMINHO_PORTA];
extern int32_t PortaAberta;
extern HandleSerial HandlePorta;

extern uint8_t ContadorSequencia;
extern char MapaPortas[TAMANHO_MAPA_PORTAS];
extern char CaminhoLog[TAMANHO_CAMINHO_LOG];
extern void *ModuloZlib;

extern char BufferVenda[TAMANHO_BUFFER_VENDA];
extern unsigned char BufferCompactado[TAMANHO_BUFFER_COMPACTADO];
extern char BufferDescompactado[TAMANHO_BUFFER_DESCOMPACTADO];
extern unsigned char ParametrosVenda[TAMANHO_PARAMETROS_VENDA];
extern char MensagemVenda[TAMANHO_MENSAGEM_VENDA];
extern unsigned char BufferDecodificado[TAMANHO_BUFFER_DECODIFICADO];

extern int32_t UltimasSessoes[QUANTIDADE_ULTIMAS_SESSOES];
extern int32_t IndiceSessoes;

extern void *SecaoCritica;

// True when all five transaction buffers are allocated. The engine refuses to run without them.
bool BuffersAlocados();

// Static initialisation: allocates the five transaction buffers in order. When one cannot be
// had, those already allocated are freed again and all five stay null. `aloca` is the
// allocator (tests pass a failing one).
void AlocaBuffersTransacao(void *(*aloca)(size_t));
void LiberaBuffersTransacao();

// Sets the error record: `codigo` and `mensagem` (cut to 799 characters), the rest zero.
void DefineRegistroErro(int32_t codigo, const char *mensagem);
