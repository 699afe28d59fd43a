// The three query commands of the shipped binary against satemu, through the real serial
// path: natively through SAT_DEV_DIR, and for the DLL under wine through dosdevices/com7.
// Each suite needs its own device, which tests/com_satemu.sh starts:
//   Dispositivo.*     satemu --pronto
//   Mudo.*            satemu --mudo (never answers)
//   SemDispositivo.*  no device at all
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/carga/biblioteca.h"

namespace {

typedef int32_t(SAT_CALL *FnAbreSerialSAT)(int32_t, int32_t, int32_t, int32_t, int32_t);
typedef char *(SAT_CALL *FnConsultarSAT)(int32_t);
typedef char *(SAT_CALL *FnConsultarStatusOperacional)(int32_t, const char *);
typedef char *(SAT_CALL *FnConsultarNumeroSessao)(int32_t, const char *, int32_t);

struct Registro {
  int32_t codigo;
  std::string mensagem;
};

class Sat {
public:
  Sat() {
    EXPECT_TRUE(lib_.Carregada()) << Biblioteca::Caminho();
    abre_ = lib_.Funcao<FnAbreSerialSAT>("AbreSerialSAT");
    consultar_ = lib_.Funcao<FnConsultarSAT>("ConsultarSAT");
    status_ = lib_.Funcao<FnConsultarStatusOperacional>("ConsultarStatusOperacional");
    numero_ = lib_.Funcao<FnConsultarNumeroSessao>("ConsultarNumeroSessao");
    codigo_ = lib_.Funcao<FnCodigoErro>("CodigoErro");
    EXPECT_TRUE(abre_ && consultar_ && status_ && numero_ && codigo_);
  }
  bool Pronta() const { return abre_ && consultar_ && status_ && numero_ && codigo_; }
  int32_t AbreSerialSAT(int32_t porta) { return abre_(porta, 0, 0, 0, 0); }
  std::string ConsultarSAT(int32_t sessao) { return consultar_(sessao); }
  std::string ConsultarStatusOperacional(int32_t sessao, const char *codigo) {
    return status_(sessao, codigo);
  }
  std::string ConsultarNumeroSessao(int32_t sessao, const char *codigo, int32_t numero) {
    return numero_(sessao, codigo, numero);
  }
  Registro CodigoErro() {
    char bruto[804];
    codigo_(bruto);
    Registro r;
    std::memcpy(&r.codigo, bruto, 4);
    r.mensagem.assign(bruto + 4, strnlen(bruto + 4, 800));
    return r;
  }

private:
  Biblioteca lib_;
  FnAbreSerialSAT abre_;
  FnConsultarSAT consultar_;
  FnConsultarStatusOperacional status_;
  FnConsultarNumeroSessao numero_;
  FnCodigoErro codigo_;
};

std::string Hex(const std::string &bytes) {
  static const char digitos[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += digitos[c >> 4];
    s += digitos[c & 15];
  }
  return s;
}

// The frames the device received, one a line in hex.
std::vector<std::string> QuadrosRecebidos() {
  std::vector<std::string> quadros;
  const char *caminho = std::getenv("SAT_E2E_REGISTRO");
  if (caminho == nullptr) {
    ADD_FAILURE() << "SAT_E2E_REGISTRO is not set: run through tests/com_satemu.sh";
    return quadros;
  }
  std::ifstream arquivo(caminho);
  for (std::string linha; std::getline(arquivo, linha);) {
    while (!linha.empty() && (linha.back() == '\r' || linha.back() == ' ')) {
      linha.pop_back();
    }
    if (!linha.empty()) {
      quadros.push_back(linha);
    }
  }
  return quadros;
}

std::vector<std::string> Campos(const std::string &resposta) {
  std::vector<std::string> campos;
  size_t inicio = 0;
  for (size_t barra; (barra = resposta.find('|', inicio)) != std::string::npos;
       inicio = barra + 1) {
    campos.push_back(resposta.substr(inicio, barra - inicio));
  }
  campos.push_back(resposta.substr(inicio));
  return campos;
}

TEST(Dispositivo, QueryCommandsOverTheSerialPort) {
  Sat sat;
  ASSERT_TRUE(sat.Pronta());
  EXPECT_EQ(sat.AbreSerialSAT(7), 0);

  std::string consulta = sat.ConsultarSAT(42);
  EXPECT_EQ(consulta.rfind("000042|08000|SAT em opera\xE7\xE3o|", 0), 0u) << consulta;
  Registro r = sat.CodigoErro();
  EXPECT_EQ(r.codigo, 0);
  EXPECT_EQ(r.mensagem, consulta) << "a short reply is copied into the error record";

  std::string status = sat.ConsultarStatusOperacional(43, "12345678");
  std::vector<std::string> campos = Campos(status);
  ASSERT_GE(campos.size(), 6u) << status;
  EXPECT_EQ(campos[0], "000043");
  EXPECT_EQ(campos[1], "10000");
  EXPECT_EQ(campos[5], "900000001") << "the serial number stands in the sixth field";
  EXPECT_EQ(sat.CodigoErro().mensagem, "") << "the status query leaves the record as is";

  std::string numero = sat.ConsultarNumeroSessao(44, "12345678", 42);
  EXPECT_EQ(numero, consulta) << "the device answers with session 42's reply";

  std::vector<std::string> quadros = QuadrosRecebidos();
  ASSERT_EQ(quadros.size(), 3u);
  // The first request after load: sequence 0, 19 payload bytes, checksum 0x58.
  EXPECT_EQ(quadros[0], "0100000013000000" + Hex("000042|ConsultarSAT") + "58");
  EXPECT_EQ(quadros[1].substr(0, 4), "0101") << "the sequence number goes up per request";
  EXPECT_NE(quadros[1].find(Hex("000043|ConsultarStatusOperacional|12345678")), std::string::npos);
  EXPECT_EQ(quadros[2].substr(0, 4), "0102");
  EXPECT_NE(quadros[2].find(Hex("000044|ConsultarNumeroSessao|12345678|000042")),
            std::string::npos);
}

TEST(Mudo, ADeviceThatNeverAnswersTimesOut) {
  Sat sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  std::string resposta = sat.ConsultarSAT(42);
  EXPECT_EQ(resposta, "000042|9999|Timeout de comunica\xE7\xE3o");
  Registro r = sat.CodigoErro();
  EXPECT_EQ(r.codigo, 0);
  EXPECT_EQ(r.mensagem, resposta);
  EXPECT_EQ(QuadrosRecebidos().size(), 1u) << "the request did go out";
}

TEST(SemDispositivo, APortThatCannotBeOpened) {
  Sat sat;
  ASSERT_TRUE(sat.Pronta());
  sat.AbreSerialSAT(7);
  EXPECT_EQ(sat.ConsultarSAT(42), "Erro ao tentar abrir a porta");
  Registro r = sat.CodigoErro();
  EXPECT_EQ(r.codigo, 0);
  EXPECT_EQ(r.mensagem, "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.ConsultarStatusOperacional(43, "12345678"), "Erro ao tentar abrir a porta");
  EXPECT_EQ(sat.CodigoErro().mensagem, "") << "no copy for the status query";
}

} // namespace
