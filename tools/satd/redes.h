// Client addresses matched against a list of addresses and networks ("192.168.0.0/24",
// "10.0.0.7", "fd00::/8").
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace satd {

class Redes {
public:
  // Reads the entries: a literal IPv4 or IPv6 address, with or without a prefix length. False,
  // with `erro` naming the entry, for anything else (names included).
  bool Le(const std::vector<std::string> &entradas, std::string &erro);
  // `endereco`: a literal address as a socket gives it; an IPv4-mapped IPv6 address
  // (::ffff:a.b.c.d) is its IPv4 address.
  bool Contem(const std::string &endereco) const;
  bool Vazia() const { return redes_.empty(); }

private:
  struct Rede {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};
    int prefixo = 0;
  };
  std::vector<Rede> redes_;
};

} // namespace satd
