// What the sale's module offers the other commands.
#pragma once

#include <cstddef>

// A stored reply that a query brought back (`recebidos` payload bytes in BufferResposta): a
// sale's (06000) comes back as the sale itself gave it, its compressed tail expanded into text,
// and the CF-e of a sale or a cancellation (07000) is left for Base64ToAscii, so that a POS that
// lost a sale's reply recovers all of it. Any other reply is left as it is.
void RecuperaRespostaGuardada(size_t recebidos);
