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
const std::string ERRO_ABRIR = "Erro ao tentar abrir a porta de comunicacao!!";

// How the device behind a port answers the status query.
struct Aparelho {
  std::string numeroSerie; // the sixth field of its reply
  std::string codigo = "10000";
  bool mudo = false;
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
    // The device behind the port opened last answers with the session number it was given.
    sub().responde = [this](const std::string &quadro) -> std::string {
      const std::string pedido = quadro.substr(8, quadro.size() - 9);
      const std::string caminho = sub().caminhosAbertos.back();
      const Aparelho &a = aparelhos_[caminho.substr(caminho.rfind('\\') + 1)];
      if (a.mudo) {
        return "";
      }
      const bool codigoCerto = pedido.size() > 8 && pedido.substr(pedido.size() - 8) == "12345678";
      return QuadroDados(pedido.substr(0, pedido.find('|')) + "|" +
                         (codigoCerto ? a.codigo : "10001") + "|Resposta com Sucesso.|||" +
                         a.numeroSerie + "|DHCP|");
    };
  }
  int Consultas() { return static_cast<int>(sub().escritos.size()); }
  std::map<std::string, Aparelho> aparelhos_;
};

// Every path of the three exports over one table: what each returns, the port it leaves
// chosen, how many status queries went out, and that the lock was held around each probe and
// released on every path.
TEST_F(SelecaoTest, EachExportOverTheSatsItFinds) {
  const std::string longa(20, '9');
  const struct {
    const char *nome;
    std::vector<DispositivoFalso> dispositivos;
    std::map<std::string, Aparelho> aparelhos;
    std::vector<std::string> ausentes; // ports that cannot be opened
    const char *codigo;
    bool listaDisponivel;
    std::string porta, nomePortaPorta; // GetPortaSAT's result and NomePorta after it
    int consultasPorta;
    std::string mapa, nomePortaMapa; // GetMapaPortasSAT's result and NomePorta after it
    int consultasMapa;
  } casos[] = {
      {"one SAT",
       {Sat("COM3")},
       {{"COM3", {"900000003"}}},
       {},
       "12345678",
       true,
       "COM3",
       "COM3",
       1,
       "900000003:COM3;",
       "COM3",
       1},
      {"two SATs: the map keeps the later one's entry",
       {Sat("COM3"), Sat("COM4")},
       {{"COM3", {"900000003"}}, {"COM4", {"900000004"}}},
       {},
       "12345678",
       true,
       "COM3",
       "COM3",
       1,
       "900000004:COM4;",
       "COM4",
       2},
      {"two SATs, the later without a success code: the earlier's entry stays",
       {Sat("COM3"), Sat("COM4")},
       {{"COM3", {"900000003"}}, {"COM4", {"900000004", "10099"}}},
       {},
       "12345678",
       true,
       "COM3",
       "COM3",
       1,
       "900000003:COM3;",
       "COM4",
       2},
      {"a wrong activation code",
       {Sat("COM3")},
       {{"COM3", {"900000003"}}},
       {},
       "errado",
       true,
       "COM3",
       "COM3",
       1,
       "",
       "COM3",
       1},
      {"a port that cannot be opened: no query, the next SAT serves the map",
       {Sat("COM3"), Sat("COM4")},
       {{"COM4", {"900000004"}}},
       {"\\\\.\\COM3"},
       "12345678",
       true,
       "COM3",
       "COM3",
       0,
       "900000004:COM4;",
       "COM4",
       1},
      {"a device that does not answer",
       {Sat("COM3")},
       {{"COM3", {"", "10000", true}}},
       {},
       "12345678",
       true,
       "COM3",
       "COM3",
       1,
       "",
       "COM3",
       1},
      {"a serial number of 20 characters stays out of the map",
       {Sat("COM3")},
       {{"COM3", {longa}}},
       {},
       "12345678",
       true,
       "COM3",
       "COM3",
       1,
       "",
       "COM3",
       1},
      {"a port name NomePorta cannot hold is refused like a port that does not open",
       {Sat("COM1234567"), Sat("COM4")},
       {{"COM4", {"900000004"}}},
       {},
       "12345678",
       true,
       "COM1234567",
       "COM9",
       0,
       "900000004:COM4;",
       "COM4",
       1},
      {"no SAT", {}, {}, {}, "12345678", true, "<null>", "COM9", 0, "", "COM9", 0},
      {"the walk is unavailable",
       {Sat("COM3")},
       {},
       {},
       "12345678",
       false,
       "<null>",
       "COM9",
       0,
       "<null>",
       "COM9",
       0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    for (int exportacao = 0; exportacao < 3; exportacao++) {
      SCOPED_TRACE(exportacao);
      ReiniciaEstadoBiblioteca();
      std::strcpy(NomePorta, "COM9");
      std::memset(MapaPortas, 'x', TAMANHO_LIMPO_MAPA + 1);
      sub().dispositivos = c.dispositivos;
      sub().listaDisponivel = c.listaDisponivel;
      sub().caminhosAusentes = c.ausentes;
      sub().escritos.clear();
      sub().travasAoAbrir.clear();
      sub().travas = sub().destravas = 0;
      aparelhos_ = c.aparelhos;
      char *resultado = exportacao == 0   ? GetPortaSAT("abc", 42, c.codigo)
                        : exportacao == 1 ? SetPortaSAT("abc", 42, c.codigo)
                                          : GetMapaPortasSAT(c.codigo);
      if (exportacao < 2) {
        EXPECT_EQ(Texto(resultado), c.porta);
        EXPECT_EQ(std::string(NomePorta), c.nomePortaPorta);
        EXPECT_EQ(Consultas(), c.consultasPorta);
        if (resultado != nullptr) {
          EXPECT_EQ(resultado, BufferResposta);
        }
      } else {
        EXPECT_EQ(Texto(resultado), c.mapa);
        EXPECT_EQ(std::string(NomePorta), c.nomePortaMapa);
        EXPECT_EQ(Consultas(), c.consultasMapa);
        if (resultado != nullptr) {
          EXPECT_EQ(resultado, MapaPortas);
        }
        EXPECT_EQ(MapaPortas[TAMANHO_LIMPO_MAPA], 'x') << "only the first 1024 bytes are cleared";
      }
      EXPECT_EQ(sub().travas, 1);
      EXPECT_EQ(sub().destravas, 1);
      for (int travas : sub().travasAoAbrir) {
        EXPECT_EQ(travas, 1) << "every probe runs under the lock";
      }
      EXPECT_EQ(PortaAberta, 0);
      EXPECT_EQ(HandlePorta, HANDLE_NENHUM);
    }
  }
}

// The records, byte for byte: GetPortaSAT and SetPortaSAT differ only in their name, the map
// logs the reply once and ends with its own exit line.
TEST_F(SelecaoTest, TheLogOfEachExport) {
  sub().dispositivos = {Sat("COM3")};
  aparelhos_ = {{"COM3", {"900000003"}}};
  for (const char *funcao : {"GetPortaSAT", "SetPortaSAT"}) {
    SCOPED_TRACE(funcao);
    sub().arquivos["sat.log"].clear();
    sub().saidaPadrao.clear();
    const std::string f = funcao;
    (f == "GetPortaSAT" ? GetPortaSAT : SetPortaSAT)("S/N 1", 42, "12345678");
    const std::string resposta = "000042|10000|Resposta com Sucesso.|||900000003|DHCP|";
    EXPECT_EQ(Log(), Registros({"Entered " + f + "(S/N 1) @ 4242\r\n", "Port found: COM3\r\n",
                                "abrindo porta: ", "\\\\.\\COM3", "\r\n", "Openned port COM3\r\n",
                                "000042|ConsultarStatusOperacional|12345678", resposta, resposta,
                                "Exiting " + f + "(S/N 1) @ 4242\r\n"}));
    EXPECT_EQ(sub().saidaPadrao, "Port: COM3   Serial number: idCOM3\n");
  }
  // The map's query carries a fresh session number; the device echoes it.
  sub().arquivos["sat.log"].clear();
  sub().escritos.clear();
  GetMapaPortasSAT("12345678");
  ASSERT_EQ(sub().escritos.size(), 1u);
  const std::string sessao = sub().escritos[0].substr(8, 6);
  EXPECT_EQ(Log(), Registros({"Entered GetMapaPortasSAT @ 4242\r\n", "Port found: COM3\r\n",
                              "abrindo porta: ", "\\\\.\\COM3", "\r\n", "Openned port COM3\r\n",
                              sessao + "|ConsultarStatusOperacional|12345678",
                              sessao + "|10000|Resposta com Sucesso.|||900000003|DHCP|",
                              "Exiting GetPortaSAT @ 4242\r\n"}));

  // No SAT: entry and exit only. The walk unavailable: the entry alone.
  sub().dispositivos.clear();
  sub().arquivos["sat.log"].clear();
  EXPECT_EQ(GetPortaSAT("x", 1, "c"), nullptr);
  sub().listaDisponivel = false;
  EXPECT_EQ(GetPortaSAT("x", 1, "c"), nullptr);
  EXPECT_EQ(GetMapaPortasSAT("c"), nullptr);
  EXPECT_EQ(
      Log(),
      Registros({"Entered GetPortaSAT(x) @ 4242\r\n", "Exiting GetPortaSAT(x) @ 4242\r\n",
                 "Entered GetPortaSAT(x) @ 4242\r\n", "Entered GetMapaPortasSAT @ 4242\r\n"}));
}

TEST_F(SelecaoTest, APortThatCannotBeOpenedLeavesCodeOne) {
  sub().dispositivos = {Sat("COM3")};
  sub().caminhosAusentes = {"\\\\.\\COM3"};
  EXPECT_EQ(Texto(GetPortaSAT("abc", 42, "12345678")), "COM3");
  EXPECT_EQ(RegistroErro.codigo, ERRO_ABRIR_PORTA);
  EXPECT_EQ(std::string(RegistroErro.mensagem), ERRO_ABRIR);
  EXPECT_NE(Log().find(Registros({"Could not open port COM3\r\n"})), std::string::npos);

  sub().dispositivos = {Sat("COM1234567")};
  sub().arquivos["sat.log"].clear();
  EXPECT_EQ(Texto(GetMapaPortasSAT("12345678")), "");
  EXPECT_EQ(RegistroErro.codigo, ERRO_ABRIR_PORTA);
  EXPECT_NE(Log().find(Registros({"Porta SAT " + SAT +
                                      "idCOM1234567 recusada, nome com mais de 9 caracteres: "
                                      "COM1234567\r\n",
                                  "Could not open port COM1234567\r\n"})),
            std::string::npos)
      << Log();
}

// Texts of any length never overflow the 128-byte lines or the 20-byte serial field; absent
// texts and a missing lock are refused, and nothing is walked.
TEST_F(SelecaoTest, BoundsAndRefusals) {
  const std::string longo(300, 'n');
  sub().dispositivos = {Sat("COM3")};
  aparelhos_ = {{"COM3", {"900000003"}}};
  GetPortaSAT(longo.c_str(), 42, "12345678");
  const std::string entrada = "Entered GetPortaSAT(" + std::string(127 - 30, 'n') + ") @ 4242\r\n";
  ASSERT_EQ(entrada.size(), 127u);
  EXPECT_EQ(Log().substr(0, Registros({entrada}).size()), Registros({entrada}));

  const struct {
    const char *nome;
    char *(*chamada)();
    std::string mensagem;
  } recusas[] = {
      {"numeroSerie", [] { return GetPortaSAT(nullptr, 1, "c"); }, "Argumento nulo: numeroSerie"},
      {"codigoDeAtivacao", [] { return SetPortaSAT("s", 1, nullptr); },
       "Argumento nulo: codigoDeAtivacao"},
      {"map", [] { return GetMapaPortasSAT(nullptr); }, "Argumento nulo: codigoDeAtivacao"},
  };
  for (const auto &r : recusas) {
    SCOPED_TRACE(r.nome);
    sub().dispositivosEntregues = 0;
    sub().travas = sub().destravas = 0;
    EXPECT_EQ(r.chamada(), nullptr);
    EXPECT_EQ(RegistroErro.codigo, ERRO_RECUSADO);
    EXPECT_EQ(std::string(RegistroErro.mensagem), r.mensagem);
    EXPECT_EQ(sub().dispositivosEntregues, 0);
    EXPECT_EQ(sub().travas, sub().destravas);
  }

  SecaoCritica = nullptr;
  sub().travas = 0;
  EXPECT_EQ(GetMapaPortasSAT("12345678"), nullptr);
  EXPECT_EQ(GetPortaSAT("s", 1, "12345678"), nullptr);
  EXPECT_EQ(sub().travas, 0);
  EXPECT_EQ(sub().dispositivosEntregues, 0);
}

TEST(ExtraiNumeroSerieTest, TheSixthFieldAfterACodeThatIsAMultipleOf1000) {
  const struct {
    const char *resposta;
    ResultadoNumeroSerie resultado;
    std::string numeroSerie;
  } casos[] = {
      {"000042|10000|Resposta com Sucesso.|||900000001|DHCP|", NUMERO_SERIE_LIDO, "900000001"},
      {"1|10000|m|||900000001", NUMERO_SERIE_AUSENTE, ""}, // no '|' after the sixth
      {"1|10000|m|||900000001|", NUMERO_SERIE_LIDO, "900000001"},
      {"1|10001|m|||900000001|", NUMERO_SERIE_AUSENTE, ""},
      {"1|sem digitos|m|||S|", NUMERO_SERIE_LIDO, "S"}, // reads as 0
      {"1||m|||S|", NUMERO_SERIE_LIDO, "S"},
      {"1|  -3000x|m|||S|", NUMERO_SERIE_LIDO, "S"},
      {"1| 10500|m|||S|", NUMERO_SERIE_AUSENTE, ""},
      {"1|99999999999999999999|m|||S|", NUMERO_SERIE_AUSENTE, ""},
      {"1|10000|m|||", NUMERO_SERIE_AUSENTE, ""},
      {"1|10000|m||||", NUMERO_SERIE_LIDO, ""}, // an empty sixth field
      {"1|10000|m|||1234567890123456789|", NUMERO_SERIE_LIDO, "1234567890123456789"},
      {"1|10000|m|||12345678901234567890|", NUMERO_SERIE_LONGO, ""},
      {"", NUMERO_SERIE_AUSENTE, ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.resposta);
    char numeroSerie[TAMANHO_NUMERO_SERIE];
    std::memset(numeroSerie, 'z', sizeof numeroSerie);
    EXPECT_EQ(ExtraiNumeroSerie(c.resposta, std::strlen(c.resposta) + 1, numeroSerie), c.resultado);
    EXPECT_EQ(std::string(numeroSerie, strnlen(numeroSerie, sizeof numeroSerie)), c.numeroSerie);
  }
  // Nothing past the given length is read: the '|' that would end the sixth field is beyond it.
  const char resposta[] = "1|10000|m|||S|";
  char numeroSerie[TAMANHO_NUMERO_SERIE];
  EXPECT_EQ(ExtraiNumeroSerie(resposta, sizeof resposta - 2, numeroSerie), NUMERO_SERIE_AUSENTE);
}

} // namespace
