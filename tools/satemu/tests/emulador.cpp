#include "emulador.h"

#include "apoio.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace teste {

using Relogio = std::chrono::steady_clock;

bool Porta::Abre(const std::string &caminho) {
  Fecha();
  fd_ = open(caminho.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0)
    return false;
  termios modo{};
  tcgetattr(fd_, &modo);
  cfmakeraw(&modo);
  tcsetattr(fd_, TCSANOW, &modo);
  ioctl(fd_, TIOCEXCL);
  return true;
}

bool Porta::Exclusiva() const {
  int exclusiva = 0;
  return ioctl(fd_, TIOCGEXCL, &exclusiva) == 0 && exclusiva != 0;
}

void Porta::Fecha() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
}

bool Porta::Escreve(std::string_view bytes) {
  // A device that stops reading must fail the test, not hang it.
  const auto fim = Relogio::now() + std::chrono::seconds(20);
  while (!bytes.empty()) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, MsRestantes(fim)) <= 0)
        return false;
    } else {
      return false;
    }
  }
  return true;
}

bool Porta::Le(std::size_t quantos, std::string &bytes, int limiteMs) {
  bytes.clear();
  const auto fim = Relogio::now() + std::chrono::milliseconds(limiteMs);
  char bloco[65536];
  while (bytes.size() < quantos) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, MsRestantes(fim)) <= 0)
      return false;
    const ssize_t n = read(fd_, bloco, std::min(sizeof bloco, quantos - bytes.size()));
    if (n > 0)
      bytes.append(bloco, static_cast<std::size_t>(n));
    else if (n < 0 && errno != EAGAIN)
      return false;
  }
  return true;
}

bool Porta::LeQuadro(std::string &quadro, int limiteMs) {
  std::string resto;
  if (!Le(13, quadro, limiteMs) || quadro[0] != '\x01')
    return false;
  if (!Le(Le32(quadro, 9) + 1u, resto, limiteMs))
    return false;
  quadro += resto;
  return true;
}

} // namespace teste
