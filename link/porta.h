// The serial port of the SAT: its name (NomePorta), its device path (CaminhoPorta), opening and
// configuring it (AbrePorta) and closing it (FechaPorta), for the exports AbreSerialSAT and
// CloseSerial in api/portas.cpp and for the engine.
#pragma once

#include <cstdint>

constexpr char ERRO_ABRIR_PORTA_MENSAGEM[] = "Erro ao tentar abrir a porta de comunicacao!!";

// Opens the port named by NomePorta (found by ProcuraPortaSAT while NomePorta is empty) at
// Plataforma->PrefixoDispositivo() + NomePorta, and sets its line and time limits; failures of
// those settings are logged and the port is used as it is. Returns 1 with RegistroErro at
// code 0 when the port is open, 0 with RegistroErro at code 1 when it is not. An open port is
// left as it is.
int32_t AbrePorta();

// Marks the port closed and releases its handle, if it holds one. Returns the result of the
// release (1 released, 0 failed), or 0 when there was no handle.
int32_t FechaPorta();

// Writes "COM<numero>" into `destino` (TAMANHO_NOME_PORTA bytes) when it fits; otherwise
// leaves `destino` untouched and returns false.
bool FormataNomePorta(char *destino, int32_t numero);
