/*
 * libsatextrato: the printed extrato of a signed CF-e-SAT (the customer's receipt), laid out as
 * the standard's guide for the extrato prescribes, for thermal printers (ESC/POS) and as PDF or
 * PNG. It takes the CF-e as the SAT signed it (Base64ToAscii of arquivoCFeSAT, UTF-8 XML) and
 * never changes it.
 *
 * Every function returns 0 on success, or one of the EXTRATO_ERRO_* codes; ErroExtrato then
 * tells why, in Windows-1252 as libsat's texts are. An extrato is handed back in memory that the
 * library allocated: release it with LiberaExtrato. The functions may be called from several
 * threads at once. On 32-bit Windows every export is __stdcall (__cdecl in the cdecl build) with
 * an undecorated name, as libsat's are.
 *
 * The Windows build lays out the same extrato but has only EXTRATO_ESCPOS: the printer draws the
 * QR code and the barcode with its own commands (Debian, which builds it, has no Windows build of
 * the libraries that draw PDF and PNG). Ask EXTRATO_PDF, EXTRATO_PNG or EXTRATO_ESCPOS_IMAGEM
 * there and the answer is EXTRATO_ERRO_FORMATO.
 */
#ifndef SATEXTRATO_H
#define SATEXTRATO_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64) && !defined(SAT_CDECL)
#define SATEXTRATO_CALL __stdcall
#elif defined(_WIN32) && !defined(_WIN64)
#define SATEXTRATO_CALL __cdecl
#else
#define SATEXTRATO_CALL
#endif

#if defined(SATEXTRATO_CONSTRUINDO)
#if defined(_WIN32)
#define SATEXTRATO_API __declspec(dllexport)
#else
#define SATEXTRATO_API __attribute__((visibility("default")))
#endif
#else
#define SATEXTRATO_API
#endif

/* Outputs. */
#define EXTRATO_ESCPOS 1        /* ESC/POS: text, and the printer's own QR code and Code 128 */
#define EXTRATO_ESCPOS_IMAGEM 2 /* ESC/POS: the whole extrato as one raster image (GS v 0) */
#define EXTRATO_PDF 3           /* one page as long as the extrato, as wide as the paper */
#define EXTRATO_PNG 4           /* the same page, 12 pixels a millimetre */

/* Results. */
#define EXTRATO_OK 0
/* not a signed CF-e, or not the sale that the cancellation cancels */
#define EXTRATO_ERRO_DOCUMENTO 1
#define EXTRATO_ERRO_FORMATO 2   /* an output this build does not have, or an unknown one */
#define EXTRATO_ERRO_PARAMETRO 3 /* a null pointer, a negative size, a paper width not 58 or 80 */
#define EXTRATO_ERRO_INTERNO 4   /* out of memory, or the drawing library failed */

#ifdef __cplusplus
extern "C" {
#endif

/* The extrato of a sale: `cfe` holds `tamanhoCfe` bytes of the signed CF-e; `larguraPapel` is 80
   or 58 (millimetres). On success *extrato points at *tamanho bytes of the output. */
SATEXTRATO_API int32_t SATEXTRATO_CALL ExtratoVenda(const char *cfe, int32_t tamanhoCfe,
                                                    int32_t formato, int32_t larguraPapel,
                                                    unsigned char **extrato, int32_t *tamanho);

/* The extrato of a cancellation: the signed cancellation and the signed sale it cancels. */
SATEXTRATO_API int32_t SATEXTRATO_CALL ExtratoCancelamento(
    const char *cancelamento, int32_t tamanhoCancelamento, const char *venda, int32_t tamanhoVenda,
    int32_t formato, int32_t larguraPapel, unsigned char **extrato, int32_t *tamanho);

/* Releases what ExtratoVenda or ExtratoCancelamento gave; a null pointer is ignored. */
SATEXTRATO_API void SATEXTRATO_CALL LiberaExtrato(unsigned char *extrato);

/* Why this thread's last call failed (empty after a success); valid until its next call. */
SATEXTRATO_API const char *SATEXTRATO_CALL ErroExtrato(void);

/* Which outputs this build has: a bit (1 << formato) for each. */
SATEXTRATO_API int32_t SATEXTRATO_CALL FormatosExtrato(void);

#ifdef __cplusplus
}
#endif

#endif
