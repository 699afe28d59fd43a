// HTTP Basic credentials, checked in constant time.
#pragma once

#include <array>
#include <string>

namespace satd {

class Credenciais {
public:
  // No user: every request passes.
  Credenciais(const std::string &usuario, const std::string &senha);

  bool Exigidas() const { return exigidas_; }
  // The Authorization header's value ("Basic <base64 of user:password>"; the scheme in any
  // case). The time taken does not depend on how much of it matches.
  bool Conferem(const std::string &autorizacao) const;

private:
  bool exigidas_;
  std::array<unsigned char, 32> esperado_{}; // SHA-256 of the expected base64 token
};

} // namespace satd
