/*
 * libsat: drives a SAT CF-e fiscal device attached over USB (a serial port).
 *
 * Every command takes the caller's session number first and returns the address of the
 * library's reply buffer: a zero-terminated text of fields separated by '|', the session
 * number first and the device's code second. Read it before the next call; never free it.
 * When the library itself cannot complete the exchange it answers "%06d|9999|<message>"
 * (or the bare "Erro ao tentar abrir a porta" when no port can be opened).
 *
 * Texts are single-byte Windows-1252, passed through unchanged. Call the commands from one
 * thread at a time. On 32-bit Windows every export is __stdcall (or __cdecl, in the cdecl build)
 * with an undecorated name.
 */
#ifndef SAT_H
#define SAT_H

#include <stdint.h>

/* The calling convention of the binary this header came with: __stdcall on 32-bit Windows, but
 * for the cdecl build, whose folder's copy of this header defines SAT_CDECL; elsewhere the
 * platform's only one. */
#if defined(_WIN32) && !defined(_WIN64) && !defined(SAT_CDECL)
#define SAT_CALL __stdcall
#elif defined(_WIN32) && !defined(_WIN64)
#define SAT_CALL __cdecl
#else
#define SAT_CALL
#endif

#if defined(SAT_CONSTRUINDO)
#if defined(_WIN32)
#define SAT_API __declspec(dllexport)
#else
#define SAT_API __attribute__((visibility("default")))
#endif
#else
#define SAT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SAT commands --------------------------------------------------------------------- */
SAT_API char *SAT_CALL AtivarSAT(int32_t numeroSessao, int32_t subComando,
                                 const char *codigoDeAtivacao, const char *CNPJ, int32_t cUF);
SAT_API char *SAT_CALL ComunicarCertificadoICPBRASIL(int32_t numeroSessao,
                                                     const char *codigoDeAtivacao,
                                                     const char *certificado);
/* Sends dadosVenda up to and including its first "</CFe>" (all of it when there is none),
   compressed; dadosVenda itself is only read. */
SAT_API char *SAT_CALL EnviarDadosVenda(int32_t numeroSessao, const char *codigoDeAtivacao,
                                        const char *dadosVenda);
SAT_API char *SAT_CALL CancelarUltimaVenda(int32_t numeroSessao, const char *codigoDeAtivacao,
                                           const char *chave, const char *dadosCancelamento);
SAT_API char *SAT_CALL ConsultarSAT(int32_t numeroSessao);
SAT_API char *SAT_CALL TesteFimAFim(int32_t numeroSessao, const char *codigoDeAtivacao,
                                    const char *dadosVenda);
SAT_API char *SAT_CALL ConsultarStatusOperacional(int32_t numeroSessao,
                                                  const char *codigoDeAtivacao);
SAT_API char *SAT_CALL ConsultarNumeroSessao(int32_t numeroSessao, const char *codigoDeAtivacao,
                                             int32_t cNumeroDeSessao);
SAT_API char *SAT_CALL ConfigurarInterfaceDeRede(int32_t numeroSessao, const char *codigoDeAtivacao,
                                                 const char *dadosConfiguracao);
SAT_API char *SAT_CALL AssociarAssinatura(int32_t numeroSessao, const char *codigoDeAtivacao,
                                          const char *CNPJvalue, const char *assinaturaCNPJs);
SAT_API char *SAT_CALL AtualizarSoftwareSAT(int32_t numeroSessao, const char *codigoDeAtivacao);
SAT_API char *SAT_CALL ExtrairLogs(int32_t numeroSessao, const char *codigoDeAtivacao);
SAT_API char *SAT_CALL BloquearSAT(int32_t numeroSessao, const char *codigoDeAtivacao);
SAT_API char *SAT_CALL DesbloquearSAT(int32_t numeroSessao, const char *codigoDeAtivacao);
SAT_API char *SAT_CALL TrocarCodigoDeAtivacao(int32_t numeroSessao, const char *codigoDeAtivacao,
                                              int32_t opcao, const char *novoCodigo,
                                              const char *confNovoCodigo);
/* The standard's newer query: the device's stored reply to the last sale or cancellation. */
SAT_API char *SAT_CALL ConsultarUltimaSessaoFiscal(int32_t numeroSessao,
                                                   const char *codigoDeAtivacao);

/* ---- the library's own exports ---------------------------------------------------------- */
/* Copies the error record of the last call (32-bit code, then an 800-byte zero-terminated
   message: 804 bytes) into destino, which must hold at least 804 bytes; returns destino. */
SAT_API char *SAT_CALL CodigoErro(char *destino);
/* A session number not among the last 100 issued. */
SAT_API int32_t SAT_CALL GeraNumeroSessao(void);
/* The version text; constant, never changed or freed by the caller. */
SAT_API const char *SAT_CALL VersaoLib(void);
/* Logs to this file from now on (at most 99 characters; a longer name is refused). */
SAT_API void SAT_CALL ArquivoLog(const char *nome);
/* Accepted for compatibility; the time limits are fixed per command. */
SAT_API void SAT_CALL ConfiguraTimeout(int32_t valor);

/* ---- the serial port ---------------------------------------------------------------------- */
/* Makes COM<porta> the port of the next command. Only the first argument is used. */
SAT_API int32_t SAT_CALL AbreSerialSAT(int32_t porta, int32_t reservado1, int32_t reservado2,
                                       int32_t reservado3, int32_t reservado4);
SAT_API int32_t SAT_CALL CloseSerial(void);
/* Finds the first SAT among the USB serial ports, makes its port the library's, sends it
   ConsultarStatusOperacional(numeroSessao, codigoDeAtivacao) and returns the port's name in the
   reply buffer (even when the port could not be opened: CodigoErro then gives code 1), or null
   when there is no SAT or the ports cannot be listed. numeroSerie only goes into the log. */
SAT_API char *SAT_CALL GetPortaSAT(const char *numeroSerie, int32_t numeroSessao,
                                   const char *codigoDeAtivacao);
/* The same as GetPortaSAT. */
SAT_API char *SAT_CALL SetPortaSAT(const char *numeroSerie, int32_t numeroSessao,
                                   const char *codigoDeAtivacao);
/* Probes every SAT with ConsultarStatusOperacional and a fresh session number; the last one
   probed becomes the library's port. Returns "serial:port;" for the last SAT that gave its
   serial number ("" for none), or null when the ports cannot be listed. Valid until the next
   call. */
SAT_API char *SAT_CALL GetMapaPortasSAT(const char *codigoDeAtivacao);

/* ---- decoded documents -------------------------------------------------------------------- */
/* The document (CF-e or log) decoded by the last sale, cancellation or log extraction. */
SAT_API char *SAT_CALL Base64ToAscii(void);

#ifdef __cplusplus
}
#endif

#endif /* SAT_H */
