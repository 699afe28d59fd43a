// The health checks over status replies built here, with the host's clock fixed.
#include <gtest/gtest.h>

#include <iterator>
#include <map>

#include "saude.h"
#include "saude_json.h"

namespace {

using saude::Avalia;
using saude::Avaliacao;
using saude::Limites;
using saude::Nivel;

const saude::Instante kAgora{2025, 3, 20, 10, 0, 0};

// An access key of São Paulo whose nCFe is `numero`.
std::string Chave(const char *numero) {
  return std::string("3525031122233300018159900000001") + numero + "1234565";
}

// A healthy device's status with some fields changed.
std::string Status(const std::map<std::string, std::string> &mudancas = {}) {
  std::map<std::string, std::string> campos = {
      {"NSERIE", "900000001"},        {"TIPO_LAN", "DHCP"},
      {"LAN_IP", "192.168.0.50"},     {"LAN_MAC", "02:5A:00:00:00:01"},
      {"LAN_MASK", "255.255.255.0"},  {"LAN_GW", "192.168.0.1"},
      {"LAN_DNS_1", "192.168.0.1"},   {"LAN_DNS_2", "0.0.0.0"},
      {"STATUS_LAN", "CONECTADO"},    {"NIVEL_BATERIA", "ALTO"},
      {"MT_TOTAL", "4 GB"},           {"MT_USADA", "12 MB"},
      {"DH_ATUAL", "20250320100030"}, {"VER_SB", "01.00.00"},
      {"VER_LAYOUT", "00.08"},        {"ULTIMO_CF_E_SAT", Chave("000119")},
      {"LISTA_INICIAL", ""},          {"LISTA_FINAL", ""},
      {"DH_CFe", "20250320095500"},   {"DH_ULTIMA", "20250320095900"},
      {"CERT_EMISSAO", "20240101"},   {"CERT_VENCIMENTO", "20290101"},
      {"ESTADO_OPERACAO", "0"}};
  for (const auto &[nome, valor] : mudancas) {
    campos.at(nome) = valor;
  }
  std::string resposta = "123456|10000|Resposta com Sucesso.||";
  // After the message, the code and SEFAZ's message, in the order of the reply.
  for (size_t i = 3; i < std::size(saude::kNomesStatus); ++i) {
    resposta += "|" + campos.at(saude::kNomesStatus[i]);
  }
  return resposta;
}

const saude::Verificacao *Procura(const Avaliacao &a, const std::string &id) {
  for (const saude::Verificacao &v : a.verificacoes) {
    if (v.id == id) {
      return &v;
    }
  }
  return nullptr;
}

TEST(Saude, AHealthyDeviceIsOkInEveryCheck) {
  const Avaliacao a = Avalia(Status(), kAgora, Limites{});
  EXPECT_EQ(a.nivel, Nivel::Ok);
  EXPECT_EQ(a.codigo, "10000");
  EXPECT_EQ(a.Campo("NSERIE"), "900000001");
  ASSERT_EQ(a.verificacoes.size(), 7u);
  const char *const ids[] = {"consulta", "certificado", "transmissao", "relogio",
                             "memoria",  "bateria",     "operacao"};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(a.verificacoes[i].id, ids[i]);
    EXPECT_EQ(a.verificacoes[i].nivel, Nivel::Ok) << a.verificacoes[i].mensagem;
  }
  EXPECT_EQ(a.verificacoes[2].mensagem,
            "Nenhum CF-e aguardando transmiss\xE3o; \xFAltimo contato com a SEFAZ h\xE1 90 s");
}

// Every check at each of its levels, its boundaries, and the fields it cannot read.
TEST(Saude, EachCheckAtEachLevel) {
  const std::string zeros(44, '0');
  const Limites padrao;
  Limites certificado10;
  certificado10.certificadoDias = 10;
  Limites relogio30;
  relogio30.relogioMinutos = 30;
  const struct {
    std::map<std::string, std::string> mudancas;
    Limites limites;
    const char *id;
    Nivel nivel;
    const char *mensagem;
  } casos[] = {
      {{{"CERT_VENCIMENTO", "20250520"}},
       padrao,
       "certificado",
       Nivel::Ok,
       "Certificado v\xE1lido at\xE9 20/05/2025 (61 dias)"},
      {{{"CERT_VENCIMENTO", "20250519"}},
       padrao,
       "certificado",
       Nivel::Atencao,
       "Certificado vence em 60 dias (19/05/2025)"},
      {{{"CERT_VENCIMENTO", "20250321"}},
       padrao,
       "certificado",
       Nivel::Atencao,
       "Certificado vence em 1 dia (21/03/2025)"},
      {{{"CERT_VENCIMENTO", "20250320"}},
       padrao,
       "certificado",
       Nivel::Atencao,
       "Certificado vence hoje (20/03/2025)"},
      {{{"CERT_VENCIMENTO", "20250319"}},
       padrao,
       "certificado",
       Nivel::Critico,
       "Certificado vencido desde 19/03/2025 (h\xE1 1 dia): o SAT n\xE3o pode emitir CF-e"},
      {{{"CERT_VENCIMENTO", "20250401"}},
       certificado10,
       "certificado",
       Nivel::Ok,
       "Certificado v\xE1lido at\xE9 01/04/2025 (12 dias)"},
      {{{"CERT_VENCIMENTO", ""}},
       padrao,
       "certificado",
       Nivel::Atencao,
       "CERT_VENCIMENTO ileg\xEDvel: vazio"},
      {{{"CERT_VENCIMENTO", "20250230"}},
       padrao,
       "certificado",
       Nivel::Atencao,
       "CERT_VENCIMENTO ileg\xEDvel: '20250230'"},

      {{{"LISTA_INICIAL", zeros}, {"LISTA_FINAL", zeros}},
       padrao,
       "transmissao",
       Nivel::Ok,
       "Nenhum CF-e aguardando transmiss\xE3o; \xFAltimo contato com a SEFAZ h\xE1 90 s"},
      {{{"LISTA_INICIAL", Chave("000120")}, {"LISTA_FINAL", "CFe" + Chave("000122")}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "3 CF-e aguardando transmiss\xE3o; \xFAltima transmiss\xE3o h\xE1 5 min; \xFAltimo "
       "contato com a SEFAZ h\xE1 90 s"},
      {{{"LISTA_INICIAL", Chave("999999")}, {"LISTA_FINAL", Chave("000001")}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "2 CF-e aguardando transmiss\xE3o; \xFAltima transmiss\xE3o h\xE1 5 min; \xFAltimo "
       "contato com a SEFAZ h\xE1 90 s"},
      {{{"LISTA_INICIAL", "17"}, {"LISTA_FINAL", "17"}, {"DH_CFe", "20250316100030"}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "1 CF-e aguardando transmiss\xE3o; \xFAltima transmiss\xE3o h\xE1 4 dias; \xFAltimo "
       "contato com a SEFAZ h\xE1 90 s"},
      {{{"LISTA_INICIAL", "x"}, {"LISTA_FINAL", "y"}, {"DH_CFe", "20250315100029"}},
       padrao,
       "transmissao",
       Nivel::Critico,
       "CF-e aguardando transmiss\xE3o; \xFAltima transmiss\xE3o h\xE1 5 dias; \xFAltimo "
       "contato com a SEFAZ h\xE1 90 s"},
      {{{"LISTA_FINAL", Chave("000120")}, {"DH_CFe", ""}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "CF-e aguardando transmiss\xE3o; nenhuma transmiss\xE3o registrada; \xFAltimo contato com "
       "a SEFAZ h\xE1 90 s"},
      {{{"DH_ULTIMA", "20250314100000"}, {"DH_CFe", "20250314090000"}},
       padrao,
       "transmissao",
       Nivel::Critico,
       "Nenhum CF-e aguardando transmiss\xE3o; \xFAltimo contato com a SEFAZ h\xE1 6 dias (o SAT "
       "se bloqueia ap\xF3s 10 dias sem contato)"},
      {{{"DH_CFe", ""}},
       padrao,
       "transmissao",
       Nivel::Ok,
       "Nenhum CF-e aguardando transmiss\xE3o; \xFAltimo contato com a SEFAZ h\xE1 90 s"},
      {{{"DH_CFe", "ontem"}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "Nenhum CF-e aguardando transmiss\xE3o; \xFAltimo contato com a SEFAZ h\xE1 90 s; DH_CFe "
       "ileg\xEDvel: 'ontem'"},
      {{{"DH_ULTIMA", "2025032010000"}},
       padrao,
       "transmissao",
       Nivel::Atencao,
       "Nenhum CF-e aguardando transmiss\xE3o; DH_ULTIMA ileg\xEDvel: '2025032010000'"},

      {{{"DH_ATUAL", "20250320100500"}},
       padrao,
       "relogio",
       Nivel::Ok,
       "Rel\xF3gio do SAT de acordo com o computador (diferen\xE7"
       "a de 5 min)"},
      {{{"DH_ATUAL", "20250320100501"}},
       padrao,
       "relogio",
       Nivel::Atencao,
       "Rel\xF3gio do SAT 5 min adiantado em rela\xE7\xE3o ao computador"},
      {{{"DH_ATUAL", "20250320094000"}},
       padrao,
       "relogio",
       Nivel::Atencao,
       "Rel\xF3gio do SAT 20 min atrasado em rela\xE7\xE3o ao computador"},
      {{{"DH_ATUAL", "20250318100000"}},
       padrao,
       "relogio",
       Nivel::Atencao,
       "Rel\xF3gio do SAT 2 dias atrasado em rela\xE7\xE3o ao computador"},
      {{{"DH_ATUAL", "20250320094000"}},
       relogio30,
       "relogio",
       Nivel::Ok,
       "Rel\xF3gio do SAT de acordo com o computador (diferen\xE7"
       "a de 20 min)"},
      {{{"DH_ATUAL", "20251320100000"}},
       padrao,
       "relogio",
       Nivel::Atencao,
       "DH_ATUAL ileg\xEDvel: '20251320100000'"},

      {{{"MT_USADA", "3277 MB"}},
       padrao,
       "memoria",
       Nivel::Ok,
       "Mem\xF3ria em uso: 3277 MB de 4 GB (80,0 %)"},
      {{{"MT_USADA", "3300 MB"}},
       padrao,
       "memoria",
       Nivel::Atencao,
       "Mem\xF3ria do SAT enchendo: 3300 MB de 4 GB (80,6 %) em uso"},
      {{{"MT_USADA", "3,5GB"}},
       padrao,
       "memoria",
       Nivel::Atencao,
       "Mem\xF3ria do SAT enchendo: 3,5GB de 4 GB (87,5 %) em uso"},
      {{{"MT_USADA", "3900 MB"}},
       padrao,
       "memoria",
       Nivel::Critico,
       "Mem\xF3ria do SAT quase cheia: 3900 MB de 4 GB (95,2 %) em uso"},
      {{{"MT_TOTAL", "4096"}, {"MT_USADA", "4 kb"}},
       padrao,
       "memoria",
       Nivel::Critico,
       "Mem\xF3ria do SAT quase cheia: 4 kb de 4096 (100,0 %) em uso"},
      {{{"MT_USADA", "5 GB"}}, padrao, "memoria", Nivel::Atencao, "MT_USADA ileg\xEDvel: '5 GB'"},
      {{{"MT_TOTAL", "0 GB"}, {"MT_USADA", "muito"}},
       padrao,
       "memoria",
       Nivel::Atencao,
       "MT_TOTAL ileg\xEDvel: '0 GB'; MT_USADA ileg\xEDvel: 'muito'"},
      {{{"MT_TOTAL", "4,0,0 GB"}, {"MT_USADA", ",5 MB"}},
       padrao,
       "memoria",
       Nivel::Atencao,
       "MT_TOTAL ileg\xEDvel: '4,0,0 GB'"},

      {{{"NIVEL_BATERIA", "M\xC9"
                          "DIO"}},
       padrao,
       "bateria",
       Nivel::Ok,
       "Bateria com n\xEDvel M\xC9"
       "DIO"},
      {{{"NIVEL_BATERIA", "BAIXO"}},
       padrao,
       "bateria",
       Nivel::Atencao,
       "Bateria do SAT baixa: o rel\xF3gio do SAT pode se perder"},
      {{{"NIVEL_BATERIA", "CHEIA\x01"}},
       padrao,
       "bateria",
       Nivel::Atencao,
       "NIVEL_BATERIA ileg\xEDvel: 'CHEIA?'"},

      {{{"ESTADO_OPERACAO", "1"}},
       padrao,
       "operacao",
       Nivel::Critico,
       "SAT bloqueado pela SEFAZ: n\xE3o emite CF-e"},
      {{{"ESTADO_OPERACAO", "2"}},
       padrao,
       "operacao",
       Nivel::Critico,
       "SAT bloqueado pelo contribuinte: n\xE3o emite CF-e"},
      {{{"ESTADO_OPERACAO", "3"}},
       padrao,
       "operacao",
       Nivel::Critico,
       "SAT em bloqueio aut\xF4nomo: n\xE3o emite CF-e"},
      {{{"ESTADO_OPERACAO", "4"}},
       padrao,
       "operacao",
       Nivel::Critico,
       "SAT bloqueado para desativa\xE7\xE3o: n\xE3o emite CF-e"},
      {{{"ESTADO_OPERACAO", "5"}},
       padrao,
       "operacao",
       Nivel::Atencao,
       "ESTADO_OPERACAO ileg\xEDvel: '5'"},
      {{{"ESTADO_OPERACAO", "00"}},
       padrao,
       "operacao",
       Nivel::Atencao,
       "ESTADO_OPERACAO ileg\xEDvel: '00'"},
  };
  for (const auto &caso : casos) {
    const std::string resposta = Status(caso.mudancas);
    SCOPED_TRACE(resposta);
    const Avaliacao a = Avalia(resposta, kAgora, caso.limites);
    const saude::Verificacao *v = Procura(a, caso.id);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nivel, caso.nivel);
    EXPECT_EQ(v->mensagem, caso.mensagem);
    // The other checks stay ok, so the reply's level is this one's.
    EXPECT_EQ(a.nivel, caso.nivel);
  }
}

// Replies that are not a status: only the query's own finding, never a crash.
TEST(Saude, AReplyThatIsNotAStatusIsAFinding) {
  std::string cortada = Status();
  cortada.resize(cortada.find("|01.00.00"));
  const struct {
    std::string resposta;
    Nivel nivel;
    const char *mensagem;
    size_t verificacoes;
  } casos[] = {
      {"Erro ao tentar abrir a porta", Nivel::Critico,
       "O SAT n\xE3o respondeu: Erro ao tentar abrir a porta", 1},
      {"", Nivel::Critico, "O SAT n\xE3o respondeu: vazio", 1},
      {"000042|9999|Timeout de comunica\xE7\xE3o", Nivel::Critico,
       "O SAT n\xE3o respondeu: Timeout de comunica\xE7\xE3o", 1},
      {"000042|10001|C\xF3"
       "digo de ativa\xE7\xE3o inv\xE1lido||",
       Nivel::Critico,
       "O SAT recusou a consulta (10001): C\xF3"
       "digo de ativa\xE7\xE3o inv\xE1lido",
       1},
      {"000042|10098|SAT em processamento. Tente novamente.||", Nivel::Atencao,
       "O SAT est\xE1 ocupado: SAT em processamento. Tente novamente.", 1},
      {cortada, Nivel::Atencao, "O SAT respondeu \xE0 consulta, mas com 18 dos 28 campos do status",
       7},
  };
  for (const auto &caso : casos) {
    SCOPED_TRACE(caso.resposta);
    const Avaliacao a = Avalia(caso.resposta, kAgora, Limites{});
    ASSERT_EQ(a.verificacoes.size(), caso.verificacoes);
    EXPECT_EQ(a.verificacoes[0].id, "consulta");
    EXPECT_EQ(a.verificacoes[0].nivel, caso.nivel);
    EXPECT_EQ(a.verificacoes[0].mensagem, caso.mensagem);
  }
  // The cut reply's later fields are missing: their checks say so.
  const Avaliacao a = Avalia(cortada, kAgora, Limites{});
  EXPECT_EQ(Procura(a, "certificado")->mensagem, "CERT_VENCIMENTO ileg\xEDvel: vazio");
  EXPECT_EQ(Procura(a, "operacao")->nivel, Nivel::Atencao);
  EXPECT_EQ(Procura(a, "relogio")->nivel, Nivel::Ok);
}

// Latin-1 is enough for the test's texts.
std::string Latin1(std::string_view texto) {
  std::string utf8;
  for (const unsigned char c : texto) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | c >> 6);
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

TEST(Saude, JsonCarriesLevelsMessagesAndFigures) {
  const Avaliacao a =
      Avalia(Status({{"CERT_VENCIMENTO", "20250330"}, {"MT_USADA", "3,5 GB"}}), kAgora, Limites{});
  const nlohmann::ordered_json j = saude::ParaJson(a, Latin1);
  EXPECT_EQ(j["nivel"], "atencao");
  EXPECT_EQ(j["codigo"], "10000");
  EXPECT_EQ(j["campos"]["NSERIE"], "900000001");
  ASSERT_EQ(j["verificacoes"].size(), 7u);
  const nlohmann::ordered_json &certificado = j["verificacoes"][1];
  EXPECT_EQ(certificado["id"], "certificado");
  EXPECT_EQ(certificado["nivel"], "atencao");
  EXPECT_EQ(certificado["dados"]["vencimento"], "2025-03-30");
  EXPECT_TRUE(certificado["dados"]["dias_restantes"].is_number_integer());
  EXPECT_EQ(certificado["dados"]["dias_restantes"], 10);
  EXPECT_EQ(j["verificacoes"][3]["titulo"], "Rel\xC3\xB3gio");
  EXPECT_EQ(j["verificacoes"][3]["dados"]["diferenca_s"], 30);
  EXPECT_EQ(j["verificacoes"][4]["dados"]["percentual"], 87.5);
  EXPECT_EQ(j["verificacoes"][4]["mensagem"],
            "Mem\xC3\xB3ria do SAT enchendo: 3,5 GB de 4 GB (87,5 %) em uso");
}

} // namespace
