#include "support/armazenamento.h"

#include <cstdlib>
#include <cstring>

unsigned char *BufferRecepcao = nullptr;
unsigned char *BufferLeitura = nullptr;
unsigned char *BufferComando = nullptr;
unsigned char *BufferCopiaComando = nullptr;
unsigned char *BufferPacote = nullptr;

char BufferResposta[TAMANHO_BUFFER_RESPOSTA];
RegistroErroLib RegistroErro;
size_t RespostaUsada = TAMANHO_RESPOSTA_LIMPA;

char NomePorta[TAMANHO_NOME_PORTA];
char CaminhoPorta[TAMANHO_CAMINHO_PORTA];
int32_t PortaAberta;
HandleSerial HandlePorta;

uint8_t ContadorSequencia;
char MapaPortas[TAMANHO_MAPA_PORTAS];
char CaminhoLog[TAMANHO_CAMINHO_LOG];
void *ModuloZlib;

char BufferVenda[TAMANHO_BUFFER_VENDA];
unsigned char BufferCompactado[TAMANHO_BUFFER_COMPACTADO];
char BufferDescompactado[TAMANHO_BUFFER_DESCOMPACTADO];
unsigned char ParametrosVenda[TAMANHO_PARAMETROS_VENDA];
char MensagemVenda[TAMANHO_MENSAGEM_VENDA];
unsigned char BufferDecodificado[TAMANHO_BUFFER_DECODIFICADO];

int32_t UltimasSessoes[QUANTIDADE_ULTIMAS_SESSOES];
int32_t IndiceSessoes;

void *SecaoCritica;

namespace {

struct BufferTransacao {
  unsigned char **endereco;
  size_t tamanho;
};

// Allocation order at load.
constexpr BufferTransacao kBuffers[] = {
    {&BufferRecepcao, TAMANHO_BUFFER_RECEPCAO}, {&BufferLeitura, TAMANHO_BUFFER_LEITURA},
    {&BufferComando, TAMANHO_BUFFER_COMANDO},   {&BufferCopiaComando, TAMANHO_BUFFER_COPIA_COMANDO},
    {&BufferPacote, TAMANHO_BUFFER_PACOTE},
};

// Release order at unload.
unsigned char **const kOrdemLiberacao[] = {&BufferLeitura, &BufferRecepcao, &BufferPacote,
                                           &BufferCopiaComando, &BufferComando};

} // namespace

bool BuffersAlocados() {
  for (const BufferTransacao &b : kBuffers) {
    if (*b.endereco == nullptr) {
      return false;
    }
  }
  return true;
}

void AlocaBuffersTransacao(void *(*aloca)(size_t)) {
  for (const BufferTransacao &b : kBuffers) {
    *b.endereco = static_cast<unsigned char *>(aloca(b.tamanho));
    if (*b.endereco == nullptr) {
      // All or nothing: a half-allocated set would let some path use a missing buffer.
      LiberaBuffersTransacao();
      return;
    }
  }
}

void LiberaBuffersTransacao() {
  for (unsigned char **endereco : kOrdemLiberacao) {
    if (*endereco != nullptr) {
      std::free(*endereco);
      *endereco = nullptr;
    }
  }
}

void DefineRegistroErro(int32_t codigo, const char *mensagem) {
  RegistroErro.codigo = codigo;
  std::memset(RegistroErro.mensagem, 0, sizeof RegistroErro.mensagem);
  if (mensagem != nullptr) {
    size_t n = strnlen(mensagem, sizeof RegistroErro.mensagem - 1);
    std::memcpy(RegistroErro.mensagem, mensagem, n);
  }
}

void MarcaResposta(const char *resposta, size_t bytes) {
  if (resposta == BufferResposta && bytes > RespostaUsada) {
    RespostaUsada = bytes < TAMANHO_RESPOSTA_LIMPA ? bytes : TAMANHO_RESPOSTA_LIMPA;
  }
}

void LimpaResposta() {
  std::memset(BufferResposta, 0, RespostaUsada);
  RespostaUsada = 0;
}
