// The exchange with the device: the request frame, the wait for the reply within its limit, and
// what is dropped on the way (noise, late replies of other sessions, a device that never stops).
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/pacote.h"
#include "link/transacao.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

const std::string ABERTURA = Registros({"abrindo porta: ", "\\\\.\\COM7", "\r\n"});
const std::string PEDIDO = "000042|ConsultarSAT";
const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";
const std::string ERRO_ABRIR = "Erro ao tentar abrir a porta de comunicacao!!";

// A frame that announces five payload bytes more than it carries: at the limit it counts as
// received, as far as it came.
std::string QuadroCurto(const std::string &payload) {
  std::string q = QuadroDados(payload);
  q[9] = static_cast<char>(static_cast<unsigned char>(q[9]) + 5);
  return q.substr(0, q.size() - 1);
}

class TransacaoTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
    std::strcpy(NomePorta, "COM7");
  }
  int32_t Envia(const char *parametros = nullptr, int32_t limite = 5000, int32_t brutos = -1,
                int32_t sessao = 42, const char *comando = "ConsultarSAT") {
    char *resposta = BufferResposta;
    return EnviaComando(comando, sessao, parametros, &resposta, limite, brutos);
  }
  // The frame the device received, taken apart: payload and sequence number.
  std::string Payload(size_t i = 0) { return sub().escritos.at(i).substr(8, Tamanho(i)); }
  size_t Tamanho(size_t i) {
    const std::string &q = sub().escritos.at(i);
    return static_cast<unsigned char>(q[4]) | static_cast<unsigned char>(q[5]) << 8 |
           static_cast<unsigned char>(q[6]) << 16;
  }
  int Sequencia(size_t i) { return static_cast<unsigned char>(sub().escritos.at(i)[1]); }
  // A fresh call of a table's row: the clock at 0, each read that brings bytes costing
  // `passoComDados` ms, no log and nothing pending.
  void NovaChamada(int64_t passoComDados) {
    sub().milissegundos = 0;
    sub().passoLeituraComDadosMs = passoComDados;
    sub().arquivos["sat.log"].clear();
    sub().leituras.clear();
  }
  // `bytes` as reads of `pedaco` bytes each, behind what `fila` holds.
  template <typename Fila>
  static void EmPedacos(Fila &fila, const std::string &bytes, size_t pedaco) {
    for (size_t i = 0; i < bytes.size(); i += pedaco) {
      fila.push_back(bytes.substr(i, pedaco));
    }
  }
  void EsperaRegistroLimpo() {
    const RegistroErroLib limpo{};
    EXPECT_EQ(std::memcmp(&RegistroErro, &limpo, sizeof limpo), 0);
  }
  void EsperaPortaFechada() {
    EXPECT_EQ(PortaAberta, 0);
    EXPECT_EQ(HandlePorta, HANDLE_NENHUM);
  }
};

TEST_F(TransacaoTest, AReplyIsDeliveredWholeAndThePortClosed) {
  sub().leituras = {"velho", QuadroDados("antigo")}; // pending input, drained before
  const std::string quadro = QuadroDados("000042|08000|SAT em opera\xE7\xE3o|0000|", 0);
  sub().respostaAposEscrita = {quadro.substr(0, 5), "", quadro.substr(5, 7), quadro.substr(12)};
  sub().bitsModem = MODEM_CTS_ON | MODEM_DSR_ON;
  std::memset(BufferResposta, 'R', TAMANHO_BUFFER_RESPOSTA);

  EXPECT_EQ(Envia(), static_cast<int32_t>(quadro.size() - 14));
  ASSERT_EQ(sub().escritos.size(), 1u);
  EXPECT_EQ(sub().escritos[0], Bytes({1, 0, 0, 0, 0x13, 0, 0, 0}) + PEDIDO + Bytes({0x58}));
  EXPECT_EQ(std::string(BufferResposta), quadro.substr(13, quadro.size() - 14));
  EXPECT_EQ(std::string(BufferResposta + 2097151, 2), std::string("\0R", 2));
  EsperaRegistroLimpo();
  EsperaPortaFechada();
  EXPECT_EQ(Log(), ABERTURA + Registros({PEDIDO}));
  EXPECT_EQ(sub().depuracao, "req -> " + PEDIDO + "\nCTS_ON\r\nDSR_ON\r\nret <- " +
                                 std::string(BufferResposta) + "\n" + std::string(79, '-') + "\n");
  const std::vector<std::string> ordem = {
      "AbreSerial",      "ConfiguraLinha", "DescartaEntrada",  "EsvaziaSaida", "ConfiguraTempos",
      "DescartaEntrada", "EsvaziaSaida",   "LeSerialPendente", "LeSerial",     "LeSerial",
      "EscreveSerial",   "EstadoModem",    "LeSerial",         "LeSerial",     "LeSerial",
      "LeSerial",        "LeSerial",       "FechaSerial"};
  // The drain looks at what is there and, having found something, reads on until a read brings
  // nothing; the reply is read header first, then what the frame still lacks (the 7 bytes of
  // the third piece leave one header byte to come from the fourth).
  EXPECT_EQ(sub().chamadas, ordem);
}

// Every way a reply can fail to complete ends with the time-out text after the limit.
TEST_F(TransacaoTest, NoWholeDataFrameMeansTimeOut) {
  const struct {
    const char *nome;
    std::deque<std::string> resposta;
    int32_t limite;
    int leiturasAposEscrita;
  } casos[] = {
      {"silence, 5 s", {}, 5000, 50},
      {"a lone ACK", {Bytes({6})}, 5000, 51},
      {"a NAK frame", {Bytes({0x15, 7, 1, 0, 0, 0})}, 5000, 51},
      {"12 bytes of a header", {QuadroDados("abc").substr(0, 12)}, 5000, 51},
      {"limit below one second: no read at all", {QuadroDados("abc")}, 999, 0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().respostaAposEscrita = c.resposta;
    sub().leituras.clear();
    sub().arquivos["sat.log"].clear();
    sub().leiturasFeitas = 0;
    sub().milissegundos = 0;
    EXPECT_EQ(Envia(nullptr, c.limite), 0);
    EXPECT_EQ(std::string(BufferResposta), TIMEOUT);
    EXPECT_EQ(sub().leiturasFeitas, c.leiturasAposEscrita) << "the drain waits for nothing";
    EXPECT_EQ(Log(), ABERTURA + Registros({PEDIDO, "Request timed out!\r\n"}));
    EsperaRegistroLimpo();
    EsperaPortaFechada();
  }
}

// The clock counts whole seconds: with a limit of 5 s the wait ends 4 to 5 s after the write,
// depending on where within a second it began.
TEST_F(TransacaoTest, TheLimitCountsWholeSeconds) {
  for (int64_t inicio : {0, 500, 900}) {
    SCOPED_TRACE(inicio);
    sub().milissegundos = inicio - 100; // the drain's one read brings the clock to `inicio`
    Envia();
    const int64_t espera = sub().milissegundos - inicio;
    EXPECT_GT(espera, 4000 - 100);
    EXPECT_LE(espera, 5000);
  }
}

TEST_F(TransacaoTest, BytesStillComingAfterTheLimitAreRead) {
  const std::string quadro = QuadroDados("atrasada");
  sub().passoLeituraComDadosMs = 50; // the frame comes byte by byte from 4.9 s on
  sub().respostaAposEscrita = std::deque<std::string>(48, "");
  for (char b : quadro) {
    sub().respostaAposEscrita.push_back(std::string(1, b));
  }
  EXPECT_EQ(Envia(), 8);
  EXPECT_EQ(std::string(BufferResposta), "atrasada");
  EXPECT_GT(sub().milissegundos, 5500);
}

// A reply that begins 3 s into a 5 s limit and streams on: a data frame may take the time its
// length needs at the line's rate (plus a margin) from its header on. (Bytes that are no data
// frame are cut as before: ADeviceThatNeverStopsSendingCannotHoldTheCall.)
TEST_F(TransacaoTest, AFrameStillArrivingAfterTheLimitMayFinishAtTheLinesRate) {
  const std::string corte =
      "Dispositivo continua enviando ap\xF3s o limite de tempo; leitura encerrada\r\r\n";
  const std::string quadro = QuadroDados(std::string(100000, 'p'));
  const struct {
    const char *nome;
    size_t porLeitura; // bytes each 100 ms read brings
    int32_t resultado;
    int64_t fimMinimo, fimMaximo; // when the call ends, in ms of the substitute's clock
  } casos[] = {
      {"at the line's rate it is delivered", 1152, 100000, 11000, 12500},
      {"at half that rate it is cut at its own bound", 576, 0, 14000, 15200},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    NovaChamada(100);
    sub().respostaAposEscrita = std::deque<std::string>(29, "");
    EmPedacos(sub().respostaAposEscrita, quadro, c.porLeitura);
    EXPECT_EQ(Envia(), c.resultado);
    EXPECT_GE(sub().milissegundos, c.fimMinimo);
    EXPECT_LE(sub().milissegundos, c.fimMaximo);
    if (c.resultado == 0) {
      EXPECT_EQ(std::string(BufferResposta), TIMEOUT);
      EXPECT_NE(Log().find(corte), std::string::npos);
    } else {
      EXPECT_EQ(std::string(BufferResposta), std::string(100000, 'p'));
    }
  }
}

TEST_F(TransacaoTest, AtTheLimitAHeaderAnnouncingNoMoreThanItsLengthCountsAsAReply) {
  sub().respostaAposEscrita = {QuadroDados("12345").substr(0, 13)};
  std::memset(BufferResposta, 'R', 100);
  EXPECT_EQ(Envia(), 5);
  EXPECT_EQ(std::string(BufferResposta, 6), std::string(6, '\0'));
  EsperaRegistroLimpo();
  EXPECT_EQ(Log(),
            ABERTURA + Registros({PEDIDO, "Checksum do pacote recebido n\xE3o confere\r\n"}));
}

// What comes before the data frame is dropped and the frame read from its first byte; control
// frames silently, anything else counted in the log.
TEST_F(TransacaoTest, BytesBeforeTheDataFrameAreDropped) {
  const std::string quadro = QuadroDados("000042|08000|ok|", 3);
  const std::string aviso = " bytes que n\xE3o formam quadro descartados antes da resposta\r\n";
  const struct {
    const char *nome;
    std::deque<std::string> resposta;
    std::string texto, log;
  } casos[] = {
      {"line noise", {Bytes({0x0D, 0x0A, 0, 0xFF}) + quadro}, "000042|08000|ok|", "4" + aviso},
      {"an ACK, then the frame in pieces",
       {Bytes({6}), quadro.substr(0, 4), quadro.substr(4)},
       "000042|08000|ok|",
       ""},
      {"NAK, SYN and DC1 frames holding a 01",
       {Bytes({0x15, 1, 1, 0, 0, 0, 0x16, 1, 0x11, 1}), Bytes({0, 0, 0, 1}) + quadro},
       "000042|08000|ok|",
       "12" + aviso},
      // A 01 is a frame's start only while its length, sum and session hold.
      {"noise with a 01 of its own",
       {Bytes({0x0D, 1, 0x0A}) + quadro},
       "000042|08000|ok|",
       "3" + aviso},
      {"a stray NAK code just before the frame", {Bytes({0x15}) + quadro}, "000042|08000|ok|", ""},
      {"a stray DC1 code and one byte", {Bytes({0x11, 7}), quadro}, "000042|08000|ok|", ""},
      {"a stray SYN code",
       {Bytes({0x16}) + quadro.substr(0, 3), quadro.substr(3)},
       "000042|08000|ok|",
       ""},
      {"a false start announcing more than the buffer holds",
       {Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F}) + quadro},
       "000042|08000|ok|",
       "13" + aviso},
      {"a false start whose length fits, then the frame",
       {Bytes({1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}) + quadro},
       "000042|08000|ok|",
       "13" + aviso},
      {"a whole frame whose sum and session are wrong",
       {QuadroDados("x|", 0, 9) + quadro},
       "000042|08000|ok|",
       "16" + aviso},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().respostaAposEscrita = c.resposta;
    sub().arquivos["sat.log"].clear();
    Envia();
    EXPECT_EQ(std::string(BufferResposta), c.texto);
    if (c.log.empty()) {
      EXPECT_EQ(Log().find("formam quadro"), std::string::npos) << Log();
    } else {
      EXPECT_NE(Log().find(Registros({c.log})), std::string::npos) << Log();
    }
    sub().leituras.clear();
  }
}

// The late reply of an earlier command (session 41) still streaming in, 64 bytes a read at about
// the line's rate, when the next command starts: its compressed tail is full of 01s that read as
// frame headers announcing 64 KB. Whenever the command starts, the drain or the search for the
// frame must leave it behind, and the reply to 42 is read.
TEST_F(TransacaoTest, ALateReplyStillStreamingInIsLeftBehind) {
  std::string cauda;
  while (cauda.size() < 40000) {
    cauda += Bytes({1, 0x41, 0x53, 0x5A, 0x17, 0, 0, 0, 0, 0, 0, 1, 0}) + std::string(51, 'z');
  }
  const auto Atrasada = [&](size_t tamanho) {
    return QuadroDados("000041|06000|0000|Emitido com sucesso|||" + cauda.substr(0, tamanho));
  };
  const std::string resposta = "000042|08000|SAT em opera\xE7\xE3o|0000|";
  const struct {
    const char *nome;
    std::string atrasada;
    size_t lidosAntes; // pieces of it the driver already holds when the command starts
    std::string log;   // a line the log must hold
  } casos[] = {
      {"30 ms into a 6 KB reply: the drain reads it to its end", Atrasada(6000), 1, PEDIDO},
      {"near the end of a 6 KB reply", Atrasada(6000), 90, PEDIDO},
      {"a 40 KB reply outlasts the drain: its rest comes after the request", Atrasada(40000), 1,
       "Dispositivo continua enviando antes do comando; descarte encerrado\r\n"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    NovaChamada(5);
    EmPedacos(sub().leituras, c.atrasada, 64);
    sub().pendentesComBytes = static_cast<int>(c.lidosAntes);
    sub().respostaAposEscrita = {QuadroDados(resposta)};
    Envia();
    EXPECT_EQ(std::string(BufferResposta), resposta);
    EXPECT_NE(Log().find(Registros({c.log})), std::string::npos) << Log();
  }
}

// Late replies: a data frame that answers another session is discarded, and the engine keeps
// waiting for the request's own, within its limit; the session and fiscal-session queries also
// take the replies they ask about.
TEST_F(TransacaoTest, RepliesOfOtherSessionsAreDiscarded) {
  const auto consultar = [] { return ConsultarSAT(42); };
  const auto numero = [] { return ConsultarNumeroSessao(42, "c", 41); };
  const auto fiscal = [] { return ConsultarUltimaSessaoFiscal(42, "c"); };
  const std::string propria = "000042|08000|nova|||";
  const struct {
    const char *nome;
    std::function<char *()> chama;
    std::deque<std::string> leituras; // what the device sends after the request
    std::string resposta;             // what the caller gets
    bool descartou;                   // the log tells of a discarded reply
  } casos[] = {
      {"a late reply, then the own",
       consultar,
       {QuadroDados("000041|08000|velha|||"), QuadroDados(propria)},
       propria,
       true},
      {"both in one read",
       consultar,
       {QuadroDados("000041|08000|velha|||") + QuadroDados(propria)},
       propria,
       true},
      {"only another's", consultar, {QuadroDados("000041|08000|velha|||")}, TIMEOUT, true},
      {"the same number unpadded", consultar, {QuadroDados("42|08000|x")}, "42|08000|x", false},
      {"a first field that is no number",
       consultar,
       {QuadroDados("abc|08000|x")},
       "abc|08000|x",
       false},
      {"an empty first field", consultar, {QuadroDados("|08000|x")}, "|08000|x", false},
      {"a number beyond 32 bits",
       consultar,
       {QuadroDados("4294967338|08000|x"), QuadroDados(propria)},
       propria,
       true},
      {"cut short at the limit, another's",
       consultar,
       {QuadroCurto("000041|08000|velha|||")},
       TIMEOUT,
       true},
      {"cut short at the limit, the own",
       consultar,
       {QuadroCurto("000042|08000|nova|||")},
       "000042|08000|nova|||",
       false},
      {"the session asked about",
       numero,
       {QuadroDados("000041|06000|0000|x|||")},
       "000041|06000|0000|x|||",
       false},
      {"a third session", numero, {QuadroDados("000040|06000|0000|x|||")}, TIMEOUT, true},
      {"a stored sale",
       fiscal,
       {QuadroDados("000017|06000|0000|venda|||")},
       "000017|06000|0000|venda|||",
       false},
      {"a stored cancellation",
       fiscal,
       {QuadroDados("000017|07000|0000|canc|||")},
       "000017|07000|0000|canc|||",
       false},
      {"another session's query",
       fiscal,
       {QuadroDados("000017|08000|x|||"), QuadroDados("000042|19003|Sem sess\xE3o|||")},
       "000042|19003|Sem sess\xE3o|||",
       true},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().arquivos["sat.log"].clear();
    sub().respostaAposEscrita = c.leituras;
    EXPECT_EQ(c.chama(), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), c.resposta);
    EXPECT_EQ(Log().find("Resposta de outra sess\xE3o descartada: ") != std::string::npos,
              c.descartou);
  }
}

// At the limit, a frame short of its announced length whose sum byte checks out with the length
// that came was whole but for its length field: its sum byte stays out of the reply. One whose
// sum does not check out is delivered as it came, its missing bytes zero.
TEST_F(TransacaoTest, AFrameThatOverstatesItsLengthIsTakenAtTheLengthThatCame) {
  const std::string certo = QuadroDados("000042|08000|ok|");
  std::string exagerado = certo;
  exagerado[9] = static_cast<char>(certo[9] + 5);
  std::string cortado = QuadroDados("000042|08000|ok|tudo|");
  cortado.resize(cortado.size() - 4);
  const struct {
    const char *nome;
    std::string quadro, texto;
    int32_t resultado;
    std::string log;
  } casos[] = {
      {"length field 5 too high", exagerado, "000042|08000|ok|", 16,
       "Quadro anuncia 21 bytes de dados e traz 16: tomado com 16\r\n"},
      {"cut short", cortado, "000042|08000|ok|tu", 21,
       "Checksum do pacote recebido n\xE3o confere\r\n"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().respostaAposEscrita = {c.quadro};
    sub().arquivos["sat.log"].clear();
    EXPECT_EQ(Envia(), c.resultado);
    EXPECT_EQ(std::string(BufferResposta), c.texto);
    EXPECT_EQ(Log(), ABERTURA + Registros({PEDIDO, c.log}));
    sub().leituras.clear();
  }
}

// The second reply's missing bytes must not show what the first reply left behind.
TEST_F(TransacaoTest, NothingOfAnEarlierReplyLeaksIntoALaterOne) {
  sub().respostaAposEscrita = {QuadroDados(std::string(40, 'A'))};
  Envia();
  sub().respostaAposEscrita = {QuadroDados(std::string(20, 'B')).substr(0, 30)};
  EXPECT_EQ(Envia(), 20);
  EXPECT_EQ(std::string(BufferResposta, 21), std::string(17, 'B') + std::string(4, '\0'));
}

// A frame whose sum is wrong is delivered when it names this call's session: a fault of the line
// need not lose a signed sale. Without that it is no frame at all (see the table above).
TEST_F(TransacaoTest, PayloadZeroBytesAndABadChecksumAreDelivered) {
  const std::string payload("000042|a\0b\0c", 12);
  sub().respostaAposEscrita = {QuadroDados(payload, 0, 0x77)};
  EXPECT_EQ(Envia(), 12);
  EXPECT_EQ(std::string(BufferResposta, 13), payload + '\0');
  EsperaRegistroLimpo();
  EXPECT_EQ(Log(),
            ABERTURA + Registros({PEDIDO, "Checksum do pacote recebido n\xE3o confere\r\n"}));
}

TEST_F(TransacaoTest, RequestForms) {
  const struct {
    const char *nome;
    const char *parametros;
    int32_t brutos, sessao;
    std::string pedido, log;
  } casos[] = {
      {"text with parameters", "123456789", -1, 42, "000042|ConsultarSAT|123456789",
       "000042|ConsultarSAT|123456789"},
      {"negative session", nullptr, 0, -5, "-00005|ConsultarSAT", "-00005|ConsultarSAT"},
      {"seven digits", nullptr, -1, 1234567, "1234567|ConsultarSAT", "1234567|ConsultarSAT"},
      {"raw bytes with zeros", "x\0y\0z", 5, 42, std::string("000042|ConsultarSAT|x\0y\0z", 25),
       "000042|ConsultarSAT|x"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().escritos.clear();
    sub().arquivos["sat.log"].clear();
    Envia(c.parametros, 0, c.brutos, c.sessao);
    EXPECT_EQ(Payload(), c.pedido);
    EXPECT_EQ(Log().substr(0, ABERTURA.size() + Registros({c.log}).size()),
              ABERTURA + Registros({c.log}));
  }
}

TEST_F(TransacaoTest, SequenceNumbersWrapAndAreNotUsedWhenThePortFails) {
  for (int i = 0; i < 257; i++) {
    if (i == 100) {
      sub().abreFalha = true;
      Envia(nullptr, 0);
      sub().abreFalha = false;
    }
    Envia(nullptr, 0);
  }
  ASSERT_EQ(sub().escritos.size(), 257u);
  EXPECT_EQ(Sequencia(0), 0);
  EXPECT_EQ(Sequencia(100), 100);
  EXPECT_EQ(Sequencia(255), 255);
  EXPECT_EQ(Sequencia(256), 0);
}

TEST_F(TransacaoTest, AFailedWriteSetsCode32769) {
  sub().escreveFalha = true;
  EXPECT_EQ(Envia(), 0);
  const std::string resposta = "000042|9999|" + ERRO_ABRIR;
  EXPECT_EQ(std::string(BufferResposta), resposta);
  EXPECT_EQ(RegistroErro.codigo, 32769);
  EXPECT_EQ(std::string(RegistroErro.mensagem), ERRO_ABRIR);
  EXPECT_EQ(Log(), ABERTURA + Registros({PEDIDO, "WriteFile Failed!!\r\n", resposta}));
  EXPECT_EQ(sub().chamadas.back(), "FechaSerial");
  EXPECT_EQ(std::count(sub().chamadas.begin(), sub().chamadas.end(), "EstadoModem"), 0);
  EsperaPortaFechada();
}

TEST_F(TransacaoTest, APortThatDoesNotOpenGivesTheBareText) {
  for (bool semNome : {false, true}) {
    SCOPED_TRACE(semNome);
    sub().abreFalha = true;
    sub().arquivos["sat.log"].clear();
    if (semNome) {
      NomePorta[0] = '\0';
    }
    std::memset(BufferResposta, 'x', 40);
    EXPECT_EQ(Envia(), 0);
    EXPECT_EQ(std::string(BufferResposta), "Erro ao tentar abrir a porta");
    EXPECT_EQ(std::string(BufferResposta + 29, 11), std::string(11, 'x'));
    EXPECT_EQ(Log(), (semNome ? "" : ABERTURA) + Registros({"Erro ao tentar abrir a porta"}));
    EsperaRegistroLimpo();
    EsperaPortaFechada();
    EXPECT_EQ(ContadorSequencia, 0);
  }
}

TEST_F(TransacaoTest, FailingPurgeFlushAndModemStatusAreLoggedAndTheCallGoesOn) {
  sub().descartaFalha = sub().esvaziaFalha = sub().modemFalha = true;
  sub().respostaAposEscrita = {QuadroDados("ok")};
  EXPECT_EQ(Envia(), 2);
  EXPECT_EQ(Log(), ABERTURA + Registros({"PurgeComm Error", "FlushFileBuffers Error", PEDIDO,
                                         "PurgeComm Error", "FlushFileBuffers Error",
                                         "GetCommModemStatus() Failed!\r\n"}));
}

// BufferRecepcao is never overrun: a reply larger than it is no frame, and the call ends as a
// time-out.
TEST_F(TransacaoTest, AReplyLargerThanBufferRecepcao) {
  const struct {
    const char *nome;
    size_t anunciado, enviado;
    int32_t resultado;
  } casos[] = {
      {"the largest frame that fits", TAMANHO_BUFFER_RECEPCAO - 14, TAMANHO_BUFFER_RECEPCAO,
       static_cast<int32_t>(TAMANHO_BUFFER_RECEPCAO - 14)},
      {"two bytes too many", TAMANHO_BUFFER_RECEPCAO - 12, TAMANHO_BUFFER_RECEPCAO + 2, 0},
      {"announces 3 MB and keeps sending", 3000000, 2200000, 0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    std::string quadro = QuadroDados(std::string(c.anunciado, 'p'));
    quadro.resize(c.enviado, 'p');
    sub().respostaAposEscrita = {quadro};
    sub().bytesEntregues = 0;
    sub().arquivos["sat.log"].clear();
    EXPECT_EQ(Envia(), c.resultado);
    EXPECT_LE(sub().maiorLeitura, TAMANHO_BUFFER_LEITURA);
    if (c.resultado == 0) {
      EXPECT_EQ(std::string(BufferResposta), TIMEOUT);
      EXPECT_NE(Log().find(" bytes que n\xE3o formam quadro descartados"), std::string::npos);
    } else {
      EXPECT_EQ(strnlen(BufferResposta, TAMANHO_BUFFER_RESPOSTA), c.anunciado);
    }
    sub().leituras.clear();
  }
}

TEST_F(TransacaoTest, ARequestThatDoesNotFitAFrameIsNotSent) {
  const std::string prefixo = "000042|ConsultarSAT|";
  const std::string cabe(MAXIMO_DADOS_ENVIO - prefixo.size(), 'q');
  const std::string excede = cabe + "q";
  const std::string enorme(TAMANHO_BUFFER_COMANDO + 10, 'q');
  const struct {
    const char *nome;
    const std::string &parametros;
    int32_t brutos;
    bool enviado;
  } casos[] = {
      {"raw, exactly the maximum", cabe, static_cast<int32_t>(cabe.size()), true},
      {"raw, one byte more", excede, static_cast<int32_t>(excede.size()), false},
      {"text, exactly the maximum", cabe, -1, true},
      {"text, one byte more", excede, -1, false},
      {"text larger than BufferComando", enorme, -1, false},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().escritos.clear();
    sub().chamadas.clear();
    ContadorSequencia = 9;
    Envia(c.parametros.c_str(), 0, c.brutos);
    EXPECT_EQ(sub().escritos.size(), c.enviado ? 1u : 0u);
    EXPECT_EQ(sub().chamadas.back(), "FechaSerial");
    if (c.enviado) {
      EXPECT_EQ(sub().escritos[0].size(), TAMANHO_BUFFER_PACOTE);
      continue;
    }
    const std::string motivo = "Comando de " +
                               std::to_string(prefixo.size() + c.parametros.size()) +
                               " bytes excede o m\xE1ximo de 1577855 bytes de um pacote";
    EXPECT_EQ(std::string(BufferResposta), "000042|9999|" + motivo);
    EXPECT_EQ(RegistroErro.codigo, ERRO_RECUSADO);
    EXPECT_EQ(std::string(RegistroErro.mensagem), motivo);
    EXPECT_EQ(ContadorSequencia, 9);
  }
}

// A device that never stops sending holds a call for its limit and a few seconds at most.
TEST_F(TransacaoTest, ADeviceThatNeverStopsSendingCannotHoldTheCall) {
  const struct {
    const char *nome;
    bool paraNaEscrita;
    std::string resultado, aviso;
  } casos[] = {
      {"before the request only: the reply still comes", true, "ok",
       "Dispositivo continua enviando antes do comando; descarte encerrado\r\r\n"},
      {"before and after", false, TIMEOUT,
       "Dispositivo continua enviando ap\xF3s o limite de tempo; leitura encerrada\r\r\n"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().milissegundos = 0;
    sub().emissaoContinua = "x";
    sub().emissaoParaNaEscrita = c.paraNaEscrita;
    sub().passoLeituraComDadosMs = 10;
    sub().respostaAposEscrita.clear();
    if (c.paraNaEscrita) {
      sub().respostaAposEscrita = {QuadroDados("ok")};
    }
    sub().leituras.clear();
    Envia();
    EXPECT_EQ(std::string(BufferResposta), c.resultado);
    EXPECT_LE(sub().milissegundos, (LIMITE_DESCARTE + 5 + TOLERANCIA_APOS_LIMITE) * 1000);
    EXPECT_NE(Log().find(c.aviso), std::string::npos);
  }
}

TEST_F(TransacaoTest, WithoutItsBuffersTheEngineRefusesToRun) {
  LiberaBuffersTransacao();
  EXPECT_EQ(Envia(), 0);
  EXPECT_EQ(std::string(BufferResposta),
            "000042|9999|Buffers de comunica\xE7\xE3o n\xE3o alocados");
  EXPECT_EQ(RegistroErro.codigo, ERRO_RECUSADO);
  EXPECT_TRUE(sub().chamadas.empty());
}

} // namespace
