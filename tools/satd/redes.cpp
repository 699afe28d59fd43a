#include "redes.h"

#include <algorithm>

#include <arpa/inet.h>

namespace satd {

namespace {

// An IPv4 address in an IPv6 socket's form (::ffff:a.b.c.d), as a dual-stack listener sees
// IPv4 clients.
bool Mapeado(const std::array<uint8_t, 16> &bytes) {
  for (int i = 0; i < 10; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return bytes[10] == 0xFF && bytes[11] == 0xFF;
}

// A literal address into `bytes` (IPv4 in the first 4). False for names and anything else
// inet_pton refuses.
bool Endereco(const std::string &texto, bool &v6, std::array<uint8_t, 16> &bytes) {
  bytes.fill(0);
  v6 = texto.find(':') != std::string::npos;
  if (inet_pton(v6 ? AF_INET6 : AF_INET, texto.c_str(), bytes.data()) != 1) {
    return false;
  }
  if (v6 && Mapeado(bytes)) {
    v6 = false;
    std::copy(bytes.begin() + 12, bytes.end(), bytes.begin());
    std::fill(bytes.begin() + 4, bytes.end(), 0);
  }
  return true;
}

// Digits only, no sign and no leading zero, so "/024" or "/+8" read as the typos they are.
bool Prefixo(const std::string &texto, int maximo, int &prefixo) {
  if (texto.empty() || texto.size() > 3 || (texto.size() > 1 && texto[0] == '0') ||
      texto.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  prefixo = std::stoi(texto);
  return prefixo <= maximo;
}

// The bit `i` of the address, counted from the most significant.
bool Bit(const std::array<uint8_t, 16> &bytes, int i) { return (bytes[i / 8] >> (7 - i % 8)) & 1; }

std::string Texto(bool v6, const std::array<uint8_t, 16> &bytes) {
  char texto[INET6_ADDRSTRLEN] = {};
  inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), texto, sizeof texto);
  return texto;
}

} // namespace

bool Redes::Le(const std::vector<std::string> &entradas, std::string &erro) {
  std::vector<Rede> redes;
  for (const std::string &entrada : entradas) {
    const size_t barra = entrada.find('/');
    Rede rede;
    const int bits = entrada.find(':') == std::string::npos ? 32 : 128;
    rede.prefixo = bits;
    if (!Endereco(entrada.substr(0, barra), rede.v6, rede.bytes) ||
        (barra != std::string::npos && !Prefixo(entrada.substr(barra + 1), bits, rede.prefixo))) {
      erro = "\"" + entrada + "\" não é um endereço IP nem uma rede, como 192.168.0.7, " +
             "192.168.0.0/24 ou fd00::/8";
      return false;
    }
    if (bits == 128 && !rede.v6) {
      // Written as ::ffff:a.b.c.d/N: the IPv4 network it names; below /96 it would take in
      // IPv6 addresses as well.
      if (rede.prefixo < 96) {
        erro = "\"" + entrada + "\" mistura endereços IPv4 mapeados com outros endereços " +
               "IPv6: escreva a rede IPv4";
        return false;
      }
      rede.prefixo -= 96;
    }
    // The admin meant either the host or the network; guessing which would let in the wrong
    // clients.
    Rede limpa = rede;
    for (int i = rede.prefixo; i < (rede.v6 ? 128 : 32); ++i) {
      limpa.bytes[i / 8] &= static_cast<uint8_t>(~(0x80 >> (i % 8)));
    }
    if (limpa.bytes != rede.bytes) {
      erro = "\"" + entrada + "\" tem bits ligados além do prefixo: escreva o endereço " +
             entrada.substr(0, barra) + " ou a rede " + Texto(rede.v6, limpa.bytes) + "/" +
             std::to_string(rede.prefixo);
      return false;
    }
    redes.push_back(rede);
  }
  redes_ = std::move(redes);
  return true;
}

bool Redes::Contem(const std::string &endereco) const {
  // A link-local client comes with its interface ("fe80::1%eth0"), which says nothing of
  // the network.
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
  const size_t zona =
      endereco.find(':') == std::string::npos ? std::string::npos : endereco.find('%');
  if (!Endereco(endereco.substr(0, zona), v6, bytes)) {
    return false;
  }
  for (const Rede &rede : redes_) {
    if (rede.v6 != v6) {
      continue;
    }
    int i = 0;
    while (i < rede.prefixo && Bit(rede.bytes, i) == Bit(bytes, i)) {
      ++i;
    }
    if (i == rede.prefixo) {
      return true;
    }
  }
  return false;
}

} // namespace satd
