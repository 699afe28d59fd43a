// The shipped library as an application sees it, for the device-link end-to-end tests, and the
// frames that satemu recorded ($SAT_E2E_REGISTRO, set by tests/com_satemu.sh). Portable: the
// same code runs natively and as a Windows program under wine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#endif

#include "tests/e2e/biblioteca.h"
#include "tests/registro_erro.h"

// The texts of a log file's records, each as it was given to the log: the record's leading
// line end and time stamp ("\r\ndd/mm/yyyy hh:mm:ss:mmm ") taken off, and every CR LF that the
// text mode wrote turned back into a line feed.
inline std::vector<std::string> RegistrosDoLog(const std::string &log) {
  static const std::regex carimbo("\r\n\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d:\\d[\\d ]{2} ");
  std::vector<std::string> registros;
  for (std::sregex_token_iterator i(log.begin(), log.end(), carimbo, -1), fim; i != fim; ++i) {
    registros.push_back(std::regex_replace(i->str(), std::regex("\r\n"), "\n"));
  }
  if (!registros.empty() && registros[0].empty()) {
    registros.erase(registros.begin()); // the log begins with a record
  } else {
    ADD_FAILURE() << "the log does not begin with a record";
  }
  return registros;
}

class SatE2E {
public:
  SatE2E() {
    abre_ = lib_.Funcao<Abre>("AbreSerialSAT");
    consultar_ = lib_.Funcao<Consulta>("ConsultarSAT");
    status_ = lib_.Funcao<Status>("ConsultarStatusOperacional");
    numero_ = lib_.Funcao<Numero>("ConsultarNumeroSessao");
    codigo_ = lib_.Funcao<FnCodigoErro>("CodigoErro");
    log_ = lib_.Funcao<FnArquivoLog>("ArquivoLog");
    getPorta_ = lib_.Funcao<Porta>("GetPortaSAT");
    setPorta_ = lib_.Funcao<Porta>("SetPortaSAT");
    mapa_ = lib_.Funcao<Mapa>("GetMapaPortasSAT");
  }
  bool SelecaoPronta() const { return Pronta() && getPorta_ && setPorta_ && mapa_; }
  // The port selection exports; "<null>" stands for a null result.
  std::string GetPortaSAT(const char *numeroSerie, int32_t sessao, const char *codigo) {
    return TextoOuNulo(getPorta_(numeroSerie, sessao, codigo));
  }
  std::string SetPortaSAT(const char *numeroSerie, int32_t sessao, const char *codigo) {
    return TextoOuNulo(setPorta_(numeroSerie, sessao, codigo));
  }
  std::string GetMapaPortasSAT(const char *codigo) { return TextoOuNulo(mapa_(codigo)); }
  bool Pronta() const { return abre_ && consultar_ && status_ && numero_ && codigo_ && log_; }
  int32_t AbreSerialSAT(int32_t porta) { return abre_(porta, 0, 0, 0, 0); }
  std::string ConsultarSAT(int32_t sessao) { return consultar_(sessao); }
  std::string ConsultarStatusOperacional(int32_t sessao, const char *codigo) {
    return status_(sessao, codigo);
  }
  std::string ConsultarNumeroSessao(int32_t sessao, const char *codigo, int32_t numero) {
    return numero_(sessao, codigo, numero);
  }
  int32_t Codigo() { return LeRegistroErro(codigo_).first; }
  std::string Mensagem() { return LeRegistroErro(codigo_).second; }
  // Logs to a fresh file of this name (in the current directory) from now on.
  void Loga(const std::string &nome) {
    std::remove(nome.c_str());
    log_(nome.c_str());
    nomeLog_ = nome;
  }
  std::string Log() {
    std::ifstream f(nomeLog_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // The log's records without their time stamps (RegistrosDoLog); a log that is missing or
  // empty is a failure of the calling test.
  std::vector<std::string> Registros() {
    const std::string log = Log();
    EXPECT_FALSE(log.empty()) << "no log in " << nomeLog_;
    return RegistrosDoLog(log);
  }

private:
  typedef int32_t(SAT_CALL *Abre)(int32_t, int32_t, int32_t, int32_t, int32_t);
  typedef char *(SAT_CALL *Consulta)(int32_t);
  typedef char *(SAT_CALL *Status)(int32_t, const char *);
  typedef char *(SAT_CALL *Numero)(int32_t, const char *, int32_t);
  typedef char *(SAT_CALL *Porta)(const char *, int32_t, const char *);
  typedef char *(SAT_CALL *Mapa)(const char *);
  static std::string TextoOuNulo(const char *p) { return p == nullptr ? "<null>" : p; }
  Biblioteca lib_;
  Abre abre_;
  Consulta consultar_;
  Status status_;
  Numero numero_;
  FnCodigoErro codigo_;
  FnArquivoLog log_;
  Porta getPorta_ = nullptr;
  Porta setPorta_ = nullptr;
  Mapa mapa_ = nullptr;
  std::string nomeLog_;
};

// The request frame for `payload` with sequence number `sequencia`, in lowercase hex as satemu
// records it.
inline std::string QuadroPedidoHex(uint8_t sequencia, const std::string &payload) {
  std::string q = {1, static_cast<char>(sequencia), 0, 0};
  for (int i = 0; i < 4; i++) {
    q += static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
  }
  q += payload;
  unsigned soma = 0;
  for (size_t i = 1; i < q.size(); i++) {
    soma += static_cast<unsigned char>(q[i]);
  }
  q += static_cast<char>(soma & 0xFF);
  static const char digitos[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : q) {
    hex += digitos[c >> 4];
    hex += digitos[c & 15];
  }
  return hex;
}

inline std::vector<std::string> QuadrosRecebidosPeloSat() {
  std::vector<std::string> quadros;
  const char *caminho = std::getenv("SAT_E2E_REGISTRO");
  if (caminho == nullptr) {
    ADD_FAILURE() << "SAT_E2E_REGISTRO is not set: run through tests/com_satemu.sh";
    return quadros;
  }
  std::ifstream arquivo(caminho);
  for (std::string linha; std::getline(arquivo, linha);) {
    while (!linha.empty() && (linha.back() == '\r' || linha.back() == ' ')) {
      linha.pop_back();
    }
    if (!linha.empty()) {
      quadros.push_back(linha);
    }
  }
  return quadros;
}

// A name no other test process running at the same time makes: rand() is never seeded, so it
// gives every process the same series.
inline std::string Unico() {
  static const unsigned semente = std::random_device{}();
  static unsigned contador = 0;
  return std::to_string(semente) + "-" + std::to_string(++contador);
}

inline std::string NomeUnico(const char *base) {
  return std::string(base) + "-" + Unico() + ".log";
}

// A fresh folder made the current directory while the object lives (sat.ini and relative log
// names are looked up there), removed afterwards.
class PastaTemporaria {
public:
  PastaTemporaria() {
    namespace fs = std::filesystem;
    anterior_ = fs::current_path();
    pasta_ = fs::temp_directory_path() / ("sate2e-pasta-" + Unico());
    fs::create_directories(pasta_);
    fs::current_path(pasta_);
  }
  ~PastaTemporaria() {
    std::error_code erro;
    std::filesystem::current_path(anterior_, erro);
    std::filesystem::remove_all(pasta_, erro);
  }
  PastaTemporaria(const PastaTemporaria &) = delete;
  PastaTemporaria &operator=(const PastaTemporaria &) = delete;

private:
  std::filesystem::path anterior_, pasta_;
};

#if !defined(_WIN32)
// A sysfs tree laid out as the kernel lays it out (class/tty links into devices/, the tty two
// levels below the USB interface, the USB device above that), named by SAT_SYSFS_ROOT while the
// object lives (then the root named before is named again). Each SAT is a tty named after its port
// (COM7), so that the port the library finds is the link SAT_DEV_DIR/COM7 that tests/com_satemu.sh
// makes.
class SysfsFalso {
public:
  struct Sat {
    std::string porta, numeroSerie;
  };
  explicit SysfsFalso(std::initializer_list<Sat> sats = {}) {
    char modelo[] = "/tmp/sate2e-sys-XXXXXX";
    raiz_ = mkdtemp(modelo);
    std::filesystem::create_directories(raiz_ / "class/tty");
    std::filesystem::create_directories(raiz_ / "bus/usb/devices");
    for (const Sat &sat : sats) {
      Acrescenta(sat);
    }
    const char *antes = std::getenv("SAT_SYSFS_ROOT");
    if (antes != nullptr) {
      anterior_ = antes;
    }
    tinhaAnterior_ = antes != nullptr;
    setenv("SAT_SYSFS_ROOT", raiz_.c_str(), 1);
  }
  ~SysfsFalso() {
    if (tinhaAnterior_) {
      setenv("SAT_SYSFS_ROOT", anterior_.c_str(), 1);
    } else {
      unsetenv("SAT_SYSFS_ROOT");
    }
    std::error_code erro;
    std::filesystem::remove_all(raiz_, erro);
  }
  SysfsFalso(const SysfsFalso &) = delete;
  SysfsFalso &operator=(const SysfsFalso &) = delete;

  // One more SAT on the bus, as the USB device 1-N (N counts the SATs).
  void Acrescenta(const Sat &sat) {
    namespace fs = std::filesystem;
    const std::string n = std::to_string(++usbs_);
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-" + n;
    const std::string interface = "1-" + n + ":1.0";
    fs::create_directories(raiz_ / usb / interface / "tty" / sat.porta);
    for (auto [nome, valor] : {std::pair<const char *, std::string>{"idVendor", "0525"},
                               {"idProduct", "a4a7"},
                               {"serial", sat.numeroSerie},
                               {"bcdDevice", "0100"}}) {
      std::ofstream(raiz_ / usb / nome) << valor << "\n";
    }
    fs::create_symlink("../../../" + interface,
                       raiz_ / usb / interface / "tty" / sat.porta / "device");
    fs::create_symlink("../../" + usb + "/" + interface + "/tty/" + sat.porta,
                       raiz_ / "class/tty" / sat.porta);
  }
  // Without class/tty the list of serial ports cannot be had.
  void TiraListaDePortas() { std::filesystem::remove_all(raiz_ / "class/tty"); }

private:
  std::filesystem::path raiz_;
  int usbs_ = 0;
  std::string anterior_;
  bool tinhaAnterior_ = false;
};

// What the library writes to standard output while `f` runs.
template <typename F> inline std::string SaidaPadraoDe(F f) {
  char modelo[] = "/tmp/sate2e-out-XXXXXX";
  const int arquivo = mkstemp(modelo);
  std::fflush(stdout);
  const int copia = dup(1);
  dup2(arquivo, 1);
  f();
  std::fflush(stdout);
  dup2(copia, 1);
  close(copia);
  std::string texto(4096, '\0');
  texto.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(arquivo, &texto[0], 4096, 0))));
  close(arquivo);
  unlink(modelo);
  return texto;
}
#endif
