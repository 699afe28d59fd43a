// Faulty devices and refused calls, end to end: the shipped library, the real serial path and
// satemu with the options each suite names in cenarios.cmake.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/enlace_e2e.h"
#include "tests/versao.h"

namespace {

const std::string PRONTO = "000042|08000|SAT em opera\xE7\xE3o|";
const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";

bool Comeca(const std::string &texto, const std::string &inicio) {
  return texto.compare(0, inicio.size(), inicio) == 0;
}

// --soma-errada: a reply whose checksum does not match is delivered, and the log says so.
TEST(SomaErrada, TheReplyIsDeliveredAndTheMismatchLogged) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.Loga(NomeUnico("soma"));
  sat.AbreSerialSAT(7);
  const std::string resposta = sat.ConsultarSAT(42);
  EXPECT_TRUE(Comeca(resposta, PRONTO)) << resposta;
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_NE(sat.Log().find("Checksum do pacote recebido n\xE3o confere"), std::string::npos);
}

// --em-partes: a reply that comes in nine pieces is put together again.
TEST(EmPartes, AReplyInPiecesIsWhole) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  const std::string status = sat.ConsultarStatusOperacional(42, "12345678");
  EXPECT_TRUE(Comeca(status, "000042|10000|")) << status;
  EXPECT_NE(status.find("|900000001|"), std::string::npos) << status;
}

// --controle ack: a control frame never completes a command.
TEST(SoControle, AControlFrameAloneEndsAsATimeOut) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.ConsultarSAT(42), TIMEOUT);
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), TIMEOUT);
}

// --anuncia-mais 5: at the limit, a reply that has at least its announced payload length in
// counts as received although its last bytes never come; not before the limit, while they may
// still come. The limit of 5 s counts whole seconds: the call ends 4 to 5 s after the write.
TEST(AnunciaMais, AReplyShortOfItsAnnouncedLengthCountsAtTheLimit) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  const auto inicio = std::chrono::steady_clock::now();
  const std::string resposta = sat.ConsultarSAT(42);
  const auto espera = std::chrono::steady_clock::now() - inicio;
  EXPECT_TRUE(Comeca(resposta, PRONTO)) << resposta;
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_GE(espera, std::chrono::milliseconds(3500)) << "delivered before the limit";
}

// --rajada: stray bytes after a reply are drained before the next request is sent.
TEST(Rajada, StrayBytesAfterAReplyDoNotSpoilTheNext) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_TRUE(Comeca(sat.ConsultarSAT(42), PRONTO));
  const std::string segunda = sat.ConsultarSAT(43);
  EXPECT_TRUE(Comeca(segunda, "000043|08000|")) << segunda;
  const std::vector<std::string> quadros = QuadrosRecebidosPeloSat();
  ASSERT_EQ(quadros.size(), 2u);
  EXPECT_EQ(quadros[1], QuadroPedidoHex(1, "000043|ConsultarSAT"));
}

// Calls the library refuses send nothing and use no sequence number. Each refusal is checked
// right after its call, and a real exchange between them resets the record first.
TEST(Recusas, RefusedCallsSendNothing) {
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.AbreSerialSAT(7), 0);
  EXPECT_EQ(sat.AbreSerialSAT(1234567), -1); // COM1234567 does not fit: COM7 stays
  const std::string recusa = "000042|9999|Argumento nulo: codigoDeAtivacao";
  EXPECT_EQ(sat.ConsultarStatusOperacional(42, nullptr), recusa);
  EXPECT_EQ(sat.Codigo(), 9999);
  EXPECT_EQ(sat.Mensagem(), "Argumento nulo: codigoDeAtivacao");
  EXPECT_TRUE(QuadrosRecebidosPeloSat().empty());

  const std::vector<std::string> enviado = {
      QuadroPedidoHex(0, "000043|ConsultarNumeroSessao|12345678|000042")};
  EXPECT_TRUE(Comeca(sat.ConsultarNumeroSessao(43, "12345678", 42), "000043|11003|"));
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(QuadrosRecebidosPeloSat(), enviado);

  EXPECT_EQ(sat.ConsultarNumeroSessao(42, nullptr, 41), recusa);
  EXPECT_EQ(sat.Codigo(), 9999);
  EXPECT_EQ(sat.Mensagem(), "Argumento nulo: codigoDeAtivacao");
  EXPECT_EQ(QuadrosRecebidosPeloSat(), enviado);
}

// No port chosen and no SAT on the bus: the platform's own device walk finds none. Natively
// the bus is a fake sysfs tree without a SAT, whatever the machine has; wine lists none.
TEST(SemPortaEscolhida, WithoutASatNoPortOpens) {
#if !defined(_WIN32)
  SysfsFalso sysfs;
#endif
  SatE2E sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);
  EXPECT_EQ(sat.Mensagem(), "Erro ao tentar abrir a porta");
  EXPECT_TRUE(QuadrosRecebidosPeloSat().empty());
}

// sat.ini written for Windows, read from the current directory: logs\sat.txt is sat.txt in the
// folder logs on both platforms, and both builds write the same records on the same
// pseudo-terminal (it has no modem lines, so the modem status fails on both).
TEST(LogDoIni, SatIniForWindowsAndTheSameRecordsOnBothBuilds) {
  PastaTemporaria pasta;
  std::filesystem::create_directory("logs");
  std::ofstream("sat.ini", std::ios::binary) << "GeraArqLog = 1\r\nNomeArqLog = logs\\sat.txt\r\n";
  std::string resposta;
  {
    SatE2E sat;
    ASSERT_TRUE(sat.Pronta());
    sat.AbreSerialSAT(7);
    resposta = sat.ConsultarSAT(42);
    EXPECT_TRUE(Comeca(resposta, PRONTO)) << resposta;
  }
  std::ifstream arquivo("logs/sat.txt", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(arquivo)),
                        std::istreambuf_iterator<char>());
  ASSERT_FALSE(log.empty()) << "no logs/sat.txt";
#if defined(_WIN32)
  const std::string caminho = "\\\\.\\COM7";
#else
  const std::string caminho = std::string(std::getenv("SAT_DEV_DIR")) + "COM7";
#endif
  const std::vector<std::string> esperados = {
      kVersaoEsperada, "abrindo porta: ",     caminho,
      "\r\n",          "000042|ConsultarSAT", "GetCommModemStatus() Failed!\r\n",
      resposta,
  };
  EXPECT_EQ(RegistrosDoLog(log), esperados);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."),
                          std::filesystem::directory_iterator()),
            2)
      << "sat.ini and the folder logs, nothing else";
}

} // namespace
