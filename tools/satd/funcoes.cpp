#include "funcoes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sat.h"
#include "texto.h"

namespace satd {

namespace {

enum class Tipo {
  Numero,         // decimal digits, value within [minimo, maximo]
  Texto,          // text without '|', which would split the device's fields
  Documento,      // an XML document without '|', in the encoding it declares
  DocumentoVenda, // the sale's XML document: it goes compressed, so '|' is harmless
  Codigo,         // an activation code: 8 to 32 visible ASCII characters, no '|'
};

struct Campo {
  const char *nome;
  Tipo tipo;
  long minimo;
  long maximo;
};

} // namespace

struct Funcao {
  const char *nome;
  const char *exportada; // the library's name for it
  Comando comando;
  Papel papel;
  Campo campos[3];
};

namespace {

constexpr Campo kSemCampo{nullptr, Tipo::Texto, 0, 0};

// What the SAT itself judges (a CNPJ's length, a key's layout, a signature's base64) goes to it
// as text, and its reply carries the refusal; only what would break the command's fields or
// the library's arguments is refused here.
const Funcao kFuncoes[] = {
    {"ativarsat",
     "AtivarSAT",
     Comando::AtivarSat,
     Papel::Tecnico,
     {{"tipo_certificado", Tipo::Numero, 1, 3},
      {"cnpj", Tipo::Texto, 0, 0},
      {"codigo_uf", Tipo::Numero, 0, 99}}},
    {"comunicarcertificadoicpbrasil",
     "ComunicarCertificadoICPBRASIL",
     Comando::ComunicarCertificado,
     Papel::Tecnico,
     {{"certificado", Tipo::Texto, 0, 0}, kSemCampo, kSemCampo}},
    {"enviardadosvenda",
     "EnviarDadosVenda",
     Comando::EnviarDadosVenda,
     Papel::Caixa,
     {{"dados_venda", Tipo::DocumentoVenda, 0, 0}, kSemCampo, kSemCampo}},
    {"cancelarultimavenda",
     "CancelarUltimaVenda",
     Comando::CancelarUltimaVenda,
     Papel::Caixa,
     {{"chave_cfe", Tipo::Texto, 0, 0}, {"dados_cancelamento", Tipo::Documento, 0, 0}, kSemCampo}},
    {"consultarsat",
     "ConsultarSAT",
     Comando::ConsultarSat,
     Papel::Caixa,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"testefimafim",
     "TesteFimAFim",
     Comando::TesteFimAFim,
     Papel::Caixa,
     {{"dados_venda", Tipo::Documento, 0, 0}, kSemCampo, kSemCampo}},
    {"consultarstatusoperacional",
     "ConsultarStatusOperacional",
     Comando::ConsultarStatusOperacional,
     Papel::Caixa,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"consultarnumerosessao",
     "ConsultarNumeroSessao",
     Comando::ConsultarNumeroSessao,
     Papel::Caixa,
     {{"numero_sessao", Tipo::Numero, 1, 999999}, kSemCampo, kSemCampo}},
    {"configurarinterfacederede",
     "ConfigurarInterfaceDeRede",
     Comando::ConfigurarInterfaceDeRede,
     Papel::Tecnico,
     {{"configuracao", Tipo::Documento, 0, 0}, kSemCampo, kSemCampo}},
    {"associarassinatura",
     "AssociarAssinatura",
     Comando::AssociarAssinatura,
     Papel::Tecnico,
     {{"sequencia_cnpj", Tipo::Texto, 0, 0}, {"assinatura_ac", Tipo::Texto, 0, 0}, kSemCampo}},
    {"atualizarsoftwaresat",
     "AtualizarSoftwareSAT",
     Comando::AtualizarSoftwareSat,
     Papel::Tecnico,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"extrairlogs",
     "ExtrairLogs",
     Comando::ExtrairLogs,
     Papel::Tecnico,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"bloquearsat",
     "BloquearSAT",
     Comando::BloquearSat,
     Papel::Tecnico,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"desbloquearsat",
     "DesbloquearSAT",
     Comando::DesbloquearSat,
     Papel::Tecnico,
     {kSemCampo, kSemCampo, kSemCampo}},
    {"trocarcodigodeativacao",
     "TrocarCodigoDeAtivacao",
     Comando::TrocarCodigoDeAtivacao,
     Papel::Tecnico,
     {{"novo_codigo_ativacao", Tipo::Codigo, 0, 0},
      {"opcao", Tipo::Numero, 1, 2},
      {"codigo_emergencia", Tipo::Codigo, 0, 0}}},
    {"consultarultimasessaofiscal",
     "ConsultarUltimaSessaoFiscal",
     Comando::ConsultarUltimaSessaoFiscal,
     Papel::Caixa,
     {kSemCampo, kSemCampo, kSemCampo}},
};

bool SoDigitos(std::string_view texto) {
  return !texto.empty() && texto.find_first_not_of("0123456789") == std::string_view::npos;
}

bool LeNumero(std::string_view texto, long minimo, long maximo, long &valor) {
  if (!SoDigitos(texto) || texto.size() > 9) {
    return false;
  }
  valor = std::strtol(std::string(texto).c_str(), nullptr, 10);
  return valor >= minimo && valor <= maximo;
}

bool CodigoValido(std::string_view texto) {
  return texto.size() >= 8 && texto.size() <= 32 &&
         std::all_of(texto.begin(), texto.end(), [](char c) { return c > ' ' && c < 0x7F; }) &&
         texto.find('|') == std::string_view::npos;
}

// Checks one field's UTF-8 value and converts it; false with `erro` on refusal.
bool ConfereCampo(const Campo &campo, const std::string &valor, std::string &saida,
                  std::string &erro) {
  const std::string nome = campo.nome;
  long numero = 0;
  switch (campo.tipo) {
  case Tipo::Numero:
    if (!LeNumero(valor, campo.minimo, campo.maximo, numero)) {
      erro = nome + " deve ser um número inteiro de " + std::to_string(campo.minimo) + " a " +
             std::to_string(campo.maximo);
      return false;
    }
    break;
  case Tipo::Codigo:
    if (!CodigoValido(valor)) {
      erro = nome + " deve ter de 8 a 32 caracteres ASCII visíveis, sem '|'";
      return false;
    }
    break;
  case Tipo::Texto:
  case Tipo::Documento:
  case Tipo::DocumentoVenda:
    if (valor.empty()) {
      erro = nome + " está vazio";
      return false;
    }
    if ((campo.tipo == Tipo::Texto || campo.tipo == Tipo::Documento) &&
        valor.find('|') != std::string::npos) {
      erro = nome + " contém '|', que dividiria os campos do SAT";
      return false;
    }
    break;
  }
  const bool documento = campo.tipo == Tipo::Documento || campo.tipo == Tipo::DocumentoVenda;
  if (!(documento ? DocumentoParaBiblioteca(valor, saida, erro)
                  : Utf8ParaWindows1252(valor, saida, erro))) {
    erro = nome + ": " + erro;
    return false;
  }
  return true;
}

long Numero(const Pedido &pedido, const char *nome) {
  return std::strtol(pedido.campos.at(nome).c_str(), nullptr, 10);
}

} // namespace

const Funcao *ProcuraFuncao(std::string_view nome) {
  for (const Funcao &f : kFuncoes) {
    if (nome == f.nome) {
      return &f;
    }
  }
  return nullptr;
}

const char *NomeDe(const Funcao &funcao) { return funcao.nome; }

const char *ExportadaDe(const Funcao &funcao) { return funcao.exportada; }

Papel PapelDe(const Funcao &funcao) { return funcao.papel; }

static_assert(sizeof kFuncoes / sizeof kFuncoes[0] == kTotalFuncoes);

size_t IndiceDe(const Funcao &funcao) { return static_cast<size_t>(&funcao - kFuncoes); }

const Funcao &FuncaoDeIndice(size_t indice) { return kFuncoes[indice]; }

Comando ComandoDe(const Pedido &pedido) { return pedido.funcao->comando; }

bool LePedido(const Funcao &funcao, std::string_view corpo, const std::string *caixaDeFora,
              Pedido &pedido, std::string &erro) {
  std::map<std::string, std::string> recebidos;
  if (!LeFormulario(corpo, recebidos, erro)) {
    return false;
  }
  pedido = Pedido{};
  pedido.funcao = &funcao;

  const auto caixa = recebidos.find("numero_caixa");
  std::string textoCaixa;
  if (caixa != recebidos.end()) {
    textoCaixa = caixa->second;
    if (caixaDeFora != nullptr && *caixaDeFora != textoCaixa) {
      erro = "numero_caixa difere entre o corpo e a URL ou o cabeçalho numero-caixa";
      return false;
    }
    recebidos.erase(caixa);
  } else if (caixaDeFora != nullptr) {
    textoCaixa = *caixaDeFora;
  }
  long numero = 0;
  if (!LeNumero(textoCaixa, 0, 999, numero)) {
    erro = "numero_caixa deve ser um número inteiro de 0 a 999";
    return false;
  }
  pedido.caixa = static_cast<int>(numero);

  const auto imprimir = recebidos.find("imprimir_extrato");
  if (imprimir != recebidos.end() && (funcao.comando == Comando::EnviarDadosVenda ||
                                      funcao.comando == Comando::CancelarUltimaVenda)) {
    if (imprimir->second != "0" && imprimir->second != "1") {
      erro = "imprimir_extrato deve ser 1 ou 0";
      return false;
    }
    pedido.imprimirExtrato = imprimir->second == "1";
    recebidos.erase(imprimir);
  }

  // An empty codigo_emergencia is the same as none: it only matters with opcao 2.
  const auto emergencia = recebidos.find("codigo_emergencia");
  if (funcao.comando == Comando::TrocarCodigoDeAtivacao && emergencia != recebidos.end() &&
      emergencia->second.empty()) {
    recebidos.erase(emergencia);
  }

  for (const Campo &campo : funcao.campos) {
    if (campo.nome == nullptr) {
      continue;
    }
    const auto valor = recebidos.find(campo.nome);
    if (valor == recebidos.end()) {
      if (std::strcmp(campo.nome, "codigo_emergencia") == 0) {
        continue;
      }
      erro = std::string("falta o campo ") + campo.nome;
      return false;
    }
    if (!ConfereCampo(campo, valor->second, pedido.campos[campo.nome], erro)) {
      return false;
    }
    recebidos.erase(valor);
  }
  // Hub clients send fields of their own (an activation code among them, which satd keeps
  // itself): they are left out, and the log names them.
  for (const auto &[nome, valor] : recebidos) {
    pedido.ignorados.push_back(nome);
  }
  if (funcao.comando == Comando::TrocarCodigoDeAtivacao) {
    const bool emergencial = Numero(pedido, "opcao") == 2;
    if (emergencial != (pedido.campos.count("codigo_emergencia") > 0)) {
      erro = "codigo_emergencia vem com opcao 2, e só com ela";
      return false;
    }
  }
  return true;
}

std::string CodigoDaResposta(std::string_view resposta) {
  const size_t barra = resposta.find('|');
  if (barra == std::string_view::npos) {
    return "-";
  }
  const std::string_view codigo =
      resposta.substr(barra + 1, resposta.find('|', barra + 1) - barra - 1);
  return codigo.size() == 5 && SoDigitos(codigo) ? std::string(codigo) : "-";
}

std::string ChamaBiblioteca(const Pedido &pedido, int32_t sessao, const std::string &codigo) {
  const auto texto = [&](const char *nome) { return pedido.campos.at(nome).c_str(); };
  const auto numero = [&](const char *nome) { return static_cast<int32_t>(Numero(pedido, nome)); };
  const char *ativacao = codigo.c_str();
  const char *resposta = nullptr;
  switch (pedido.funcao->comando) {
  case Comando::AtivarSat:
    resposta =
        AtivarSAT(sessao, numero("tipo_certificado"), ativacao, texto("cnpj"), numero("codigo_uf"));
    break;
  case Comando::ComunicarCertificado:
    resposta = ComunicarCertificadoICPBRASIL(sessao, ativacao, texto("certificado"));
    break;
  case Comando::EnviarDadosVenda:
    resposta = EnviarDadosVenda(sessao, ativacao, texto("dados_venda"));
    break;
  case Comando::CancelarUltimaVenda:
    resposta =
        CancelarUltimaVenda(sessao, ativacao, texto("chave_cfe"), texto("dados_cancelamento"));
    break;
  case Comando::ConsultarSat:
    resposta = ConsultarSAT(sessao);
    break;
  case Comando::TesteFimAFim:
    resposta = TesteFimAFim(sessao, ativacao, texto("dados_venda"));
    break;
  case Comando::ConsultarStatusOperacional:
    resposta = ConsultarStatusOperacional(sessao, ativacao);
    break;
  case Comando::ConsultarNumeroSessao:
    resposta = ConsultarNumeroSessao(sessao, ativacao, numero("numero_sessao"));
    break;
  case Comando::ConfigurarInterfaceDeRede:
    resposta = ConfigurarInterfaceDeRede(sessao, ativacao, texto("configuracao"));
    break;
  case Comando::AssociarAssinatura:
    resposta =
        AssociarAssinatura(sessao, ativacao, texto("sequencia_cnpj"), texto("assinatura_ac"));
    break;
  case Comando::AtualizarSoftwareSat:
    resposta = AtualizarSoftwareSAT(sessao, ativacao);
    break;
  case Comando::ExtrairLogs:
    resposta = ExtrairLogs(sessao, ativacao);
    break;
  case Comando::BloquearSat:
    resposta = BloquearSAT(sessao, ativacao);
    break;
  case Comando::DesbloquearSat:
    resposta = DesbloquearSAT(sessao, ativacao);
    break;
  case Comando::TrocarCodigoDeAtivacao: {
    const int32_t opcao = numero("opcao");
    const char *atual = opcao == 2 ? texto("codigo_emergencia") : ativacao;
    const char *novo = texto("novo_codigo_ativacao");
    resposta = TrocarCodigoDeAtivacao(sessao, atual, opcao, novo, novo);
    break;
  }
  case Comando::ConsultarUltimaSessaoFiscal:
    resposta = ConsultarUltimaSessaoFiscal(sessao, ativacao);
    break;
  }
  return resposta != nullptr ? resposta : "";
}

} // namespace satd
