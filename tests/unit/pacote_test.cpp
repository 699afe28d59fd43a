#include <cstring>
#include <string>

#include "link/pacote.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

class PacoteTest : public SubstitutoTest {};

std::string Enviado(size_t tamanho) {
  return std::string(reinterpret_cast<const char *>(BufferPacote), tamanho);
}

TEST_F(PacoteTest, MontaPacoteWritesHeaderPayloadAndChecksum) {
  const struct {
    const char *nome;
    std::string payload;
    uint8_t sequencia, byte2, byte3;
    std::string quadro;
  } casos[] = {
      {"abc, sequence 5", "abc", 5, 0, 0, Bytes({1, 5, 0, 0, 3, 0, 0, 0, 0x61, 0x62, 0x63, 0x2E})},
      {"empty payload: checksum is the sequence", "", 200, 0, 0,
       Bytes({1, 0xC8, 0, 0, 0, 0, 0, 0, 0xC8})},
      {"first request after load", "000042|ConsultarSAT", 0, 0, 0,
       Bytes({1, 0, 0, 0, 0x13, 0, 0, 0}) + "000042|ConsultarSAT" + Bytes({0x58})},
      {"bytes 2 and 3 are summed, zero bytes are sent", std::string("A\0B", 3), 1, 2, 3,
       Bytes({1, 1, 2, 3, 3, 0, 0, 0, 0x41, 0, 0x42, 0x8C})},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    Pacote p{};
    p.Sequencia = c.sequencia;
    p.Byte2Envio = c.byte2;
    p.Byte3Envio = c.byte3;
    p.TamanhoEnvio = static_cast<uint32_t>(c.payload.size());
    p.DadosEnvio = reinterpret_cast<const unsigned char *>(c.payload.data());
    ASSERT_EQ(MontaPacote(&p), static_cast<int32_t>(c.quadro.size()));
    EXPECT_EQ(Enviado(c.quadro.size()), c.quadro);
  }
}

TEST_F(PacoteTest, MontaPacoteRefusesAPayloadThatDoesNotFitBufferPacote) {
  std::string grande(MAXIMO_DADOS_ENVIO + 1, 'x');
  Pacote p{};
  p.DadosEnvio = reinterpret_cast<const unsigned char *>(grande.data());
  p.TamanhoEnvio = static_cast<uint32_t>(MAXIMO_DADOS_ENVIO);
  EXPECT_EQ(MontaPacote(&p), static_cast<int32_t>(TAMANHO_BUFFER_PACOTE));
  std::memset(BufferPacote, 0xEE, TAMANHO_BUFFER_PACOTE);
  p.TamanhoEnvio = static_cast<uint32_t>(MAXIMO_DADOS_ENVIO + 1);
  EXPECT_EQ(MontaPacote(&p), -1);
  EXPECT_EQ(BufferPacote[0], 0xEE);
}

// Each frame a device could send, with what InterpretaPacote makes of it. BufferRecepcao holds
// 0xEE behind the received bytes, so any read past them shows.
TEST_F(PacoteTest, InterpretaPacoteTakesEveryKindOfFrameApart) {
  const std::string abc = QuadroDados("abc", 5);
  const std::string cabecalho5 = QuadroDados("12345").substr(0, 13);
  const struct {
    const char *nome;
    std::string recebido;
    int32_t resultado;
    std::string payload;
    uint32_t tamanho;
    uint8_t sequencia, byte4;
    uint32_t valor;
    std::string saida;
  } casos[] = {
      {"data frame", abc, 1, "abc", 3, 5, 0, 0, ""},
      {"checksum differs, payload still copied", abc.substr(0, 16) + "\x2F", -2, "abc", 3, 5, 0, 0,
       ""},
      {"header bytes 2 to 8 are stored",
       Bytes({1, 9, 0xA, 0xB, 0xC, 4, 3, 2, 1, 1, 0, 0, 0, 'z', 0xAF}), 1, "z", 1, 9, 0xC,
       0x01020304, ""},
      {"zero bytes inside the payload", QuadroDados(std::string("a\0b", 3)), 1,
       std::string("a\0b", 3), 3, 0, 0, 0, ""},
      {"only the header arrived", cabecalho5, -2, std::string(5, '\0'), 5, 0, 0, 0, ""},
      {"payload cut after one byte", abc.substr(0, 14), -2, "a", 3, 5, 0, 0, ""},
      {"ACK", Bytes({6}), 6, "", 0, 0, 0, 0, ""},
      {"NAK", Bytes({0x15, 7, 1, 0, 0, 0}), 21, "", 0, 0, 7, 1, ""},
      {"DC1", Bytes({0x11, 9, 4, 3, 2, 1}), 17, "", 0, 0, 9, 0x01020304, ""},
      {"SYN", Bytes({0x16, 0x2A}), 22, "", 0, 0x2A, 0, 0, ""},
      {"code 0", Bytes({0, 1, 2}), -1, "", 0, 0, 0, 0, "Codigo Controle n\xE3o reconhecido 0"},
      {"code 2", Bytes({2}), -1, "", 0, 0, 0, 0, "Codigo Controle n\xE3o reconhecido 2"},
      {"nothing received", "", -1, "", 0, 0, 0, 0, "Codigo Controle n\xE3o reconhecido 0"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().saidaPadrao.clear();
    std::memset(BufferRecepcao, 0xEE, 64);
    std::memcpy(BufferRecepcao, c.recebido.data(), c.recebido.size());
    std::string area(TAMANHO_DADOS_RESPOSTA, '\0');
    Pacote p{};
    p.DadosResposta = reinterpret_cast<unsigned char *>(&area[0]);
    EXPECT_EQ(InterpretaPacote(&p, c.recebido.size()), c.resultado);
    EXPECT_EQ(p.TamanhoResposta, c.tamanho);
    EXPECT_EQ(area.substr(0, c.payload.size() + 1), c.payload + '\0');
    EXPECT_EQ(p.Sequencia, c.sequencia);
    EXPECT_EQ(p.Byte4Resposta, c.byte4);
    EXPECT_EQ(p.ValorResposta, c.valor);
    EXPECT_EQ(sub().saidaPadrao, c.saida);
  }
}

TEST_F(PacoteTest, AnOversizedFrameIsTruncatedAndNeverReadBeyondBufferRecepcao) {
  std::memset(BufferRecepcao, 'x', TAMANHO_BUFFER_RECEPCAO);
  const std::string cabecalho = QuadroDados(std::string(TAMANHO_DADOS_RESPOSTA + 1, 'x'));
  std::memcpy(BufferRecepcao, cabecalho.data(), 13);
  std::string area(TAMANHO_DADOS_RESPOSTA, '\0');
  Pacote p{};
  p.DadosResposta = reinterpret_cast<unsigned char *>(&area[0]);
  InterpretaPacote(&p, TAMANHO_BUFFER_RECEPCAO + 100); // a count past the buffer is cut too
  EXPECT_EQ(sub().saidaPadrao, "BUG: Pacote excesivamente grande ser\xE1 truncado: 2097153 bytes");
  EXPECT_EQ(p.TamanhoResposta, TAMANHO_DADOS_RESPOSTA);
  const size_t copiados = TAMANHO_BUFFER_RECEPCAO - 13;
  EXPECT_EQ(area.find_first_not_of('x'), copiados);
  EXPECT_EQ(area.find_first_not_of('\0', copiados), std::string::npos);
}

} // namespace
