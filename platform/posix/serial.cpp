// The serial port over termios. The handle is the file descriptor.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/interno.h"

namespace {

constexpr int ESPERA_LEITURA_MS = 100;
constexpr long LIMITE_ESCRITA_MS = 500; // plus 1 ms per byte, as the Windows write limit

int Descritor(HandleSerial porta) { return static_cast<int>(porta); }

int64_t Milissegundos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A pseudo-terminal has no modem lines; its driver answers these ioctls with ENOTTY or EINVAL.
// Raising DTR and RTS there is no failure of the line settings (SetCommState succeeds on it
// under wine too); reading the modem status is, as GetCommModemStatus reports it.
bool SemLinhasModem(int erro) { return erro == ENOTTY || erro == EINVAL; }

void Espera(int64_t ms) {
  if (ms > 0) {
    poll(nullptr, 0, static_cast<int>(ms));
  }
}

} // namespace

HandleSerial PosixAbreSerial(const char *caminho) {
  int fd = open(caminho, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    PosixFalha("open");
    return HANDLE_INVALIDO;
  }
  // 0 is "no handle", and 1 and 2 are the process's own output: keep the port above them.
  if (fd <= 2) {
    const int acima = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (acima < 0) {
      PosixFalha("fcntl(F_DUPFD_CLOEXEC)");
      close(fd);
      return HANDLE_INVALIDO;
    }
    close(fd);
    fd = acima;
  }
  // Exclusive use, as a Windows port opened without sharing.
  if (ioctl(fd, TIOCEXCL) != 0) {
    PosixFalha("ioctl(TIOCEXCL)");
    close(fd);
    return HANDLE_INVALIDO;
  }
  return fd;
}

int PosixConfiguraLinha(HandleSerial porta) {
  const int fd = Descritor(porta);
  struct termios t;
  if (tcgetattr(fd, &t) != 0) {
    PosixFalha("tcgetattr");
    return 0;
  }
  const tcflag_t fluxoHardware = t.c_cflag & CRTSCTS; // flow control stays as it was
  cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD | fluxoHardware;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0) {
    PosixFalha("cfsetspeed");
    return 0;
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    PosixFalha("tcsetattr");
    return 0;
  }
  int linhas = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIS, &linhas) != 0 && !SemLinhasModem(errno)) {
    PosixFalha("ioctl(TIOCMBIS)");
    return 0;
  }
  return 1;
}

// Reads and writes keep their limits themselves (poll); here the port is only checked to be a
// terminal, as SetCommTimeouts fails on anything else.
int PosixConfiguraTempos(HandleSerial porta) {
  struct termios t;
  if (tcgetattr(Descritor(porta), &t) != 0) {
    PosixFalha("tcgetattr");
    return 0;
  }
  return 1;
}

int PosixDescartaEntrada(HandleSerial porta) {
  if (tcflush(Descritor(porta), TCIFLUSH) != 0) {
    PosixFalha("tcflush");
    return 0;
  }
  return 1;
}

// tcdrain could wait for ever on a line nobody reads; this waits for the output queue to
// empty within the write limit instead.
int PosixEsvaziaSaida(HandleSerial porta) {
  const int fd = Descritor(porta);
  int pendentes = 0;
  if (ioctl(fd, TIOCOUTQ, &pendentes) != 0) {
    PosixFalha("ioctl(TIOCOUTQ)");
    return 0;
  }
  const int64_t prazo = Milissegundos() + LIMITE_ESCRITA_MS + pendentes;
  while (pendentes > 0) {
    if (Milissegundos() >= prazo) {
      return 0;
    }
    Espera(1);
    if (ioctl(fd, TIOCOUTQ, &pendentes) != 0) {
      PosixFalha("ioctl(TIOCOUTQ)");
      return 0;
    }
  }
  return 1;
}

long PosixLeSerial(HandleSerial porta, unsigned char *destino, unsigned long maximo) {
  const int fd = Descritor(porta);
  const int64_t inicio = Milissegundos();
  struct pollfd p = {fd, POLLIN, 0};
  const int prontos = poll(&p, 1, ESPERA_LEITURA_MS);
  if (prontos < 0) {
    PosixFalha("poll");
    Espera(ESPERA_LEITURA_MS - (Milissegundos() - inicio));
    return -1;
  }
  if (prontos == 0 || maximo == 0) {
    return 0;
  }
  const ssize_t lidos = read(fd, destino, maximo);
  if (lidos >= 0 && !(lidos == 0 && (p.revents & POLLHUP) != 0)) {
    return static_cast<long>(lidos);
  }
  if (lidos < 0 && (errno == EAGAIN || errno == EINTR)) {
    return 0;
  }
  // The other end is gone (EIO, hang-up): fail, but no sooner than a quiet read would end,
  // so that a caller polling in a loop does not spin.
  if (lidos < 0) {
    PosixFalha("read");
  }
  Espera(ESPERA_LEITURA_MS - (Milissegundos() - inicio));
  return -1;
}

long PosixLeSerialPendente(HandleSerial porta, unsigned char *destino, unsigned long maximo) {
  struct pollfd p = {Descritor(porta), POLLIN, 0};
  const int prontos = poll(&p, 1, 0);
  if (prontos < 0) {
    PosixFalha("poll");
    return -1;
  }
  if (prontos == 0 || (p.revents & POLLIN) == 0 || maximo == 0) {
    return 0;
  }
  const ssize_t lidos = read(Descritor(porta), destino, maximo);
  if (lidos < 0 && (errno == EAGAIN || errno == EINTR)) {
    return 0;
  }
  if (lidos < 0) {
    PosixFalha("read");
    return -1;
  }
  return static_cast<long>(lidos);
}

int PosixEscreveSerial(HandleSerial porta, const unsigned char *dados, unsigned long tamanho) {
  const int fd = Descritor(porta);
  const int64_t prazo = Milissegundos() + LIMITE_ESCRITA_MS + static_cast<int64_t>(tamanho);
  unsigned long enviados = 0;
  while (enviados < tamanho) {
    const ssize_t n = write(fd, dados + enviados, tamanho - enviados);
    if (n > 0) {
      enviados += static_cast<unsigned long>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      PosixFalha("write");
      return 0;
    }
    const int64_t resta = prazo - Milissegundos();
    if (resta <= 0) {
      return 0;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    const int prontos = poll(&p, 1, static_cast<int>(resta));
    if (prontos == 0) {
      return 0; // the limit passed with bytes still to go
    }
    if (prontos < 0 && errno != EINTR) {
      PosixFalha("poll");
      return 0;
    }
  }
  return 1;
}

int PosixEstadoModem(HandleSerial porta, uint32_t *bits) {
  int linhas = 0;
  // A pseudo-terminal has no modem lines and says so (ENOTTY, EINVAL): that is a failure, as
  // GetCommModemStatus reports it on Windows, so both builds log the same records.
  if (ioctl(Descritor(porta), TIOCMGET, &linhas) != 0) {
    PosixFalha("ioctl(TIOCMGET)");
    return 0;
  }
  *bits = ((linhas & TIOCM_CTS) ? MODEM_CTS_ON : 0) | ((linhas & TIOCM_DSR) ? MODEM_DSR_ON : 0);
  return 1;
}

// The exclusive mode belongs to the tty, not to the descriptor: on a pseudo-terminal the tty
// outlives our close, and the lock with it, so the next open by anyone but root would fail with
// EBUSY. A Windows port is free again once its handle is closed; so is ours.
//
// Output still queued (a write that failed or stalled) is thrown away first: closing a USB
// serial tty would otherwise wait for it for the driver's closing time, 30 s by default.
int PosixFechaSerial(HandleSerial porta) {
  if (tcflush(Descritor(porta), TCOFLUSH) != 0) {
    PosixFalha("tcflush(TCOFLUSH)");
  }
  if (ioctl(Descritor(porta), TIOCNXCL) != 0) {
    PosixFalha("ioctl(TIOCNXCL)");
  }
  if (close(Descritor(porta)) != 0) {
    PosixFalha("close");
    return 0;
  }
  return 1;
}

// "/dev/", or the directory named by SAT_DEV_DIR with a '/' added when missing.
const char *PosixPrefixoDispositivo() {
  static char prefixo[4096];
  const char *diretorio = std::getenv("SAT_DEV_DIR");
  if (diretorio == nullptr || diretorio[0] == '\0') {
    return "/dev/";
  }
  size_t n = strnlen(diretorio, sizeof prefixo - 2);
  std::memcpy(prefixo, diretorio, n);
  if (prefixo[n - 1] != '/') {
    prefixo[n++] = '/';
  }
  prefixo[n] = '\0';
  return prefixo;
}

// SAT_DEV_DIR may name any folder the system can reach.
unsigned long PosixTamanhoCaminhoDispositivo() { return PATH_MAX; }
