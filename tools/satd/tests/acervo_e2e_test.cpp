// The shop's archive over two months of the SAT's clock, with satd killed (SIGKILL) at random
// points of the sales: every document the SAT signed is archived once, as the checkout got it
// (satd archives the library's Base64ToAscii; the test decodes the checkout's reply itself).
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>

#include <openssl/evp.h>

#include "ambiente.h"
#include "diario.h"
#include "registro.h"
#include "zip.h"

namespace {

using nlohmann::json;
using teste::Loja;

// The retorno of a 200 reply; "" for anything else (satd killed under it, or refusing while it
// starts).
std::string Retorno(const httplib::Result &r) {
  if (!r || r->status != 200) {
    return "";
  }
  const json corpo = json::parse(r->body, nullptr, false);
  return corpo.is_object() && corpo.contains("retorno") && corpo["retorno"].is_string()
             ? corpo["retorno"].get<std::string>()
             : "";
}

// base64 decoded by OpenSSL, not by satd's code or the library's.
std::string DeBase64(const std::string &texto) {
  std::string saida(texto.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(saida.data()),
                                reinterpret_cast<const unsigned char *>(texto.data()),
                                static_cast<int>(texto.size()));
  const size_t enchimento = texto.size() - texto.find_last_not_of('=') - 1;
  return n < 0 || static_cast<size_t>(n) < enchimento
             ? std::string()
             : saida.substr(0, static_cast<size_t>(n) - enchimento);
}

class Caixas {
public:
  explicit Caixas(Loja &loja) : loja_(loja) {}

  // A call that satd may be killed under: the kill comes a random few milliseconds after the
  // call goes, once in `cada` calls or so; satd is then started again on the same port (its
  // journal and its reconciliation with the SAT at the start do the rest).
  std::string Chama(const std::string &funcao, const httplib::Params &campos, int caixa) {
    std::thread matador;
    if (sorte_() % kCada == 0) {
      const pid_t pid = loja_.servidor.Pid();
      const auto atraso = std::chrono::microseconds(sorte_() % 6000);
      matador = std::thread([pid, atraso] {
        std::this_thread::sleep_for(atraso);
        kill(pid, SIGKILL);
      });
    }
    const std::string retorno = Retorno(loja_.Chama(funcao, campos, caixa));
    if (matador.joinable()) {
      matador.join();
      loja_.EncerraServidor(SIGKILL);
      ++mortes;
      EXPECT_TRUE(loja_.IniciaServidor()) << loja_.erro;
    }
    return retorno;
  }

  int mortes = 0;
  std::map<std::string, std::string> recebidos; // key's digits: the XML of the reply received

  // A sale; its key's 47 characters when the checkout got its reply, "" when not.
  std::string Vende(int caixa) {
    const std::string r =
        Chama("enviardadosvenda", {{"dados_venda", teste::Venda(1 + caixa)}}, caixa);
    return Guarda(r, "06000");
  }
  bool Cancela(const std::string &chave) {
    for (int vez = 0; vez < 2; ++vez) {
      const std::string r =
          Chama("cancelarultimavenda",
                {{"chave_cfe", chave}, {"dados_cancelamento", teste::Cancelamento(chave)}}, 1);
      if (!Guarda(r, "07000").empty()) {
        return true;
      }
      if (!r.empty()) {
        return false; // the SAT refused it: a cancellation whose reply was lost went first
      }
    }
    return false;
  }

private:
  std::string Guarda(const std::string &retorno, const std::string &codigo) {
    const std::vector<std::string> campos = teste::Campos(retorno);
    if (campos.size() < 9 || campos[1] != codigo) {
      return "";
    }
    recebidos[campos[8].substr(3)] = DeBase64(campos[6]);
    return campos[8];
  }

  static constexpr unsigned kCada = 12;
  Loja &loja_;
  std::mt19937 sorte_{std::random_device{}()};
};

// The nCFe of a key's 44 digits: after cUF, AAMM, the CNPJ, the model and the serial number.
int Numero(const std::string &digitos) { return std::stoi(digitos.substr(31, 6)); }

TEST(Acervo, TwoMonthsOfSalesAndKillsLoseNothing) {
  Loja loja;
  Caixas caixas(loja);
  const std::string estado = loja.Pasta() + "/estado";
  int vendas = 0;
  int cancelamentos = 0;
  // The SAT's clock 35 days behind, then on time: two months, whatever today is.
  for (const char *desvio : {"-35d", "+0s"}) {
    ASSERT_TRUE(loja.IniciaEmulador({"--pronto", "--estado", estado, "--relogio-desvio", desvio}))
        << loja.erro;
    ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
    loja.portaPedida = loja.porta;
    // 150 sales and 10 cancellations a month that the checkouts got the replies of.
    const int ate = vendas + 150;
    const int cancelamentosAte = cancelamentos + 10;
    for (int i = 0; vendas < ate || cancelamentos < cancelamentosAte; ++i) {
      ASSERT_LT(i, 400) << "too few calls answered";
      const std::string chave = caixas.Vende(1 + i % 3);
      vendas += chave.empty() ? 0 : 1;
      const bool atrasado = ate - vendas <= cancelamentosAte - cancelamentos;
      if (!chave.empty() && cancelamentos < cancelamentosAte && (i % 13 == 7 || atrasado)) {
        cancelamentos += caixas.Cancela(chave) ? 1 : 0;
      }
    }
    ASSERT_EQ(loja.EncerraServidor(), 0);
    ASSERT_EQ(loja.emulador.Encerra(), 0);
  }
  ASSERT_TRUE(loja.IniciaEmulador({"--estado", estado})) << loja.erro;
  ASSERT_TRUE(loja.IniciaServidor()) << loja.erro;
  EXPECT_GT(caixas.mortes, 5);

  // The SAT's last number, and the archive: every number up to it once.
  const std::vector<std::string> status =
      teste::Campos(Retorno(loja.Chama("consultarstatusoperacional", {})));
  ASSERT_GT(status.size(), 20u);
  const std::string ultimo = status[20];
  httplib::Client cliente = loja.Cliente();
  const auto lista = cliente.Get(loja.base + "/cfe?de=2000-01-01&ate=2099-12-31");
  ASSERT_TRUE(lista && lista->status == 200);
  const json documentos = json::parse(lista->body)["documentos"];
  std::set<int> numeros;
  std::set<std::string> meses;
  std::map<std::string, int> porTipo;
  for (const json &d : documentos) {
    const std::string digitos = d["chave"].get<std::string>().substr(3);
    EXPECT_TRUE(numeros.insert(Numero(digitos)).second) << digitos;
    meses.insert(d["emitido_em"].get<std::string>().substr(0, 7));
    ++porTipo[d["tipo"].get<std::string>()];
  }
  ASSERT_FALSE(numeros.empty());
  EXPECT_EQ(*numeros.begin(), 1);
  EXPECT_EQ(static_cast<size_t>(*numeros.rbegin()), numeros.size());
  // ULTIMO_CF_E_SAT: the last document's key.
  ASSERT_EQ(ultimo.size(), 44u) << ultimo;
  EXPECT_EQ(*numeros.rbegin(), Numero(ultimo));
  EXPECT_EQ(meses.size(), 2u);
  EXPECT_GE(porTipo["venda"], vendas);
  EXPECT_GE(porTipo["cancelamento"], cancelamentos);

  // What each checkout got is what the archive keeps, byte for byte; each month's zip holds the
  // month's documents under their names, and its summary's total adds them up.
  std::map<std::string, std::map<std::string, std::string>> zips; // month: name, XML
  std::map<std::string, std::array<int64_t, 4>> somas; // sales, their cents, cancellations, theirs
  for (const json &d : documentos) {
    const std::string digitos = d["chave"].get<std::string>().substr(3);
    const auto r = cliente.Get(loja.base + "/cfe/" + digitos);
    ASSERT_TRUE(r && r->status == 200) << digitos;
    if (caixas.recebidos.count(digitos) > 0) {
      EXPECT_EQ(r->body, caixas.recebidos[digitos]) << digitos;
    }
    const std::string mes = d["emitido_em"].get<std::string>().substr(0, 7);
    const bool venda = d["tipo"] == "venda";
    zips[mes][(venda ? "CFe" : "CFeCanc") + digitos + ".xml"] = r->body;
    int64_t centavos = 0;
    EXPECT_TRUE(satd::Centavos(d["total"].get<std::string>(), centavos)) << d;
    somas[mes][venda ? 0 : 2] += 1;
    somas[mes][venda ? 1 : 3] += centavos;
  }
  const auto valor = [](int64_t c) {
    return std::to_string(c / 100) + "," + std::to_string(c % 100 / 10) + std::to_string(c % 10);
  };
  for (const auto &[mes, esperadas] : zips) {
    const auto r = cliente.Get(loja.base + "/arquivo/" + mes + ".zip");
    ASSERT_TRUE(r && r->status == 200) << mes;
    auto entradas = teste::EntradasDoZip(r->body);
    const std::string resumo = entradas["resumo-" + mes + ".csv"];
    entradas.erase("resumo-" + mes + ".csv");
    EXPECT_EQ(entradas, esperadas);
    const auto &n = somas[mes];
    const std::string total = "\r\nTotal;" + std::to_string(n[0]) + ";" + valor(n[1]) + ";" +
                              std::to_string(n[2]) + ";" + valor(n[3]) + ";";
    EXPECT_NE(resumo.find(total), std::string::npos) << total << " in " << resumo;
  }

  // The page: today's sales from the archive, and a link to the latest document.
  const auto pagina = cliente.Get("/");
  ASSERT_TRUE(pagina && pagina->status == 200);
  const std::string hoje = satd::AgoraLocal("%Y-%m-%d");
  int deHoje = 0;
  for (const json &d : documentos) {
    deHoje += d["tipo"] == "venda" && d["emitido_em"].get<std::string>().rfind(hoje, 0) == 0;
  }
  EXPECT_NE(pagina->body.find("<p id=\"hoje\">" + std::to_string(deHoje) + " vendas"),
            std::string::npos);
  EXPECT_NE(pagina->body.find(loja.base + "/cfe/" + documentos.back()["chave"].get<std::string>()),
            std::string::npos);
}

} // namespace
