// A whole substitute platform for the unit tests: a scripted serial port, a device list, a
// clock that moves only when the code under test reads or the test says so, files in memory,
// and captured standard and debugger output. Install() puts it in place of the native table;
// every test starts from a fresh one (see SubstitutoTest).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/plataforma.h"

struct DispositivoFalso {
  std::string idInstancia;
  bool chaveAberta = true;
  std::string nomePorta;
  bool idsHardwareLidos = true;
  std::string idHardware;
  uint32_t tipoIdsHardware = REGISTRO_MULTI_SZ;
};

struct Substituto {
  // --- clock ---
  DataHora hora{2017, 12, 7, 14, 3, 9, 42};
  int64_t milissegundos = 0;    // the monotonic clock, in ms
  int64_t passoLeituraMs = 100; // each serial read that brings nothing costs this

  // --- serial port ---
  bool abreFalha = false; // AbreSerial fails
  std::vector<std::string> caminhosAbertos;
  HandleSerial proximoHandle = 7;
  bool configuraLinhaFalha = false, configuraTemposFalha = false;
  bool descartaFalha = false, esvaziaFalha = false, modemFalha = false;
  uint32_t bitsModem = 0;
  bool escreveFalha = false;
  std::vector<std::string> escritos; // every write, whole
  // What the device has to say: each entry is what one read returns (up to its maximum;
  // the rest stays for the next read). An empty entry is a read that brings nothing.
  struct Leitura : std::string {
    Leitura(std::string bytes = {}) : std::string(std::move(bytes)) {}
    Leitura(const char *bytes) : std::string(bytes) {}
    size_t lidos = 0; // what reads have taken of it (a 2 MB stream is not moved up every read)
  };
  std::deque<Leitura> leituras;
  // Bytes that turn up only once something has been written (the device's answer).
  std::deque<std::string> respostaAposEscrita;
  int leiturasFeitas = 0;
  // How many drain reads (LeSerialPendente) find bytes before the driver runs dry for a moment
  // while the device is still sending: the rest of `leituras` comes to reads that wait. -1: every
  // one finds what `leituras` holds.
  int pendentesComBytes = -1;
  // A device that never stops sending: once `leituras` is used up, every read brings these
  // bytes (up to its maximum) and costs passoLeituraComDadosMs; until the first write only,
  // when emissaoParaNaEscrita is set.
  std::string emissaoContinua;
  bool emissaoParaNaEscrita = false;
  int64_t passoLeituraComDadosMs = 0; // what a read that brings bytes costs the clock
  uint64_t bytesEntregues = 0;        // all bytes handed out by reads
  unsigned long maiorLeitura = 0;     // the largest maximum a read was asked for
  // The serial operations in the order they were called ("AbreSerial", "LeSerial", ...).
  std::vector<std::string> chamadas;
  // A device per port: when set, every write that goes through is handed to it, and the
  // bytes it returns (empty: none) turn up for the following reads.
  std::function<std::string(const std::string &escrito)> responde;
  std::vector<std::string> caminhosAusentes; // paths that cannot be opened, beside abreFalha
  std::vector<int> travasAoAbrir;            // locks held (Trava less Destrava) at each open
  int fechamentos = 0;
  std::string prefixo = "\\\\.\\";
  unsigned long tamanhoCaminhoDispositivo = 64; // the Windows device path's limit

  // --- discovery ---
  bool usbDisponivel = true;
  bool listaDisponivel = true;
  std::vector<DispositivoFalso> dispositivos;
  int dispositivosEntregues = 0;

  // --- process and output ---
  unsigned long pid = 4242;
  std::string saidaPadrao;
  std::string depuracao;

  // --- lock ---
  int travas = 0, destravas = 0;

  // --- files ---
  std::map<std::string, std::string> arquivos;
  std::vector<std::string> anexosAbertos; // names the log opened, in order

  // --- dynamic loading ---
  std::map<std::string, std::map<std::string, void *>> modulos; // name -> symbols
  std::vector<std::string> modulosCarregados;
  int modulosLiberados = 0;
  std::string caminhoModulo = "C:\\POS\\sat.dll";
  std::string arquivoZlib = "zlib.dll";
  char separador = '\\';

  const OperacoesPlataforma *Instala();
};

// The substitute in use by the current test.
Substituto &Sub();

// Base fixture: a fresh substitute installed, the library's module-wide state as at load
// (transaction buffers allocated), and everything restored afterwards.
class SubstitutoTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  Substituto &sub() { return Sub(); }
  // The log file's contents; logging goes to "sat.log" unless a test changes it.
  std::string Log() { return Sub().arquivos["sat.log"]; }
  void LigaLog();
};

// Resets every module-wide variable of the library to its state at load.
void ReiniciaEstadoBiblioteca();
