// The printer on Windows: a port or a file through CreateFile, the raw TCP port through Winsock,
// a print queue through the spooler (winspool), each with the Linux version's messages.
// SIO_TCP_INFO and its TCP_INFO_v0 are declared for Windows 10 1703 and later: asked for at run
// time, and an older system's refusal is handled (Confirmado). Before any header.
#define NTDDI_VERSION 0x0A000003

#include "comum/impressora.h"

// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <winspool.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <climits>

#include "comum/endereco_tcp.h"

namespace comum {

namespace {

using Relogio = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kConexao{5};      // to connect to a printer's port, each of its addresses
constexpr seconds kEnvio{60};       // to hand over all the bytes, and (TCP) for them to be acked
constexpr seconds kFechamento{2};   // the printer's port, after it acked everything, to close
constexpr milliseconds kFatia{100}; // how often the end of a TCP send looks at what is acked
constexpr DWORD kBloco = 1 << 20;   // the most one WriteFile or WritePrinter is given

const char kPrefixoTcp[] = "tcp://";
const char kPrefixoFila[] = "fila:";
const char kPrefixoCups[] = "cups:"; // the Linux build's queues
const char kPrefixoDispositivo[] = "\\\\.\\";

bool Comeca(const std::string &texto, const char *prefixo) { return texto.rfind(prefixo, 0) == 0; }

DWORD RestaMs(Relogio::time_point prazo) {
  const auto resta = std::chrono::ceil<milliseconds>(prazo - Relogio::now()).count();
  return resta <= 0 ? 0 : resta >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(resta);
}

// Text in UTF-16 as UTF-8, satcli's own encoding.
std::string Utf8(const wchar_t *texto, int tamanho) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, texto, tamanho, nullptr, 0, nullptr, nullptr);
  std::string convertido(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, texto, tamanho, &convertido[0], bytes, nullptr, nullptr);
  }
  return convertido;
}

// The system's text for an error code (GetLastError, WSAGetLastError), in UTF-8, with the code.
std::string Causa(DWORD erro) {
  wchar_t *texto = nullptr;
  const DWORD tamanho = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, erro, 0, reinterpret_cast<wchar_t *>(&texto), 0, nullptr);
  std::string causa = tamanho > 0 ? Utf8(texto, static_cast<int>(tamanho)) : std::string();
  LocalFree(texto);
  while (!causa.empty() && (causa.back() == '\n' || causa.back() == '\r' || causa.back() == ' ' ||
                            causa.back() == '.')) {
    causa.pop_back();
  }
  const std::string codigo = "erro " + std::to_string(erro);
  return causa.empty() ? codigo : causa + " (" + codigo + ")";
}

// A port's name (COM3, lpt1, COM10 and the like, a colon after it allowed) as CreateFile
// reaches it, through \\.\ (as COM10 and above must be); any other destination as it is.
std::string CaminhoDoDispositivo(const std::string &destino) {
  std::string nome = destino;
  if (!nome.empty() && nome.back() == ':') {
    nome.pop_back();
  }
  std::string maiusculo = nome;
  std::transform(maiusculo.begin(), maiusculo.end(), maiusculo.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  const bool porta = maiusculo.size() > 3 && maiusculo.size() <= 6 &&
                     (Comeca(maiusculo, "COM") || Comeca(maiusculo, "LPT")) &&
                     maiusculo.find_first_not_of("0123456789", 3) == std::string::npos &&
                     maiusculo[3] != '0';
  return porta ? kPrefixoDispositivo + maiusculo : destino;
}

// A handle closed when it goes out of scope.
class Alca {
public:
  explicit Alca(HANDLE h) : h_(h) {}
  Alca(const Alca &) = delete;
  Alca &operator=(const Alca &) = delete;
  ~Alca() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) {
      CloseHandle(h_);
    }
  }
  HANDLE h() const { return h_; }
  // Closes it now: 0, or the error of a close that failed.
  DWORD Fecha() {
    const HANDLE h = h_;
    h_ = nullptr;
    return CloseHandle(h) ? 0 : GetLastError();
  }

private:
  HANDLE h_;
};

// All of `bytes` to `h` (opened for overlapped writes) by `prazo`: 0, WAIT_TIMEOUT, or the error.
// A file's writes go to its end; a device has no position.
DWORD EscreveTudo(HANDLE h, std::string_view bytes, Relogio::time_point prazo) {
  Alca evento(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (evento.h() == nullptr) {
    return GetLastError();
  }
  size_t feitos = 0;
  while (feitos < bytes.size()) {
    OVERLAPPED pedido{};
    pedido.Offset = pedido.OffsetHigh = 0xFFFFFFFF;
    pedido.hEvent = evento.h();
    const DWORD quantos = static_cast<DWORD>(std::min<size_t>(bytes.size() - feitos, kBloco));
    if (!WriteFile(h, bytes.data() + feitos, quantos, nullptr, &pedido) &&
        GetLastError() != ERROR_IO_PENDING) {
      return GetLastError();
    }
    DWORD escritos = 0;
    if (WaitForSingleObject(evento.h(), RestaMs(prazo)) != WAIT_OBJECT_0) {
      // Given up: the write is taken back before its buffer and OVERLAPPED go away.
      CancelIo(h);
      GetOverlappedResult(h, &pedido, &escritos, TRUE);
      return WAIT_TIMEOUT;
    }
    if (!GetOverlappedResult(h, &pedido, &escritos, FALSE)) {
      return GetLastError();
    }
    if (escritos == 0) {
      return ERROR_WRITE_FAULT;
    }
    feitos += escritos;
  }
  return 0;
}

// A port or a file. A port (\\.\...) is never created: a printer that is not plugged in must not
// turn into a file.
bool EnviaAoArquivo(const std::string &destino, std::string_view bytes, std::string &erro) {
  const std::string caminho = CaminhoDoDispositivo(destino);
  const bool dispositivo = Comeca(caminho, kPrefixoDispositivo);
  Alca arquivo(CreateFileA(caminho.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, dispositivo ? OPEN_EXISTING : OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
  if (arquivo.h() == INVALID_HANDLE_VALUE) {
    erro = "não foi possível abrir a impressora " + destino + ": " + Causa(GetLastError());
    return false;
  }
  // A serial port's own write time-outs, left by another program, would cut the bytes short:
  // the deadline below is the only one.
  COMMTIMEOUTS tempos{};
  if (GetCommTimeouts(arquivo.h(), &tempos)) {
    tempos.WriteTotalTimeoutMultiplier = 0;
    tempos.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(arquivo.h(), &tempos);
  }
  DWORD falha = EscreveTudo(arquivo.h(), bytes, Relogio::now() + kEnvio);
  if (falha == WAIT_TIMEOUT) {
    erro = "a impressora " + destino + " não recebeu os dados em " +
           std::to_string(kEnvio.count()) + " s (desligada? sem papel?)";
    return false;
  }
  if (falha == 0 && GetFileType(arquivo.h()) == FILE_TYPE_DISK && !FlushFileBuffers(arquivo.h())) {
    falha = GetLastError();
  }
  if (falha == 0) {
    falha = arquivo.Fecha();
  }
  if (falha != 0) {
    erro = "não foi possível escrever na impressora " + destino + ": " + Causa(falha);
    return false;
  }
  return true;
}

// A socket closed when it goes out of scope.
class Soquete {
public:
  explicit Soquete(SOCKET s) : s_(s) {}
  Soquete(const Soquete &) = delete;
  Soquete &operator=(const Soquete &) = delete;
  ~Soquete() {
    if (s_ != INVALID_SOCKET) {
      closesocket(s_);
    }
  }
  SOCKET s() const { return s_; }
  SOCKET Solta() {
    const SOCKET s = s_;
    s_ = INVALID_SOCKET;
    return s;
  }

private:
  SOCKET s_;
};

// Waits until `s` can be written to (`escrita`) or read from, by `prazo`: 0, WSAETIMEDOUT, or
// the error. A connect that failed shows in the exception set.
int Espera(SOCKET s, bool escrita, Relogio::time_point prazo) {
  const DWORD resta = RestaMs(prazo);
  if (resta == 0) {
    return WSAETIMEDOUT;
  }
  fd_set prontos, excecoes;
  FD_ZERO(&prontos);
  FD_ZERO(&excecoes);
  FD_SET(s, &prontos);
  FD_SET(s, &excecoes);
  timeval espera{static_cast<long>(resta / 1000), static_cast<long>(resta % 1000 * 1000)};
  const int r =
      select(0, escrita ? nullptr : &prontos, escrita ? &prontos : nullptr, &excecoes, &espera);
  return r < 0 ? WSAGetLastError() : r == 0 ? WSAETIMEDOUT : 0;
}

// A non-blocking socket connected to `endereco` within kConexao, or INVALID_SOCKET with `falha`
// set to the error.
SOCKET Conecta(const addrinfo &endereco, int &falha) {
  Soquete s(socket(endereco.ai_family, endereco.ai_socktype, endereco.ai_protocol));
  u_long semBloqueio = 1;
  if (s.s() == INVALID_SOCKET || ioctlsocket(s.s(), FIONBIO, &semBloqueio) != 0) {
    falha = WSAGetLastError();
    return INVALID_SOCKET;
  }
  if (connect(s.s(), endereco.ai_addr, static_cast<int>(endereco.ai_addrlen)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      falha = WSAGetLastError();
      return INVALID_SOCKET;
    }
    falha = Espera(s.s(), true, Relogio::now() + kConexao);
    if (falha == 0) {
      int erro = 0;
      int tamanho = sizeof erro;
      falha =
          getsockopt(s.s(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&erro), &tamanho) != 0
              ? WSAGetLastError()
              : erro;
    }
    if (falha != 0) {
      return INVALID_SOCKET;
    }
  }
  falha = 0;
  return s.Solta();
}

// All of `bytes` to the non-blocking `s` by `prazo`: 0, or the error.
int EnviaTudo(SOCKET s, std::string_view bytes, Relogio::time_point prazo) {
  size_t feitos = 0;
  while (feitos < bytes.size()) {
    const int quantos = static_cast<int>(std::min<size_t>(bytes.size() - feitos, kBloco));
    const int n = send(s, bytes.data() + feitos, quantos, 0);
    if (n > 0) {
      feitos += static_cast<size_t>(n);
    } else if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
      const int espera = Espera(s, true, prazo);
      if (espera != 0) {
        return espera;
      }
    } else {
      return n == 0 ? WSAECONNRESET : WSAGetLastError();
    }
  }
  return 0;
}

// Whether the printer acked all of the `enviados` bytes: 1 yes, 0 not yet, -1 where the system
// cannot tell (SIO_TCP_INFO came with Windows 10), and then only the printer's close confirms them.
int Confirmado(SOCKET s, size_t enviados) {
  DWORD versao = 0;
  TCP_INFO_v0 info{};
  DWORD tamanho = 0;
  if (WSAIoctl(s, SIO_TCP_INFO, &versao, sizeof versao, &info, sizeof info, &tamanho, nullptr,
               nullptr) != 0 ||
      tamanho < sizeof info) {
    return -1;
  }
  return info.BytesInFlight == 0 && info.BytesOut >= enviados ? 1 : 0;
}

// The end of a raw-port job: no more bytes from here, and everything sent acked by the printer;
// then a little while for it to close its side (most do once they have the job). Its own bytes
// (a status it volunteers) are read and dropped. 0, or the error.
int Encerra(SOCKET s, size_t enviados, Relogio::time_point prazo) {
  if (shutdown(s, SD_SEND) != 0) {
    return WSAGetLastError();
  }
  Relogio::time_point fim = prazo;
  bool confirmado = false;
  for (;;) {
    if (!confirmado && Confirmado(s, enviados) == 1) {
      confirmado = true;
      fim = std::min(prazo, Relogio::now() + kFechamento);
    }
    if (Relogio::now() >= fim) {
      return confirmado ? 0 : WSAETIMEDOUT;
    }
    const int espera = Espera(s, false, std::min(fim, Relogio::now() + kFatia));
    if (espera == WSAETIMEDOUT) {
      continue;
    }
    if (espera != 0) {
      return espera;
    }
    char descarte[512];
    const int n = recv(s, descarte, sizeof descarte, 0);
    if (n == 0) {
      // The printer closed its side: whatever it had not acked is gone with it.
      return Confirmado(s, enviados) != 0 ? 0 : WSAECONNRESET;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
      return WSAGetLastError();
    }
  }
}

bool IniciaWinsock(std::string &erro) {
  static const int iniciado = [] {
    WSADATA dados;
    return WSAStartup(MAKEWORD(2, 2), &dados);
  }();
  if (iniciado != 0) {
    erro = "não foi possível iniciar o Winsock: " + Causa(static_cast<DWORD>(iniciado));
  }
  return iniciado == 0;
}

bool EnviaPorTcp(const std::string &destino, std::string_view bytes, std::string &erro) {
  std::string host, porta;
  if (!EnderecoTcp(destino, host, porta)) {
    erro = destino + " não é um endereço tcp://HOST[:PORTA]";
    return false;
  }
  if (!IniciaWinsock(erro)) {
    return false;
  }
  addrinfo pedido{};
  pedido.ai_family = AF_UNSPEC;
  pedido.ai_socktype = SOCK_STREAM;
  pedido.ai_protocol = IPPROTO_TCP;
  pedido.ai_flags = AI_NUMERICSERV;
  addrinfo *enderecos = nullptr;
  const int resolvido = getaddrinfo(host.c_str(), porta.c_str(), &pedido, &enderecos);
  if (resolvido != 0) {
    erro = "não foi possível encontrar o endereço de " + host + " (" + destino +
           "): " + Causa(static_cast<DWORD>(resolvido));
    return false;
  }
  SOCKET s = INVALID_SOCKET;
  int falha = WSAEHOSTUNREACH;
  for (const addrinfo *e = enderecos; e != nullptr && s == INVALID_SOCKET; e = e->ai_next) {
    s = Conecta(*e, falha);
  }
  freeaddrinfo(enderecos);
  if (s == INVALID_SOCKET) {
    erro = falha == WSAETIMEDOUT ? "a impressora " + destino + " não atendeu em " +
                                       std::to_string(kConexao.count()) + " s"
                                 : "não foi possível conectar à impressora " + destino + ": " +
                                       Causa(static_cast<DWORD>(falha));
    return false;
  }
  Soquete soquete(s);
  const Relogio::time_point prazo = Relogio::now() + kEnvio;
  falha = EnviaTudo(s, bytes, prazo);
  if (falha == 0) {
    falha = Encerra(s, bytes.size(), prazo);
  }
  if (falha == 0 && closesocket(soquete.Solta()) != 0) {
    falha = WSAGetLastError();
  }
  if (falha == WSAETIMEDOUT) {
    erro = "a impressora " + destino + " não recebeu os dados em " +
           std::to_string(kEnvio.count()) + " s";
  } else if (falha == WSAECONNRESET || falha == WSAECONNABORTED || falha == WSAESHUTDOWN) {
    erro = "a impressora " + destino + " encerrou a conexão antes de receber tudo";
  } else if (falha != 0) {
    erro =
        "não foi possível enviar à impressora " + destino + ": " + Causa(static_cast<DWORD>(falha));
  }
  return falha == 0;
}

// A name in the ANSI code page (a command line's) in UTF-16.
std::wstring Largo(const std::string &texto) {
  const int tamanho = static_cast<int>(texto.size());
  const int largos = MultiByteToWideChar(CP_ACP, 0, texto.data(), tamanho, nullptr, 0);
  std::wstring largo(static_cast<size_t>(largos > 0 ? largos : 0), L'\0');
  if (largos > 0) {
    MultiByteToWideChar(CP_ACP, 0, texto.data(), tamanho, &largo[0], largos);
  }
  return largo;
}

// A raw job on the queue: the bytes go to the printer as they are (datatype RAW), past its
// driver.
bool EnviaAFila(const std::string &destino, std::string_view bytes, std::string &erro) {
  std::wstring fila = Largo(destino.substr(sizeof kPrefixoFila - 1));
  HANDLE impressora = nullptr;
  if (!OpenPrinterW(&fila[0], &impressora, nullptr)) {
    const DWORD causa = GetLastError();
    erro = causa == ERROR_INVALID_PRINTER_NAME
               ? "a fila " + destino + " não existe neste Windows (as filas são as impressoras " +
                     "de Configurações > Impressoras)"
               : "não foi possível abrir a fila " + destino + ": " + Causa(causa);
    return false;
  }
  wchar_t nome[] = L"extrato";
  wchar_t tipo[] = L"RAW";
  DOC_INFO_1W documento{nome, nullptr, tipo};
  const DWORD trabalho = StartDocPrinterW(impressora, 1, reinterpret_cast<BYTE *>(&documento));
  if (trabalho == 0) {
    erro = "a fila " + destino + " não aceitou o trabalho: " + Causa(GetLastError());
    ClosePrinter(impressora);
    return false;
  }
  const char *falha = nullptr;
  if (!StartPagePrinter(impressora)) {
    falha = "não foi possível começar o documento";
  }
  for (size_t feitos = 0; falha == nullptr && feitos < bytes.size();) {
    DWORD escritos = 0;
    const DWORD quantos = static_cast<DWORD>(std::min<size_t>(bytes.size() - feitos, kBloco));
    if (!WritePrinter(impressora, const_cast<char *>(bytes.data() + feitos), quantos, &escritos) ||
        escritos == 0) {
      falha = "não foi possível enviar os dados";
    }
    feitos += escritos;
  }
  if (falha == nullptr && !EndPagePrinter(impressora)) {
    falha = "não foi possível terminar a página";
  }
  if (falha == nullptr && !EndDocPrinter(impressora)) {
    falha = "o documento foi recusado";
  }
  if (falha == nullptr) {
    ClosePrinter(impressora);
    return true;
  }
  erro = "a fila " + destino + ", trabalho " + std::to_string(trabalho) + ": " + falha + ": " +
         Causa(GetLastError());
  if (!AbortPrinter(impressora)) {
    erro += " (e ele não pôde ser cancelado: " + Causa(GetLastError()) + ")";
  }
  ClosePrinter(impressora);
  return false;
}

} // namespace

std::string ConfereImpressora(const std::string &destino) {
  if (destino.empty()) {
    return "a impressora é um caminho (COM3, LPT1, um arquivo), tcp://HOST[:PORTA] ou fila:NOME";
  }
  if (Comeca(destino, "tcp:")) {
    return ConfereTcp(destino);
  }
  if (Comeca(destino, kPrefixoCups)) {
    return destino + ": cups:FILA é uma fila do CUPS, que o Windows não tem; use fila:NOME, " +
           "com o nome da impressora no Windows";
  }
  if (Comeca(destino, kPrefixoFila)) {
    // A printer's name: no control characters nor commas, at most MAX_PATH with its server's.
    const std::string fila = destino.substr(sizeof kPrefixoFila - 1);
    bool valida = !fila.empty() && fila.size() < MAX_PATH;
    for (const char c : fila) {
      valida = valida && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != ',';
    }
    return valida ? std::string() : destino + " não é o nome de uma fila de impressão do Windows";
  }
  return std::string();
}

bool EnviaParaImpressora(const std::string &destino, std::string_view bytes, std::string &erro) {
  erro = ConfereImpressora(destino);
  if (!erro.empty()) {
    return false;
  }
  if (Comeca(destino, kPrefixoTcp)) {
    return EnviaPorTcp(destino, bytes, erro);
  }
  if (Comeca(destino, kPrefixoFila)) {
    return EnviaAFila(destino, bytes, erro);
  }
  return EnviaAoArquivo(destino, bytes, erro);
}

} // namespace comum
