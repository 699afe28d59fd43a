#include "link/pacote.h"

#include <cstdio>
#include <cstring>

#include "platform/plataforma.h"

namespace {

// Byte `posicao` of the received frame, or 0 when it has not arrived.
uint8_t ByteRecebido(size_t posicao, size_t recebidos) {
  return posicao < recebidos ? BufferRecepcao[posicao] : 0;
}

uint32_t Le32Recebido(size_t posicao, size_t recebidos) {
  uint32_t valor = 0;
  for (size_t i = 0; i < 4; i++) {
    valor |= static_cast<uint32_t>(ByteRecebido(posicao + i, recebidos)) << (8 * i);
  }
  return valor;
}

void Escreve32(unsigned char *destino, uint32_t valor) {
  for (size_t i = 0; i < 4; i++) {
    destino[i] = static_cast<unsigned char>(valor >> (8 * i));
  }
}

uint8_t Soma(const unsigned char *inicio, size_t tamanho, uint32_t soma) {
  for (size_t i = 0; i < tamanho; i++) {
    soma += inicio[i];
  }
  return static_cast<uint8_t>(soma);
}

int32_t InterpretaDados(Pacote *pacote, size_t recebidos) {
  pacote->Sequencia = ByteRecebido(1, recebidos);
  pacote->Byte2Resposta = ByteRecebido(2, recebidos);
  pacote->Byte3Resposta = ByteRecebido(3, recebidos);
  pacote->Byte4Resposta = ByteRecebido(4, recebidos);
  pacote->ValorResposta = Le32Recebido(5, recebidos);
  pacote->TamanhoResposta = TamanhoAnunciado(recebidos);

  if (pacote->TamanhoResposta > TAMANHO_DADOS_RESPOSTA) {
    char mensagem[96];
    std::snprintf(mensagem, sizeof mensagem,
                  "BUG: Pacote excesivamente grande ser\xE1 truncado: %d bytes",
                  static_cast<int32_t>(pacote->TamanhoResposta));
    Plataforma->SaidaPadrao(mensagem);
    pacote->TamanhoResposta = TAMANHO_DADOS_RESPOSTA;
  }

  // Only the payload bytes that actually arrived are copied and summed.
  const size_t disponiveis =
      recebidos > TAMANHO_CABECALHO_RESPOSTA ? recebidos - TAMANHO_CABECALHO_RESPOSTA : 0;
  const size_t copiados =
      pacote->TamanhoResposta < disponiveis ? pacote->TamanhoResposta : disponiveis;
  std::memcpy(pacote->DadosResposta, BufferRecepcao + TAMANHO_CABECALHO_RESPOSTA, copiados);
  pacote->SomaResposta =
      ByteRecebido(TAMANHO_CABECALHO_RESPOSTA + pacote->TamanhoResposta, recebidos);

  uint32_t soma = 0;
  for (size_t i = 1; i < TAMANHO_CABECALHO_RESPOSTA; i++) {
    soma += ByteRecebido(i, recebidos);
  }
  return Soma(pacote->DadosResposta, copiados, soma) == pacote->SomaResposta ? PACOTE_DADOS
                                                                             : PACOTE_SOMA_INVALIDA;
}

} // namespace

int32_t MontaPacote(const Pacote *pacote) {
  const size_t n = pacote->TamanhoEnvio;
  if (n > MAXIMO_DADOS_ENVIO) {
    return -1;
  }
  BufferPacote[0] = CONTROLE_SOH;
  BufferPacote[1] = pacote->Sequencia;
  BufferPacote[2] = pacote->Byte2Envio;
  BufferPacote[3] = pacote->Byte3Envio;
  Escreve32(BufferPacote + 4, pacote->TamanhoEnvio);
  if (n > 0) {
    std::memcpy(BufferPacote + TAMANHO_CABECALHO_ENVIO, pacote->DadosEnvio, n);
  }
  BufferPacote[TAMANHO_CABECALHO_ENVIO + n] =
      Soma(BufferPacote + 1, TAMANHO_CABECALHO_ENVIO - 1 + n, 0);
  return static_cast<int32_t>(n + TAMANHO_CABECALHO_ENVIO + 1);
}

size_t TamanhoControle(uint8_t codigo) {
  switch (codigo) {
  case CONTROLE_ACK:
    return 1;
  case CONTROLE_DC1:
  case CONTROLE_NAK:
    return 6;
  case CONTROLE_SYN:
    return 2;
  default:
    return 0;
  }
}

uint32_t TamanhoAnunciado(size_t recebidos) { return Le32Recebido(9, recebidos); }

uint32_t TamanhoAnunciadoEm(const unsigned char *quadro) {
  return static_cast<uint32_t>(quadro[9]) | static_cast<uint32_t>(quadro[10]) << 8 |
         static_cast<uint32_t>(quadro[11]) << 16 | static_cast<uint32_t>(quadro[12]) << 24;
}

bool SomaConfere(const unsigned char *quadro, uint32_t tamanho) {
  return Soma(quadro + 1, TAMANHO_CABECALHO_RESPOSTA - 1 + tamanho, 0) ==
         quadro[TAMANHO_CABECALHO_RESPOSTA + tamanho];
}

int32_t InterpretaPacote(Pacote *pacote, size_t recebidos) {
  if (recebidos > TAMANHO_BUFFER_RECEPCAO) {
    recebidos = TAMANHO_BUFFER_RECEPCAO;
  }
  pacote->CodigoControle = ByteRecebido(0, recebidos);
  switch (pacote->CodigoControle) {
  case CONTROLE_SOH:
    return InterpretaDados(pacote, recebidos);
  case CONTROLE_ACK:
    return CONTROLE_ACK;
  case CONTROLE_DC1:
  case CONTROLE_NAK:
    pacote->Byte4Resposta = ByteRecebido(1, recebidos);
    pacote->ValorResposta = Le32Recebido(2, recebidos);
    return pacote->CodigoControle;
  case CONTROLE_SYN:
    pacote->Sequencia = ByteRecebido(1, recebidos);
    return CONTROLE_SYN;
  default: {
    char mensagem[64];
    std::snprintf(mensagem, sizeof mensagem, "Codigo Controle n\xE3o reconhecido %d",
                  pacote->CodigoControle);
    Plataforma->SaidaPadrao(mensagem);
    return PACOTE_DESCONHECIDO;
  }
  }
}
