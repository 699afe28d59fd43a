// The seam between the library and the operating system.
//
// Everything the library asks of the platform goes through one table of operations. The
// native table (platform/posix or platform/win32) is chosen at build time; unit tests swap
// in substitutes with UsaPlataforma(). No logic lives behind the seam: matching the SAT's
// USB identity, the engine's polling, the frame and the replies are all above it.
//
// Failing OS calls report their raw error code (errno, GetLastError) on the debugger output
// channel where they fail; the caller only sees success or failure.
#pragma once

#include <cstddef>
#include <cstdint>

// A serial port handle: 0 means none, -1 the platform's invalid handle value.
typedef intptr_t HandleSerial;
constexpr HandleSerial HANDLE_NENHUM = 0;
constexpr HandleSerial HANDLE_INVALIDO = -1;

// Modem status bits, as the Win32 API numbers them.
constexpr uint32_t MODEM_CTS_ON = 0x10;
constexpr uint32_t MODEM_DSR_ON = 0x20;

// Registry data types of a hardware-identifier list.
constexpr uint32_t REGISTRO_NONE = 0;
constexpr uint32_t REGISTRO_MULTI_SZ = 7;

struct DataHora {
  int ano, mes, dia, hora, minuto, segundo, milissegundo;
};

// One present device of the serial-port class ("PORTS"), as the walk sees it. The texts are
// owned by the platform and valid only during the step that receives them.
struct DispositivoPorta {
  const char *idInstancia;  // e.g. USB\VID_0525&PID_A4A7\900000001
  int chaveAberta;          // 1 when the device's hardware key could be opened
  const char *nomePorta;    // its "PortName" value up to the first zero byte; "" when absent
  int idsHardwareLidos;     // 1 when the hardware-identifier list could be read
  const char *idHardware;   // the first hardware identifier (USB\VID_0525&PID_A4A7&REV_2498)
  uint32_t tipoIdsHardware; // registry data type of that list
};

// Answers 1 to go on with the walk, 0 to stop it.
typedef int (*PassoDispositivo)(const DispositivoPorta *dispositivo, void *contexto);

struct OperacoesPlataforma {
  // --- serial port -------------------------------------------------------------------------
  // Opens a device path for exclusive, synchronous reading and writing. Returns the handle;
  // HANDLE_INVALIDO (or HANDLE_NENHUM) when it cannot be opened. Nothing else is changed.
  HandleSerial (*AbreSerial)(const char *caminho);
  // 115200 8N1, DTR and RTS raised, other settings as the driver had them. 1 ok, 0 failed.
  int (*ConfiguraLinha)(HandleSerial porta);
  // Reads return as soon as bytes are there or after about 100 ms; a write of N bytes fails
  // when it is not done within 500 ms + N ms. 1 ok, 0 failed.
  int (*ConfiguraTempos)(HandleSerial porta);
  // Throws away the input the driver holds. 1 ok, 0 failed.
  int (*DescartaEntrada)(HandleSerial porta);
  // Sends out pending output. 1 ok, 0 failed.
  int (*EsvaziaSaida)(HandleSerial porta);
  // Reads at most `maximo` bytes into `destino`, blocking for about 100 ms at the most.
  // Returns the count read (0 when nothing came), or -1 when the read failed. Bytes past the
  // count are left untouched.
  long (*LeSerial)(HandleSerial porta, unsigned char *destino, unsigned long maximo);
  // Writes all `tamanho` bytes within the write limit. 1 when all went out, 0 otherwise.
  int (*EscreveSerial)(HandleSerial porta, const unsigned char *dados, unsigned long tamanho);
  // Fills `bits` with the MODEM_* bits that are on. 1 ok, 0 failed (bits untouched).
  int (*EstadoModem)(HandleSerial porta, uint32_t *bits);
  // Throws away output not yet sent (a driver would wait for it), then releases the handle.
  // 1 ok, 0 failed.
  int (*FechaSerial)(HandleSerial porta);
  // The prefix that turns a port name into a device path: "\\.\" on Windows, the device
  // directory (ending in '/') elsewhere. Never null.
  const char *(*PrefixoDispositivo)();

  // --- device discovery ----------------------------------------------------------------------
  // 1 when the list of present USB devices can be had, 0 when it cannot.
  int (*VerificaUSB)();
  // Walks the present devices of the serial-port class in the platform's order, handing each
  // to `passo` until it answers 0. Returns 0 when the walk ran (to the end or to a stop), -1
  // when the class or its device list cannot be had. A device that vanishes mid-walk is
  // passed over.
  int (*ListaPortas)(PassoDispositivo passo, void *contexto);

  // --- time, process, output -----------------------------------------------------------------
  void (*HoraLocal)(DataHora *agora);        // local date and time with milliseconds
  int64_t (*SegundosMonotonicos)();          // whole seconds of a clock that never goes back
  unsigned long (*IdProcesso)();             // the calling process's identifier
  void (*SaidaDepuracao)(const char *texto); // the debugger output channel
  void (*SaidaPadrao)(const char *texto);    // the process's standard output, flushed

  // --- lock ------------------------------------------------------------------------------------
  void *(*CriaTrava)(); // a new recursive lock, or null when it cannot be made
  void (*Trava)(void *trava);
  void (*Destrava)(void *trava);

  // --- files -----------------------------------------------------------------------------------
  // Reads at most `maximo` bytes from the start of the file, without text translation.
  // Returns the count read, or -1 when the file cannot be opened.
  long (*LeArquivo)(const char *nome, char *destino, unsigned long maximo);
  // Opens the file for appending bytes exactly as given, creating it if needed, without
  // denying other openers. Returns a stream, or null when it cannot be opened.
  void *(*AbreAnexo)(const char *nome);
  void (*EscreveAnexo)(void *arquivo, const char *dados, unsigned long tamanho);
  void (*FechaAnexo)(void *arquivo); // flushes and closes

  // --- dynamic loading -------------------------------------------------------------------------
  void *(*CarregaModulo)(const char *nome); // null when it cannot be loaded
  void *(*ProcuraSimbolo)(void *modulo, const char *nome);
  void (*LiberaModulo)(void *modulo);
  // Writes the full path of the library's own file (zero-terminated, in the ANSI code page)
  // into `destino`. Returns 1, or 0 when it cannot be had or does not fit.
  int (*CaminhoModulo)(char *destino, unsigned long maximo);
  // The file name of zlib's dynamic library: "zlib.dll" on Windows, its soname elsewhere.
  const char *(*ArquivoZlib)();
  // The character that ends a directory in a path: '\\' on Windows, '/' elsewhere.
  char (*SeparadorDiretorio)();
  // Reads at most `maximo` bytes of what the driver already holds, without waiting for more.
  // Returns the count read (0 at once when nothing is queued), or -1 when the read failed.
  // Bytes past the count are left untouched.
  long (*LeSerialPendente)(HandleSerial porta, unsigned char *destino, unsigned long maximo);

  // --- limits ----------------------------------------------------------------------------------
  // The most bytes a device path (prefix and port name) may take, terminator included: 64 on
  // Windows, the system's path limit elsewhere.
  unsigned long (*TamanhoCaminhoDispositivo)();
};

// The table in use. Never null.
extern const OperacoesPlataforma *Plataforma;

// The native table of this build.
const OperacoesPlataforma *PlataformaNativa();

// Replaces the table in use (tests). Null restores the native one.
void UsaPlataforma(const OperacoesPlataforma *operacoes);
