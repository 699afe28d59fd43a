#include "estado.h"

#include "apoio.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

using satemu::Leitura;
using satemu::Sat;

std::string Codigo(const std::string &resposta) { return teste::Divide(resposta)[1]; }

class ArquivoEstado : public ::testing::Test {
protected:
  ArquivoEstado() {
    char modelo[] = "/tmp/satemu-estado-XXXXXX";
    diretorio_ = mkdtemp(modelo);
    caminho_ = diretorio_ + "/sat.estado";
  }
  ~ArquivoEstado() override {
    std::remove(caminho_.c_str());
    std::remove((caminho_ + ".tmp").c_str());
    rmdir(diretorio_.c_str());
  }
  void Escreve(const std::string &texto) { std::ofstream(caminho_, std::ios::binary) << texto; }

  // A device as commands leave it: activated, associated, after `vendas` sales and, if asked,
  // the cancellation of the last.
  static Sat Dispositivo(int vendas, bool cancela) {
    Sat sat;
    sat.relogio = [] { return std::time_t{1700000000}; };
    int sessao = 0;
    auto pede = [&](const std::string &pedido) {
      char numero[16];
      std::snprintf(numero, sizeof numero, "%06d|", ++sessao);
      return satemu::Atende(sat, numero + pedido).resposta;
    };
    EXPECT_EQ(Codigo(pede("AtivarSAT|1|12345678|11222333000181|35")), "04000");
    EXPECT_EQ(Codigo(pede("AssociarAssinatura|12345678|2223334400018311222333000181|" +
                          std::string(teste::kAssinaturaPronto))),
              "13000");
    for (int i = 0; i < vendas; ++i)
      EXPECT_EQ(
          Codigo(satemu::Atende(sat, teste::PedidoVenda(std::to_string(++sessao), "12345678",
                                                        teste::XmlVenda(teste::kAssinaturaPronto,
                                                                        "<CPF>12345678909</CPF>")))
                     .resposta),
          "06000");
    if (cancela) {
      const std::string chave = sat.ultimaVenda.chave;
      EXPECT_EQ(Codigo(pede("CancelarUltimaVenda|12345678|CFe" + chave + "|" +
                            teste::XmlCancelamento(chave))),
                "07000");
    }
    return sat;
  }

  std::string diretorio_;
  std::string caminho_;
};

// The end line, made again for a text changed on purpose: what is refused then is the value.
std::string ComFim(const std::string &corpo) {
  const uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(corpo.data()), corpo.size());
  char fim[32];
  std::snprintf(fim, sizeof fim, "fim=%08lx\n", static_cast<unsigned long>(crc));
  return corpo + fim;
}

std::string SemFim(const std::string &texto) { return texto.substr(0, texto.rfind("fim=")); }

int LinhaDe(const std::string &texto, const std::string &campo) {
  const std::size_t onde = texto.find("\n" + campo + "=");
  return onde == std::string::npos
             ? -1
             : static_cast<int>(std::count(texto.begin(), texto.begin() + onde + 1, '\n')) + 1;
}

TEST_F(ArquivoEstado, IdaEVolta) {
  Sat codigos = Dispositivo(2, false);
  codigos.codigoAtivacao = "c%d=g\xE3o 1";
  codigos.codigoEmergencia = "emerg\xEAncia";
  codigos.log += "linha com \x01\xFF bytes\n";
  codigos.emitente.xNome = "Caf\xC3\xA9 & Cia 100%";
  codigos.emitente.xCpl = "";
  codigos.emitente.cRegTrib = "1";
  Sat pronto;
  satemu::DeixaPronto(pronto, "11222333000181", 43, "22233344000183", "QUJD");
  const Sat estados[] = {Sat{}, pronto, Dispositivo(1, false), Dispositivo(1, true), codigos};
  for (const Sat &original : estados) {
    std::string erro;
    ASSERT_TRUE(satemu::SalvaEstado(original, caminho_, erro)) << erro;
    EXPECT_NE(access((caminho_ + ".tmp").c_str(), F_OK), 0);
    EXPECT_EQ(teste::LeArquivo(caminho_), satemu::TextoEstado(original));
    Sat lido;
    lido.sessoes[9] = "fica";
    ASSERT_EQ(satemu::CarregaEstado(lido, caminho_, erro), Leitura::Carregado)
        << erro << "\n"
        << satemu::TextoEstado(original);
    // Written again, what was read gives the same text: every field came back as it went.
    EXPECT_EQ(satemu::TextoEstado(lido), satemu::TextoEstado(original));
    EXPECT_EQ(lido.ultimaSessaoFiscal, original.ultimaSessaoFiscal);
    EXPECT_EQ(lido.log, original.log);
    EXPECT_EQ(lido.codigoAtivacao, original.codigoAtivacao);
    EXPECT_EQ(lido.emitente.xNome, original.emitente.xNome);
    // Replies of past sessions belong to the running process only.
    EXPECT_EQ(lido.sessoes.size(), 1u);
  }
}

// A file of the version before the taxpayer's name and address is read; the device keeps the
// parametrization it was started with.
TEST_F(ArquivoEstado, VersaoAnteriorSemEmitente) {
  std::string texto = SemFim(satemu::TextoEstado(Dispositivo(1, false)));
  texto.replace(0, texto.find('\n'), "satemu-estado 2");
  texto.erase(texto.find("\nemit_") + 1);
  Escreve(ComFim(texto));
  Sat sat;
  sat.emitente.xNome = "Outro Nome";
  std::string erro;
  ASSERT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Carregado) << erro;
  EXPECT_EQ(sat.ultimoNumero, 1);
  EXPECT_EQ(sat.emitente.xNome, "Outro Nome");
  EXPECT_EQ(satemu::TextoEstado(sat).rfind("satemu-estado 3\n", 0), 0u);
}

// The file of --emitente: names of the document, comments and blanks; a bad line is named.
TEST_F(ArquivoEstado, ArquivoDoEmitente) {
  Escreve("# the shop\n\nxNome = Mercado Bom Pre\xC3\xA7o\nCEP=04567000\r\nxCpl=\n");
  satemu::Emitente emitente;
  std::string erro;
  ASSERT_TRUE(satemu::LeEmitente(caminho_, emitente, erro)) << erro;
  EXPECT_EQ(emitente.xNome, "Mercado Bom Pre\xC3\xA7o");
  EXPECT_EQ(emitente.CEP + emitente.xCpl, "04567000");
  EXPECT_EQ(emitente.xMun, satemu::Emitente{}.xMun);
  const struct {
    const char *texto;
    const char *erro;
  } ruins[] = {
      {"xNome=A\nxNome=B\n", ":2: xNome dado duas vezes"},
      {"nome=A\n", ":1: 'nome' n\xC3\xA3o \xC3\xA9 nenhum de"},
      {"xMun=S\xE3o Paulo\n", ":1: xMun: n\xC3\xA3o \xC3\xA9 texto UTF-8"},
  };
  for (const auto &ruim : ruins) {
    Escreve(ruim.texto);
    satemu::Emitente intacto;
    EXPECT_FALSE(satemu::LeEmitente(caminho_, intacto, erro)) << ruim.texto;
    EXPECT_EQ(erro.rfind(caminho_ + ruim.erro, 0), 0u) << erro;
    EXPECT_EQ(intacto.xNome, satemu::Emitente{}.xNome);
  }
}

TEST_F(ArquivoEstado, ArquivoAusenteNaoMudaNada) {
  Sat sat;
  sat.codigoAtivacao = "x";
  std::string erro;
  EXPECT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Ausente);
  EXPECT_EQ(sat.codigoAtivacao, "x");
}

// Every way a file can be damaged, each refused whole with a message that names the line.
TEST_F(ArquivoEstado, ArquivosDanificadosSaoRecusados) {
  const std::string vendido = satemu::TextoEstado(Dispositivo(12, false));
  const std::string chave = Dispositivo(12, false).ultimaVenda.chave;
  std::string outroDigito = chave;
  outroDigito[43] = outroDigito[43] == '9' ? '0' : static_cast<char>(outroDigito[43] + 1);
  // A value in place of the one the device wrote; the error is on `linha`'s field.
  const struct {
    const char *campo;
    std::string valor;
    const char *linha;
  } valores[] = {
      {"serie", "12345", "serie"},
      {"serie", "90000000a", "serie"},
      {"codigo_ativacao", "", "codigo_ativacao"},
      {"codigo_ativacao", "a%7Cb", "codigo_ativacao"},
      {"codigo_emergencia", "%01", "codigo_emergencia"},
      {"ativacao", "3", "ativacao"},
      {"ativacao", "02", "ativacao"},
      {"ativacao", "0", "cnpj"},
      {"cnpj", "1122", "cnpj"},
      {"cnpj", "11222333000182", "cnpj"},
      {"cnpj", "11444777000161", "venda_chave"},
      {"uf", "99", "uf"},
      {"uf", "43", "venda_chave"},
      {"data_ativacao", "20231399", "data_ativacao"},
      {"data_ativacao", "", "data_ativacao"},
      {"bloqueado", "2", "bloqueado"},
      {"cnpj_software_house", "123", "cnpj_software_house"},
      {"cnpj_software_house", "", "assinatura_ac"},
      {"assinatura_ac", "n%E3o", "assinatura_ac"},
      {"ultimo_numero", "1000000", "ultimo_numero"},
      {"ultimo_numero", "-1", "ultimo_numero"},
      {"ultimo_numero", "1", "chave_ultimo_cfe"},
      {"ultimo_numero", "13", "chave_ultimo_cfe"},
      {"venda_chave", "12", "venda_chave"},
      {"venda_chave", outroDigito, "venda_chave"},
      {"venda_chave", "", "venda_total"},
      {"venda_total", "30.0", "venda_total"},
      {"venda_cpf_cnpj", "12345678900", "venda_cpf_cnpj"},
      {"venda_data_hora", "2026", "venda_data_hora"},
      {"venda_data_hora", "20231114250000", "venda_data_hora"},
      {"venda_data_hora", "20240114101010", "venda_data_hora"},
      {"venda_cancelavel", "x", "venda_cancelavel"},
      {"chave_ultimo_cfe", "", "chave_ultimo_cfe"},
      {"data_hora_ultimo_cfe", "2023", "data_hora_ultimo_cfe"},
      {"ultima_sessao_fiscal", "", "ultima_sessao_fiscal"},
      {"ultima_sessao_fiscal", "QUJD", "ultima_sessao_fiscal"},
      {"ultima_sessao_fiscal", "QUJ", "ultima_sessao_fiscal"},
      {"rede_tipo", "WIFI", "rede_tipo"},
      {"rede_ip", "300.1.1.1", "rede_ip"},
      {"rede_dns2", "", "rede_dns2"},
      {"log", "sem fim de linha", "log"},
      {"log", "%zz", "log"},
      {"emit_xNome", "", "emit_xNome"},
      {"emit_xCpl", "%0A", "emit_xCpl"},
      {"emit_CEP", "0101001", "emit_CEP"},
      {"emit_cRegTrib", "2", "emit_cRegTrib"},
  };
  for (const auto &caso : valores) {
    std::string corpo = SemFim(vendido);
    const std::size_t inicio = corpo.find("\n" + std::string(caso.campo) + "=") + 1;
    const std::size_t valor = corpo.find('=', inicio) + 1;
    corpo.replace(valor, corpo.find('\n', valor) - valor, caso.valor);
    Escreve(ComFim(corpo));
    Sat sat;
    std::string erro;
    EXPECT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Invalido)
        << caso.campo << "=" << caso.valor;
    const std::string onde =
        caminho_ + ":" + std::to_string(LinhaDe(vendido, caso.linha)) + ": " + caso.linha + ": ";
    EXPECT_EQ(erro.rfind(onde, 0), 0u) << caso.campo << "=" << caso.valor << "\n  -> " << erro;
    EXPECT_EQ(sat.ativacao, satemu::Ativacao::NaoAtivado);
  }

  // The file as a whole: cut, changed, of another make. Each row: the text and its bad line.
  const std::string corpo = SemFim(vendido);
  const int linhas = static_cast<int>(std::count(vendido.begin(), vendido.end(), '\n'));
  std::string semUf = corpo;
  semUf.erase(semUf.find("\nuf=") + 1,
              semUf.find('\n', semUf.find("\nuf=") + 1) - semUf.find("\nuf="));
  std::string mudado = vendido;
  mudado[mudado.find("bloqueado=0") + 10] = '1';
  const struct {
    std::string texto;
    int linha;
  } arquivos[] = {
      {"", 1},
      {"satemu-estado 1\nserie=900000001\n", 1},
      {"outro formato\n", 1},
      {ComFim(semUf), LinhaDe(vendido, "uf")},
      {ComFim(corpo.substr(0, corpo.find("\nuf=")) + corpo.substr(corpo.find("\ncnpj="))),
       LinhaDe(vendido, "uf")},
      {mudado, linhas},
      {vendido + "mais\n", linhas + 1},
      {corpo + "fim=\n", linhas},
      {corpo + "log=\n", linhas},
  };
  for (const auto &caso : arquivos) {
    Escreve(caso.texto);
    Sat sat;
    std::string erro;
    EXPECT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Invalido) << caso.texto;
    EXPECT_EQ(erro.rfind(caminho_ + ":" + std::to_string(caso.linha) + ": ", 0), 0u)
        << caso.texto.substr(0, 40) << "\n  -> " << erro;
  }

  // Cut anywhere: never taken for a whole file. Under the sanitizers, which make each read a
  // hundred times dearer, every 7th cut.
#if defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kPasso = 7;
#else
  constexpr std::size_t kPasso = 1;
#endif
  for (std::size_t corte = 0; corte < vendido.size(); corte += kPasso) {
    Escreve(vendido.substr(0, corte));
    Sat sat;
    std::string erro;
    ASSERT_EQ(satemu::CarregaEstado(sat, caminho_, erro), Leitura::Invalido) << corte;
    ASSERT_EQ(erro.find(caminho_ + ":"), 0u) << erro;
  }
}

} // namespace
