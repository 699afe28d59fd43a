// Bad calls at the exports and a device that goes away, end to end: the shipped library, the
// real serial path and satemu, natively and for the DLL under wine.
//   ChamadasRuins.*  satemu --pronto: null texts, texts of 2 MiB and more, numbers at the limits
//                    of 32 bits, log files that cannot be written, sat.ini of garbage. Each call
//                    gets a clear reply, and the next call works.
//   Desconexao.*     satemu --pronto --mudo --so-para ConsultarSAT, unplugged in the middle of a
//                    command and started again (tests/com_satemu.sh does both on request).
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include "tests/e2e/enlace_e2e.h"
#include "tests/e2e/exportacoes.h"
#include "tests/e2e/robustez_e2e.h"
#include "tests/e2e/venda_exemplo.h"

namespace {

const char CODIGO[] = "12345678";
const std::string NULO = "<null>";
const std::string MB2(2097152, 'x');

std::string Texto(const char *p) { return p == nullptr ? NULO : p; }

// The CPU time this process has used, user and system, in seconds.
double SegundosDeCpu() {
#if defined(_WIN32)
  FILETIME criado, fim, sistema, usuario;
  EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &criado, &fim, &sistema, &usuario));
  ULARGE_INTEGER s{{sistema.dwLowDateTime, sistema.dwHighDateTime}};
  ULARGE_INTEGER u{{usuario.dwLowDateTime, usuario.dwHighDateTime}};
  return static_cast<double>(s.QuadPart + u.QuadPart) / 1e7;
#else
  timespec t{};
  EXPECT_EQ(clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t), 0);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
#endif
}

std::string Excede(const std::string &pedido) {
  return "Comando de " + std::to_string(pedido.size()) +
         " bytes excede o m\xE1ximo de 1577855 bytes de um pacote";
}

#if defined(_WIN32)
const char SOMENTE_LEITURA[] = "Z:\\proc\\version";
#else
const char SOMENTE_LEITURA[] = "/proc/version";
#endif

TEST(ChamadasRuins, EachGetsAClearReplyAndTheNextCallWorks) {
  PastaTemporaria pasta;
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  const int32_t porta = PortaDoEmulador();
  ASSERT_EQ(sat.AbreSerialSAT(porta, 0, 0, 0, 0), 0);
#if !defined(_WIN32)
  SysfsFalso sysfs; // no SAT on the bus, whatever the machine has
#endif
  const std::string log = (std::filesystem::current_path() / "chamadas.log").string();
  sat.ArquivoLog(log.c_str());
  const std::string semPasta = (std::filesystem::current_path() / "naoexiste" / "sat.log").string();
  const std::string nomeEnorme(2 * 1048576, 'n');
  const std::string vendaComCauda = Venda() + std::string(3 * 1048576, 'c');

  const struct {
    const char *nome;
    std::function<std::string()> chama;
    std::string resposta; // exact; "" when `confere` checks it
    int32_t codigo;
    std::string mensagem;
    std::function<bool(const std::string &)> confere = nullptr;
  } linhas[] = {
      // Null texts: every command refuses the first one it meets, and sends nothing.
      {"status query", [&] { return Texto(sat.ConsultarStatusOperacional(101, nullptr)); },
       "000101|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"sale", [&] { return Texto(sat.EnviarDadosVenda(102, CODIGO, nullptr)); },
       "000102|9999|Argumento nulo: dadosVenda", 9999, "Argumento nulo: dadosVenda"},
      {"cancellation",
       [&] { return Texto(sat.CancelarUltimaVenda(103, CODIGO, nullptr, "<CFeCanc/>")); },
       "000103|9999|Argumento nulo: chave", 9999, "Argumento nulo: chave"},
      {"activation", [&] { return Texto(sat.AtivarSAT(104, 1, CODIGO, nullptr, 35)); },
       "000104|9999|Argumento nulo: CNPJ", 9999, "Argumento nulo: CNPJ"},
      {"code change",
       [&] { return Texto(sat.TrocarCodigoDeAtivacao(105, CODIGO, 1, "novo1234", nullptr)); },
       "000105|9999|Argumento nulo: confNovoCodigo", 9999, "Argumento nulo: confNovoCodigo"},
      {"association", [&] { return Texto(sat.AssociarAssinatura(106, CODIGO, "1", nullptr)); },
       "000106|9999|Argumento nulo: assinaturaCNPJs", 9999, "Argumento nulo: assinaturaCNPJs"},
      {"network", [&] { return Texto(sat.ConfigurarInterfaceDeRede(107, CODIGO, nullptr)); },
       "000107|9999|Argumento nulo: dadosConfiguracao", 9999, "Argumento nulo: dadosConfiguracao"},
      {"certificate",
       [&] { return Texto(sat.ComunicarCertificadoICPBRASIL(108, nullptr, "MIIC")); },
       "000108|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"end-to-end test", [&] { return Texto(sat.TesteFimAFim(109, CODIGO, nullptr)); },
       "000109|9999|Argumento nulo: dadosVenda", 9999, "Argumento nulo: dadosVenda"},
      {"session query", [&] { return Texto(sat.ConsultarNumeroSessao(110, nullptr, 1)); },
       "000110|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"fiscal session", [&] { return Texto(sat.ConsultarUltimaSessaoFiscal(111, nullptr)); },
       "000111|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"log extraction", [&] { return Texto(sat.ExtrairLogs(112, nullptr)); },
       "000112|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"block", [&] { return Texto(sat.BloquearSAT(113, nullptr)); },
       "000113|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"unblock", [&] { return Texto(sat.DesbloquearSAT(114, nullptr)); },
       "000114|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"update", [&] { return Texto(sat.AtualizarSoftwareSAT(115, nullptr)); },
       "000115|9999|Argumento nulo: codigoDeAtivacao", 9999, "Argumento nulo: codigoDeAtivacao"},
      {"port search", [&] { return Texto(sat.GetPortaSAT(nullptr, 116, CODIGO)); }, NULO, 9999,
       "Argumento nulo: numeroSerie"},
      {"port setting", [&] { return Texto(sat.SetPortaSAT("S", 117, nullptr)); }, NULO, 9999,
       "Argumento nulo: codigoDeAtivacao"},
      {"port map", [&] { return Texto(sat.GetMapaPortasSAT(nullptr)); }, NULO, 9999,
       "Argumento nulo: codigoDeAtivacao"},
      {"error record into nowhere", [&] { return Texto(sat.CodigoErro(nullptr)); }, NULO, 0, ""},
      {"log file name", [&] { return sat.ArquivoLog(nullptr), std::string(); }, "", 0, ""},

      // Texts of 2 MiB and more: refused before anything is sent, or read only as far as used.
      {"network settings of 2 MiB",
       [&] { return Texto(sat.ConfigurarInterfaceDeRede(130, CODIGO, MB2.c_str())); },
       "000130|9999|" + Excede("000130|ConfigurarInterfaceDeRede|12345678|" + MB2), 9999,
       Excede("000130|ConfigurarInterfaceDeRede|12345678|" + MB2)},
      {"sale of 2 MiB", [&] { return Texto(sat.EnviarDadosVenda(131, CODIGO, MB2.c_str())); },
       "000131|9999|Dados da venda excedem 2097151 bytes", 9999,
       "Dados da venda excedem 2097151 bytes"},
      {"activation code of 2 MiB in a sale",
       [&] { return Texto(sat.EnviarDadosVenda(132, MB2.c_str(), Venda().c_str())); },
       "000132|9999|C\xF3"
       "digo de ativa\xE7\xE3o e venda compactada excedem o bloco de par\xE2metros; venda n\xE3o "
       "enviada",
       9999,
       "C\xF3"
       "digo de ativa\xE7\xE3o e venda compactada excedem o bloco de par\xE2metros; venda n\xE3o "
       "enviada"},
      {"a sale followed by 3 MiB after its closing tag",
       [&] { return Texto(sat.EnviarDadosVenda(133, CODIGO, vendaComCauda.c_str())); }, "", 0,
       "Codigo: 06000.\nEmitido com sucesso + conte\xFA"
       "do notas.",
       [](const std::string &r) { return CamposDaResposta(r).at(1) == "06000"; }},
      {"status query with a code of 3 MiB",
       [&] {
         const std::string codigo(3 * 1048576, 'k');
         return Texto(sat.ConsultarStatusOperacional(134, codigo.c_str()));
       },
       "", 9999, "",
       [](const std::string &r) { return r.rfind("000134|9999|Comando de ", 0) == 0; }},
      {"log file name of 2 MiB", [&] { return sat.ArquivoLog(nomeEnorme.c_str()), std::string(); },
       "", 0, ""},
      {"serial number of 2 MiB, no SAT on the bus",
       [&] { return Texto(sat.GetPortaSAT(MB2.c_str(), 135, CODIGO)); }, NULO, 0, ""},

      // Numbers at the limits of 32 bits.
      {"port 2147483647", [&] { return std::to_string(sat.AbreSerialSAT(INT32_MAX, 0, 0, 0, 0)); },
       "-1", 0, ""},
      {"port -2147483648", [&] { return std::to_string(sat.AbreSerialSAT(INT32_MIN, 0, 0, 0, 0)); },
       "-1", 0, ""},
      {"port -1: COM-1 does not open",
       [&] {
         sat.AbreSerialSAT(-1, 0, 0, 0, 0);
         const std::string r = sat.ConsultarSAT(140);
         sat.AbreSerialSAT(porta, 0, 0, 0, 0);
         return r;
       },
       "Erro ao tentar abrir a porta", 0, "Erro ao tentar abrir a porta"},
      {"session 2147483647", [&] { return Texto(sat.ConsultarSAT(INT32_MAX)); },
       "2147483647|08000|SAT em opera\xE7\xE3o||", 0, "2147483647|08000|SAT em opera\xE7\xE3o||"},
      {"session -2147483648", [&] { return Texto(sat.ConsultarSAT(INT32_MIN)); },
       "-2147483648|08000|SAT em opera\xE7\xE3o||", 0, "-2147483648|08000|SAT em opera\xE7\xE3o||"},
      {"looking up session -2147483648: its stored reply",
       [&] { return Texto(sat.ConsultarNumeroSessao(141, CODIGO, INT32_MIN)); },
       "-2147483648|08000|SAT em opera\xE7\xE3o||", 0, ""},
      {"looking up session 2147483646, never used",
       [&] { return Texto(sat.ConsultarNumeroSessao(145, CODIGO, INT32_MAX - 1)); },
       "000145|11003|Sess\xE3o n\xE3o existe||", 0, ""},
      {"activation with numbers at both limits",
       [&] { return Texto(sat.AtivarSAT(142, INT32_MAX, CODIGO, "11222333000181", INT32_MIN)); },
       "000142|04099|Erro desconhecido na ativa\xE7\xE3o||", 0,
       "Codigo: 04099.\nErro desconhecido na ativa\xE7\xE3o"},
      {"code change with option -2147483648",
       [&] {
         return Texto(sat.TrocarCodigoDeAtivacao(143, CODIGO, INT32_MIN, "novo1234", "novo1234"));
       },
       "000143|18099|Erro desconhecido||", 0, "Codigo: 18099.\nErro desconhecido"},
      {"time-limit setter at both limits",
       [&] {
         sat.ConfiguraTimeout(INT32_MIN);
         sat.ConfiguraTimeout(INT32_MAX);
         return Texto(sat.ConsultarSAT(144));
       },
       "000144|08000|SAT em opera\xE7\xE3o||", 0, "000144|08000|SAT em opera\xE7\xE3o||"},

      // Log files that cannot be written, and sat.ini of garbage: the commands go on as ever.
      {"log in a missing folder",
       [&] {
         sat.ArquivoLog(semPasta.c_str());
         return Texto(sat.ConsultarSAT(150));
       },
       "000150|08000|SAT em opera\xE7\xE3o||", 0, "000150|08000|SAT em opera\xE7\xE3o||"},
      {"log on a read-only file",
       [&] {
         sat.ArquivoLog(SOMENTE_LEITURA);
         return Texto(sat.ConsultarSAT(151));
       },
       "000151|08000|SAT em opera\xE7\xE3o||", 0, "000151|08000|SAT em opera\xE7\xE3o||"},
      {"sat.ini of garbage",
       [&] {
         std::string lixo;
         for (int i = 0; i < 5000; i++) {
           lixo += static_cast<char>((i * 131 + 7) & 0xFF);
         }
         lixo.replace(1000, 11, "GeraArqLog=");
         std::ofstream("sat.ini", std::ios::binary) << lixo;
         sat.ArquivoLog(""); // the log follows sat.ini again
         return Texto(sat.ConsultarSAT(152));
       },
       "000152|08000|SAT em opera\xE7\xE3o||", 0, "000152|08000|SAT em opera\xE7\xE3o||"},
      {"sat.ini naming a log of 300 characters",
       [&] {
         std::ofstream("sat.ini", std::ios::binary)
             << "GeraArqLog=1\r\nNomeArqLog=" << std::string(300, 'a') << "\r\n";
         return Texto(sat.ConsultarSAT(153));
       },
       "000153|08000|SAT em opera\xE7\xE3o||", 0, "000153|08000|SAT em opera\xE7\xE3o||"},
  };

  int32_t sessao = 200;
  for (const auto &l : linhas) {
    SCOPED_TRACE(l.nome);
    const std::string resposta = l.chama();
    if (l.confere) {
      EXPECT_TRUE(l.confere(resposta)) << resposta.substr(0, 200);
    } else {
      EXPECT_EQ(resposta, l.resposta);
    }
    EXPECT_EQ(sat.Codigo(), l.codigo);
    if (!l.mensagem.empty()) {
      EXPECT_EQ(sat.Mensagem(), l.mensagem);
    }
    const std::string seguinte = sat.ConsultarSAT(++sessao);
    EXPECT_EQ(seguinte, "000" + std::to_string(sessao) + "|08000|SAT em opera\xE7\xE3o||");
    EXPECT_EQ(sat.Codigo(), 0);
  }

  // What went out: the refused calls sent nothing, and the first frames are the rows' own.
  const std::vector<std::string> quadros = QuadrosRecebidosPeloSat();
  ASSERT_FALSE(quadros.empty());
  EXPECT_EQ(quadros[0], QuadroPedidoHex(0, "000201|ConsultarSAT"));

  // Logging stayed on its first file until the rows moved it: the 2 MiB name was refused, and
  // the port search's line was cut to 127 characters with its ending kept.
  const std::string texto = LeArquivo(log);
  ASSERT_FALSE(texto.empty());
  EXPECT_NE(texto.find("000133|EnviarDadosVenda"), std::string::npos);
  const size_t entrada = texto.find("Entered GetPortaSAT(xxx");
  ASSERT_NE(entrada, std::string::npos);
  EXPECT_EQ(texto.find('\r', entrada) - entrada, 125u) << "127 characters with its CR LF";

  // Nothing was written where it could not be: the folder holds the first log and sat.ini.
  std::vector<std::string> arquivos;
  for (const auto &e : std::filesystem::directory_iterator(".")) {
    arquivos.push_back(e.path().filename().string());
  }
  std::sort(arquivos.begin(), arquivos.end());
  EXPECT_EQ(arquivos, std::vector<std::string>({"chamadas.log", "sat.ini"}));
}

// The device unplugged in the middle of a command (satemu killed while it holds the request,
// its port gone), then plugged in again.
TEST(Desconexao, UnpluggedMidCommandAndStartedAgain) {
  Exportacoes sat;
  ASSERT_TRUE(sat.Completa());
  ASSERT_EQ(sat.AbreSerialSAT(PortaDoEmulador(), 0, 0, 0, 0), 0);
  ASSERT_EQ(CamposDaResposta(sat.ConsultarStatusOperacional(1, CODIGO)).at(1), "10000");

  // satemu never answers ConsultarSAT; it dies once the request is in. The wait on the dead
  // port polls at the read's pace: it sleeps, it does not burn a core.
  ASSERT_TRUE(PedeAoEmulador("mata-no-quadro 2", "armado"));
  const auto inicio = std::chrono::steady_clock::now();
  const double cpuAntes = SegundosDeCpu();
  EXPECT_EQ(std::string(sat.ConsultarSAT(2)), "000002|9999|Timeout de comunica\xE7\xE3o");
  const double cpu = SegundosDeCpu() - cpuAntes;
  const std::chrono::duration<double> espera = std::chrono::steady_clock::now() - inicio;
  EXPECT_LE(espera, LimiteComExtra(5000));
  EXPECT_LT(cpu, espera.count() / 2) << cpu << " s of CPU in a wait of " << espera.count() << " s";
  ASSERT_TRUE(EsperaDoEmulador("feito")) << "satemu was not killed";
  EXPECT_EQ(sat.Codigo(), 0);

  // Unplugged: the port cannot be opened, and the call says so at once.
  EXPECT_EQ(std::string(sat.ConsultarStatusOperacional(3, CODIGO)), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.Codigo(), 0);

  // Plugged in again: the same port works, a sale included.
  ASSERT_TRUE(PedeAoEmulador("reinicia"));
  EXPECT_EQ(CamposDaResposta(sat.ConsultarStatusOperacional(4, CODIGO)).at(1), "10000");
  EXPECT_EQ(CamposDaResposta(sat.EnviarDadosVenda(5, CODIGO, Venda().c_str())).at(1), "06000");

  // Killed and started again between two commands: the second works.
  ASSERT_TRUE(PedeAoEmulador("mata"));
  ASSERT_TRUE(PedeAoEmulador("reinicia"));
  EXPECT_EQ(CamposDaResposta(sat.ConsultarStatusOperacional(6, CODIGO)).at(1), "10000");
  EXPECT_EQ(sat.Codigo(), 0);
}

} // namespace
