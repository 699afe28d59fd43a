#include "comum/endereco_tcp.h"

namespace comum {

namespace {

const char kPrefixoTcp[] = "tcp://";

} // namespace

bool EnderecoTcp(const std::string &destino, std::string &host, std::string &porta) {
  if (destino.rfind(kPrefixoTcp, 0) != 0) {
    return false;
  }
  const std::string resto = destino.substr(sizeof kPrefixoTcp - 1);
  size_t fimHost;
  if (!resto.empty() && resto[0] == '[') {
    fimHost = resto.find(']');
    if (fimHost == std::string::npos) {
      return false;
    }
    host = resto.substr(1, fimHost - 1);
    ++fimHost;
  } else {
    fimHost = resto.find(':');
    host = resto.substr(0, fimHost);
    fimHost = fimHost == std::string::npos ? resto.size() : fimHost;
  }
  if (fimHost == resto.size()) {
    porta = "9100";
  } else if (resto[fimHost] == ':') {
    porta = resto.substr(fimHost + 1);
  } else {
    return false;
  }
  const bool numero = !porta.empty() && porta.size() <= 5 &&
                      porta.find_first_not_of("0123456789") == std::string::npos &&
                      std::stoi(porta) >= 1 && std::stoi(porta) <= 65535;
  return numero && !host.empty() && host.find_first_of("/[]@ \t\r\n") == std::string::npos;
}

std::string ConfereTcp(const std::string &destino) {
  std::string host, porta;
  return EnderecoTcp(destino, host, porta)
             ? std::string()
             : destino + " não é um endereço tcp://HOST[:PORTA] (IPv6 entre colchetes)";
}

} // namespace comum
