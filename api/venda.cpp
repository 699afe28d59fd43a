// The sale and its cancellation. The sale travels compressed behind a 32-bit length; its reply
// carries its later fields as a compressed block, expanded back into text here. Both leave the
// CF-e that the device returns, decoded, for Base64ToAscii.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "api/argumentos.h"
#include "api/resposta.h"
#include "api/venda.h"
#include "link/transacao.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "support/base64.h"
#include "support/compressao.h"
#include "support/log.h"

namespace {

constexpr int32_t LIMITE_VENDA = 16000;
constexpr int32_t LIMITE_CANCELAMENTO = 10000;

// The areas the reply's fields 2, 3 and 4 are read into, in bytes.
constexpr size_t AREAS_VENDA[] = {28, 100, TAMANHO_MENSAGEM_VENDA};
constexpr size_t AREAS_CANCELAMENTO[] = {380, 300, 2097152};

constexpr size_t MAXIMO_RESPOSTA = TAMANHO_RESPOSTA_LIMPA - 1; // characters, terminator apart
constexpr size_t MAXIMO_VENDA = TAMANHO_BUFFER_VENDA - 1;
constexpr std::string_view FIM_CFE = "</CFe>";
constexpr int BARRAS_ANTES_DO_BLOCO = 6;
constexpr size_t TAMANHO_COMPRIMENTO = 4;

// "Codigo: <field 2>.\n<field 4>", whatever the exchange left in the record's code, but for a
// request the library refused before sending: its record already says why.
void CodigoEMensagem(const size_t (&areas)[3]) {
  if (RegistroErro.codigo == ERRO_RECUSADO) {
    return;
  }
  CampoResposta campos[3];
  LeCamposResposta(BufferResposta, areas, campos, 3);
  DefineMensagemCodigo(campos[0], campos[2]);
}

// Copies the sale text into BufferVenda: up to and including its first "</CFe>", or whole when
// it has none. The caller's text is only read. Returns the length, or -1 when it does not fit.
long CopiaVenda(const char *dados) {
  const size_t disponivel = strnlen(dados, TAMANHO_BUFFER_VENDA);
  const size_t fim = std::string_view(dados, disponivel).find(FIM_CFE);
  const size_t tamanho = fim != std::string_view::npos ? fim + FIM_CFE.size() : disponivel;
  if (tamanho > MAXIMO_VENDA) {
    return -1;
  }
  std::memcpy(BufferVenda, dados, tamanho);
  BufferVenda[tamanho] = '\0';
  return static_cast<long>(tamanho);
}

uint32_t LeComprimento(const char *p) {
  const auto *b = reinterpret_cast<const unsigned char *>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Puts the expanded block of the sale's reply in place of the binary tail that follows the
// sixth '|', and decodes the CF-e. `recebidos` is the payload length the device sent.
void ExpandeResposta(size_t recebidos) {
  char *resposta = BufferResposta;
  const char *apos = AposBarras(resposta, BARRAS_ANTES_DO_BLOCO);
  if (apos == nullptr) {
    return;
  }
  const size_t inicio = static_cast<size_t>(apos - resposta);
  const bool comComprimento = recebidos >= inicio && recebidos - inicio >= TAMANHO_COMPRIMENTO;
  const uint32_t comprimento = comComprimento ? LeComprimento(apos) : 0;
  if (comComprimento && comprimento == 0) {
    return; // four zero bytes: the text already ends with the sixth '|'
  }
  // From here the tail is binary: the text ends with the sixth '|', whatever follows.
  resposta[inicio] = '\0';
  if (!comComprimento || comprimento > recebidos - inicio - TAMANHO_COMPRIMENTO) {
    GravaLogFormatado("Bloco compactado da resposta excede os %u bytes recebidos; "
                      "nada foi expandido\r\n",
                      static_cast<unsigned>(recebidos));
    return;
  }
  const int32_t expandidos =
      Descompacta(reinterpret_cast<const unsigned char *>(apos + TAMANHO_COMPRIMENTO), comprimento);
  if (expandidos < 0) {
    GravaLog(expandidos == ZLIB_FALHOU
                 ? "Bloco compactado da resposta inv\xE1lido; nada foi expandido\r\n"
                 : "Biblioteca de compacta\xE7\xE3o indispon\xEDvel; nada foi expandido\r\n");
    return;
  }
  const size_t texto = strnlen(BufferDescompactado, static_cast<size_t>(expandidos));
  const size_t cabe = MAXIMO_RESPOSTA - inicio;
  const size_t copiados = texto < cabe ? texto : cabe;
  std::memcpy(resposta + inicio, BufferDescompactado, copiados);
  resposta[inicio + copiados] = '\0';
  MarcaResposta(resposta, inicio + copiados + 1);
  DecodificaBase64(BufferDescompactado, texto);
}

// Builds the sale's parameter block: the activation code, '|', the compressed length (4 bytes,
// least significant first) and the compressed bytes. Returns its size, 0 when it does not fit.
size_t MontaParametrosVenda(const char *codigoDeAtivacao, size_t comprimidos) {
  const size_t m = strnlen(codigoDeAtivacao, TAMANHO_PARAMETROS_VENDA);
  if (m + 1 + TAMANHO_COMPRIMENTO + comprimidos > TAMANHO_PARAMETROS_VENDA) {
    return 0;
  }
  unsigned char *p = ParametrosVenda;
  std::memcpy(p, codigoDeAtivacao, m);
  p[m] = '|';
  for (size_t i = 0; i < TAMANHO_COMPRIMENTO; i++) {
    p[m + 1 + i] = static_cast<unsigned char>(comprimidos >> (8 * i));
  }
  std::memcpy(p + m + 1 + TAMANHO_COMPRIMENTO, BufferCompactado, comprimidos);
  return m + 1 + TAMANHO_COMPRIMENTO + comprimidos;
}

char *RecusaVenda(int32_t numeroSessao, const char *mensagem) {
  RecusaComando(BufferResposta, numeroSessao, mensagem);
  return BufferResposta;
}

// The CF-e of a cancellation reply: field 7 alone; the fields after it are not part of it.
void DecodificaCancelamento() {
  const char *documento = AposBarras(BufferResposta, BARRAS_ANTES_DO_BLOCO);
  if (documento != nullptr) {
    DecodificaBase64(documento, std::strcspn(documento, "|"));
  }
}

} // namespace

extern "C" SAT_API char *SAT_CALL EnviarDadosVenda(int32_t numeroSessao,
                                                   const char *codigoDeAtivacao,
                                                   const char *dadosVenda) {
  LimpaDecodificado();
  if (ArgumentoNulo(numeroSessao,
                    {{codigoDeAtivacao, "codigoDeAtivacao"}, {dadosVenda, "dadosVenda"}})) {
    return BufferResposta;
  }
  const long tamanhoVenda = CopiaVenda(dadosVenda);
  if (tamanhoVenda < 0) {
    char mensagem[128];
    std::snprintf(mensagem, sizeof mensagem, "Dados da venda excedem %u bytes",
                  static_cast<unsigned>(MAXIMO_VENDA));
    return RecusaVenda(numeroSessao, mensagem);
  }
  GravaLog(BufferVenda);
  const int32_t comprimidos = Compacta(static_cast<size_t>(tamanhoVenda));
  if (comprimidos == ZLIB_INDISPONIVEL) {
    return RecusaVenda(
        numeroSessao,
        "Biblioteca de compacta\xE7\xE3o (zlib) indispon\xEDvel; venda n\xE3o enviada");
  }
  if (comprimidos < 0) {
    return RecusaVenda(numeroSessao, "Falha ao compactar os dados da venda; venda n\xE3o enviada");
  }
  const size_t tamanhoParametros =
      MontaParametrosVenda(codigoDeAtivacao, static_cast<size_t>(comprimidos));
  if (tamanhoParametros == 0) {
    return RecusaVenda(numeroSessao, "C\xF3"
                                     "digo de ativa\xE7\xE3o e venda compactada excedem o bloco de "
                                     "par\xE2metros; venda n\xE3o enviada");
  }
  char *resposta = BufferResposta;
  const int32_t recebidos = EnviaComando("EnviarDadosVenda", numeroSessao,
                                         reinterpret_cast<const char *>(ParametrosVenda), &resposta,
                                         LIMITE_VENDA, static_cast<int32_t>(tamanhoParametros));
  CodigoEMensagem(AREAS_VENDA);
  if (BufferResposta[0] != '\0' && RegistroErro.codigo != ERRO_RECUSADO) {
    ExpandeResposta(static_cast<size_t>(recebidos));
  }
  const size_t fim = std::strlen(BufferResposta);
  std::memset(BufferResposta + fim, 0, TAMANHO_COMPRIMENTO);
  MarcaResposta(BufferResposta, fim + TAMANHO_COMPRIMENTO);
  GravaLog(BufferResposta);
  return BufferResposta;
}

extern "C" SAT_API char *SAT_CALL CancelarUltimaVenda(int32_t numeroSessao,
                                                      const char *codigoDeAtivacao,
                                                      const char *chave,
                                                      const char *dadosCancelamento) {
  LimpaDecodificado();
  if (ArgumentoNulo(numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"},
                                   {chave, "chave"},
                                   {dadosCancelamento, "dadosCancelamento"}})) {
    return BufferResposta;
  }
  char *parametros = JuntaParametros(numeroSessao, {codigoDeAtivacao, chave, dadosCancelamento});
  if (parametros == nullptr) {
    return BufferResposta;
  }
  char *resposta = BufferResposta;
  EnviaComando("CancelarUltimaVenda", numeroSessao, parametros, &resposta, LIMITE_CANCELAMENTO, -1);
  std::free(parametros);
  GravaLog(BufferResposta);
  CodigoEMensagem(AREAS_CANCELAMENTO);
  if (std::strstr(BufferResposta, "7000") != nullptr) {
    DecodificaCancelamento();
  }
  GravaLog(BufferResposta);
  return BufferResposta;
}

void RecuperaRespostaGuardada(size_t recebidos) {
  const char *codigo = AposBarras(BufferResposta, 1);
  if (codigo != nullptr && std::strncmp(codigo, "06000|", 6) == 0) {
    ExpandeResposta(recebidos);
    const size_t fim = std::strlen(BufferResposta);
    std::memset(BufferResposta + fim, 0, TAMANHO_COMPRIMENTO);
    MarcaResposta(BufferResposta, fim + TAMANHO_COMPRIMENTO);
  } else if (codigo != nullptr && std::strncmp(codigo, "07000|", 6) == 0) {
    DecodificaCancelamento();
  }
}

// The standard's newer query: the device's stored reply to the last sale or cancellation,
// whichever session sent it. The error record stays as the engine left it.
extern "C" SAT_API char *SAT_CALL ConsultarUltimaSessaoFiscal(int32_t numeroSessao,
                                                              const char *codigoDeAtivacao) {
  LimpaDecodificado();
  if (ArgumentoNulo(numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}})) {
    return BufferResposta;
  }
  SessoesAceitas aceitas;
  aceitas.sessaoFiscal = true;
  char *resposta = BufferResposta;
  const int32_t recebidos = EnviaComando("ConsultarUltimaSessaoFiscal", numeroSessao,
                                         codigoDeAtivacao, &resposta, 20000, -1, aceitas);
  RecuperaRespostaGuardada(static_cast<size_t>(recebidos));
  GravaLog(BufferResposta);
  return BufferResposta;
}
