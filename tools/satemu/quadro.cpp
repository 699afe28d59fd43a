#include "quadro.h"

namespace satemu {

namespace {

void AcrescentaLe32(std::string &destino, std::uint32_t valor) {
  for (int i = 0; i < 4; ++i)
    destino += static_cast<char>(valor >> (8 * i) & 0xFF);
}

std::uint32_t LeLe32(const char *p) {
  std::uint32_t valor = 0;
  for (int i = 3; i >= 0; --i)
    valor = valor << 8 | static_cast<unsigned char>(p[i]);
  return valor;
}

// Appends the sum of every byte after the first.
void Fecha(std::string &quadro) {
  quadro += static_cast<char>(SomaBytes(std::string_view(quadro).substr(1)));
}

} // namespace

std::uint8_t SomaBytes(std::string_view bytes) {
  unsigned soma = 0;
  for (const char c : bytes)
    soma += static_cast<unsigned char>(c);
  return static_cast<std::uint8_t>(soma & 0xFF);
}

std::string MontaRequisicao(std::uint8_t sequencia, std::string_view carga) {
  std::string quadro;
  quadro.reserve(carga.size() + 9);
  quadro += '\x01';
  quadro += static_cast<char>(sequencia);
  quadro.append(2, '\0');
  AcrescentaLe32(quadro, static_cast<std::uint32_t>(carga.size()));
  quadro.append(carga);
  Fecha(quadro);
  return quadro;
}

std::string MontaResposta(std::uint8_t sequencia, std::string_view carga) {
  std::string quadro;
  quadro.reserve(carga.size() + 14);
  quadro += '\x01';
  quadro += static_cast<char>(sequencia);
  quadro.append(7, '\0');
  AcrescentaLe32(quadro, static_cast<std::uint32_t>(carga.size()));
  quadro.append(carga);
  Fecha(quadro);
  return quadro;
}

std::string MontaControle(Controle tipo, std::uint8_t sequencia) {
  switch (tipo) {
  case Controle::Ack:
    return std::string(1, '\x06');
  case Controle::Dc1:
  case Controle::Nak: {
    std::string quadro(1, tipo == Controle::Dc1 ? '\x11' : '\x15');
    quadro += static_cast<char>(sequencia);
    AcrescentaLe32(quadro, 0);
    return quadro;
  }
  case Controle::Syn:
    break;
  }
  std::string quadro(1, '\x16');
  quadro += static_cast<char>(sequencia);
  return quadro;
}

void LeitorQuadros::Acrescenta(const char *dados, std::size_t tamanho) {
  // Keep the buffer from growing with consumed bytes: move the live part to the front once
  // most of it is behind us.
  if (inicio_ > 0 && inicio_ >= pendente_.size() / 2) {
    pendente_.erase(0, inicio_);
    inicio_ = 0;
  }
  pendente_.append(dados, tamanho);
}

void LeitorQuadros::Descarta(std::size_t quantos) {
  inicio_ += quantos;
  descartados_ += quantos;
  if (inicio_ == pendente_.size()) {
    pendente_.clear();
    inicio_ = 0;
  }
}

void LeitorQuadros::AbandonaParcial() {
  if (TemParcial())
    Descarta(1);
}

std::size_t LeitorQuadros::DescartaTudo() {
  const std::size_t quantos = pendente_.size() - inicio_;
  Descarta(quantos);
  return quantos;
}

bool LeitorQuadros::Proximo(Quadro &quadro) {
  for (;;) {
    const std::size_t inicioQuadro = pendente_.find('\x01', inicio_);
    if (inicioQuadro == std::string::npos) {
      Descarta(pendente_.size() - inicio_);
      return false;
    }
    Descarta(inicioQuadro - inicio_);
    const char *p = pendente_.data() + inicio_;
    const std::size_t disponiveis = pendente_.size() - inicio_;
    // Bytes 2 and 3 are zero in every request; checking them as soon as they are here lets a
    // stray 01 be passed over without waiting for a length that will never come.
    if ((disponiveis > 2 && p[2] != 0) || (disponiveis > 3 && p[3] != 0)) {
      Descarta(1);
      continue;
    }
    if (disponiveis < 8)
      return false;
    const std::uint32_t tamanho = LeLe32(p + 4);
    if (tamanho > kCargaMaxima) {
      Descarta(1);
      continue;
    }
    const std::size_t total = 9 + static_cast<std::size_t>(tamanho);
    if (disponiveis < total)
      return false;
    quadro.sequencia = static_cast<std::uint8_t>(p[1]);
    quadro.bruto.assign(p, total);
    quadro.carga.assign(p + 8, tamanho);
    quadro.somaConfere =
        SomaBytes(std::string_view(p + 1, total - 2)) == static_cast<std::uint8_t>(p[total - 1]);
    inicio_ += total;
    if (inicio_ == pendente_.size()) {
      pendente_.clear();
      inicio_ = 0;
    }
    return true;
  }
}

} // namespace satemu
