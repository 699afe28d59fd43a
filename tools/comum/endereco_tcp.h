// A printer's raw port as the tools write it, tcp://HOST[:PORTA], read the same way on every
// system (comum/impressora.h).
#pragma once

#include <string>

namespace comum {

// HOST and PORTA of tcp://HOST[:PORTA] (9100 when PORTA is not given; HOST a name, an IPv4
// address or [IPv6]): false when `destino` is not of that form.
bool EnderecoTcp(const std::string &destino, std::string &host, std::string &porta);

// Why a destination that begins with tcp: is not such an address, or an empty text.
std::string ConfereTcp(const std::string &destino);

} // namespace comum
