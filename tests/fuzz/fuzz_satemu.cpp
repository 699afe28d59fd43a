// satemu's side of the line over any bytes a host may send: its frame reader and Atende, the
// command handling (sales and cancellations read as XML, the CF-e built and written back). The
// first byte chooses the device (fresh, or activated and ready to sell) and how the rest is
// given:
//   0  a request payload handed to Atende as it is
//   1  a byte stream cut into frames by LeitorQuadros, in reads of up to 64 bytes; every
//      frame whose sum is right goes to Atende
//   2  a sale document, compressed into an EnviarDadosVenda request as a POS sends it
// Every reply must echo the session field first, as a host reads it (a stored reply, its own).
#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <string_view>

#include "codifica.h"
#include "dispositivo.h"
#include "quadro.h"

namespace {

// Sessions answered so far in this input: ConsultarNumeroSessao and ConsultarUltimaSessaoFiscal
// hand back the stored reply of one of them.
std::set<std::string> gSessoes;

void AtendeEVerifica(satemu::Sat &sat, std::string_view carga) {
  const satemu::Atendimento a = satemu::Atende(sat, carga);
  const std::string sessao(carga.substr(0, carga.find('|')));
  const std::string eco = a.resposta.substr(0, a.resposta.find('|'));
  const bool guardada =
      (a.palavra == "ConsultarNumeroSessao" || a.palavra == "ConsultarUltimaSessaoFiscal") &&
      gSessoes.count(eco) > 0;
  if (a.resposta.empty() || (eco != sessao && eco != "000000" && !guardada)) {
    __builtin_trap();
  }
  gSessoes.insert(sessao);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  if (tamanho == 0) {
    return 0;
  }
  gSessoes.clear();
  satemu::Sat sat;
  sat.relogio = [] { return static_cast<std::time_t>(1512655389); };
  sat.sorteio.seed(1);
  if (dados[0] & 0x80) {
    satemu::DeixaPronto(sat, "11222333000181", 35, "22233344000183",
                        "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD");
  }
  const std::string_view resto(reinterpret_cast<const char *>(dados + 1), tamanho - 1);
  switch ((dados[0] & 0x7F) % 3) {
  case 0:
    AtendeEVerifica(sat, resto);
    break;
  case 1: {
    satemu::LeitorQuadros leitor;
    satemu::Quadro quadro;
    for (size_t i = 0; i < resto.size(); i += 64) {
      const std::string_view leitura = resto.substr(i, 64);
      leitor.Acrescenta(leitura.data(), leitura.size());
      while (leitor.Proximo(quadro)) {
        if (quadro.bruto.size() != quadro.carga.size() + 9) {
          __builtin_trap();
        }
        if (quadro.somaConfere) {
          AtendeEVerifica(sat, quadro.carga);
        }
      }
    }
    break;
  }
  default: {
    std::string comprimida;
    if (!satemu::Comprime(resto, comprimida)) {
      __builtin_trap();
    }
    std::string carga = "000001|EnviarDadosVenda|12345678|";
    for (int i = 0; i < 4; i++) {
      carga += static_cast<char>(comprimida.size() >> (8 * i) & 0xFF);
    }
    AtendeEVerifica(sat, carga + comprimida);
    break;
  }
  }
  return 0;
}
