// The walk behind the port selection exports, driven through them: the port chosen, the map,
// the status queries, the lock around each probe and the log; and a reply's serial number.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "link/selecao.h"
#include "sat.h"
#include "support/armazenamento.h"
#include "tests/unit/enlace_auxiliar.h"
#include "tests/unit/substituto.h"

namespace {

const std::string SAT = "USB\\VID_0525&PID_A4A7\\";

// What the device behind a port answers to the status query: its code and sixth field.
struct Aparelho {
  std::string codigo, numeroSerie;
};

DispositivoFalso Sat(const std::string &porta) {
  DispositivoFalso d;
  d.idInstancia = SAT + "id" + porta;
  d.nomePorta = porta;
  return d;
}

std::string Texto(const char *p) { return p == nullptr ? "<null>" : std::string(p); }

class SelecaoTest : public SubstitutoTest {
protected:
  void SetUp() override {
    SubstitutoTest::SetUp();
    LigaLog();
    SecaoCritica = Plataforma->CriaTrava();
    // The device behind the port opened last echoes the session number; none: silence.
    sub().responde = [this](const std::string &quadro) -> std::string {
      const std::string caminho = sub().caminhosAbertos.back();
      auto a = aparelhos_.find(caminho.substr(caminho.rfind('\\') + 1));
      if (a == aparelhos_.end()) {
        return "";
      }
      return QuadroDados(quadro.substr(8, 6) + "|" + a->second.codigo +
                         "|Resposta com Sucesso.|||" + a->second.numeroSerie + "|DHCP|");
    };
  }
  std::map<std::string, Aparelho> aparelhos_;
};

// Every path of the three exports: the result, the port chosen afterwards, the status queries
// sent, the lock held around every probe and released on every path, the port closed.
TEST_F(SelecaoTest, EachExportOverTheSatsItFinds) {
  typedef std::map<std::string, Aparelho> Aparelhos; // by port; a port not named is silent
  const Aparelho s3{"10000", "S3"}, s4{"10000", "S4"};
  const Aparelhos so3{{"COM3", s3}}, so4{{"COM4", s4}}, ambos{{"COM3", s3}, {"COM4", s4}};
  const Aparelhos semSerie4{{"COM3", s3}, {"COM4", {}}}, errado{{"COM3", {"10001", "S3"}}};
  const Aparelhos longo{{"COM3", {"10000", std::string(20, '9')}}};
  const std::vector<std::string> um{"COM3"}, dois{"COM3", "COM4"}, largo{"COM1234567", "COM4"};
  const struct {
    const char *nome;
    std::vector<std::string> portas; // the SATs in walk order
    Aparelhos aparelhos;
    std::string ausente; // a port that cannot be opened
    bool lista;
    std::string porta; // GetPortaSAT's (and SetPortaSAT's) result, and its queries
    int consultasPorta;
    std::string mapa, ultimaPorta; // GetMapaPortasSAT's result, NomePorta after it, queries
    int consultasMapa;
  } casos[] = {
      {"one SAT", um, so3, "", true, "COM3", 1, "S3:COM3;", "COM3", 1},
      {"two SATs", dois, ambos, "", true, "COM3", 1, "S4:COM4;", "COM4", 2},
      {"the later without serial", dois, semSerie4, "", true, "COM3", 1, "S3:COM3;", "COM4", 2},
      {"wrong code", um, errado, "", true, "COM3", 1, "", "COM3", 1},
      {"silent device", um, {}, "", true, "COM3", 1, "", "COM3", 1},
      {"20-character serial", um, longo, "", true, "COM3", 1, "", "COM3", 1},
      {"port not opened", dois, so4, "\\\\.\\COM3", true, "COM3", 0, "S4:COM4;", "COM4", 1},
      {"name too long", largo, so4, "", true, "COM1234567", 0, "S4:COM4;", "COM4", 1},
      {"no SAT", {}, {}, "", true, "<null>", 0, "", "COM9", 0},
      {"walk unavailable", um, {}, "", false, "<null>", 0, "<null>", "COM9", 0},
  };
  for (const auto &c : casos) {
    for (int exportacao = 0; exportacao < 3; exportacao++) {
      SCOPED_TRACE(std::string(c.nome) + " " + std::to_string(exportacao));
      ReiniciaEstadoBiblioteca();
      std::strcpy(NomePorta, "COM9");
      std::memset(MapaPortas, 'x', TAMANHO_LIMPO_MAPA + 1);
      sub().dispositivos.clear();
      for (const std::string &porta : c.portas) {
        sub().dispositivos.push_back(Sat(porta));
      }
      sub().listaDisponivel = c.lista;
      sub().caminhosAusentes = {c.ausente};
      sub().escritos.clear();
      sub().travasAoAbrir.clear();
      sub().travas = sub().destravas = 0;
      aparelhos_ = c.aparelhos;
      char *r = exportacao == 0   ? GetPortaSAT("abc", 42, "12345678")
                : exportacao == 1 ? SetPortaSAT("abc", 42, "12345678")
                                  : GetMapaPortasSAT("12345678");
      const bool mapa = exportacao == 2;
      EXPECT_EQ(Texto(r), mapa ? c.mapa : c.porta);
      EXPECT_TRUE(r == nullptr || r == (mapa ? MapaPortas : BufferResposta));
      const bool nomeCabe = c.porta.size() < TAMANHO_NOME_PORTA && r != nullptr;
      EXPECT_EQ(std::string(NomePorta), mapa ? c.ultimaPorta : nomeCabe ? c.porta : "COM9");
      EXPECT_EQ(static_cast<int>(sub().escritos.size()), mapa ? c.consultasMapa : c.consultasPorta);
      EXPECT_EQ(MapaPortas[TAMANHO_LIMPO_MAPA], 'x') << "only the first 1024 bytes are cleared";
      EXPECT_EQ(sub().travas, 1);
      EXPECT_EQ(sub().destravas, 1);
      EXPECT_EQ(sub().travasAoAbrir, std::vector<int>(sub().travasAoAbrir.size(), 1));
      EXPECT_EQ(PortaAberta, 0);
      EXPECT_EQ(HandlePorta, HANDLE_NENHUM);
    }
  }
}

// The records, byte for byte: GetPortaSAT and SetPortaSAT differ only in their name; the map
// logs the reply once, under a fresh session number, and ends with its own exit line.
TEST_F(SelecaoTest, TheLogOfEachExport) {
  sub().dispositivos = {Sat("COM3")};
  aparelhos_ = {{"COM3", {"10000", "S3"}}};
  // A caller's text of any length is cut so that its line, end and all, fits 128 bytes.
  GetPortaSAT(std::string(300, 'n').c_str(), 42, "12345678");
  const std::string entrada = "Entered GetPortaSAT(" + std::string(97, 'n') + ") @ 4242\r\n";
  EXPECT_EQ(Log().substr(0, Registros({entrada}).size()), Registros({entrada}));
  const std::string achou = "Port found: COM3\r\n", abriu = "Openned port COM3\r\n";
  for (const std::string f : {"GetPortaSAT", "SetPortaSAT"}) {
    sub().arquivos["sat.log"].clear();
    sub().saidaPadrao.clear();
    (f == "GetPortaSAT" ? GetPortaSAT : SetPortaSAT)("S/N 1", 42, "12345678");
    const std::string resposta = "000042|10000|Resposta com Sucesso.|||S3|DHCP|";
    EXPECT_EQ(Log(), Registros({"Entered " + f + "(S/N 1) @ 4242\r\n", achou,
                                "abrindo porta: ", "\\\\.\\COM3", "\r\n", abriu,
                                "000042|ConsultarStatusOperacional|12345678", resposta, resposta,
                                "Exiting " + f + "(S/N 1) @ 4242\r\n"}));
    EXPECT_EQ(sub().saidaPadrao, "Port: COM3   Serial number: idCOM3\n");
  }
  sub().arquivos["sat.log"].clear();
  sub().escritos.clear();
  GetMapaPortasSAT("12345678");
  const std::string sessao = sub().escritos.at(0).substr(8, 6);
  EXPECT_EQ(Log(), Registros({"Entered GetMapaPortasSAT @ 4242\r\n", achou,
                              "abrindo porta: ", "\\\\.\\COM3", "\r\n", abriu,
                              sessao + "|ConsultarStatusOperacional|12345678",
                              sessao + "|10000|Resposta com Sucesso.|||S3|DHCP|",
                              "Exiting GetPortaSAT @ 4242\r\n"}));

  // A port that cannot be opened, a name that does not fit, no SAT, the walk unavailable.
  sub().dispositivos = {Sat("COM3"), Sat("COM1234567")};
  sub().caminhosAusentes = {"\\\\.\\COM3"};
  sub().arquivos["sat.log"].clear();
  GetMapaPortasSAT("c");
  EXPECT_EQ(RegistroErro.codigo, ERRO_ABRIR_PORTA);
  sub().dispositivos.clear();
  EXPECT_EQ(GetPortaSAT("x", 1, "c"), nullptr);
  sub().listaDisponivel = false;
  EXPECT_EQ(GetPortaSAT("x", 1, "c"), nullptr);
  EXPECT_EQ(GetMapaPortasSAT("c"), nullptr);
  EXPECT_EQ(
      Log(),
      Registros({"Entered GetMapaPortasSAT @ 4242\r\n", achou, "abrindo porta: ", "\\\\.\\COM3",
                 "\r\n", "Could not open port COM3\r\n", "Port found: COM1234567\r\n",
                 "Porta SAT " + SAT +
                     "idCOM1234567 recusada, nome com mais de 9 caracteres: COM1234567\r\n",
                 "Could not open port COM1234567\r\n", "Exiting GetPortaSAT @ 4242\r\n",
                 "Entered GetPortaSAT(x) @ 4242\r\n", "Exiting GetPortaSAT(x) @ 4242\r\n",
                 "Entered GetPortaSAT(x) @ 4242\r\n", "Entered GetMapaPortasSAT @ 4242\r\n"}));
}

TEST(ExtraiNumeroSerieTest, TheSixthFieldAfterACodeThatIsAMultipleOf1000) {
  const struct {
    const char *resposta;
    ResultadoNumeroSerie resultado;
    std::string numeroSerie;
  } casos[] = {
      {"1|10000|m|||900000001|DHCP|", NUMERO_SERIE_LIDO, "900000001"},
      {"1|10000|m|||900000001", NUMERO_SERIE_AUSENTE, ""}, // no '|' after the sixth
      {"1|10001|m|||S|", NUMERO_SERIE_AUSENTE, ""},
      {"1|sem digitos|m|||S|", NUMERO_SERIE_LIDO, "S"}, // reads as 0
      {"1|  -3000x|m|||S|", NUMERO_SERIE_LIDO, "S"},
      {"1|99999999999999999999|m|||S|", NUMERO_SERIE_AUSENTE, ""},
      {"1|10000|m||||", NUMERO_SERIE_LIDO, ""},
      {"1|0|m|||1234567890123456789|", NUMERO_SERIE_LIDO, "1234567890123456789"},
      {"1|0|m|||12345678901234567890|", NUMERO_SERIE_LONGO, ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.resposta);
    char numeroSerie[TAMANHO_NUMERO_SERIE];
    std::memset(numeroSerie, 'z', sizeof numeroSerie);
    EXPECT_EQ(ExtraiNumeroSerie(c.resposta, std::strlen(c.resposta), numeroSerie), c.resultado);
    EXPECT_EQ(std::string(numeroSerie, strnlen(numeroSerie, sizeof numeroSerie)), c.numeroSerie);
  }
  char numeroSerie[TAMANHO_NUMERO_SERIE];
  EXPECT_EQ(ExtraiNumeroSerie("1|0|m|||S|", 9, numeroSerie), NUMERO_SERIE_AUSENTE)
      << "nothing past the given length is read";
}

// Found by fuzz_numero_serie (corpus: regressao_resposta_vazia): an empty reply at a null
// address was handed to strnlen.
TEST(ExtraiNumeroSerieTest, AnEmptyReplyIsNotRead) {
  char numeroSerie[TAMANHO_NUMERO_SERIE];
  std::memset(numeroSerie, 'z', sizeof numeroSerie);
  EXPECT_EQ(ExtraiNumeroSerie(nullptr, 0, numeroSerie), NUMERO_SERIE_AUSENTE);
  EXPECT_EQ(numeroSerie[0], '\0');
}

} // namespace
