// The shipped binary, loaded and unloaded as an application does: its exports, its first
// session numbers, its version text and its start banner. Runs natively and, for the DLL,
// under wine.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/biblioteca.h"
#include "tests/versao.h"

namespace fs = std::filesystem;

namespace {

TEST(Carga, EveryExportIsFoundByItsUndecoratedName) {
  Biblioteca sat;
  ASSERT_TRUE(sat.Carregada()) << Biblioteca::Caminho();
  for (const char *nome :
       {"CodigoErro", "GeraNumeroSessao", "VersaoLib", "ArquivoLog", "ConfiguraTimeout"}) {
    EXPECT_NE(sat.Funcao<void (*)()>(nome), nullptr) << nome;
  }
}

TEST(Carga, FirstSessionNumbersOfAFreshLoad) {
  // Only this test draws numbers, so the first four of this thread are the series' first.
  Biblioteca sat;
  ASSERT_TRUE(sat.Carregada());
  auto gera = sat.Funcao<FnGeraNumeroSessao>("GeraNumeroSessao");
  ASSERT_NE(gera, nullptr);
  std::vector<int32_t> numeros;
  for (int i = 0; i < 4; ++i) {
    numeros.push_back(gera());
  }
  EXPECT_EQ(numeros, (std::vector<int32_t>{18508, 3486, 445, 13094}));
}

TEST(Carga, VersionTextByteForByte) {
  Biblioteca sat;
  auto versao = sat.Funcao<FnVersaoLib>("VersaoLib");
  ASSERT_NE(versao, nullptr);
  EXPECT_EQ(std::string(versao()), std::string(kVersaoEsperada));
  EXPECT_EQ(versao(), versao());
}

TEST(Carga, ErrorRecordIsEmptyAfterLoadAndConfiguraTimeoutChangesNothing) {
  Biblioteca sat;
  auto timeout = sat.Funcao<FnConfiguraTimeout>("ConfiguraTimeout");
  auto codigo = sat.Funcao<FnCodigoErro>("CodigoErro");
  ASSERT_NE(timeout, nullptr);
  ASSERT_NE(codigo, nullptr);
  timeout(-1);
  timeout(0);
  char registro[804];
  std::memset(registro, 0x55, sizeof registro);
  EXPECT_EQ(codigo(registro), registro);
  for (unsigned char c : registro) {
    ASSERT_EQ(c, 0);
  }
}

class DiretorioTemporario {
public:
  explicit DiretorioTemporario(const char *nome) {
    // Its own folder: the same test of another build may run at the same time.
    caminho_ = fs::temp_directory_path() /
               (std::string(nome) + "-" + std::to_string(std::random_device{}()));
    fs::remove_all(caminho_);
    fs::create_directories(caminho_);
    anterior_ = fs::current_path();
    fs::current_path(caminho_);
  }
  ~DiretorioTemporario() {
    fs::current_path(anterior_);
    std::error_code ignorado;
    fs::remove_all(caminho_, ignorado);
  }
  static void Escreve(const fs::path &arquivo, const std::string &conteudo) {
    std::ofstream(arquivo, std::ios::binary) << conteudo;
  }
  static std::string Le(const fs::path &arquivo) {
    std::ifstream f(arquivo, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

private:
  fs::path caminho_, anterior_;
};

TEST(Carga, BannerIsTheFirstRecordWhenSatIniTurnsLoggingOn) {
  DiretorioTemporario dir("libsat-carga-banner");
  DiretorioTemporario::Escreve("sat.ini", "[log]\r\nGeraArqLog = 1\r\nNomeArqLog = sat.log\r\n");
  {
    Biblioteca sat;
    ASSERT_TRUE(sat.Carregada());
  }
  std::string log = DiretorioTemporario::Le("sat.log");
  // The whole file: one record, CR LF line ends, the milliseconds left-aligned in 3 columns.
  std::string banner = kVersaoEsperada;
  banner.insert(banner.size() - 1, "\r");
  std::regex marca("\r\n[0-3][0-9]/[01][0-9]/20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]:"
                   "(\\d  |\\d\\d |\\d\\d\\d) ");
  std::smatch achada;
  EXPECT_TRUE(std::regex_search(log, achada, marca, std::regex_constants::match_continuous) &&
              log.substr(static_cast<size_t>(achada.length())) == banner)
      << "log: [" << log << "]";
}

TEST(Carga, ArquivoLogMovesTheLogOfALoadedLibrary) {
  DiretorioTemporario dir("libsat-carga-arquivolog");
  Biblioteca sat;
  auto arquivoLog = sat.Funcao<FnArquivoLog>("ArquivoLog");
  ASSERT_NE(arquivoLog, nullptr);
  EXPECT_FALSE(fs::exists("app.log")) << "no sat.ini, no log";
  arquivoLog("app.log");
  arquivoLog(std::string(100, 'x').c_str());
  EXPECT_NE(DiretorioTemporario::Le("app.log").find("recusado"), std::string::npos);
}

} // namespace
