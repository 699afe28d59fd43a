// The termios port over a pseudo-terminal: the test holds the master side, the library opens
// the slave side as it would open /dev/ttyACM0.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/interno.h"
#include "tests/unit/enlace_auxiliar.h"

namespace {

class SerialPosixTest : public ::testing::Test {
protected:
  void SetUp() override {
    mestre_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(mestre_, 0);
    ASSERT_EQ(grantpt(mestre_), 0);
    ASSERT_EQ(unlockpt(mestre_), 0);
    escravo_ = ptsname(mestre_);
    porta_ = PosixAbreSerial(escravo_.c_str());
    ASSERT_GT(porta_, 2);
    ASSERT_EQ(PosixConfiguraLinha(porta_), 1); // a pty has no modem lines: not a failure
    ASSERT_EQ(PosixConfiguraTempos(porta_), 1);
  }
  void TearDown() override {
    if (porta_ > 0) {
      PosixFechaSerial(porta_);
    }
    if (mestre_ >= 0) {
      close(mestre_);
    }
  }
  // Waits until the bytes the master wrote are readable at the slave (the pty passes them on
  // asynchronously); returns false after 5 s.
  bool EsperaEntrada() {
    struct pollfd p = {static_cast<int>(porta_), POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
  }
  std::string Le(unsigned long maximo) {
    std::string s(maximo, '\0');
    long n = PosixLeSerial(porta_, reinterpret_cast<unsigned char *>(&s[0]), maximo);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
  }
  int mestre_ = -1;
  std::string escravo_;
  HandleSerial porta_ = HANDLE_NENHUM;
};

const std::string BINARIO = Bytes({0, 1, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF});

TEST_F(SerialPosixTest, RawLineAt115200) {
  struct termios t;
  ASSERT_EQ(tcgetattr(static_cast<int>(porta_), &t), 0);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_NE(fcntl(static_cast<int>(porta_), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(SerialPosixTest, BytesPassUnchangedBothWays) {
  ASSERT_EQ(write(mestre_, BINARIO.data(), BINARIO.size()), static_cast<ssize_t>(BINARIO.size()));
  ASSERT_TRUE(EsperaEntrada());
  EXPECT_EQ(Le(4), BINARIO.substr(0, 4)); // at most the maximum, the rest stays
  EXPECT_EQ(Le(1024), BINARIO.substr(4));
  EXPECT_EQ(Le(1024), ""); // nothing there: 0 after the read's wait

  ASSERT_EQ(PosixEscreveSerial(porta_, reinterpret_cast<const unsigned char *>(BINARIO.data()),
                               BINARIO.size()),
            1);
  EXPECT_EQ(PosixEsvaziaSaida(porta_), 1);
  std::string recebido(64, '\0');
  ASSERT_EQ(read(mestre_, &recebido[0], recebido.size()), static_cast<ssize_t>(BINARIO.size()));
  EXPECT_EQ(recebido.substr(0, BINARIO.size()), BINARIO);

  // A pseudo-terminal has no modem lines: the request fails, as GetCommModemStatus does on it.
  uint32_t bits = 0xFFFF;
  EXPECT_EQ(PosixEstadoModem(porta_, &bits), 0);
  EXPECT_EQ(bits, 0xFFFFu);
}

// TIOCEXCL stays on a pseudo-terminal's tty after the descriptor is closed; anyone but root
// would then be refused the port (EBUSY) until the emulator or bridge restarts.
TEST_F(SerialPosixTest, ClosingReleasesTheExclusiveUse) {
  int exclusivo = 0;
  ASSERT_EQ(ioctl(static_cast<int>(porta_), TIOCGEXCL, &exclusivo), 0);
  EXPECT_NE(exclusivo, 0);
  EXPECT_EQ(PosixFechaSerial(porta_), 1);
  porta_ = HANDLE_NENHUM;
  const int outro = open(escravo_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(outro, 0) << "errno " << errno;
  ASSERT_EQ(ioctl(outro, TIOCGEXCL, &exclusivo), 0);
  EXPECT_EQ(exclusivo, 0);
  close(outro);
}

TEST_F(SerialPosixTest, PurgeDiscardsPendingInput) {
  ASSERT_EQ(write(mestre_, "velho", 5), 5);
  ASSERT_TRUE(EsperaEntrada());
  EXPECT_EQ(PosixDescartaEntrada(porta_), 1);
  EXPECT_EQ(Le(1024), "");
}

// Nobody reads the master and the line's buffer is full: a write gives up after its limit
// (500 ms + 1 ms per byte) instead of blocking.
TEST_F(SerialPosixTest, AWriteNobodyTakesFailsWithinItsLimit) {
  const std::string bloco(4096, 'w');
  const int fd = static_cast<int>(porta_);
  struct pollfd p = {fd, POLLOUT, 0};
  do { // the pty moves bytes on behind our back: full means not writable for a while
    while (write(fd, bloco.data(), bloco.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
  } while (poll(&p, 1, 200) != 0);
  EXPECT_EQ(PosixEscreveSerial(porta_, reinterpret_cast<const unsigned char *>("abc"), 3), 0);
  EXPECT_EQ(PosixEsvaziaSaida(porta_), 1); // a pty keeps no output queue: nothing to wait for
}

// Output the line has not taken is thrown away at close, not left for the driver to wait on (a
// USB serial tty waits up to 30 s for it). The pty shows it from the other side: what was queued
// beyond the master's own read buffer never arrives.
TEST_F(SerialPosixTest, ClosingDiscardsOutputNotYetSent) {
  const std::string bloco(4096, 'w');
  const int fd = static_cast<int>(porta_);
  size_t escritos = 0;
  struct pollfd p = {fd, POLLOUT, 0};
  do {
    ssize_t n;
    while ((n = write(fd, bloco.data(), bloco.size())) > 0) {
      escritos += static_cast<size_t>(n);
    }
    ASSERT_EQ(errno, EAGAIN);
  } while (poll(&p, 1, 200) != 0);
  EXPECT_EQ(PosixFechaSerial(porta_), 1);
  porta_ = HANDLE_NENHUM;
  ASSERT_EQ(fcntl(mestre_, F_SETFL, O_NONBLOCK), 0);
  std::string lido(escritos, '\0');
  size_t recebidos = 0;
  ssize_t n;
  while ((n = read(mestre_, &lido[recebidos], lido.size() - recebidos)) > 0) {
    recebidos += static_cast<size_t>(n);
  }
  EXPECT_GT(escritos, 8192u);
  EXPECT_LT(recebidos, escritos) << "the queued output was still delivered";
}

TEST_F(SerialPosixTest, AVanishedDeviceMakesReadsFail) {
  close(mestre_);
  mestre_ = -1;
  EXPECT_EQ(Le(16), "");
  unsigned char b;
  EXPECT_EQ(PosixLeSerial(porta_, &b, 1), -1);
}

TEST_F(SerialPosixTest, OpeningRefusesWhatIsNoTerminalAndKeepsClearOfStandardStreams) {
  EXPECT_EQ(PosixAbreSerial("/nonexistent/ttyACM0"), HANDLE_INVALIDO);
  EXPECT_EQ(PosixAbreSerial("/etc/hostname"), HANDLE_INVALIDO);

  const int copia = dup(0);
  close(0);
  const HandleSerial outra = PosixAbreSerial(escravo_.c_str());
  dup2(copia, 0);
  close(copia);
  EXPECT_GT(outra, 2);
  PosixFechaSerial(outra);
}

TEST(PrefixoPosixTest, DeviceDirectoryFromTheEnvironment) {
  const struct {
    const char *valor;
    std::string prefixo;
  } casos[] = {
      {nullptr, "/dev/"}, {"", "/dev/"}, {"/tmp/sat", "/tmp/sat/"}, {"/tmp/sat/", "/tmp/sat/"}};
  for (const auto &c : casos) {
    if (c.valor == nullptr) {
      unsetenv("SAT_DEV_DIR");
    } else {
      setenv("SAT_DEV_DIR", c.valor, 1);
    }
    EXPECT_EQ(std::string(PosixPrefixoDispositivo()), c.prefixo);
  }
  unsetenv("SAT_DEV_DIR");
  // Not the Windows path's 64 bytes: any folder the system can reach.
  EXPECT_EQ(PosixTamanhoCaminhoDispositivo(), static_cast<unsigned long>(PATH_MAX));
}

} // namespace
