// The Win32 table's operations, one file per subject.
#pragma once

#include "platform/plataforma.h"

// serial.cpp
HandleSerial Win32AbreSerial(const char *caminho);
int Win32ConfiguraLinha(HandleSerial porta);
int Win32ConfiguraTempos(HandleSerial porta);
int Win32DescartaEntrada(HandleSerial porta);
int Win32EsvaziaSaida(HandleSerial porta);
long Win32LeSerial(HandleSerial porta, unsigned char *destino, unsigned long maximo);
long Win32LeSerialPendente(HandleSerial porta, unsigned char *destino, unsigned long maximo);
int Win32EscreveSerial(HandleSerial porta, const unsigned char *dados, unsigned long tamanho);
int Win32EstadoModem(HandleSerial porta, uint32_t *bits);
int Win32FechaSerial(HandleSerial porta);
const char *Win32PrefixoDispositivo();
unsigned long Win32TamanhoCaminhoDispositivo();

// descoberta.cpp
int Win32VerificaUSB();
int Win32ListaPortas(PassoDispositivo passo, void *contexto);

// plataforma.cpp
void Win32SaidaDepuracao(const char *texto);
void Win32Falha(const char *operacao); // reports GetLastError() on the debugger output channel
