// The sale and its cancellation, and the stored fiscal reply read like them, over the scripted
// port and a substitute loader that hands out the real zlib.
#include <zlib.h>

#include <string>

#include "support/armazenamento.h"
#include "support/compressao.h"
#include "tests/unit/comando_auxiliar.h"

namespace {

const std::string VENDA = "<CFe><infCFe><det>P\xE3o</det></infCFe></CFe>";
const std::string CFE = "<CFe><infCFe Id=\"CFe35\"><ide/></infCFe></CFe>";
const std::string EMITIDO = "Emitido com sucesso + conte\xFA"
                            "do notas.";
const std::string CAMPOS_VENDA = "000042|06000|0000|" + EMITIDO + "|0000|Autorizado|";
const std::string TIMEOUT = "000042|9999|Timeout de comunica\xE7\xE3o";

std::string Expande(const std::string &comprimido) {
  std::string saida(1 << 20, '\0');
  uLongf n = saida.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(&saida[0]), &n,
                       reinterpret_cast<const Bytef *>(comprimido.data()), comprimido.size()),
            Z_OK);
  saida.resize(n);
  return saida;
}

std::string Le32(uint32_t v) {
  return Bytes({static_cast<int>(v & 0xFF), static_cast<int>(v >> 8 & 0xFF),
                static_cast<int>(v >> 16 & 0xFF), static_cast<int>(v >> 24)});
}

// The fields that the sale reply's compressed block holds.
std::string CamposExpandidos(const std::string &cfe = CFE) {
  return Base64(cfe) + "|20261208120000|CFe35261211222333000181599000000010000011234561|10.00||" +
         Base64(std::string(256, 'q'));
}

class VendaTest : public ComandoTest {
protected:
  void SetUp() override {
    ComandoTest::SetUp();
    ZlibDisponivel("zlib.dll");
  }
};

TEST_F(VendaTest, TheSaleGoesOutCompressedUpToItsClosingTag) {
  const char *const vendas[] = {"<CFe><infCFe/></CFe>", "<CFe><infCFe/></CFe>\r\n<!-- sobra -->",
                                "<CFe>sem fechamento", ""};
  const std::string enviadas[] = {"<CFe><infCFe/></CFe>", "<CFe><infCFe/></CFe>",
                                  "<CFe>sem fechamento", ""};
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(vendas[i]);
    sub().escritos.clear();
    sub().arquivos["sat.log"].clear();
    // A string literal: the library must not write into the caller's text.
    EnviarDadosVenda(42, "abc", vendas[i]);
    ASSERT_EQ(sub().escritos.size(), 1u);
    const std::string pedido = Pedido();
    const std::string prefixo = "000042|EnviarDadosVenda|abc|";
    ASSERT_EQ(pedido.compare(0, prefixo.size(), prefixo), 0);
    const std::string bloco = pedido.substr(prefixo.size() + 4);
    EXPECT_EQ(pedido.substr(prefixo.size(), 4), Le32(static_cast<uint32_t>(bloco.size())));
    EXPECT_EQ(bloco.substr(0, 2), Bytes({0x78, 0x5E})) << "level 2";
    EXPECT_EQ(bloco, Comprime(enviadas[i], 2));
    EXPECT_EQ(Expande(bloco), enviadas[i]);
    const std::string log = Log();
    EXPECT_EQ(log.substr(0, Registros({enviadas[i]}).size()), Registros({enviadas[i]}));
  }
}

// Replies of every shape: what the caller gets, the error record and the decoded CF-e.
TEST_F(VendaTest, TheSaleReplysTailIsExpandedAndItsCFeDecoded) {
  const std::string bloco = Comprime(CamposExpandidos());
  const std::string corrompido = bloco.substr(0, 10) + std::string(bloco.size() - 10, 'x');
  const std::string codigoLongo(28, '6');
  const struct {
    const char *nome;
    std::string resposta; // the device's payload; empty: silent
    std::string texto;    // what the caller gets
    std::string mensagem; // of the error record
    std::string cfe;      // from Base64ToAscii
  } casos[] = {
      {"six fields and a block", CAMPOS_VENDA + Le32(bloco.size()) + bloco,
       CAMPOS_VENDA + CamposExpandidos(), "Codigo: 06000.\n" + EMITIDO, CFE},
      {"L zero", CAMPOS_VENDA + Le32(0), CAMPOS_VENDA, "Codigo: 06000.\n" + EMITIDO, ""},
      {"a failed sale",
       "000042|06001|C\xF3"
       "digo de ativa\xE7\xE3o inv\xE1lido||",
       "000042|06001|C\xF3"
       "digo de ativa\xE7\xE3o inv\xE1lido||",
       "Codigo: 06001.\n", ""},
      {"L past the end", CAMPOS_VENDA + Le32(bloco.size() + 1) + bloco, CAMPOS_VENDA,
       "Codigo: 06000.\n" + EMITIDO, ""},
      {"L that wraps a sum", CAMPOS_VENDA + Le32(0xFFFFFFFF) + bloco, CAMPOS_VENDA,
       "Codigo: 06000.\n" + EMITIDO, ""},
      {"L cut short", CAMPOS_VENDA + "\x05\x01", CAMPOS_VENDA, "Codigo: 06000.\n" + EMITIDO, ""},
      {"a corrupt block", CAMPOS_VENDA + Le32(corrompido.size()) + corrompido, CAMPOS_VENDA,
       "Codigo: 06000.\n" + EMITIDO, ""},
      {"a cut block", CAMPOS_VENDA + Le32(bloco.size() - 3) + bloco.substr(0, bloco.size() - 3),
       CAMPOS_VENDA, "Codigo: 06000.\n" + EMITIDO, ""},
      {"a code field too long", "000042|" + codigoLongo + "|0000|m|",
       "000042|" + codigoLongo + "|0000|m|", "Codigo: .\n", ""},
      {"time-out", "", TIMEOUT, "Codigo: 9999.\n", ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    // A good sale first, so that each case shows what it leaves of an earlier CF-e.
    Responde(CAMPOS_VENDA + Le32(bloco.size()) + bloco);
    EnviarDadosVenda(42, "abc", VENDA.c_str());
    ASSERT_EQ(std::string(Base64ToAscii()), CFE);

    Responde(c.resposta);
    EXPECT_EQ(EnviarDadosVenda(42, "abc", VENDA.c_str()), BufferResposta);
    EXPECT_EQ(std::string(BufferResposta), c.texto);
    EXPECT_EQ(std::string(BufferResposta + c.texto.size(), 4), std::string(4, '\0'));
    EXPECT_EQ(Codigo(), 0);
    EXPECT_EQ(Mensagem(), c.mensagem);
    EXPECT_EQ(std::string(Base64ToAscii()), c.cfe);
    const std::string log = Log();
    EXPECT_EQ(log.substr(log.size() - Registros({c.texto}).size()), Registros({c.texto}));
  }
}

TEST_F(VendaTest, AnExpandedReplyIsBoundedToTheReplyBuffer) {
  const std::string grande(TAMANHO_RESPOSTA_LIMPA + 1000, 'A');
  const std::string bloco = Comprime(grande);
  Responde(CAMPOS_VENDA + Le32(bloco.size()) + bloco);
  EnviarDadosVenda(42, "abc", VENDA.c_str());
  const std::string texto(BufferResposta);
  EXPECT_EQ(texto.size(), TAMANHO_RESPOSTA_LIMPA - 1);
  EXPECT_EQ(texto.substr(0, CAMPOS_VENDA.size()), CAMPOS_VENDA);
}

TEST_F(VendaTest, ASaleThatCannotBeBuiltIsRefusedBeforeSending) {
  const std::string enorme(TAMANHO_BUFFER_VENDA, 'x');
  const std::string cabe = "<CFe>" + std::string(TAMANHO_BUFFER_VENDA - 12, 'x') + "</CFe>" +
                           std::string(100, 'y'); // too long only after its closing tag
  // Bytes that do not compress: once compressed they no longer fit BufferCompactado.
  std::string ruido(TAMANHO_BUFFER_VENDA - 1, 'r');
  uint32_t estado = 1;
  for (char &c : ruido) {
    estado = estado * 1103515245u + 12345u;
    c = static_cast<char>(1 + (estado >> 16) % 255);
  }
  const struct {
    const char *nome;
    std::string venda;
    bool semZlib, semCompress2;
    std::string mensagem; // empty: the sale goes out
    std::string log;      // a record the call must write
  } casos[] = {
      {"2 MiB", enorme, false, false, "Dados da venda excedem 2097151 bytes", ""},
      {"fits up to its tag", cabe, false, false, "", ""},
      {"no zlib", VENDA, true, false,
       "Biblioteca de compacta\xE7\xE3o (zlib) indispon\xEDvel; venda n\xE3o enviada",
       "nao encontrou dll compcatcao..."},
      {"no compress2", VENDA, false, true,
       "Biblioteca de compacta\xE7\xE3o (zlib) indispon\xEDvel; venda n\xE3o enviada", ""},
      {"too big once compressed", ruido, false, false,
       "Falha ao compactar os dados da venda; venda n\xE3o enviada", ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    LiberaZlib();
    sub().modulos.clear();
    if (!c.semZlib) {
      ZlibDisponivel("zlib.dll");
    }
    if (c.semCompress2) {
      sub().modulos["zlib.dll"].erase("compress2");
    }
    sub().escritos.clear();
    sub().arquivos["sat.log"].clear();
    EnviarDadosVenda(42, "abc", c.venda.c_str());
    if (c.mensagem.empty()) {
      EXPECT_EQ(sub().escritos.size(), 1u);
      continue;
    }
    EXPECT_TRUE(sub().escritos.empty());
    EXPECT_EQ(std::string(BufferResposta), "000042|9999|" + c.mensagem);
    EXPECT_EQ(Codigo(), ERRO_RECUSADO);
    EXPECT_EQ(Mensagem(), c.mensagem);
    EXPECT_EQ(Log().find("nao encontrou dll compcatcao...") != std::string::npos, !c.log.empty());
  }
}

TEST_F(VendaTest, TheCancellationDecodesItsCFeAlone) {
  const std::string canc = "<CFeCanc><infCFe chCanc=\"CFe35\"/></CFeCanc>";
  const std::string cancelado = "Cupom cancelado com sucesso + conte\xFA"
                                "do CF-e-SAT cancelado.";
  const std::string sucesso = "000042|07000|0000|" + cancelado + "|0000|Autorizado|" +
                              Base64(canc) + "|20261208120000|CFe35|10.00||" +
                              Base64(std::string(256, 'q'));
  const struct {
    const char *nome;
    std::string resposta, mensagem, documento;
  } casos[] = {
      {"success", sucesso, "Codigo: 07000.\n" + cancelado, canc},
      {"7000 only in the session", "017000|07002|x|Cupom inv\xE1lido|a|b|" + Base64("doc") + "|c",
       "Codigo: 07002.\nCupom inv\xE1lido", "doc"},
      {"fewer than six bars", "000042|07000|0000|m|a|" + Base64("doc"), "Codigo: 07000.\nm", ""},
      {"three fields",
       "000042|07001|C\xF3"
       "digo inv\xE1lido",
       "Codigo: 07001.\n", ""},
      {"a code field of 380 bytes", "000042|" + std::string(380, '7') + "|x|y|", "Codigo: .\n", ""},
      {"no port", "", "Codigo: .\n", ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nome);
    sub().abreFalha = c.resposta.empty();
    sub().escritos.clear();
    sub().arquivos["sat.log"].clear();
    Responde(c.resposta);
    // The session number of the reply: 17000 holds "7000" outside the code field.
    const int32_t sessao = c.resposta.compare(0, 6, "017000") == 0 ? 17000 : 42;
    EXPECT_EQ(CancelarUltimaVenda(sessao, "abc", "CFe35", "<CFeCanc/>"), BufferResposta);
    const std::string texto = c.resposta.empty() ? "Erro ao tentar abrir a porta" : c.resposta;
    EXPECT_EQ(std::string(BufferResposta), texto);
    EXPECT_EQ(Mensagem(), c.mensagem);
    EXPECT_EQ(std::string(Base64ToAscii()), c.documento);
    if (!c.resposta.empty()) {
      EXPECT_EQ(Pedido().substr(6), "|CancelarUltimaVenda|abc|CFe35|<CFeCanc/>");
      const std::string log = Log();
      EXPECT_EQ(log.substr(log.size() - Registros({texto, texto}).size()),
                Registros({texto, texto}));
    }
  }
}

// A stored sale or cancellation, asked for again by either query, comes back as the sale or
// cancellation gave it, with its CF-e.
TEST_F(VendaTest, AStoredFiscalReplyIsReadLikeTheSaleOrCancellation) {
  const std::string bloco = Comprime(CamposExpandidos());
  const std::string canc = "<CFeCanc><infCFe/></CFeCanc>";
  const std::string cancelamento = "000017|07000|0000|Cupom cancelado|0000|ok|" + Base64(canc) +
                                   "|20261208120000|CFe35|10.00||qr";
  const struct {
    const char *nome;
    std::string resposta, texto, documento;
  } casos[] = {
      {"a stored sale",
       "000017|06000|0000|" + EMITIDO + "|0000|Autorizado|" + Le32(bloco.size()) + bloco,
       "000017|06000|0000|" + EMITIDO + "|0000|Autorizado|" + CamposExpandidos(), CFE},
      {"a stored cancellation", cancelamento, cancelamento, canc},
      {"none yet", "000042|19003|N\xE3o existe sess\xE3o fiscal||",
       "000042|19003|N\xE3o existe sess\xE3o fiscal||", ""},
      {"time-out", "", TIMEOUT, ""},
  };
  const struct {
    char *(*consulta)();
    const char *pedido;
  } consultas[] = {
      {[] { return ConsultarUltimaSessaoFiscal(42, "abc"); },
       "000042|ConsultarUltimaSessaoFiscal|abc"},
      {[] { return ConsultarNumeroSessao(42, "abc", 17); },
       "000042|ConsultarNumeroSessao|abc|000017"},
  };
  for (const auto &q : consultas) {
    for (const auto &c : casos) {
      SCOPED_TRACE(std::string(q.pedido) + ": " + c.nome);
      sub().escritos.clear();
      // What an earlier sale left for Base64ToAscii must not pass for the document asked for.
      Responde(cancelamento);
      CancelarUltimaVenda(17, "abc", "CFe35", "x");
      Responde(c.resposta);
      EXPECT_EQ(q.consulta(), BufferResposta);
      EXPECT_EQ(Pedido(1), q.pedido);
      EXPECT_EQ(std::string(BufferResposta), c.texto);
      EXPECT_EQ(Codigo(), 0);
      EXPECT_EQ(Mensagem(), "");
      EXPECT_EQ(std::string(Base64ToAscii()), c.documento);
    }
  }
}

} // namespace
