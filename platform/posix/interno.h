// The POSIX table's operations, one file per subject.
#pragma once

#include "platform/plataforma.h"

// serial.cpp
HandleSerial PosixAbreSerial(const char *caminho);
int PosixConfiguraLinha(HandleSerial porta);
int PosixConfiguraTempos(HandleSerial porta);
int PosixDescartaEntrada(HandleSerial porta);
int PosixEsvaziaSaida(HandleSerial porta);
long PosixLeSerial(HandleSerial porta, unsigned char *destino, unsigned long maximo);
long PosixLeSerialPendente(HandleSerial porta, unsigned char *destino, unsigned long maximo);
int PosixEscreveSerial(HandleSerial porta, const unsigned char *dados, unsigned long tamanho);
int PosixEstadoModem(HandleSerial porta, uint32_t *bits);
int PosixFechaSerial(HandleSerial porta);
const char *PosixPrefixoDispositivo();
unsigned long PosixTamanhoCaminhoDispositivo();

// descoberta.cpp
int PosixVerificaUSB();
int PosixListaPortas(PassoDispositivo passo, void *contexto);

// plataforma.cpp
void PosixSaidaDepuracao(const char *texto);
void PosixFalha(const char *operacao); // reports errno on the debugger output channel
