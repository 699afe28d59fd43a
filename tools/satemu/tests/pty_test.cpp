// The real satemu, started as a child process and spoken to in raw frames through the slave
// side of its pseudo-terminal, as a host would.
#include "apoio.h"
#include "cfe.h"
#include "emulador.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using teste::DecodificaBase64;
using teste::Divide;
using teste::QuadroResposta;
using Relogio = std::chrono::steady_clock;

constexpr char kCodigo[] = "12345678";
constexpr char kCnpj[] = "11222333000181";
constexpr char kAssociacao[] = "2223334400018311222333000181";
constexpr char kAssinatura[] = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD";

std::string Sessao(int n) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "%06d", n);
  return texto;
}

// A request frame as the host builds it: 01, sequence, 00 00, length, payload, sum.
std::string Requisicao(std::uint8_t sequencia, std::string_view carga) {
  std::string quadro = std::string(1, '\x01') + static_cast<char>(sequencia) + std::string(2, '\0');
  quadro += teste::Le32Bytes(static_cast<std::uint32_t>(carga.size()));
  quadro.append(carga);
  unsigned soma = 0;
  for (std::size_t i = 1; i < quadro.size(); ++i)
    soma += static_cast<unsigned char>(quadro[i]);
  return quadro + static_cast<char>(soma & 0xFF);
}

std::string DiretorioTemporario() {
  char modelo[] = "/tmp/satemu-teste-XXXXXX";
  return mkdtemp(modelo);
}

std::vector<std::string> Linhas(const std::string &caminho) {
  std::ifstream arquivo(caminho);
  std::vector<std::string> linhas;
  for (std::string linha; std::getline(arquivo, linha);)
    linhas.push_back(linha);
  return linhas;
}

class Conversa : public ::testing::Test {
protected:
  void Inicia(const std::vector<std::string> &argumentos, bool avisos = false) {
    std::string erro;
    ASSERT_TRUE(emulador_.Inicia(argumentos, erro, avisos)) << erro;
    ASSERT_TRUE(porta_.Abre(emulador_.Escravo())) << emulador_.Escravo();
  }

  void Envia(std::string_view carga) {
    ASSERT_TRUE(porta_.Escreve(Requisicao(++sequencia_, carga)));
  }

  // Sends a request and returns the payload of the reply, whose frame must be well formed.
  std::string Troca(std::string_view carga) {
    Envia(carga);
    std::string quadro;
    // A give-up bound, not a timing: a 1.5 MB sale under the sanitizers on a loaded machine
    // takes seconds.
    if (!porta_.LeQuadro(quadro, 60000)) {
      ADD_FAILURE() << "no reply to " << carga.substr(0, 60);
      return {};
    }
    const std::string resposta = quadro.substr(13, quadro.size() - 14);
    EXPECT_EQ(quadro, QuadroResposta(sequencia_, resposta));
    EXPECT_EQ(teste::ProblemaCFe(resposta), "");
    return resposta;
  }

  teste::Emulador emulador_;
  teste::Porta porta_;
  std::uint8_t sequencia_ = 0;
};

std::string Comum(int sessao, const char *codigo, const char *mensagem) {
  return Sessao(sessao) + "|" + codigo + "|" + mensagem + "||";
}

// One command after another on a fresh device, with the reply each must get: every command
// word, its failures and its success.
TEST_F(Conversa, TodosOsComandos) {
  Inicia({"--serie", "900000123"}, true);
  const std::string c = kCodigo;
  const std::string xml = teste::XmlVenda(kAssinatura, "<CPF>12345678909</CPF>");
  // The sale's key takes the place of {chave} when the request is made.
  const std::string canc = "|" + teste::XmlCancelamento("{chave}");
  const std::string rede = "|<config><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.5</lanIP>";
  std::string outroEmitente = xml;
  outroEmitente.replace(outroEmitente.find(kCnpj), 14, "11444777000161");
  const char *invalido = "C\xF3"
                         "digo de ativa\xE7\xE3o inv\xE1lido";
  const char *naoAtivado = "SAT ainda n\xE3o ativado";
  const char *bloqueado = "SAT bloqueado pelo contribuinte";
  const char *cupomInvalido = "Cupom inv\xE1lido";
  const char *validacao = "Erro de valida\xE7\xE3o do conte\xFA"
                          "do";
  std::string chave, chaveCancelamento, respostaVenda, respostaCancelamento;

  // Checks of the replies that are more than the common form.
  using Confere = std::function<void(const std::vector<std::string> &, const std::string &)>;
  auto status = [&](std::size_t indice, const std::string *valor) -> Confere {
    return [indice, valor](const std::vector<std::string> &campo, const std::string &) {
      ASSERT_EQ(campo.size(), 28u);
      EXPECT_EQ(campo[1], "10000");
      EXPECT_EQ(campo[5], "900000123");
      EXPECT_EQ(campo[indice], *valor) << indice;
    };
  };
  const std::string desbloqueado = "0", bloqueio = "2", ip = "10.0.0.5";
  const Confere csr = [](const auto &campo, const std::string &) {
    ASSERT_EQ(campo.size(), 6u);
    EXPECT_EQ(campo[1] + campo[2], "04006CSR ICP-BRASIL criado com sucesso");
    EXPECT_NE(DecodificaBase64(campo[5]).find("BEGIN CERTIFICATE REQUEST"), std::string::npos);
  };
  const Confere venda = [&](const auto &, const std::string &r) {
    const auto v = teste::LeRespostaVenda(r);
    ASSERT_TRUE(v.valida) << r.substr(0, 80);
    EXPECT_EQ(v.campos, (std::vector<std::string>{"000018", "06000", "0000",
                                                  "Emitido com sucesso + conte\xFA"
                                                  "do notas.",
                                                  "", ""}));
    ASSERT_EQ(v.cauda.size(), 6u);
    const teste::XmlLido cfe(DecodificaBase64(v.cauda[0]));
    ASSERT_TRUE(cfe.Valido()) << cfe.Erro();
    EXPECT_EQ(cfe.Valor("/CFe/infCFe/det/prod/xProd"), "P\xC3\xA3o");
    EXPECT_EQ(v.cauda[1].size(), 14u);
    ASSERT_EQ(v.cauda[2].size(), 47u);
    chave = v.cauda[2].substr(3);
    EXPECT_EQ(v.cauda[2].substr(0, 5) + chave.substr(6, 14), std::string("CFe35") + kCnpj);
    EXPECT_EQ(chave.substr(20, 17), "59900000123000001");
    EXPECT_EQ(chave[43] - '0', teste::DigitoModulo11(chave.substr(0, 43)));
    EXPECT_EQ(cfe.Valor("/CFe/infCFe/@Id"), "CFe" + chave);
    EXPECT_EQ(v.cauda[3] + "|" + v.cauda[4], "30.02|12345678909");
    EXPECT_EQ(DecodificaBase64(v.cauda[5]).size(), 256u);
    respostaVenda = r;
  };
  const Confere cancelamento = [&](const auto &campo, const std::string &r) {
    ASSERT_EQ(campo.size(), 12u);
    EXPECT_EQ(campo[1] + campo[2], "070000000");
    EXPECT_EQ(campo[3], "Cupom cancelado com sucesso + conte\xFA"
                        "do CF-e-SAT cancelado.");
    const teste::XmlLido cfe(DecodificaBase64(campo[6]));
    ASSERT_TRUE(cfe.Valido()) << cfe.Erro();
    EXPECT_EQ(cfe.Valor("/CFeCanc/infCFe/@chCanc"), "CFe" + chave);
    EXPECT_EQ(cfe.Valor("/CFeCanc/infCFe/@Id"), campo[8]);
    respostaCancelamento = r;
    EXPECT_EQ(campo[8].substr(34, 6), "000002");
    EXPECT_EQ(campo[9] + "|" + campo[10], "30.02|12345678909");
    chaveCancelamento = campo[8].substr(3);
  };
  const Confere fimAFim = [](const auto &campo, const std::string &) {
    ASSERT_EQ(campo.size(), 9u);
    EXPECT_EQ(campo[1] + campo[2], "09000Emitido com sucesso");
    const teste::XmlLido cfe(DecodificaBase64(campo[5]));
    ASSERT_TRUE(cfe.Valido()) << cfe.Erro();
    EXPECT_EQ(cfe.Valor("/CFe/infCFe/ide/nCFe"), "000000");
    EXPECT_EQ(campo[7], "000000");
    EXPECT_EQ(campo[8].size(), 47u);
  };
  const Confere logs = [](const auto &campo, const std::string &) {
    ASSERT_EQ(campo.size(), 6u);
    EXPECT_EQ(campo[1] + campo[2], "15000Transfer\xEAncia completa");
    const std::string log = DecodificaBase64(campo[5]);
    EXPECT_NE(log.find("|000018|EnviarDadosVenda|06000\n"), std::string::npos);
    EXPECT_NE(log.find("|000038|ExtrairLogs|15001\n"), std::string::npos);
    // A refused document's reason, in the log's Windows-1252.
    EXPECT_NE(log.find("|000062|EnviarDadosVenda|06010|emit: CNPJ 11444777000161 n\xE3o \xE9 o do "
                       "contribuinte"),
              std::string::npos);
  };

  // Session, request after it ("venda:CODE:XML" and "cancela:CODE|DATA" are built below), and
  // the code and message of a common-form reply, or a check of its own.
  struct Passo {
    int sessao;
    std::string pedido;
    std::string codigo;
    std::string mensagem;
    Confere confere = {};
  };
  const Passo passos[] = {
      {1, "ConsultarSAT", "08000", "SAT em opera\xE7\xE3o"},
      {2, "venda:" + c + ":" + xml, "06002", naoAtivado},
      {3, "TesteFimAFim|" + c + "|" + xml, "09002", naoAtivado},
      {4, "ConsultarNumeroSessao|" + c + "|000001", "11002", naoAtivado},
      {56, "ConsultarUltimaSessaoFiscal|" + c, "19002", naoAtivado},
      {5, "ComunicarCertificadoICPBRASIL|" + c + "|TUlJQg==", "05003", "Certificado inv\xE1lido"},
      {6, "AtivarSAT|1|" + c + "|11222333000182|35", "04002",
       "SEFAZ n\xE3o reconhece este SAT (CNPJ inv\xE1lido)"},
      {7, "AtivarSAT|2|" + c + "|" + kCnpj + "|35", "", "", csr},
      {8, "ComunicarCertificadoICPBRASIL|99999999|TUlJQg==", "05001", invalido},
      {9, "ComunicarCertificadoICPBRASIL|" + c + "|TUlJQg==", "05000",
       "Certificado transmitido com sucesso"},
      {10, "AtivarSAT|1|" + c + "|" + kCnpj + "|35", "04003", "SAT j\xE1 ativado"},
      {11, "venda:" + c + ":" + xml, "06003", "SAT n\xE3o vinculado ao AC"},
      {12, "AssociarAssinatura|" + c + "|" + kAssociacao + "|n\xE3o base64", "13003",
       "Assinatura fora do padr\xE3o especificado"},
      {13, "AssociarAssinatura|0|" + std::string(kAssociacao) + "|QUJD", "13001", invalido},
      {14, "AssociarAssinatura|" + c + "|" + kAssociacao + "|" + kAssinatura, "13000",
       "Assinatura do AC Registrada"},
      {14, "AssociarAssinatura|" + c + "|" + kAssociacao + "|" + kAssinatura, "13097",
       "N\xFAmero de sess\xE3o inv\xE1lido"},
      {57, "ConsultarUltimaSessaoFiscal|" + c, "19003", "N\xE3o existe sess\xE3o fiscal"},
      // A '|' in a value would break the reply's fields; another taxpayer is not this SAT's.
      {61, "venda:" + c + ":" + teste::XmlVenda(kAssinatura, "<CPF>123|456</CPF>"), "06010",
       validacao},
      {62, "venda:" + c + ":" + outroEmitente, "06010", validacao},
      {15, "venda:0:" + xml, "06001", invalido},
      {16, "venda:" + c + ":" + teste::XmlVenda("b3V0cm8="), "06004",
       "Vincula\xE7\xE3o do AC n\xE3o confere"},
      {17, "venda:" + c + ":<NFe/>", "06010", validacao},
      {18, "venda:" + c + ":" + xml, "", "", venda},
      {19, "ConsultarNumeroSessao|" + c + "|000018", "", "",
       [&](const auto &, const std::string &r) { EXPECT_EQ(r, respostaVenda); }},
      {58, "ConsultarUltimaSessaoFiscal|" + c, "", "",
       [&](const auto &, const std::string &r) { EXPECT_EQ(r, respostaVenda); }},
      {20, "ConsultarNumeroSessao|" + c + "|999999", "11003", "Sess\xE3o n\xE3o existe"},
      {21, "ConsultarNumeroSessao|0|000018", "11001", invalido},
      {22, "cancela:0" + canc, "07001", invalido},
      {23, "CancelarUltimaVenda|" + c + "|CFe" + std::string(44, '1') + canc, "07002",
       cupomInvalido},
      {24, "cancela:" + c + "|<nada/>", "07007", validacao},
      {25, "cancela:" + c + canc, "", "", cancelamento},
      {59, "ConsultarUltimaSessaoFiscal|" + c, "", "",
       [&](const auto &, const std::string &r) { EXPECT_EQ(r, respostaCancelamento); }},
      {60, "ConsultarUltimaSessaoFiscal|0", "19001", invalido},
      {26, "cancela:" + c + canc, "07002", cupomInvalido},
      {27, "TesteFimAFim|0|" + xml, "09001", invalido},
      {28, "TesteFimAFim|" + c + "|" + xml, "", "", fimAFim},
      {29, "TesteFimAFim|" + c + "|<x/>", "09099", "Erro desconhecido"},
      {30, "ConsultarStatusOperacional|0", "10001", invalido},
      {31, "ConsultarStatusOperacional|" + c, "", "", status(27, &desbloqueado)},
      {32, "ConfigurarInterfaceDeRede|" + c + rede + "</config>", "12002",
       "Dados fora do padr\xE3o a ser informado"},
      {33, "ConfigurarInterfaceDeRede|0" + rede + "</config>", "12001", invalido},
      {34,
       "ConfigurarInterfaceDeRede|" + c + rede +
           "<lanMask>255.0.0.0</lanMask><lanGW>10.0.0.1</lanGW></config>",
       "12000", "Rede Configurada com Sucesso"},
      {35, "ConsultarStatusOperacional|" + c, "", "", status(7, &ip)},
      {36, "AtualizarSoftwareSAT|0", "14001", invalido},
      {37, "AtualizarSoftwareSAT|" + c, "14000", "Software Atualizado com Sucesso"},
      {38, "ExtrairLogs|0", "15001", invalido},
      {39, "ExtrairLogs|" + c, "", "", logs},
      {40, "BloquearSAT|0", "16001", invalido},
      {41, "BloquearSAT|" + c, "16000", "Equipamento SAT bloqueado com sucesso."},
      {42, "BloquearSAT|" + c, "16002", "Equipamento SAT j\xE1 est\xE1 bloqueado"},
      {43, "venda:" + c + ":" + xml, "06006", bloqueado},
      {44, "cancela:" + c + canc, "07003", bloqueado},
      {45, "ConsultarStatusOperacional|" + c, "", "", status(27, &bloqueio)},
      {46, "DesbloquearSAT|0", "17001", invalido},
      {47, "DesbloquearSAT|" + c, "17000", "Equipamento SAT desbloqueado com sucesso."},
      {48, "DesbloquearSAT|" + c, "17005", "SAT j\xE1 desbloqueado"},
      {49, "TrocarCodigoDeAtivacaoSAT|" + c + "|1|novo1234|novo1235", "18099", "Erro desconhecido"},
      {50, "TrocarCodigoDeAtivacaoSAT|0|1|novo1234|novo1234", "18001", invalido},
      {51, "TrocarCodigoDeAtivacaoSAT|" + c + "|2|novo1234|novo1234", "18002",
       "C\xF3"
       "digo de ativa\xE7\xE3o de emerg\xEAncia incorreto"},
      {52, "TrocarCodigoDeAtivacaoSAT|87654321|2|novo1234|novo1234", "18000",
       "C\xF3"
       "digo de ativa\xE7\xE3o alterado com sucesso."},
      {53, "ConsultarStatusOperacional|" + c, "10001", invalido},
      // ULTIMO_CF_E_SAT is the cancellation, the last document issued.
      {54, "ConsultarStatusOperacional|novo1234", "", "", status(20, &chaveCancelamento)},
      {55, "Desconhecido|x", "00099", "Erro desconhecido"},
  };
  for (const Passo &passo : passos) {
    SCOPED_TRACE(Sessao(passo.sessao) + " " + passo.pedido.substr(0, 60));
    std::string carga = Sessao(passo.sessao) + "|" + passo.pedido;
    if (passo.pedido.rfind("venda:", 0) == 0) {
      const std::size_t separa = passo.pedido.find(':', 6);
      carga = teste::PedidoVenda(Sessao(passo.sessao), passo.pedido.substr(6, separa - 6),
                                 passo.pedido.substr(separa + 1));
    } else if (passo.pedido.rfind("cancela:", 0) == 0) {
      const std::size_t barra = passo.pedido.find('|');
      carga = Sessao(passo.sessao) + "|CancelarUltimaVenda|" + passo.pedido.substr(8, barra - 8) +
              "|CFe" + chave + passo.pedido.substr(barra);
      const std::size_t marca = carga.find("{chave}");
      if (marca != std::string::npos)
        carga.replace(marca, 7, chave);
    }
    const std::string resposta = Troca(carga);
    if (passo.confere) {
      passo.confere(Divide(resposta), resposta);
    } else {
      EXPECT_EQ(resposta, Sessao(passo.sessao) + "|" + passo.codigo + "|" + passo.mensagem + "||");
    }
  }
  // The same reason on the standard error, in UTF-8.
  EXPECT_TRUE(emulador_.EsperaAviso("EnviarDadosVenda recusado: emit: CNPJ 11444777000161 "
                                    "n\xC3\xA3o \xC3\xA9 o do contribuinte"));
  EXPECT_EQ(emulador_.Encerra(), 0);
}

TEST(Linha, LinkCriadoERemovidoAoFim) {
  for (const int sinal : {SIGTERM, SIGINT}) {
    const std::string diretorio = DiretorioTemporario();
    const std::string link = diretorio + "/com/COM7";
    teste::Emulador emulador;
    std::string erro;
    ASSERT_TRUE(emulador.Inicia({"--link", link}, erro)) << erro;
    char destino[256] = {};
    ASSERT_GT(readlink(link.c_str(), destino, sizeof destino - 1), 0);
    EXPECT_EQ(destino, emulador.Escravo());
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(link));
    std::string quadro;
    ASSERT_TRUE(porta.Escreve(Requisicao(9, "000042|ConsultarSAT")));
    ASSERT_TRUE(porta.LeQuadro(quadro));
    EXPECT_EQ(quadro, QuadroResposta(9, "000042|08000|SAT em opera\xE7\xE3o||"));
    EXPECT_EQ(emulador.Encerra(sinal), 0);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);
    rmdir((diretorio + "/com").c_str());
    rmdir(diretorio.c_str());
  }
}

// Every rule a document is checked against is in --help under its name, a sale's first.
TEST(Linha, AjudaNomeiaCadaRegra) {
  std::FILE *saida = popen(SATEMU_BINARIO " --help", "r");
  ASSERT_NE(saida, nullptr);
  std::string ajuda;
  char bloco[4096];
  for (std::size_t n; (n = std::fread(bloco, 1, sizeof bloco, saida)) > 0;)
    ajuda.append(bloco, n);
  EXPECT_EQ(pclose(saida), 0);
  const std::size_t venda = ajuda.find("Regras de uma venda:");
  const std::size_t cancelamento = ajuda.find("Regras de um cancelamento:");
  ASSERT_LT(venda, cancelamento);
  ASSERT_NE(cancelamento, std::string::npos);
  for (std::size_t i = 0; i < satemu::kQuantasRegrasVenda; ++i) {
    const std::size_t onde =
        ajuda.find("\n  " + std::string(satemu::kRegrasVenda[i].nome) + " ", venda);
    EXPECT_LT(onde, cancelamento) << satemu::kRegrasVenda[i].nome;
  }
  for (std::size_t i = 0; i < satemu::kQuantasRegrasCancelamento; ++i)
    EXPECT_NE(
        ajuda.find("\n  " + std::string(satemu::kRegrasCancelamento[i].nome) + " ", cancelamento),
        std::string::npos)
        << satemu::kRegrasCancelamento[i].nome;
}

TEST_F(Conversa, SomaErradaRecebeNak) {
  Inicia({});
  std::string quadro = Requisicao(0x33, "000001|ConsultarSAT");
  quadro.back() ^= 1;
  ASSERT_TRUE(porta_.Escreve(quadro));
  std::string nak;
  ASSERT_TRUE(porta_.Le(6, nak));
  EXPECT_EQ(teste::ParaHex(nak), "153300000000");
  EXPECT_EQ(Troca("000002|ConsultarSAT"), Comum(2, "08000", "SAT em opera\xE7\xE3o"));
}

// Whatever comes before a frame, the frame is answered, and only frames reach the record.
TEST_F(Conversa, RuidoEPassadoAdianteERegistroGuardaOsQuadros) {
  const std::string diretorio = DiretorioTemporario();
  const std::string registro = diretorio + "/recebidos.hex";
  Inicia({"--registro", registro});
  const std::string ruidos[] = {
      std::string("\x00\xff\x10garbage", 10), std::string("\x01\x07\x05", 3),
      teste::DeHex("0101000001002000"), // announces 2 MiB + 1 of payload: no frame
  };
  std::vector<std::string> enviados;
  int sessao = 0;
  for (const std::string &ruido : ruidos) {
    ASSERT_TRUE(porta_.Escreve(ruido));
    ++sessao;
    const std::string carga = Sessao(sessao) + "|ConsultarSAT";
    enviados.push_back(
        teste::ParaHex(Requisicao(static_cast<std::uint8_t>(sequencia_ + 1), carga)));
    EXPECT_EQ(Troca(carga), Comum(sessao, "08000", "SAT em opera\xE7\xE3o"));
  }
  EXPECT_EQ(Linhas(registro), enviados);
  EXPECT_EQ(emulador_.Encerra(), 0);
  std::remove(registro.c_str());
  rmdir(diretorio.c_str());
}

// Line noise, then a request: the emulator is still there and answers it.
TEST_F(Conversa, RuidoAleatorioNaoDerrubaOEmulador) {
  Inicia({});
  std::mt19937 sorteio(1234);
  std::string ruido(256 * 1024, '\0');
  for (char &c : ruido)
    c = static_cast<char>(sorteio() & 0xFF);
  ASSERT_TRUE(porta_.Escreve(ruido));
  ASSERT_TRUE(porta_.Escreve(Requisicao(0x5A, "000077|ConsultarSAT")));
  // Bits of noise may read as frames with a wrong sum, refused with NAKs before the reply.
  const std::string esperado = QuadroResposta(0x5A, Comum(77, "08000", "SAT em opera\xE7\xE3o"));
  std::string linha, bloco;
  while (linha.size() < esperado.size() ||
         linha.compare(linha.size() - esperado.size(), esperado.size(), esperado) != 0) {
    ASSERT_TRUE(porta_.Le(1, bloco)) << linha.size();
    linha += bloco;
    ASSERT_LT(linha.size(), 100'000u);
  }
  EXPECT_EQ(emulador_.Encerra(), 0);
}

// A header whose payload never comes holds the line until the emulator gives it up; the frame
// sent behind it is then found and answered.
TEST_F(Conversa, QuadroInacabadoEAbandonado) {
  Inicia({});
  ASSERT_TRUE(porta_.Escreve(teste::DeHex("01070000ff000000")));
  EXPECT_EQ(Troca("000001|ConsultarSAT"), Comum(1, "08000", "SAT em opera\xE7\xE3o"));
}

// The host opens the port exclusively and closes it for every command.
TEST_F(Conversa, PortaReabertaACadaComando) {
  Inicia({});
  for (int i = 1; i <= 25; ++i) {
    ASSERT_TRUE(porta_.Abre(emulador_.Escravo())) << i;
    ASSERT_EQ(Troca(Sessao(i) + "|ConsultarSAT"), Comum(i, "08000", "SAT em opera\xE7\xE3o"));
    porta_.Fecha();
  }
}

TEST_F(Conversa, VendaDe1500KB) {
  Inicia({"--pronto"});
  std::string xml = teste::XmlVenda();
  const std::string ks(1'500'000 - xml.size() - 40, 'k');
  xml.insert(xml.find("</infCFe>"), "<infAdic><obsFisco>" + ks + "</obsFisco></infAdic>");
  ASSERT_EQ(xml.size(), 1'500'000u);
  const auto venda = teste::LeRespostaVenda(Troca(teste::PedidoVenda("000001", kCodigo, xml)));
  ASSERT_TRUE(venda.valida);
  ASSERT_EQ(venda.campos[1], "06000");
  const std::string cfe = DecodificaBase64(venda.cauda[0]);
  EXPECT_GT(cfe.size(), 1'500'000u);
  EXPECT_EQ(teste::XmlLido(cfe).Valor("/CFe/infCFe/infAdic/obsFisco"), ks);
  xml.insert(xml.find("</obsFisco>"), std::string(100'000, 'k'));
  EXPECT_EQ(Troca(teste::PedidoVenda("000002", kCodigo, xml)),
            Comum(2, "06005", "Tamanho do CF-e-SAT superior a 1.500KB"));
}

std::string Troca(teste::Porta &porta, std::uint8_t seq, const std::string &carga) {
  std::string quadro;
  EXPECT_TRUE(porta.Escreve(Requisicao(seq, carga)));
  EXPECT_TRUE(porta.LeQuadro(quadro));
  const std::string resposta =
      quadro.size() > 14 ? quadro.substr(13, quadro.size() - 14) : std::string();
  EXPECT_EQ(teste::ProblemaCFe(resposta), "");
  return resposta;
}

// The device's state is on disk before it answers, survives a kill, and a file that cannot be
// trusted keeps satemu from starting.
TEST(Linha, EstadoSobreviveAoReinicio) {
  const std::string diretorio = DiretorioTemporario();
  const std::string estado = diretorio + "/sat.estado";
  std::string respostaVenda;
  {
    teste::Emulador emulador;
    std::string erro;
    ASSERT_TRUE(emulador.Inicia({"--estado", estado, "--pronto", "--serie", "900000777"}, erro));
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    respostaVenda = Troca(porta, 1, teste::PedidoVenda("000001", kCodigo, teste::XmlVenda()));
    const auto venda = teste::LeRespostaVenda(respostaVenda);
    ASSERT_TRUE(venda.valida);
    // Saved before the reply went out: the file already holds the sale.
    const std::string salvo = teste::LeArquivo(estado);
    EXPECT_NE(salvo.find("\nvenda_chave=" + venda.cauda[2].substr(3) + "\n"), std::string::npos);
    EXPECT_EQ(Troca(porta, 2, "000002|BloquearSAT|12345678").substr(7, 5), "16000");
    EXPECT_NE(teste::LeArquivo(estado).find("\nbloqueado=1\n"), std::string::npos);
    emulador.Encerra(SIGKILL);
  }
  {
    teste::Emulador emulador;
    std::string erro;
    ASSERT_TRUE(emulador.Inicia({"--estado", estado}, erro));
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    EXPECT_EQ(Troca(porta, 3, "000003|DesbloquearSAT|12345678").substr(7, 5), "17000");
    EXPECT_EQ(Divide(Troca(porta, 4, "000004|ConsultarStatusOperacional|12345678"))[5],
              "900000777");
    // The session replies were not kept; the last fiscal session was, byte for byte.
    EXPECT_EQ(Troca(porta, 5, "000005|ConsultarNumeroSessao|12345678|000001").substr(7, 5),
              "11003");
    EXPECT_EQ(Troca(porta, 6, "000006|ConsultarUltimaSessaoFiscal|12345678"), respostaVenda);
    const std::string chave = teste::LeRespostaVenda(respostaVenda).cauda[2].substr(3);
    EXPECT_EQ(Troca(porta, 7,
                    "000007|CancelarUltimaVenda|12345678|CFe" + chave + "|" +
                        teste::XmlCancelamento(chave))
                  .substr(7, 5),
              "07000");
    EXPECT_EQ(emulador.Encerra(), 0);
  }

  // The same file with its counter cut back, its checksum made again: refused, naming the line.
  std::string texto = teste::LeArquivo(estado);
  const std::size_t numero = texto.find("\nultimo_numero=2\n");
  ASSERT_NE(numero, std::string::npos);
  texto.erase(texto.rfind("fim="));
  texto.replace(numero, 16, "\nultimo_numero=1");
  char fim[32];
  std::snprintf(
      fim, sizeof fim, "fim=%08lx\n",
      crc32(0L, reinterpret_cast<const Bytef *>(texto.data()), static_cast<uInt>(texto.size())));
  std::ofstream(estado, std::ios::binary) << texto << fim;
  const std::string comando = std::string(SATEMU_BINARIO) + " --estado " + estado + " 2>&1";
  std::FILE *saida = popen(comando.c_str(), "r");
  ASSERT_NE(saida, nullptr);
  char linha[512] = {};
  ASSERT_NE(std::fgets(linha, sizeof linha, saida), nullptr);
  const int status = pclose(saida);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(std::string(linha).find(
                "sat.estado:18: chave_ultimo_cfe: seu nCFe 000002 n\xC3\xA3o \xC3\xA9 "
                "ultimo_numero 1"),
            std::string::npos)
      << linha;
  std::remove(estado.c_str());
  rmdir(diretorio.c_str());
}

// A client that closes in the middle of a frame leaves nothing behind for the next one.
TEST(Clientes, QuadroInacabadoNaoPassaAoProximo) {
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({"--verboso"}, erro, true)) << erro;
  {
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    // Announces 35 bytes of payload and sends 20: the next request (28 bytes) would make up
    // the rest, and be lost in a frame whose sum is wrong.
    ASSERT_TRUE(
        porta.Escreve(Requisicao(0x41, "000001|ConsultarSAT|xxxxxxxxxxxxxxx").substr(0, 28)));
  }
  EXPECT_TRUE(emulador.EsperaAviso("o cliente fechou a porta: 0 bytes de resposta e 28 bytes"));
  teste::Porta porta;
  ASSERT_TRUE(porta.Abre(emulador.Escravo()));
  ASSERT_TRUE(porta.Escreve(Requisicao(0x42, "000002|ConsultarSAT")));
  std::string quadro;
  ASSERT_TRUE(porta.LeQuadro(quadro, 3000));
  EXPECT_EQ(quadro, QuadroResposta(0x42, Comum(2, "08000", "SAT em opera\xE7\xE3o")));
  EXPECT_EQ(emulador.Encerra(), 0);
}

// A client that opens the port and closes it without a word, just before the next one writes
// its request, does not cost that request: what arrives once the next client has opened may be
// its own.
TEST(Clientes, AberturaMudaNaoCustaOPedidoSeguinte) {
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({}, erro, true)) << erro;
  for (int i = 1; i <= 200; ++i) {
    {
      teste::Porta muda;
      ASSERT_TRUE(muda.Abre(emulador.Escravo())) << i;
    }
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo())) << i;
    const auto seq = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(porta.Escreve(Requisicao(seq, Sessao(i) + "|ConsultarSAT")));
    std::string quadro;
    ASSERT_TRUE(porta.LeQuadro(quadro, 3000)) << "request " << i << " got no reply";
    ASSERT_EQ(quadro, QuadroResposta(seq, Comum(i, "08000", "SAT em opera\xE7\xE3o")));
  }
  EXPECT_EQ(emulador.Encerra(), 0);
}

// A reply nobody reads neither holds the emulator up nor reaches the next client.
TEST(Clientes, RespostaNaoLidaNaoPassaAoProximo) {
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({"--pronto", "--verboso"}, erro, true)) << erro;
  // Letters that do not compress much: a reply of some 400 KB, far more than the line holds.
  std::mt19937 sorteio(16);
  std::string letras(600'000, 'a');
  for (char &c : letras)
    c = static_cast<char>('a' + sorteio() % 26);
  std::string xml = teste::XmlVenda();
  xml.insert(xml.find("</infCFe>"), "<infAdic><infCpl>" + letras + "</infCpl></infAdic>");
  {
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    ASSERT_TRUE(porta.Escreve(Requisicao(1, teste::PedidoVenda("000001", kCodigo, xml))));
    std::string inicio;
    ASSERT_TRUE(porta.Le(13, inicio));
    ASSERT_GT(teste::Le32(inicio, 9), 400'000u);
  }
  EXPECT_TRUE(emulador.EsperaAviso("o cliente fechou a porta"));
  teste::Porta porta;
  ASSERT_TRUE(porta.Abre(emulador.Escravo()));
  ASSERT_TRUE(porta.Escreve(Requisicao(2, "000002|ConsultarSAT")));
  std::string quadro;
  ASSERT_TRUE(porta.LeQuadro(quadro, 3000));
  EXPECT_EQ(teste::ParaHex(quadro),
            teste::ParaHex(QuadroResposta(2, Comum(2, "08000", "SAT em opera\xE7\xE3o"))));
  // The sale itself was made: the host finds it as the last fiscal session.
  const std::string ultima = Troca(porta, 3, "000003|ConsultarUltimaSessaoFiscal|12345678");
  EXPECT_EQ(ultima.substr(0, 13), "000001|06000|");
  EXPECT_EQ(emulador.Encerra(), 0);
}

// Another client's open and close leave alone the exclusive lock the first one holds; when the
// last client goes without releasing it, as one that is killed does, the lock goes with it, as
// a device's tty is released at its last close.
TEST(Clientes, TravaExclusivaFicaComQuemATem) {
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({"--verboso"}, erro, true)) << erro;
  teste::Porta primeira;
  ASSERT_TRUE(primeira.Abre(emulador.Escravo()));
  ASSERT_TRUE(primeira.Exclusiva());
  {
    // Root opens an exclusive port all the same, as CI does.
    teste::Porta outra;
    ASSERT_TRUE(outra.Abre(emulador.Escravo()));
  }
  EXPECT_TRUE(emulador.EsperaAviso("o cliente fechou a porta"));
  EXPECT_TRUE(primeira.Exclusiva());
  primeira.Fecha();
  EXPECT_TRUE(emulador.EsperaAviso("o cliente fechou a porta"));
  const int depois = open(emulador.Escravo().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  int exclusiva = 1;
  ASSERT_GE(depois, 0);
  EXPECT_EQ(ioctl(depois, TIOCGEXCL, &exclusiva), 0);
  EXPECT_EQ(exclusiva, 0);
  close(depois);
  EXPECT_EQ(emulador.Encerra(), 0);
}

// An undeclared sale in Windows-1252, as POS programs on Windows send it: refused as UTF-8 that
// it is not, unless satemu is told to read such documents as some devices do.
TEST(Linha, VendaEmWindows1252SoComAOpcao) {
  std::string latin = teste::XmlVenda();
  latin.replace(latin.find("P\xC3\xA3o"), 4, "P\xE3o");
  for (const bool opcao : {false, true}) {
    SCOPED_TRACE(opcao);
    teste::Emulador emulador;
    std::string erro;
    std::vector<std::string> argumentos = {"--pronto"};
    if (opcao)
      argumentos.push_back("--windows-1252");
    ASSERT_TRUE(emulador.Inicia(argumentos, erro)) << erro;
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    const std::string resposta = Troca(porta, 1, teste::PedidoVenda("000001", kCodigo, latin));
    if (!opcao) {
      EXPECT_EQ(resposta, Comum(1, "06010",
                                "Erro de valida\xE7\xE3o do conte\xFA"
                                "do"));
    } else {
      const auto venda = teste::LeRespostaVenda(resposta);
      ASSERT_TRUE(venda.valida) << resposta;
      EXPECT_EQ(teste::XmlLido(DecodificaBase64(venda.cauda[0])).Valor("//xProd"), "P\xC3\xA3o");
    }
    EXPECT_EQ(emulador.Encerra(), 0);
  }
}

// The sample documents in examples/ are what satemu with its default options accepts.
TEST(Exemplos, VendaECancelamento) {
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({"--pronto"}, erro)) << erro;
  teste::Porta porta;
  ASSERT_TRUE(porta.Abre(emulador.Escravo()));
  const std::string resposta = Troca(
      porta, 1,
      teste::PedidoVenda("000001", kCodigo, teste::LeArquivo(SATEMU_EXEMPLOS "/cfe-venda.xml")));
  const auto venda = teste::LeRespostaVenda(resposta);
  ASSERT_TRUE(venda.valida) << resposta;
  ASSERT_EQ(venda.campos[1], "06000");
  EXPECT_EQ(venda.cauda[3] + "|" + venda.cauda[4], "21.00|12345678909");
  const teste::XmlLido cfe(DecodificaBase64(venda.cauda[0]));
  ASSERT_TRUE(cfe.Valido()) << cfe.Erro();
  const std::pair<const char *, const char *> valores[] = {
      {"/CFe/infCFe/@versao", "0.08"},
      {"/CFe/infCFe/emit/CNPJ", kCnpj},
      {"/CFe/infCFe/dest/xNome", "Jos\xC3\xA9 da Concei\xC3\xA7\xC3\xA3o"},
      {"/CFe/infCFe/det[@nItem='1']/prod/xProd", "P\xC3\xA3o de queijo"},
      {"/CFe/infCFe/det[@nItem='3']/prod/vItem", "3.00"},
      {"/CFe/infCFe/total/vCFe", "21.00"},
      {"/CFe/infCFe/pgto/vTroco", "4.00"},
  };
  for (const auto &[caminho, valor] : valores)
    EXPECT_EQ(cfe.Valor(caminho), valor) << caminho;

  std::string cancelamento = teste::LeArquivo(SATEMU_EXEMPLOS "/cfe-cancelamento.xml");
  const std::size_t zeros = cancelamento.find("CFe" + std::string(44, '0'));
  ASSERT_NE(zeros, std::string::npos);
  cancelamento.replace(zeros, 47, venda.cauda[2]);
  const std::string respostaCancelamento =
      Troca(porta, 2,
            "000002|CancelarUltimaVenda|" + std::string(kCodigo) + "|" + venda.cauda[2] + "|" +
                cancelamento);
  const auto campos = Divide(respostaCancelamento);
  ASSERT_EQ(campos.size(), 12u) << respostaCancelamento;
  EXPECT_EQ(campos[1], "07000");
  EXPECT_TRUE(teste::XmlLido(DecodificaBase64(campos[6])).Valido());
  EXPECT_EQ(Troca(porta, 3, "000003|ConsultarUltimaSessaoFiscal|12345678"), respostaCancelamento);
  EXPECT_EQ(emulador.Encerra(), 0);
}

// Each fault mode spoils the reply to ConsultarSAT (session 1) and leaves alone the reply to
// the AtualizarSoftwareSAT sent right behind it (session 2), so what the line carries can be
// compared whole, with no waiting for silence.
TEST(Falhas, CadaModoComoOFioOEntrega) {
  const std::string r1 = QuadroResposta(1, "000001|08000|SAT em opera\xE7\xE3o||");
  const std::string r2 = QuadroResposta(2, "000002|14000|Software Atualizado com Sucesso||");
  std::string somaErrada = r1;
  somaErrada.back() = static_cast<char>(~static_cast<unsigned char>(somaErrada.back()));
  std::string anunciaMais = r1;
  anunciaMais[9] = static_cast<char>(anunciaMais[9] + 7);
  const struct {
    std::vector<std::string> opcoes;
    std::string linha;
    int minimoMs;
  } casos[] = {
      {{"--so-para", "ConsultarSAT"}, r1 + r2, 0},
      {{"--so-para", "ConsultarSAT", "--atraso", "300"}, r1 + r2, 300},
      {{"--so-para", "ConsultarSAT", "--mudo"}, r2, 0},
      {{"--so-para", "ConsultarSAT", "--soma-errada"}, somaErrada + r2, 0},
      {{"--soma-errada"},
       somaErrada + r2.substr(0, r2.size() - 1) +
           static_cast<char>(~static_cast<unsigned char>(r2.back())),
       0},
      {{"--so-para", "ConsultarSAT", "--em-partes", "4", "--pausa", "100"}, r1 + r2, 300},
      {{"--so-para", "ConsultarSAT", "--controle", "ack"}, "\x06" + r2, 0},
      {{"--so-para", "ConsultarSAT", "--controle", "nak"}, teste::DeHex("150100000000") + r2, 0},
      {{"--so-para", "ConsultarSAT", "--controle", "dc1"}, teste::DeHex("110100000000") + r2, 0},
      {{"--so-para", "ConsultarSAT", "--controle", "syn"}, teste::DeHex("1601") + r2, 0},
      {{"--so-para", "ConsultarSAT", "--lixo-antes", "0d0a0001"},
       teste::DeHex("0d0a0001") + r1 + r2,
       0},
      {{"--so-para", "ConsultarSAT", "--anuncia-mais", "7"}, anunciaMais + r2, 0},
  };
  for (const auto &caso : casos) {
    std::string nome;
    for (const std::string &o : caso.opcoes)
      nome += o + " ";
    SCOPED_TRACE(nome);
    teste::Emulador emulador;
    std::string erro;
    ASSERT_TRUE(emulador.Inicia(caso.opcoes, erro)) << erro;
    teste::Porta porta;
    ASSERT_TRUE(porta.Abre(emulador.Escravo()));
    const auto inicio = Relogio::now();
    ASSERT_TRUE(porta.Escreve(Requisicao(1, "000001|ConsultarSAT")));
    ASSERT_TRUE(porta.Escreve(Requisicao(2, "000002|AtualizarSoftwareSAT|12345678")));
    std::string linha;
    EXPECT_TRUE(porta.Le(caso.linha.size(), linha));
    EXPECT_EQ(teste::ParaHex(linha), teste::ParaHex(caso.linha));
    EXPECT_GE(Relogio::now() - inicio, std::chrono::milliseconds(caso.minimoMs));
    EXPECT_EQ(emulador.Encerra(), 0);
  }
}

// After the reply, bytes keep coming for a while, then stop: the next reply follows them.
TEST(Falhas, RajadaDepoisDaResposta) {
  const std::string r1 = QuadroResposta(1, "000001|08000|SAT em opera\xE7\xE3o||");
  const std::string r2 = QuadroResposta(2, "000002|14000|Software Atualizado com Sucesso||");
  teste::Emulador emulador;
  std::string erro;
  ASSERT_TRUE(emulador.Inicia({"--so-para", "ConsultarSAT", "--rajada", "200"}, erro)) << erro;
  teste::Porta porta;
  ASSERT_TRUE(porta.Abre(emulador.Escravo()));
  ASSERT_TRUE(porta.Escreve(Requisicao(1, "000001|ConsultarSAT")));
  ASSERT_TRUE(porta.Escreve(Requisicao(2, "000002|AtualizarSoftwareSAT|12345678")));
  std::string linha, byte;
  while (linha.size() < r1.size() + r2.size() ||
         linha.compare(linha.size() - r2.size(), r2.size(), r2) != 0) {
    ASSERT_TRUE(porta.Le(1, byte)) << linha.size();
    linha += byte;
    ASSERT_LT(linha.size(), 1'000'000u);
  }
  EXPECT_EQ(linha.substr(0, r1.size()), r1);
  const std::string rajada = linha.substr(r1.size(), linha.size() - r1.size() - r2.size());
  EXPECT_FALSE(rajada.empty());
  EXPECT_EQ(rajada, std::string(rajada.size(), '\xAA'));
  EXPECT_EQ(emulador.Encerra(), 0);
}

} // namespace
