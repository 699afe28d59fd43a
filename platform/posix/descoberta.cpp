// Discovery from sysfs: every tty of <root>/class/tty, presented with the identifiers Windows
// gives a USB serial port, so that the matching above the seam is the same on both systems.
// The root is /sys, or the directory named by SAT_SYSFS_ROOT.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/interno.h"

namespace {

typedef char Caminho[PATH_MAX];

const char *RaizSysfs() {
  const char *raiz = std::getenv("SAT_SYSFS_ROOT");
  return raiz != nullptr && raiz[0] != '\0' ? raiz : "/sys";
}

// Formats a path; false when it does not fit.
bool MontaCaminho(Caminho destino, const char *formato, ...) __attribute__((format(printf, 2, 3)));
bool MontaCaminho(Caminho destino, const char *formato, ...) {
  va_list args;
  va_start(args, formato);
  const int n = std::vsnprintf(destino, sizeof(Caminho), formato, args);
  va_end(args);
  return n >= 0 && static_cast<size_t>(n) < sizeof(Caminho);
}

bool Existe(const char *diretorio, const char *nome) {
  Caminho c;
  struct stat s;
  return MontaCaminho(c, "%s/%s", diretorio, nome) && stat(c, &s) == 0;
}

size_t Digitos(const char *s) {
  size_t n = 0;
  while (std::isdigit(static_cast<unsigned char>(s[n]))) {
    n++;
  }
  return n;
}

// Natural order: runs of digits compare by value, so ttyACM2 comes before ttyACM10.
int ComparaNatural(const char *a, const char *b) {
  while (*a != '\0' && *b != '\0') {
    const size_t da = Digitos(a), db = Digitos(b);
    if (da > 0 && db > 0) {
      size_t za = 0, zb = 0;
      while (za + 1 < da && a[za] == '0')
        za++;
      while (zb + 1 < db && b[zb] == '0')
        zb++;
      if (da - za != db - zb) {
        return da - za < db - zb ? -1 : 1;
      }
      const int c = std::strncmp(a + za, b + zb, da - za);
      if (c != 0) {
        return c;
      }
      a += da;
      b += db;
      continue;
    }
    if (*a != *b) {
      return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
    }
    a++;
    b++;
  }
  return *a == *b ? 0 : (*a == '\0' ? -1 : 1);
}

int OrdemNatural(const struct dirent **a, const struct dirent **b) {
  return ComparaNatural((*a)->d_name, (*b)->d_name);
}

int NaoPonto(const struct dirent *e) { return e->d_name[0] != '.'; }

// The first line of a small attribute file, without its line end; false when unreadable.
bool LeAtributo(const char *diretorio, const char *nome, char *valor, size_t tamanho) {
  Caminho c;
  if (!MontaCaminho(c, "%s/%s", diretorio, nome)) {
    return false;
  }
  FILE *f = std::fopen(c, "rb");
  if (f == nullptr) {
    return false;
  }
  const size_t n = std::fread(valor, 1, tamanho - 1, f);
  std::fclose(f);
  valor[n] = '\0';
  valor[std::strcspn(valor, "\r\n")] = '\0';
  return true;
}

bool LeHexa(const char *diretorio, const char *nome, unsigned *valor) {
  char texto[16];
  if (!LeAtributo(diretorio, nome, texto, sizeof texto) || texto[0] == '\0') {
    return false;
  }
  char *fim = nullptr;
  const unsigned long v = std::strtoul(texto, &fim, 16);
  if (fim == texto || v > 0xFFFF) {
    return false;
  }
  *valor = static_cast<unsigned>(v);
  return true;
}

// From a tty's device (a USB interface) up to the USB device: the first ancestor, below the
// sysfs root, with both idVendor and idProduct. `caminho` is cut down to it in place.
bool SobeAteUSB(char *caminho, const char *raiz) {
  const size_t tamanhoRaiz = std::strlen(raiz);
  while (std::strlen(caminho) > tamanhoRaiz && std::strncmp(caminho, raiz, tamanhoRaiz) == 0) {
    if (Existe(caminho, "idVendor") && Existe(caminho, "idProduct")) {
      return true;
    }
    *std::strrchr(caminho, '/') = '\0';
  }
  return false;
}

struct DescricaoTty {
  char idInstancia[512];
  char idHardware[64];
  int idsHardwareLidos;
};

// False when the tty has vanished or has no device behind it (virtual terminals).
bool DescreveTty(const char *raiz, const char *raizReal, const char *nome, DescricaoTty *d) {
  Caminho link, usb;
  if (!MontaCaminho(link, "%s/class/tty/%s/device", raiz, nome) || realpath(link, usb) == nullptr) {
    return false;
  }
  unsigned fabricante = 0, produto = 0, revisao = 0;
  if (!SobeAteUSB(usb, raizReal) || !LeHexa(usb, "idVendor", &fabricante) ||
      !LeHexa(usb, "idProduct", &produto)) {
    std::snprintf(d->idInstancia, sizeof d->idInstancia, "TTY\\%s", nome);
    d->idsHardwareLidos = 0;
    return true;
  }
  char serie[256];
  if (!LeAtributo(usb, "serial", serie, sizeof serie) || serie[0] == '\0') {
    std::snprintf(serie, sizeof serie, "%s", std::strrchr(usb, '/') + 1);
  }
  std::snprintf(d->idInstancia, sizeof d->idInstancia, "USB\\VID_%04X&PID_%04X\\%s", fabricante,
                produto, serie);
  d->idsHardwareLidos = LeHexa(usb, "bcdDevice", &revisao) ? 1 : 0;
  std::snprintf(d->idHardware, sizeof d->idHardware, "USB\\VID_%04X&PID_%04X&REV_%04X", fabricante,
                produto, revisao);
  return true;
}

} // namespace

// The list of USB devices itself, as SetupDiGetClassDevsA("USB") gives it on Windows; the tty
// class says nothing about it.
int PosixVerificaUSB() {
  Caminho c;
  DIR *d = MontaCaminho(c, "%s/bus/usb/devices", RaizSysfs()) ? opendir(c) : nullptr;
  if (d == nullptr) {
    PosixFalha("opendir(bus/usb/devices)");
    return 0;
  }
  closedir(d);
  return 1;
}

int PosixListaPortas(PassoDispositivo passo, void *contexto) {
  const char *raiz = RaizSysfs();
  Caminho classe, raizReal;
  struct dirent **nomes = nullptr;
  const int quantos = MontaCaminho(classe, "%s/class/tty", raiz)
                          ? scandir(classe, &nomes, NaoPonto, OrdemNatural)
                          : -1;
  if (quantos < 0) {
    PosixFalha("scandir(class/tty)");
    return -1;
  }
  if (realpath(raiz, raizReal) == nullptr) {
    std::snprintf(raizReal, sizeof raizReal, "%s", raiz);
  }
  bool segue = true;
  for (int i = 0; i < quantos; i++) {
    DescricaoTty d;
    if (segue && DescreveTty(raiz, raizReal, nomes[i]->d_name, &d)) {
      const DispositivoPorta dispositivo{
          d.idInstancia, 1, nomes[i]->d_name, d.idsHardwareLidos, d.idHardware, REGISTRO_MULTI_SZ};
      segue = passo(&dispositivo, contexto) != 0;
    }
    std::free(nomes[i]);
  }
  std::free(nomes);
  return 0;
}
