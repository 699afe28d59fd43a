#include "credenciais.h"

#include <cctype>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace satd {

namespace {

std::array<unsigned char, 32> Resumo(const std::string &texto) {
  std::array<unsigned char, 32> resumo{};
  unsigned int tamanho = 0;
  EVP_Digest(texto.data(), texto.size(), resumo.data(), &tamanho, EVP_sha256(), nullptr);
  return resumo;
}

} // namespace

Credenciais::Credenciais(const std::string &usuario, const std::string &senha)
    : exigidas_(!usuario.empty()) {
  const std::string par = usuario + ":" + senha;
  std::vector<unsigned char> token(4 * ((par.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(token.data(), reinterpret_cast<const unsigned char *>(par.data()),
                                static_cast<int>(par.size()));
  esperado_ = Resumo(std::string(reinterpret_cast<const char *>(token.data()), n));
}

bool Credenciais::Conferem(const std::string &autorizacao) const {
  if (!exigidas_) {
    return true;
  }
  size_t i = 0;
  const char esquema[] = "basic";
  for (; i < 5 && i < autorizacao.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(autorizacao[i])) != esquema[i]) {
      return false;
    }
  }
  if (i < 5 || autorizacao.size() < 6 || autorizacao[5] != ' ') {
    return false;
  }
  const size_t inicio = autorizacao.find_first_not_of(' ', 5);
  const size_t fim = autorizacao.find_last_not_of(' ');
  if (inicio == std::string::npos) {
    return false;
  }
  const auto recebido = Resumo(autorizacao.substr(inicio, fim + 1 - inicio));
  return CRYPTO_memcmp(recebido.data(), esperado_.data(), esperado_.size()) == 0;
}

} // namespace satd
