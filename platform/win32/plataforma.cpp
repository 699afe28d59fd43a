// The Win32 table: time, process, output, lock, files and dynamic loading. The serial port
// and discovery live in serial.cpp and descoberta.cpp.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fluxos.h"
#include "platform/win32/interno.h"

namespace {

void HoraLocal(DataHora *agora) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  agora->ano = t.wYear;
  agora->mes = t.wMonth;
  agora->dia = t.wDay;
  agora->hora = t.wHour;
  agora->minuto = t.wMinute;
  agora->segundo = t.wSecond;
  agora->milissegundo = t.wMilliseconds;
}

int64_t SegundosMonotonicos() { return static_cast<int64_t>(GetTickCount64() / 1000); }

unsigned long IdProcesso() { return GetCurrentProcessId(); }

void *CriaTrava() {
  auto *secao = static_cast<CRITICAL_SECTION *>(std::calloc(1, sizeof(CRITICAL_SECTION)));
  if (secao != nullptr) {
    InitializeCriticalSection(secao);
  }
  return secao;
}

void Trava(void *trava) { EnterCriticalSection(static_cast<CRITICAL_SECTION *>(trava)); }
void Destrava(void *trava) { LeaveCriticalSection(static_cast<CRITICAL_SECTION *>(trava)); }

void *CarregaModulo(const char *nome) {
  HMODULE modulo = LoadLibraryA(nome);
  if (modulo == nullptr) {
    Win32Falha("LoadLibraryA");
  }
  return reinterpret_cast<void *>(modulo);
}

void *ProcuraSimbolo(void *modulo, const char *nome) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(modulo), nome));
}

void LiberaModulo(void *modulo) { FreeLibrary(static_cast<HMODULE>(modulo)); }

int CaminhoModulo(char *destino, unsigned long maximo) {
  HMODULE modulo = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&CaminhoModulo), &modulo)) {
    Win32Falha("GetModuleHandleExW");
    return 0;
  }
  wchar_t largo[MAX_PATH + 1];
  DWORD n = GetModuleFileNameW(modulo, largo, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) {
    Win32Falha("GetModuleFileNameW");
    return 0;
  }
  largo[n] = L'\0';
  int convertidos = WideCharToMultiByte(CP_ACP, 0, largo, -1, destino, static_cast<int>(maximo),
                                        nullptr, nullptr);
  if (convertidos == 0) {
    Win32Falha("WideCharToMultiByte");
    return 0;
  }
  return 1;
}

const char *ArquivoZlib() { return "zlib.dll"; }
char SeparadorDiretorio() { return '\\'; }

const OperacoesPlataforma kNativa = {
    Win32AbreSerial,
    Win32ConfiguraLinha,
    Win32ConfiguraTempos,
    Win32DescartaEntrada,
    Win32EsvaziaSaida,
    Win32LeSerial,
    Win32EscreveSerial,
    Win32EstadoModem,
    Win32FechaSerial,
    Win32PrefixoDispositivo,
    Win32VerificaUSB,
    Win32ListaPortas,
    HoraLocal,
    SegundosMonotonicos,
    IdProcesso,
    Win32SaidaDepuracao,
    StdioSaidaPadrao,
    CriaTrava,
    Trava,
    Destrava,
    StdioLeArquivo,
    StdioAbreAnexo,
    StdioEscreveAnexo,
    StdioFechaAnexo,
    CarregaModulo,
    ProcuraSimbolo,
    LiberaModulo,
    CaminhoModulo,
    ArquivoZlib,
    SeparadorDiretorio,
    Win32LeSerialPendente,
    Win32TamanhoCaminhoDispositivo,
};

} // namespace

void Win32SaidaDepuracao(const char *texto) { OutputDebugStringA(texto); }

void Win32Falha(const char *operacao) {
  DWORD codigo = GetLastError();
  char linha[160];
  std::snprintf(linha, sizeof linha, "%s failed: GetLastError %lu\n", operacao,
                static_cast<unsigned long>(codigo));
  OutputDebugStringA(linha);
}

const OperacoesPlataforma *Plataforma = &kNativa;

const OperacoesPlataforma *PlataformaNativa() { return &kNativa; }

void UsaPlataforma(const OperacoesPlataforma *operacoes) {
  Plataforma = operacoes != nullptr ? operacoes : &kNativa;
}
