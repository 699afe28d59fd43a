#include "servidor.h"

#include "apoio.h"

#include <gtest/gtest.h>

namespace {

using satemu::Envio;
using satemu::Falhas;

std::string Junta(const std::vector<Envio> &envios) {
  std::string bytes;
  for (const Envio &e : envios)
    bytes += e.bytes;
  return bytes;
}

// The reply "abc" to sequence 5, and what each fault makes of it on the line.
TEST(PlanoDeEnvio, FalhasSobreUmQuadro) {
  const std::string quadro = satemu::MontaResposta(5, "abc");
  const std::string hex = teste::ParaHex(quadro); // ...03000000 616263 2e
  const struct {
    const char *nome;
    Falhas falhas;
    std::string bytes;
  } casos[] = {
      {"sem falha", Falhas{}, hex},
      {"soma errada",
       [] {
         Falhas f;
         f.somaErrada = true;
         return f;
       }(),
       hex.substr(0, hex.size() - 2) + "d1"},
      {"anuncia mais",
       [] {
         Falhas f;
         f.anunciaMais = 0x100;
         return f;
       }(),
       "01050000000000000003010000"
       "6162632e"},
      {"nak",
       [] {
         Falhas f;
         f.controle = satemu::Controle::Nak;
         return f;
       }(),
       "150500000000"},
      {"lixo antes",
       [] {
         Falhas f;
         f.lixoAntes = std::string("\x00\x01", 2);
         return f;
       }(),
       "0001" + hex},
      {"mudo",
       [] {
         Falhas f;
         f.mudo = true;
         return f;
       }(),
       ""},
  };
  for (const auto &caso : casos)
    EXPECT_EQ(teste::ParaHex(Junta(satemu::PlanejaEnvio(quadro, 5, caso.falhas))), caso.bytes)
        << caso.nome;
}

TEST(PlanoDeEnvio, PartesEPausas) {
  const std::string quadro = satemu::MontaResposta(1, "0123456789"); // 24 bytes
  Falhas falhas;
  falhas.atrasoMs = 300;
  falhas.partes = 5;
  falhas.pausaMs = 20;
  const auto envios = satemu::PlanejaEnvio(quadro, 1, falhas);
  ASSERT_EQ(envios.size(), 5u);
  EXPECT_EQ(Junta(envios), quadro);
  const std::size_t tamanhos[] = {5, 5, 5, 5, 4};
  for (std::size_t i = 0; i < envios.size(); ++i) {
    EXPECT_EQ(envios[i].bytes.size(), tamanhos[i]);
    EXPECT_EQ(envios[i].pausaAntesMs, i == 0 ? 300 : 20);
  }
  // More pieces than bytes: one byte each.
  falhas.partes = 100;
  EXPECT_EQ(satemu::PlanejaEnvio(quadro, 1, falhas).size(), quadro.size());
}

} // namespace
