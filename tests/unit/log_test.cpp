// The log file: its name from sat.ini (or ArquivoLog), the record format, and when sat.ini is
// read again.
#include <cstring>
#include <string>

#include "sat.h"
#include "support/armazenamento.h"
#include "support/log.h"
#include "tests/unit/substituto.h"

namespace {

class LogTest : public SubstitutoTest {};

struct CasoIni {
  const char *nome;
  std::string conteudo;
  std::string caminhoEsperado;
};

std::string Repete(char c, size_t n) { return std::string(n, c); }

TEST_F(LogTest, ReadsTheLogNameFromSatIni) {
  const CasoIni casos[] = {
      {"spaces around, CRLF lines", "GeraArqLog = 1\r\nNomeArqLog = logs\\sat.txt\r\n",
       "logs\\sat.txt"},
      {"off", "GeraArqLog=0\r\nNomeArqLog=a.txt\r\n", ""},
      {"empty value", "GeraArqLog=\r\nNomeArqLog=a.txt\r\n", ""},
      {"key is case-sensitive", "geraarqlog=1\r\nNomeArqLog=a.txt\r\n", ""},
      {"name before the switch", "NomeArqLog=a.txt\r\nGeraArqLog=1\r\n", ""},
      {"no name, no default file", "GeraArqLog=1\r\n", ""},
      {"only the first character counts (10)", "GeraArqLog=10\nNomeArqLog=a.txt", "a.txt"},
      {"only the first character counts (1;x)", "GeraArqLog=1;x\nNomeArqLog=a.txt", "a.txt"},
      {"tab after = is not skipped", "GeraArqLog=\t1\nNomeArqLog=a.txt", ""},
      {"= on another line", "GeraArqLog\r\n= 1\r\nNomeArqLog\r\n=a.txt", "a.txt"},
      {"no = after the switch", "GeraArqLog 1", ""},
      {"tab ends the name", "GeraArqLog=1\nNomeArqLog=lo\tg.txt\n", "lo"},
      {"accented letter ends the name", "GeraArqLog=1\nNomeArqLog=lo\xE9g.txt\n", "lo"},
      {"trailing spaces stay", "GeraArqLog=1\nNomeArqLog=log.txt  \r\n", "log.txt  "},
      {"name at the very end", "GeraArqLog=1\nNomeArqLog=fim.log", "fim.log"},
      {"zero byte ends the text", std::string("GeraArqLog=1\0NomeArqLog=a.txt", 29), ""},
      {"key beyond 1024 bytes", Repete('#', 1020) + "GeraArqLog=1\nNomeArqLog=a.txt", ""},
      {"name cut by the 1024-byte read", Repete('#', 991) + "GeraArqLog=1\nNomeArqLog=abcdefghijkl",
       "abcdefghi"},
      {"99-character name", "GeraArqLog=1\nNomeArqLog=" + Repete('n', 99) + "\n", Repete('n', 99)},
      {"100-character name is refused", "GeraArqLog=1\nNomeArqLog=" + Repete('n', 100) + "\n", ""},
      {"long tail after a tab still fits",
       "GeraArqLog=1\nNomeArqLog=curto.log\t" + Repete('x', 200) + "\n", "curto.log"},
  };
  for (const CasoIni &caso : casos) {
    SCOPED_TRACE(caso.nome);
    std::memset(CaminhoLog, 0, sizeof CaminhoLog);
    sub().arquivos["sat.ini"] = caso.conteudo;
    LeConfiguracao();
    EXPECT_EQ(std::string(CaminhoLog), caso.caminhoEsperado);
  }
}

TEST_F(LogTest, NoSatIniMeansNoLog) {
  GravaLog("abc");
  EXPECT_TRUE(sub().anexosAbertos.empty());
  EXPECT_EQ(CaminhoLog[0], '\0');
}

TEST_F(LogTest, RecordFormatWithMillisecondField) {
  struct {
    int ms;
    const char *esperado;
  } casos[] = {
      {7, "\r\n07/12/2017 14:03:09:7   abc"},
      {42, "\r\n07/12/2017 14:03:09:42  abc"},
      {999, "\r\n07/12/2017 14:03:09:999 abc"},
  };
  LigaLog();
  for (const auto &caso : casos) {
    sub().arquivos["sat.log"].clear();
    sub().hora.milissegundo = caso.ms;
    GravaLog("abc");
    EXPECT_EQ(Log(), caso.esperado);
  }
}

TEST_F(LogTest, EveryLineFeedReachesTheFileAsCrLf) {
  LigaLog();
  sub().hora = DataHora{2026, 1, 2, 3, 4, 5, 6};
  GravaLog("linha1\nlinha2\r\nfim\n");
  GravaLog("");
  EXPECT_EQ(Log(), "\r\n02/01/2026 03:04:05:6   linha1\r\nlinha2\r\r\nfim\r\n"
                   "\r\n02/01/2026 03:04:05:6   ");
}

TEST_F(LogTest, OnceOnSatIniIsNotReadAgain) {
  LigaLog();
  GravaLog("um");
  sub().arquivos.erase("sat.ini");
  GravaLog("dois");
  sub().arquivos["sat.ini"] = "GeraArqLog=0\n";
  GravaLog("tres");
  EXPECT_NE(Log().find("um"), std::string::npos);
  EXPECT_NE(Log().find("dois"), std::string::npos);
  EXPECT_NE(Log().find("tres"), std::string::npos);
}

TEST_F(LogTest, WhileOffEveryRecordTriesSatIniAgain) {
  GravaLog("perdido");
  LigaLog();
  GravaLog("achado");
  EXPECT_EQ(Log().find("perdido"), std::string::npos);
  EXPECT_NE(Log().find("achado"), std::string::npos);
}

TEST_F(LogTest, AFileThatCannotBeOpenedDropsTheRecordSilently) {
  sub().arquivos["sat.ini"] = "GeraArqLog=1\nNomeArqLog=naoexiste/sat.log\n";
  GravaLog("abc");
  GravaLog("def");
  EXPECT_EQ(std::string(CaminhoLog), "naoexiste/sat.log");
  EXPECT_EQ(sub().arquivos.count("naoexiste/sat.log"), 0u);
}

TEST_F(LogTest, ArquivoLogWithEmptyNameFollowsSatIniAgain) {
  ArquivoLog("manual.log");
  ArquivoLog("");
  EXPECT_EQ(CaminhoLog[0], '\0');
  GravaLog("sem log");
  EXPECT_TRUE(sub().anexosAbertos.empty());
  LigaLog();
  GravaLog("com log");
  EXPECT_NE(Log().find("com log"), std::string::npos);
}

TEST_F(LogTest, ArquivoLogWinsOverSatIni) {
  LigaLog();
  ArquivoLog("app.log");
  GravaLog("abc");
  EXPECT_EQ(sub().arquivos.count("sat.log"), 0u);
  EXPECT_NE(sub().arquivos["app.log"].find("abc"), std::string::npos);
}

} // namespace
