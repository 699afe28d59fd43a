// The POSIX table: time, process, output, lock, files and dynamic loading. The serial port
// and discovery live in serial.cpp and descoberta.cpp.
#include "platform/fluxos.h"
#include "platform/posix/interno.h"

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void HoraLocal(DataHora *agora) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm t;
  time_t segundos = ts.tv_sec;
  localtime_r(&segundos, &t);
  agora->ano = t.tm_year + 1900;
  agora->mes = t.tm_mon + 1;
  agora->dia = t.tm_mday;
  agora->hora = t.tm_hour;
  agora->minuto = t.tm_min;
  agora->segundo = t.tm_sec;
  agora->milissegundo = static_cast<int>(ts.tv_nsec / 1000000);
}

int64_t SegundosMonotonicos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

unsigned long IdProcesso() { return static_cast<unsigned long>(getpid()); }

// The library's one lock lives in static storage: it is never destroyed, and a leak checker
// has nothing to report when the library is unloaded.
pthread_mutex_t gTrava;

void *CriaTrava() {
  pthread_mutexattr_t atributos;
  pthread_mutexattr_init(&atributos);
  // A critical section may be re-entered by the thread that holds it.
  pthread_mutexattr_settype(&atributos, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&gTrava, &atributos);
  pthread_mutexattr_destroy(&atributos);
  return &gTrava;
}

void Trava(void *trava) { pthread_mutex_lock(static_cast<pthread_mutex_t *>(trava)); }
void Destrava(void *trava) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(trava)); }

void *CarregaModulo(const char *nome) {
  void *modulo = dlopen(nome, RTLD_NOW | RTLD_LOCAL);
  if (modulo == nullptr) {
    PosixSaidaDepuracao("dlopen failed\n");
  }
  return modulo;
}

void *ProcuraSimbolo(void *modulo, const char *nome) { return dlsym(modulo, nome); }
void LiberaModulo(void *modulo) { dlclose(modulo); }

int CaminhoModulo(char *destino, unsigned long maximo) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&CaminhoModulo), &info) == 0 || info.dli_fname == nullptr) {
    return 0;
  }
  size_t n = std::strlen(info.dli_fname);
  if (n + 1 > maximo) {
    return 0;
  }
  std::memcpy(destino, info.dli_fname, n + 1);
  return 1;
}

const char *ArquivoZlib() { return "libz.so.1"; }
char SeparadorDiretorio() { return '/'; }
// A log name written for Windows (sat.ini, ArquivoLog) separates folders with backslashes:
// logs\sat.txt is sat.txt in the folder logs here too, not a file with a backslash in its name.
void *AbreAnexo(const char *nome) {
  char nativo[PATH_MAX];
  const size_t tamanho = strnlen(nome, sizeof nativo);
  if (tamanho >= sizeof nativo) {
    return nullptr;
  }
  for (size_t i = 0; i <= tamanho; i++) {
    nativo[i] = nome[i] == '\\' ? '/' : nome[i];
  }
  return StdioAbreAnexo(nativo);
}

const OperacoesPlataforma kNativa = {
    PosixAbreSerial,
    PosixConfiguraLinha,
    PosixConfiguraTempos,
    PosixDescartaEntrada,
    PosixEsvaziaSaida,
    PosixLeSerial,
    PosixEscreveSerial,
    PosixEstadoModem,
    PosixFechaSerial,
    PosixPrefixoDispositivo,
    PosixVerificaUSB,
    PosixListaPortas,
    HoraLocal,
    SegundosMonotonicos,
    IdProcesso,
    PosixSaidaDepuracao,
    StdioSaidaPadrao,
    CriaTrava,
    Trava,
    Destrava,
    StdioLeArquivo,
    AbreAnexo,
    StdioEscreveAnexo,
    StdioFechaAnexo,
    CarregaModulo,
    ProcuraSimbolo,
    LiberaModulo,
    CaminhoModulo,
    ArquivoZlib,
    SeparadorDiretorio,
    PosixLeSerialPendente,
    PosixTamanhoCaminhoDispositivo,
};

} // namespace

// There is no debugger channel on POSIX; SAT_DEPURACAO=1 sends it to standard error.
void PosixSaidaDepuracao(const char *texto) {
  const char *ligado = std::getenv("SAT_DEPURACAO");
  if (ligado != nullptr && ligado[0] == '1') {
    std::fputs(texto, stderr);
  }
}

void PosixFalha(const char *operacao) {
  int codigo = errno;
  char linha[160];
  std::snprintf(linha, sizeof linha, "%s failed: errno %d\n", operacao, codigo);
  PosixSaidaDepuracao(linha);
}

const OperacoesPlataforma *Plataforma = &kNativa;

const OperacoesPlataforma *PlataformaNativa() { return &kNativa; }

void UsaPlataforma(const OperacoesPlataforma *operacoes) {
  Plataforma = operacoes != nullptr ? operacoes : &kNativa;
}
