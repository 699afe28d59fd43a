// satd's logic without a device: the text conversions, the form, the checks of every field,
// the credentials, the configuration and the queue.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "configuracao.h"
#include "credenciais.h"
#include "diario.h"
#include "dispositivo.h"
#include "fila.h"
#include "funcoes.h"
#include "metricas.h"
#include "painel.h"
#include "texto.h"

namespace {

using satd::Fila;

TEST(Texto, Windows1252AndUtf8) {
  const struct {
    std::string cp1252;
    std::string utf8;
  } pares[] = {
      {"SAT em opera\xE7\xE3o", "SAT em opera\xC3\xA7\xC3\xA3o"},
      {"conte\xFA"
       "do",
       "conte\xC3\xBA"
       "do"},
      {"\x80", "\xE2\x82\xAC"},         // euro sign
      {"\x8A\x9F", "\xC5\xA0\xC5\xB8"}, // S with caron, Y with diaeresis
      {"\x93x\x94", "\xE2\x80\x9Cx\xE2\x80\x9D"},
      {"\xA0\xFF", "\xC2\xA0\xC3\xBF"},
      {"a|b\r\n", "a|b\r\n"},
  };
  for (const auto &p : pares) {
    EXPECT_EQ(satd::Windows1252ParaUtf8(p.cp1252), p.utf8);
    std::string volta;
    std::string erro;
    EXPECT_TRUE(satd::Utf8ParaWindows1252(p.utf8, volta, erro)) << erro;
    EXPECT_EQ(volta, p.cp1252);
  }
  // Every byte but NUL comes back as it went, except the five undefined ones, which turn into
  // C1 controls that are refused on the way in.
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    std::string volta;
    std::string erro;
    const bool indefinido = b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
    EXPECT_EQ(satd::Utf8ParaWindows1252(satd::Windows1252ParaUtf8(byte), volta, erro), !indefinido)
        << b;
    if (!indefinido) {
      EXPECT_EQ(volta, byte) << b;
    }
  }
}

TEST(Texto, RefusedUtf8) {
  const struct {
    std::string utf8;
    std::string erro;
  } casos[] = {
      {"seta \xE2\x86\x92", "caractere U+2192 no byte 5 sem equivalente em Windows-1252"},
      {"\xF0\x9F\x98\x80", "caractere U+1F600 no byte 0 sem equivalente em Windows-1252"},
      {"\xC4\x80", "caractere U+0100 no byte 0 sem equivalente em Windows-1252"},
      {"a\xC3\x28", "UTF-8 inválido no byte 1"},
      {"\xC0\xAF", "UTF-8 inválido no byte 0"},         // overlong
      {"\xED\xA0\x80", "UTF-8 inválido no byte 0"},     // surrogate
      {"xx\xE2\x82", "UTF-8 inválido no byte 2"},       // cut short
      {"\xF4\x90\x80\x80", "UTF-8 inválido no byte 0"}, // beyond U+10FFFF
      {"\xA9", "UTF-8 inválido no byte 0"},             // Latin-1, not UTF-8
      {std::string("a\0b", 3), "caractere de controle U+0000 no byte 1"},
      {"\xC2\x85", "caractere de controle U+0085 no byte 0"},
  };
  for (const auto &c : casos) {
    std::string saida;
    std::string erro;
    EXPECT_FALSE(satd::Utf8ParaWindows1252(c.utf8, saida, erro)) << c.erro;
    EXPECT_EQ(erro, c.erro);
  }
}

TEST(Texto, Form) {
  using Mapa = std::map<std::string, std::string>;
  const struct {
    const char *corpo;
    bool aceito;
    Mapa campos;
  } casos[] = {
      {"a=1&b=dois", true, {{"a", "1"}, {"b", "dois"}}},
      {"a=%3Cx%3e+y%2B%25", true, {{"a", "<x> y+%"}}},
      {"&&a=&b&", true, {{"a", ""}, {"b", ""}}},
      {"a=%C3%A7", true, {{"a", "\xC3\xA7"}}},
      {"a=b=c", true, {{"a", "b=c"}}},
      {"", true, {}},
      {"a=%4", false, {}},
      {"a=%G0", false, {}},
      {"a%=1", false, {}},
      {"a=1&a=1", false, {}},
  };
  for (const auto &c : casos) {
    Mapa campos;
    std::string erro;
    EXPECT_EQ(satd::LeFormulario(c.corpo, campos, erro), c.aceito) << c.corpo;
    if (c.aceito) {
      EXPECT_EQ(campos, c.campos) << c.corpo;
    }
  }
}

// Every refusal a checkout can meet before the library, and what passes.
TEST(Pedido, FieldChecks) {
  const std::string chave = "CFe" + std::string(44, '3');
  const std::string base64 = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD";
  const struct {
    const char *funcao;
    std::string corpo;
    const char *erro; // nullptr: accepted
  } casos[] = {
      {"consultarsat", "numero_caixa=0", nullptr},
      {"consultarsat", "numero_caixa=1000", "numero_caixa deve ser um número inteiro de 0 a 999"},
      {"consultarsat", "numero_caixa=-1", "numero_caixa deve ser"},
      {"consultarsat", "numero_caixa=1.5", "numero_caixa deve ser"},
      {"consultarsat", "", "numero_caixa deve ser"},
      // Hub clients' own fields are left out (and logged by the server).
      {"consultarsat", "numero_caixa=1&extra=2&codigo_ativacao=12345678&%FF=1", nullptr},
      {"ativarsat", "numero_caixa=1&tipo_certificado=1&cnpj=11222333000181&codigo_uf=35", nullptr},
      {"ativarsat", "numero_caixa=1&tipo_certificado=4&cnpj=11222333000181&codigo_uf=35",
       "tipo_certificado deve ser um número inteiro de 1 a 3"},
      // What the SAT judges goes to it: a CNPJ's length, a state's code, a key's layout.
      {"ativarsat", "numero_caixa=1&tipo_certificado=1&cnpj=1122233300018&codigo_uf=34", nullptr},
      {"ativarsat", "numero_caixa=1&tipo_certificado=1&cnpj=11222333000181&codigo_uf=100",
       "codigo_uf deve ser um número inteiro de 0 a 99"},
      {"ativarsat", "numero_caixa=1&tipo_certificado=1&cnpj=1%7C2&codigo_uf=35", "cnpj contém '|'"},
      {"ativarsat", "numero_caixa=1&tipo_certificado=1&cnpj=11222333000181",
       "falta o campo codigo_uf"},
      {"enviardadosvenda", "numero_caixa=1&dados_venda=%3CCFe%3Ea%7Cb", nullptr},
      {"enviardadosvenda", "numero_caixa=1&dados_venda=", "dados_venda está vazio"},
      // A document goes in the encoding it declares: UTF-8 as it came, Windows-1252 converted.
      {"enviardadosvenda", "numero_caixa=1&dados_venda=%3CCFe%3E%E2%86%92", nullptr},
      {"enviardadosvenda",
       "numero_caixa=1&dados_venda=%3C%3Fxml+encoding%3D%22windows-1252%22%3F%3E%E2%86%92",
       "dados_venda: caractere U+2192 no byte 31 sem equivalente em Windows-1252"},
      {"enviardadosvenda", "numero_caixa=1&dados_venda=%3CCFe%3E%C3%28",
       "dados_venda: UTF-8 inválido no byte 5"},
      {"configurarinterfacederede", "numero_caixa=1&configuracao=%3Cconfig%3E%00",
       "configuracao: caractere de controle"},
      {"comunicarcertificadoicpbrasil", "numero_caixa=1&certificado=%E2%86%92",
       "certificado: caractere U+2192 no byte 0 sem equivalente em Windows-1252"},
      {"testefimafim", "numero_caixa=1&dados_venda=a%7Cb", "dados_venda contém '|'"},
      {"cancelarultimavenda", "numero_caixa=1&chave_cfe=" + chave + "&dados_cancelamento=x",
       nullptr},
      {"cancelarultimavenda",
       "numero_caixa=1&chave_cfe=" + chave.substr(1) + "&dados_cancelamento=x", nullptr},
      {"consultarnumerosessao", "numero_caixa=1&numero_sessao=999999", nullptr},
      {"consultarnumerosessao", "numero_caixa=1&numero_sessao=0",
       "numero_sessao deve ser um número inteiro de 1 a 999999"},
      {"configurarinterfacederede", "numero_caixa=1&configuracao=%3Cconfig%2F%3E", nullptr},
      {"associarassinatura",
       "numero_caixa=1&sequencia_cnpj=2223334400018311222333000181&assinatura_ac=" + base64,
       nullptr},
      {"associarassinatura",
       "numero_caixa=1&sequencia_cnpj=2223334400018311222333000181&assinatura_ac=a%21", nullptr},
      {"trocarcodigodeativacao", "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=1", nullptr},
      {"trocarcodigodeativacao",
       "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=1&codigo_emergencia=", nullptr},
      {"trocarcodigodeativacao",
       "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=2&codigo_emergencia=87654321", nullptr},
      {"trocarcodigodeativacao", "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=2",
       "codigo_emergencia vem com opcao 2"},
      {"trocarcodigodeativacao",
       "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=1&codigo_emergencia=87654321",
       "codigo_emergencia vem com opcao 2"},
      {"trocarcodigodeativacao", "numero_caixa=1&novo_codigo_ativacao=curto&opcao=1",
       "novo_codigo_ativacao deve ter de 8 a 32 caracteres ASCII visíveis"},
      {"trocarcodigodeativacao", "numero_caixa=1&novo_codigo_ativacao=novo+1234&opcao=1",
       "novo_codigo_ativacao deve ter de 8 a 32 caracteres ASCII visíveis"},
      {"bloquearsat", "numero_caixa=1&numero_caixa=2", "campo numero_caixa repetido"},
      {"bloquearsat", "numero_caixa=%ZZ", "escape %XX malformado"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(std::string(c.funcao) + " " + c.corpo);
    const satd::Funcao *funcao = satd::ProcuraFuncao(c.funcao);
    ASSERT_NE(funcao, nullptr);
    satd::Pedido pedido;
    std::string erro;
    EXPECT_EQ(satd::LePedido(*funcao, c.corpo, nullptr, pedido, erro), c.erro == nullptr) << erro;
    if (c.erro != nullptr) {
      EXPECT_EQ(erro.rfind(c.erro, 0), 0u) << erro;
    }
  }
  EXPECT_EQ(satd::ProcuraFuncao("ConsultarSAT"), nullptr);

  // What passes reaches the library in Windows-1252, but for a document that declares no
  // single-byte encoding: it stays UTF-8, as its declaration (or XML's default) says.
  const struct {
    const char *funcao, *corpo, *campo, *valor;
  } convertidos[] = {
      {"comunicarcertificadoicpbrasil", "numero_caixa=007&certificado=P%C3%A3o", "certificado",
       "P\xE3o"},
      {"enviardadosvenda", "numero_caixa=007&dados_venda=P%C3%A3o", "dados_venda", "P\xC3\xA3o"},
      {"enviardadosvenda",
       "numero_caixa=007&dados_venda=%3C%3Fxml+encoding%3D%27ISO-8859-1%27%3F%3EP%C3%A3o",
       "dados_venda", "<?xml encoding='ISO-8859-1'?>P\xE3o"},
  };
  for (const auto &c : convertidos) {
    SCOPED_TRACE(c.corpo);
    satd::Pedido pedido;
    std::string erro;
    ASSERT_TRUE(satd::LePedido(*satd::ProcuraFuncao(c.funcao), c.corpo, nullptr, pedido, erro))
        << erro;
    EXPECT_EQ(pedido.caixa, 7);
    EXPECT_EQ(pedido.campos.at(c.campo), c.valor);
  }
}

TEST(Pedido, DeviceCode) {
  EXPECT_EQ(satd::CodigoDaResposta("000042|08000|SAT em opera\xE7\xE3o||"), "08000");
  EXPECT_EQ(satd::CodigoDaResposta("000042|9999|Timeout"), "-");
  EXPECT_EQ(satd::CodigoDaResposta("Erro ao tentar abrir a porta"), "-");
  EXPECT_EQ(satd::CodigoDaResposta("000042|06000"), "06000");
}

TEST(Credenciais, Basic) {
  const satd::Credenciais credenciais("caixa", "s3nha forte");
  // base64("caixa:s3nha forte") = Y2FpeGE6czNuaGEgZm9ydGU=
  const struct {
    const char *cabecalho;
    bool aceito;
  } casos[] = {
      {"Basic Y2FpeGE6czNuaGEgZm9ydGU=", true},
      {"basic  Y2FpeGE6czNuaGEgZm9ydGU= ", true},
      {"Basic Y2FpeGE6czNuaGEgZm9ydGF=", false},
      {"Basic Y2FpeGE6czNuaGEgZm9ydA==", false}, // "caixa:s3nha fort"
      {"Bearer Y2FpeGE6czNuaGEgZm9ydGU=", false},
      {"BasicY2FpeGE6czNuaGEgZm9ydGU=", false},
      {"Basic ", false},
      {"", false},
  };
  for (const auto &c : casos) {
    EXPECT_EQ(credenciais.Conferem(c.cabecalho), c.aceito) << c.cabecalho;
  }
  EXPECT_FALSE(credenciais.Conferem("Basic Y2FpeGE6czNuaGEgZm9ydGU=x"));
  EXPECT_TRUE(credenciais.Exigidas());
  EXPECT_TRUE(satd::Credenciais("", "").Conferem(""));
}

TEST(Configuracao, Files) {
  char modelo[] = "/tmp/satdcfg.XXXXXX";
  const std::string pasta = mkdtemp(modelo);
  std::ofstream(pasta + "/codigo") << "abcdefgh\n";
  const std::string sat = "[sat]\ncodigo_ativacao = \"12345678\"\n";
  const std::string rede = "[http]\nendereco = \"0.0.0.0\"\n";
  const std::string caixas = "[http]\nusuario = \"u\"\nsenha = \"p\"\n";
  const std::string tls = "certificado = \"c.pem\"\nchave = \"k.pem\"\n";
  const std::string lan = "clientes = [\"192.168.0.0/24\"]\n";
  std::ofstream(pasta + "/senha") << "segredo\r\n";
  const auto central = [&](const std::string &conexao, const std::string &mais = "") {
    return sat + "[central]\nconexao = \"" + conexao + "\"\n" + mais;
  };
  const char *const alem = "além do loopback sem sslmode=verify-full";
  const struct {
    std::string texto;
    const char *erro; // nullptr: accepted
  } casos[] = {
      {sat, nullptr},
      {rede + "usuario = \"u\"\nsenha = \"p\"\n" + tls + sat, nullptr},
      {rede + "usuario = \"u\"\nsenha = \"p\"\n" + sat, "sem TLS: defina http.certificado"},
      {rede + sat, "está além do loopback: defina http.usuario e http.senha, ou http.clientes"},
      {rede + lan + sat, nullptr},
      {"[http]\nendereco = \"::\"\n" + lan + sat, nullptr},
      {"[http]\nendereco = \"::1\"\n" + sat, nullptr},
      {"[http]\nendereco = \"localhost\"\n" + sat, "http.endereco deve ser um endereço IP"},
      {"[http]\nendereco = \"127.evil.com\"\n" + sat, "http.endereco deve ser um endereço IP"},
      {"[http]\nclientes = \"10.0.0.0/8\"\n" + sat, "http.clientes deve ser uma lista de textos"},
      {"[http]\nclientes = [\"10.0.0.1\", 2]\n" + sat, "http.clientes deve ser uma lista"},
      {"[http]\nclientes = [\"caixa1.loja\"]\n" + sat, "http.clientes inválido: \"caixa1.loja\""},
      {"[http]\nclientes = []\n" + sat, nullptr},
      {"[http]\nconexoes = 4097\n" + sat, "http.conexoes deve ser um número inteiro de 4 a 4096"},
      {"[http]\nconexoes_por_endereco = 0\n" + sat,
       "http.conexoes_por_endereco deve ser um número inteiro"},
      {"[http]\nconexoes = 64\nconexoes_por_endereco = 65\n" + sat,
       "http.conexoes_por_endereco não pode passar de http.conexoes"},
      {"[http]\nprazo_ms = 99\n" + sat, "http.prazo_ms deve ser um número inteiro de 100 a 600000"},
      {"[http]\nociosa_s = 3601\n" + sat, "http.ociosa_s deve ser um número inteiro de 1 a 3600"},
      {"[diario]\narquivo = \"\"\n" + sat, "diario.arquivo deve ser um texto não vazio"},
      {caixas + "[tecnico]\nusuario = \"t\"\nsenha = \"q\"\n" + sat, nullptr},
      {rede + lan + "[tecnico]\nusuario = \"t\"\nsenha = \"q\"\n" + sat, nullptr},
      {"[tecnico]\nusuario = \"t\"\nsenha = \"q\"\n" + sat, "tecnico.usuario exige http.usuario"},
      {caixas + "[tecnico]\nusuario = \"t:1\"\nsenha = \"q\"\n" + sat, "tecnico.usuario e"},
      {caixas + "[tecnico]\nusuario = \"u\"\nsenha = \"q\"\n" + sat,
       "tecnico.usuario deve ser diferente"},
      {caixas +
           "[metricas]\nusuario = \"m\"\nsenha = \"q\"\n[tecnico]\nusuario = \"m\"\n"
           "senha = \"r\"\n" +
           sat,
       "tecnico.usuario deve ser diferente"},
      {"[http]\nendereco = \"192.168.0.2\"\nusuario = \"u\"\n" + sat, "usuario e http.senha vêm"},
      {"[http]\ncertificado = \"c.pem\"\n" + sat, "http.certificado e http.chave vêm juntos"},
      {"[http]\nporta = \"80\"\n" + sat, "http.porta deve ser um número inteiro de 0 a 65535"},
      {"[http]\nporta = 70000\n" + sat, "http.porta deve ser um número inteiro"},
      {"[http]\nbase = \"hub/v1\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"/\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"//x\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"/..\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"/a/./b\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"/a/\"\n" + sat, "http.base deve ser um caminho"},
      {"[http]\nbase = \"/satd_1/a.b-c\"\n" + sat, nullptr},
      {"[http]\nporto = 80\n" + sat, "chave desconhecida http.porto"},
      {"[web]\nporta = 80\n" + sat, "seção desconhecida [web]"},
      {"[http]\nconexoes = 10\n[fila]\ntamanho = 9\n" + sat, "http.conexoes deve passar"},
      {"[fila]\nespera_ms = 0\n" + sat, "fila.espera_ms deve ser um número inteiro"},
      {"[sat]\nporta = 7\n", "defina sat.codigo_ativacao ou"},
      {"[sat]\ncodigo_ativacao = \"curto\"\n", "o código de ativação deve ter de 8 a 32"},
      {"[sat]\narquivo_codigo_ativacao = \"" + pasta + "/codigo\"\n", nullptr},
      {"[sat]\narquivo_codigo_ativacao = \"" + pasta + "/nenhum\"\n",
       "não foi possível ler o código de ativação"},
      {"[http\n", ":1: "},
      {"[saude]\nintervalo_s = -1\n" + sat, "saude.intervalo_s deve ser um número inteiro de 0"},
      {"[saude]\ncertificado_dias = 0\n" + sat,
       "saude.certificado_dias deve ser um número inteiro"},
      {"[saude]\nrelogio_minutos = 1441\n" + sat,
       "saude.relogio_minutos deve ser um número inteiro"},
      {"[http]\nusuario = \"u\"\nsenha = \"p\"\n[metricas]\nusuario = \"m\"\nsenha = \"q\"\n" + sat,
       nullptr},
      {"[metricas]\nusuario = \"m\"\nsenha = \"q\"\n" + sat, "metricas.usuario exige http.usuario"},
      {"[http]\nusuario = \"u\"\nsenha = \"p\"\n[metricas]\nusuario = \"m\"\n" + sat,
       "metricas.usuario e metricas.senha vêm juntos"},
      {"[http]\nusuario = \"u\"\nsenha = \"p\"\n[metricas]\nusuario = \"m:n\"\nsenha = \"q\"\n" +
           sat,
       "metricas.usuario e metricas.senha vêm juntos"},
      {caixas + "[arquivo]\nusuario = \"c\"\nsenha = \"q\"\n" + sat, nullptr},
      {"[arquivo]\nusuario = \"c\"\nsenha = \"q\"\n" + sat, "arquivo.usuario exige http.usuario"},
      {caixas + "[arquivo]\nusuario = \"c\"\n" + sat, "arquivo.usuario e arquivo.senha vêm"},
      {caixas +
           "[tecnico]\nusuario = \"t\"\nsenha = \"q\"\n[arquivo]\nusuario = \"t\"\n"
           "senha = \"r\"\n" +
           sat,
       "arquivo.usuario deve ser diferente"},
      {central("host=/run/postgresql dbname=lojas"), nullptr},
      {central("host=127.0.0.1,::1 dbname=lojas"), nullptr},
      {central("postgresql://satd@[::1]:5433/lojas"), nullptr},
      {central("host=db.rede.com.br sslmode=verify-full sslrootcert=/etc/satd/ca.pem",
               "arquivo_senha = \"" + pasta + "/senha\"\nloja = \"Centro\"\nlote = 1000\n"),
       nullptr},
      {central("host=db.rede.com.br sslmode=require"), alem},
      {central("host=localhost"), alem},
      {central("host=127.0.0.1,10.0.0.5"), alem},
      {central("host=127.0.0.1 hostaddr=10.0.0.5"), alem},
      {central("host=/tmp password=x"), "não pode trazer a senha"},
      {central("postgresql://satd:x@[::1]/lojas"), "não pode trazer a senha"},
      {central("service=lojas"), "não pode usar service"},
      {central("host=/tmp nada=1"), "central.conexao não é uma conexão que a libpq entenda"},
      {central("host=/tmp", "arquivo_senha = \"" + pasta + "/nenhuma\"\n"),
       "não foi possível ler a senha de central.arquivo_senha"},
      {sat + "[central]\nloja = \"Centro\"\n", "[central] exige central.conexao"},
      {sat + "[impressora]\ndestino = \"tcp://10.0.0.9:9100\"\npapel = 58\nimagem = true\n",
       nullptr},
      {sat + "[impressora]\ndestino = \"tcp://10.0.0.9:9100\"\npapel = 76\n",
       "impressora.papel deve ser 80 ou 58"},
      {sat + "[impressora]\ndestino = \"tcp://:9100\"\n", "impressora.destino: "},
      {sat + "[impressora]\nimagem = true\n", "[impressora] exige impressora.destino"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.texto);
    std::ofstream(pasta + "/satd.toml") << c.texto;
    satd::Configuracao configuracao;
    std::string erro;
    EXPECT_EQ(satd::LeConfiguracao(pasta + "/satd.toml", configuracao, erro), c.erro == nullptr)
        << erro;
    if (c.erro != nullptr) {
      EXPECT_NE(erro.find(c.erro), std::string::npos) << erro;
    }
  }
  satd::Configuracao configuracao;
  std::string erro;
  std::ofstream(pasta + "/satd.toml") << "[sat]\narquivo_codigo_ativacao = \"" + pasta +
                                             "/codigo\"\n[fila]\ntamanho = 3\nespera_ms = 1500\n"
                                             "[saude]\nintervalo_s = 0\ncertificado_dias = 15\n"
                                             "relogio_minutos = 2\n[http]\nconexoes = 8\n"
                                             "prazo_ms = 250\nociosa_s = 5\n" +
                                             lan + "[diario]\narquivo = \"d.sqlite3\"\n";
  ASSERT_TRUE(satd::LeConfiguracao(pasta + "/satd.toml", configuracao, erro)) << erro;
  EXPECT_EQ(configuracao.conexoesPorEndereco, 8u); // the default, lowered with conexoes
  EXPECT_EQ(configuracao.prazo.count(), 250);
  EXPECT_EQ(configuracao.ociosa.count(), 5);
  EXPECT_EQ(configuracao.clientes, std::vector<std::string>{"192.168.0.0/24"});
  EXPECT_TRUE(configuracao.redesClientes.Contem("192.168.0.9"));
  EXPECT_EQ(configuracao.diario, "d.sqlite3");
  EXPECT_EQ(configuracao.codigoAtivacao, "abcdefgh");
  EXPECT_EQ(configuracao.fila, 3u);
  EXPECT_EQ(configuracao.espera.count(), 1500);
  EXPECT_EQ(configuracao.intervaloSaude, 0);
  EXPECT_EQ(configuracao.certificadoDias, 15);
  EXPECT_EQ(configuracao.relogioMinutos, 2);
  EXPECT_EQ(configuracao.endereco, "127.0.0.1");
  EXPECT_FALSE(satd::HttpSemTls(configuracao));
  configuracao.endereco = "::";
  EXPECT_TRUE(satd::HttpSemTls(configuracao));
  configuracao.certificado = "c.pem";
  EXPECT_FALSE(satd::HttpSemTls(configuracao));
  EXPECT_TRUE(satd::GravaArquivoCodigo(pasta + "/codigo", "novo1234", erro)) << erro;
  std::string lido;
  EXPECT_TRUE(satd::LeArquivoCodigo(pasta + "/codigo", lido, erro));
  EXPECT_EQ(lido, "novo1234");
  EXPECT_FALSE(satd::GravaArquivoCodigo(pasta + "/nenhuma/codigo", "novo1234", erro));
  // The central's password comes from its file; the shop's name by default from the host's.
  std::ofstream(pasta + "/satd.toml")
      << central("host=/tmp", "arquivo_senha = \"" + pasta + "/senha\"\nprazo_s = 3\n");
  ASSERT_TRUE(satd::LeConfiguracao(pasta + "/satd.toml", configuracao, erro)) << erro;
  char maquina[256] = {};
  ASSERT_EQ(gethostname(maquina, sizeof maquina - 1), 0);
  EXPECT_EQ(std::tie(configuracao.centralSenha, configuracao.centralLoja, configuracao.centralLote),
            std::make_tuple(std::string("segredo"), std::string(maquina), size_t{200}));
  EXPECT_EQ(configuracao.centralPrazo.count(), 3);
  std::system(("rm -rf " + pasta).c_str());
  // A dual-stack socket shows a local IPv4 client as ::ffff:127.0.0.1.
  for (const char *endereco :
       {"127.0.0.1", "127.1.2.3", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(satd::Loopback(endereco)) << endereco;
  }
  for (const char *endereco :
       {"127.evil.com", "localhost", "128.0.0.1", "::", "::2", "0.0.0.0", ""}) {
    EXPECT_FALSE(satd::Loopback(endereco)) << endereco;
  }
}

TEST(Redes, EntriesAndAddresses) {
  satd::Redes redes;
  std::string erro;
  const struct {
    const char *entrada;
    const char *erro;
  } recusadas[] = {
      {"", "não é um endereço IP"},
      {"caixa1.loja", "não é um endereço IP"},
      {"[::1]", "não é um endereço IP"},
      {"10.0.0.0/33", "não é um endereço IP"},
      {"10.0.0.0/", "não é um endereço IP"},
      {"10.0.0.0/08", "não é um endereço IP"},
      {"fd00::/129", "não é um endereço IP"},
      {"192.168.0.1/24", "escreva o endereço 192.168.0.1 ou a rede 192.168.0.0/24"},
      {"fd00::1/8", "ou a rede fd00::/8"},
      {"::ffff:10.0.0.0/95", "mistura endereços IPv4 mapeados"},
  };
  for (const auto &r : recusadas) {
    EXPECT_FALSE(redes.Le({"10.0.0.7", r.entrada}, erro)) << r.entrada;
    EXPECT_NE(erro.find("\"" + std::string(r.entrada) + "\" "), std::string::npos) << erro;
    EXPECT_NE(erro.find(r.erro), std::string::npos) << erro;
  }
  EXPECT_TRUE(redes.Vazia());
  ASSERT_TRUE(redes.Le({"192.168.0.0/24", "10.0.0.7", "fd00::/8", "::ffff:172.16.0.0/108"}, erro))
      << erro;
  EXPECT_FALSE(redes.Vazia());
  const struct {
    const char *endereco;
    bool contido;
  } enderecos[] = {
      {"192.168.0.255", true},   {"192.168.1.0", false},       {"10.0.0.7", true},
      {"10.0.0.8", false},       {"::ffff:192.168.0.9", true}, {"::ffff:10.0.0.8", false},
      {"172.31.255.255", true},  {"172.32.0.0", false},        {"fd12::1", true},
      {"fd00::1%eth0", true},    {"fe80::1", false},           {"::ffff:c0a8:1", true},
      {"192.168.0.1/24", false}, {"caixa1.loja", false},       {"", false},
  };
  for (const auto &e : enderecos) {
    EXPECT_EQ(redes.Contem(e.endereco), e.contido) << e.endereco;
  }
}

// The worker's side over a substitute library: refused session numbers and the code change.
// The device's texts and the log's lines reach the page as text, never as markup.
TEST(Painel, TextsAreEscaped) {
  satd::Painel painel;
  painel.avaliacao = saude::Avalia(
      "1|10000|Resposta com Sucesso.|||<b>&\"'|DHCP|||||||CONECTADO|<i>||||||||||||||0",
      saude::Instante{2025, 3, 20, 10, 0, 0}, saude::Limites{});
  painel.registro = {"127.0.0.1:1 caixa=- POST /<script> sessao=- codigo=- http=404 0ms"};
  const std::string html = satd::PaginaHtml(painel);
  EXPECT_NE(html.find("<h1>SAT &lt;b&gt;&amp;&quot;&#39;</h1>"), std::string::npos);
  EXPECT_NE(html.find("NIVEL_BATERIA ileg\xC3\xADvel: &#39;&lt;i&gt;&#39;"), std::string::npos);
  EXPECT_NE(html.find("POST /&lt;script&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
}

TEST(Painel, TodaysSales) {
  satd::Painel painel;
  painel.base = "/hub/v1";
  painel.dia.vendas = 3;
  painel.dia.centavos = 123456;
  painel.dia.porHora[9] = {3, 123456};
  satd::Diario::Item item;
  item.chave = std::string(44, '7');
  item.tipo = "venda";
  item.total = "1234.5";
  painel.ultimos = {item};
  const std::string html = satd::PaginaHtml(painel);
  for (const std::string &trecho : std::vector<std::string>{
           "3 vendas, R$ 1.234,56; 0 cancelamentos, R$ 0,00", "data-hora=\"09\" data-vendas=\"3\"",
           "data-hora=\"10\" data-vendas=\"0\"", "<td>R$ 1.234,50</td>",
           "href=\"/hub/v1/cfe/CFe" + item.chave + "\""}) {
    EXPECT_NE(html.find(trecho), std::string::npos) << trecho;
  }
}

// What /metrics serves of a status, of the queue and of the requests; the times in satd's zone
// (three hours behind UTC here, as in most of Brazil). Exact lines, as a scraper reads them.
TEST(Metricas, TheStatusTheQueueAndTheRequests) {
  const char *const zona = std::getenv("TZ");
  const std::string zonaAntes = zona != nullptr ? zona : "";
  setenv("TZ", "<-03>3", 1);
  tzset();
  const std::string chave = "3525031122233300018159900000001";
  const auto status = [&](const std::string &listas, const char *vencimento) {
    return "1|10000|Resposta com Sucesso.|||9\"0\\1\xE7|DHCP|192.168.0.50|02:5A:00:00:00:01|"
           "255.255.255.0|192.168.0.1|192.168.0.1|0.0.0.0|CONECTADO|ALTO|4 GB|12 MB|"
           "20250320100030|01.00.00|00.08|" +
           chave + "0001191234565|" + listas + "|20250320095500|20250320095900|20240101|" +
           vencimento + "|0";
  };
  satd::Painel p;
  p.avaliacao =
      saude::Avalia(status(chave + "0001201234565|" + chave + "0001221234565", "20250330"),
                    saude::Instante{2025, 3, 20, 10, 0, 0}, saude::Limites{});
  p.consultado = true;
  p.idade = 12;
  p.consultadoUnix = 1742475600; // 2025-03-20 10:00:00 -03
  p.inicioUnix = 1742470000;
  p.intervalo = 30;
  p.consultas = 5;
  p.versao = "libsat 2";
  p.fila = satd::Fila::Estado{2, 32, true, 7, 1};

  satd::Requisicoes requisicoes;
  const auto conta = [&](const char *funcao, const std::string &codigo, int http, double s) {
    requisicoes.Conta(*satd::ProcuraFuncao(funcao), codigo, http, s);
  };
  conta("consultarsat", "08000", 200, 0.003);
  conta("enviardadosvenda", "06000", 200, 0.2);
  conta("enviardadosvenda", "06000", 200, 45);
  conta("enviardadosvenda", "-", 503, 70);
  // A device that answers with a new code every time: 32 apart, the rest together.
  for (int i = 0; i < 40; ++i) {
    char codigo[8];
    std::snprintf(codigo, sizeof codigo, "09%03d", i);
    conta("testefimafim", codigo, 200, 0.1);
  }
  conta("testefimafim", "09000", 200, 0.1);

  const std::string texto = satd::TextoMetricas(p, requisicoes);
  const char *const linhas[] = {
      "sat_health_level 1",
      "sat_check_level{check=\"consulta\"} 0",
      "sat_check_level{check=\"certificado\"} 1",
      "sat_check_level{check=\"transmissao\"} 1",
      "sat_check_level{check=\"relogio\"} 0",
      "sat_check_level{check=\"operacao\"} 0",
      "sat_info{nserie=\"9\\\"0\\\\1\xC3\xA7\",ver_sb=\"01.00.00\",ver_layout=\"00.08\"} 1",
      "sat_operation_state 0",
      "sat_certificate_expiry_timestamp_seconds 1743390000", // 2025-03-31 00:00 -03
      "sat_cfe_pending 3",
      "sat_last_transmission_timestamp_seconds 1742475270", // 330 s on the SAT's clock
      "sat_last_sefaz_contact_timestamp_seconds 1742475510",
      "sat_clock_offset_seconds 30",
      "sat_memory_used_bytes 12582912",
      "sat_memory_total_bytes 4294967296",
      "sat_status_age_seconds 12",
      "satd_status_queries_total 5",
      "satd_status_interval_seconds 30",
      "process_start_time_seconds 1742470000",
      "satd_info{biblioteca=\"libsat 2\"} 1",
      "satd_queue_length 2",
      "satd_queue_capacity 32",
      "satd_queue_busy 1",
      "satd_device_calls_total 7",
      "satd_queue_rejected_total 1",
      "satd_requests_total{funcao=\"consultarsat\",codigo=\"08000\",http=\"200\"} 1",
      "satd_requests_total{funcao=\"enviardadosvenda\",codigo=\"06000\",http=\"200\"} 2",
      "satd_requests_total{funcao=\"enviardadosvenda\",codigo=\"-\",http=\"503\"} 1",
      "satd_requests_total{funcao=\"testefimafim\",codigo=\"09000\",http=\"200\"} 2",
      "satd_requests_total{funcao=\"testefimafim\",codigo=\"09031\",http=\"200\"} 1",
      "satd_requests_total{funcao=\"testefimafim\",codigo=\"outro\",http=\"200\"} 8",
      "satd_request_duration_seconds_bucket{funcao=\"consultarsat\",le=\"0.005\"} 1",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"0.1\"} 0",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"0.25\"} 1",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"30\"} 1",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"60\"} 2",
      "satd_request_duration_seconds_bucket{funcao=\"enviardadosvenda\",le=\"+Inf\"} 3",
      "satd_request_duration_seconds_sum{funcao=\"enviardadosvenda\"} 115.2",
      "satd_request_duration_seconds_count{funcao=\"enviardadosvenda\"} 3",
      "satd_request_duration_seconds_count{funcao=\"ativarsat\"} 0",
      "# TYPE satd_request_duration_seconds histogram",
      "# TYPE satd_requests_total counter",
  };
  for (const char *linha : linhas) {
    EXPECT_NE(texto.find(std::string("\n") + linha + "\n"), std::string::npos) << linha;
  }
  EXPECT_EQ(texto.find("codigo=\"09032\""), std::string::npos);

  // Empty lists are nothing waiting; a date that cannot be read gives no expiry.
  p.avaliacao = saude::Avalia(status("|", "20251340"), saude::Instante{2025, 3, 20, 10, 0, 0},
                              saude::Limites{});
  const std::string semData = satd::TextoMetricas(p, requisicoes);
  EXPECT_NE(semData.find("\nsat_cfe_pending 0\n"), std::string::npos);
  EXPECT_NE(semData.find("\nsat_check_level{check=\"certificado\"} 1\n"), std::string::npos);
  EXPECT_EQ(semData.find("sat_certificate_expiry"), std::string::npos);

  // No status yet: the query's own check, and an age since satd started.
  satd::Painel nenhum;
  nenhum.avaliacao.nivel = saude::Nivel::Atencao;
  nenhum.avaliacao.verificacoes.push_back({"consulta", "Consulta", saude::Nivel::Atencao, "", {}});
  nenhum.uptime = 50;
  nenhum.versao = std::string(79, 'v') + "\xC3\xA7"; // the cut falls inside the last character
  const std::string vazio = satd::TextoMetricas(nenhum, satd::Requisicoes());
  EXPECT_NE(vazio.find("\nsatd_info{biblioteca=\"" + std::string(79, 'v') + "\"} 1\n"),
            std::string::npos);
  EXPECT_NE(vazio.find("\nsat_status_age_seconds 50\n"), std::string::npos);
  EXPECT_NE(vazio.find("\nsat_check_level{check=\"consulta\"} 1\n"), std::string::npos);
  for (const char *ausente : {"sat_info", "sat_operation", "sat_cfe", "sat_clock", "sat_memory",
                              "sat_certificate", "satd_requests_total{"}) {
    EXPECT_EQ(vazio.find(ausente), std::string::npos) << ausente;
  }

  if (zona != nullptr) {
    setenv("TZ", zonaAntes.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(Dispositivo, RefusedSessionsAndTheCodeChange) {
  char modelo[] = "/tmp/satddisp.XXXXXX";
  const std::string pasta = mkdtemp(modelo);
  satd::Configuracao configuracao;
  configuracao.codigoAtivacao = "12345678";
  configuracao.arquivoCodigo = pasta + "/codigo";
  satd::Registro registro;
  std::string erro;
  ASSERT_TRUE(registro.Abre(pasta + "/satd.log", erro)) << erro;

  int32_t proxima = 41;
  int recusas = 0;         // how many calls the device refuses next, as used sessions
  std::string codigoTroca; // the device's answer to the code change
  std::vector<std::string> chamadas;
  satd::Biblioteca biblioteca;
  biblioteca.geraSessao = [&] { return proxima++; };
  biblioteca.chama = [&](const satd::Pedido &p, int32_t sessao, const std::string &codigo) {
    chamadas.push_back(std::to_string(sessao) + " " + codigo);
    char resposta[64];
    const bool troca = satd::ComandoDe(p) == satd::Comando::TrocarCodigoDeAtivacao;
    std::snprintf(resposta, sizeof resposta, "%06d|%s||", static_cast<int>(sessao),
                  recusas-- > 0 ? "16097"
                  : troca       ? codigoTroca.c_str()
                                : "16000");
    return std::string(resposta);
  };
  satd::Dispositivo sat(configuracao, registro, nullptr, biblioteca);
  satd::Pedido bloqueio;
  satd::Pedido troca;
  ASSERT_TRUE(satd::LePedido(*satd::ProcuraFuncao("bloquearsat"), "numero_caixa=1", nullptr,
                             bloqueio, erro));
  ASSERT_TRUE(satd::LePedido(*satd::ProcuraFuncao("trocarcodigodeativacao"),
                             "numero_caixa=1&novo_codigo_ativacao=novo1234&opcao=1", nullptr, troca,
                             erro));

  recusas = 2;
  satd::Resultado r = sat.Executa(bloqueio);
  EXPECT_EQ(r.sessao, 43);
  EXPECT_EQ(r.resposta, "000043|16000||");
  recusas = 100; // a device that refuses everything: five tries, then its refusal goes back
  r = sat.Executa(bloqueio);
  EXPECT_EQ(r.sessao, 48);
  EXPECT_EQ(r.resposta, "000048|16097||");
  recusas = 0;
  codigoTroca = "18001"; // refused: the code stays
  sat.Executa(troca);
  codigoTroca = "18000";
  sat.Executa(troca);
  sat.Executa(bloqueio);
  EXPECT_EQ(chamadas,
            (std::vector<std::string>{"41 12345678", "42 12345678", "43 12345678", "44 12345678",
                                      "45 12345678", "46 12345678", "47 12345678", "48 12345678",
                                      "49 12345678", "50 12345678", "51 novo1234"}));
  std::string codigo;
  ASSERT_TRUE(satd::LeArquivoCodigo(pasta + "/codigo", codigo, erro));
  EXPECT_EQ(codigo, "novo1234");
  std::ifstream log(pasta + "/satd.log");
  std::string linha;
  int notas = 0;
  while (std::getline(log, linha)) {
    notas += linha.find("nota: o SAT recusou a sessão") != std::string::npos;
  }
  EXPECT_EQ(notas, 6);
  // A generator that comes back to its numbers (as the library's does after 100 calls): satd
  // still never offers a number it used in its last 10,000 calls.
  proxima = 0;
  biblioteca.geraSessao = [&] {
    const int32_t n = proxima++;
    return n < 100 ? n : (n % 2 != 0 ? n % 100 : 100 + n); // after 100, old numbers come back
  };
  satd::Dispositivo outro(configuracao, registro, nullptr, biblioteca);
  std::set<int32_t> usadas;
  for (int i = 0; i < 149; ++i) {
    EXPECT_TRUE(usadas.insert(outro.Executa(bloqueio).sessao).second) << i;
  }
  std::system(("rm -rf " + pasta).c_str());
}

// Sales and cancellations are noted before they go and their replies kept; a checkout's last
// fiscal reply and a kept session come back from the journal, not the device; a sale the
// journal cannot note never reaches the device.
TEST(Dispositivo, FiscalCallsGoThroughTheJournal) {
  char modelo[] = "/tmp/satddiario.XXXXXX";
  const std::string pasta = mkdtemp(modelo);
  satd::Configuracao configuracao;
  configuracao.codigoAtivacao = "12345678";
  satd::Registro registro;
  satd::Diario diario;
  std::string erro;
  ASSERT_TRUE(registro.Abre(pasta + "/satd.log", erro)) << erro;
  ASSERT_TRUE(diario.Abre(pasta + "/diario.sqlite3", erro)) << erro;
  int32_t proxima = 7;
  bool soBiblioteca = false; // the library fails alone on the next sale, which the SAT signed
  std::vector<std::string> chamadas;
  satd::Biblioteca biblioteca;
  biblioteca.geraSessao = [&] { return proxima++; };
  biblioteca.chama = [&](const satd::Pedido &p, int32_t sessao, const std::string &) {
    chamadas.push_back(satd::NomeDe(*p.funcao));
    if (satd::ComandoDe(p) == satd::Comando::EnviarDadosVenda) {
      // Noted before it went: the row is there, without its reply, while the device works.
      EXPECT_EQ(diario.Pendentes().size(), 1u);
      if (std::exchange(soBiblioteca, false)) {
        return std::string("Erro ao tentar abrir a porta");
      }
    } else if (satd::ComandoDe(p) == satd::Comando::ConsultarNumeroSessao) {
      sessao = std::atoi(p.campos.at("numero_sessao").c_str());
    }
    return std::to_string(sessao) + "|06000|0000|ok|||x|20261209|CFe" + std::string(44, '1') + "|" +
           std::to_string(sessao) + ".00||q";
  };
  satd::Dispositivo sat(configuracao, registro, &diario, biblioteca);
  const auto pedido = [&](const char *funcao, const std::string &corpo) {
    satd::Pedido p;
    EXPECT_TRUE(satd::LePedido(*satd::ProcuraFuncao(funcao), corpo, nullptr, p, erro)) << erro;
    return p;
  };
  const satd::Resultado venda2 =
      sat.Executa(pedido("enviardadosvenda", "numero_caixa=2&dados_venda=a"));
  const satd::Resultado venda3 =
      sat.Executa(pedido("enviardadosvenda", "numero_caixa=3&dados_venda=b"));
  EXPECT_NE(venda2.diario, 0);
  const satd::Pedido ultima2 = pedido("consultarultimasessaofiscal", "numero_caixa=2");
  EXPECT_EQ(sat.Executa(ultima2).resposta, venda2.resposta); // checkout 3 sold last
  EXPECT_TRUE(sat.Executa(ultima2).doDiario);
  EXPECT_EQ(sat.Executa(pedido("consultarnumerosessao",
                               "numero_caixa=9&numero_sessao=" + std::to_string(venda3.sessao)))
                .resposta,
            venda3.resposta);
  // Neither in the journal: the device is asked.
  sat.Executa(pedido("consultarultimasessaofiscal", "numero_caixa=4"));
  sat.Executa(pedido("consultarnumerosessao", "numero_caixa=4&numero_sessao=999"));
  EXPECT_EQ(chamadas,
            (std::vector<std::string>{"enviardadosvenda", "enviardadosvenda",
                                      "consultarultimasessaofiscal", "consultarnumerosessao"}));
  // The library's own failure is no answer: the SAT is asked for the session at once.
  soBiblioteca = true;
  const satd::Resultado venda4 =
      sat.Executa(pedido("enviardadosvenda", "numero_caixa=2&dados_venda=c"));
  EXPECT_EQ(satd::CodigoDaResposta(venda4.resposta), "06000");
  EXPECT_EQ(sat.Executa(ultima2).resposta, venda4.resposta);
  EXPECT_TRUE(diario.Pendentes().empty());
  chamadas.resize(4);
  satd::Diario fechado; // never opened: every write fails
  satd::Dispositivo semDiario(configuracao, registro, &fechado, biblioteca);
  const satd::Resultado recusada =
      semDiario.Executa(pedido("enviardadosvenda", "numero_caixa=2&dados_venda=a"));
  EXPECT_FALSE(recusada.enviada);
  EXPECT_EQ(chamadas.size(), 4u);
  std::system(("rm -rf " + pasta).c_str());
}

// Waits until the queue's state satisfies `condicao`.
template <typename F> bool Espera(const Fila &fila, F condicao) {
  for (int i = 0; i < 3000; ++i) {
    if (condicao(fila.Consulta())) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// A task that holds the worker until it is let go.
struct Trava {
  std::promise<void> solta;
  std::shared_future<void> soltou = solta.get_future().share();
  Fila::Tarefa Tarefa(std::vector<int> &ordem, int n) {
    return [this, &ordem, n] {
      soltou.wait();
      ordem.push_back(n);
    };
  }
};

TEST(Fila, OrderCapacityAndFailure) {
  Fila fila(2, std::chrono::seconds(60));
  fila.Inicia(nullptr);
  std::vector<int> ordem;
  Trava trava;
  auto a = std::async(std::launch::async, [&] { return fila.Executa(trava.Tarefa(ordem, 1)); });
  ASSERT_TRUE(Espera(fila, [](const Fila::Estado &e) { return e.emCurso; }));
  auto b = std::async(std::launch::async, [&] { return fila.Executa(trava.Tarefa(ordem, 2)); });
  ASSERT_TRUE(Espera(fila, [](const Fila::Estado &e) { return e.esperando == 1; }));
  auto c = std::async(std::launch::async, [&] { return fila.Executa(trava.Tarefa(ordem, 3)); });
  ASSERT_TRUE(Espera(fila, [](const Fila::Estado &e) { return e.esperando == 2; }));
  bool correu = false;
  EXPECT_EQ(fila.Executa([&] { correu = true; }), Fila::Desfecho::Cheia);
  trava.solta.set_value();
  EXPECT_EQ(a.get(), Fila::Desfecho::Feita);
  EXPECT_EQ(b.get(), Fila::Desfecho::Feita);
  EXPECT_EQ(c.get(), Fila::Desfecho::Feita);
  EXPECT_EQ(ordem, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(correu);
  EXPECT_EQ(fila.Executa([] { throw std::runtime_error("x"); }), Fila::Desfecho::Falhou);
  EXPECT_EQ(fila.Executa([&] { correu = true; }), Fila::Desfecho::Feita);
  EXPECT_TRUE(correu);
  const Fila::Estado estado = fila.Consulta();
  EXPECT_EQ(estado.feitas, 5u);
  EXPECT_EQ(estado.recusadas, 1u);
}

} // namespace
