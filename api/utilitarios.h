// Session numbers, shared by GeraNumeroSessao and the port map's probes.
#pragma once

#include <cstdint>

// Draws a session number not among the last 100 issued and records it.
int32_t SorteiaNumeroSessao();
