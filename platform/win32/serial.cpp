// The serial port over the Win32 communications API. The handle is the file HANDLE.
#include <windows.h>

#include "platform/win32/interno.h"

namespace {

HANDLE Handle(HandleSerial porta) { return reinterpret_cast<HANDLE>(porta); }

} // namespace

HandleSerial Win32AbreSerial(const char *caminho) {
  HANDLE h =
      CreateFileA(caminho, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Win32Falha("CreateFileA");
    return HANDLE_INVALIDO;
  }
  return reinterpret_cast<HandleSerial>(h);
}

// Only these fields change; flow control and the rest stay as the driver reported them.
int Win32ConfiguraLinha(HandleSerial porta) {
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Handle(porta), &dcb)) {
    Win32Falha("GetCommState");
    return 0; // without the driver's settings there is nothing sound to change
  }
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (!SetCommState(Handle(porta), &dcb)) {
    Win32Falha("SetCommState");
    return 0;
  }
  return 1;
}

// A read returns with what has come after 100 ms, or 50 ms after the last byte; a write of N
// bytes fails after 500 ms + N ms.
int Win32ConfiguraTempos(HandleSerial porta) {
  COMMTIMEOUTS tempos;
  ZeroMemory(&tempos, sizeof tempos);
  if (!GetCommTimeouts(Handle(porta), &tempos)) {
    Win32Falha("GetCommTimeouts");
  }
  tempos.ReadIntervalTimeout = 50;
  tempos.ReadTotalTimeoutMultiplier = 0;
  tempos.ReadTotalTimeoutConstant = 100;
  tempos.WriteTotalTimeoutMultiplier = 1;
  tempos.WriteTotalTimeoutConstant = 500;
  if (!SetCommTimeouts(Handle(porta), &tempos)) {
    Win32Falha("SetCommTimeouts");
    return 0;
  }
  return 1;
}

int Win32DescartaEntrada(HandleSerial porta) {
  if (!PurgeComm(Handle(porta), PURGE_RXCLEAR)) {
    Win32Falha("PurgeComm");
    return 0;
  }
  return 1;
}

int Win32EsvaziaSaida(HandleSerial porta) {
  if (!FlushFileBuffers(Handle(porta))) {
    Win32Falha("FlushFileBuffers");
    return 0;
  }
  return 1;
}

// The wait the port's read limit gives a read that brings nothing.
constexpr ULONGLONG ESPERA_LEITURA_MS = 100;

// A read that brings nothing takes the read limit's time, also when the port no longer waits,
// so that a caller polling until its limit does not spin on a dead port. A device that is gone
// shows first in the port's status, which can no longer be read: then the read fails without
// ReadFile, which may fail at once, or (wine, over a hung-up line) spin out its time limit.
long Win32LeSerial(HandleSerial porta, unsigned char *destino, unsigned long maximo) {
  const ULONGLONG inicio = GetTickCount64();
  DWORD erros = 0;
  DWORD lidos = 0;
  BOOL leu = FALSE;
  if (!ClearCommError(Handle(porta), &erros, nullptr)) {
    Win32Falha("ClearCommError");
  } else {
    leu = ReadFile(Handle(porta), destino, static_cast<DWORD>(maximo), &lidos, nullptr);
    if (!leu) {
      Win32Falha("ReadFile");
    }
  }
  if (!leu || lidos == 0) {
    const ULONGLONG passou = GetTickCount64() - inicio;
    if (passou < ESPERA_LEITURA_MS) {
      Sleep(static_cast<DWORD>(ESPERA_LEITURA_MS - passou));
    }
  }
  return leu ? static_cast<long>(lidos) : -1;
}

// The driver's input queue says how much is there; a read of no more than that returns at once.
long Win32LeSerialPendente(HandleSerial porta, unsigned char *destino, unsigned long maximo) {
  DWORD erros = 0;
  COMSTAT estado;
  ZeroMemory(&estado, sizeof estado);
  if (!ClearCommError(Handle(porta), &erros, &estado)) {
    Win32Falha("ClearCommError");
    return -1;
  }
  const DWORD quantos = estado.cbInQue < maximo ? estado.cbInQue : static_cast<DWORD>(maximo);
  if (quantos == 0) {
    return 0;
  }
  DWORD lidos = 0;
  if (!ReadFile(Handle(porta), destino, quantos, &lidos, nullptr)) {
    Win32Falha("ReadFile");
    return -1;
  }
  return static_cast<long>(lidos);
}

// A write that the time limit cut short counts as failed, as on every other platform.
int Win32EscreveSerial(HandleSerial porta, const unsigned char *dados, unsigned long tamanho) {
  DWORD escritos = 0;
  if (!WriteFile(Handle(porta), dados, static_cast<DWORD>(tamanho), &escritos, nullptr)) {
    Win32Falha("WriteFile");
    return 0;
  }
  return escritos == tamanho ? 1 : 0;
}

int Win32EstadoModem(HandleSerial porta, uint32_t *bits) {
  DWORD estado = 0;
  if (!GetCommModemStatus(Handle(porta), &estado)) {
    Win32Falha("GetCommModemStatus");
    return 0;
  }
  *bits = static_cast<uint32_t>(estado) & (MODEM_CTS_ON | MODEM_DSR_ON);
  return 1;
}

// Output still queued (a write that failed or timed out) is thrown away, not waited for.
int Win32FechaSerial(HandleSerial porta) {
  if (!PurgeComm(Handle(porta), PURGE_TXABORT | PURGE_TXCLEAR)) {
    Win32Falha("PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR)");
  }
  if (!CloseHandle(Handle(porta))) {
    Win32Falha("CloseHandle");
    return 0;
  }
  return 1;
}

const char *Win32PrefixoDispositivo() { return "\\\\.\\"; }

// CaminhoPorta's 64 bytes: \\.\ and a port name fit with room to spare.
unsigned long Win32TamanhoCaminhoDispositivo() { return 64; }
