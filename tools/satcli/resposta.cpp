#include "resposta.h"

#include <cstring>
#include <iterator>
#include <vector>

#include "saude.h"

namespace {

// The standard's messages, Windows-1252. A literal is split where a hex escape is followed by a
// letter that is a hex digit too.
const struct {
  const char *codigo;
  const char *texto;
} kCodigos[] = {
    {"04000", "Ativado corretamente"},
    {"04001", "Erro na cria\xE7\xE3o do certificado"},
    {"04002", "SEFAZ n\xE3o reconhece este SAT (CNPJ inv\xE1lido)"},
    {"04003", "SAT j\xE1 ativado"},
    {"04004", "SAT com uso cessado"},
    {"04005", "Erro de comunica\xE7\xE3o com a SEFAZ"},
    {"04006", "CSR ICP-BRASIL criado com sucesso"},
    {"04007", "Erro na cria\xE7\xE3o do CSR ICP-BRASIL"},
    {"05000", "Certificado transmitido com sucesso"},
    {"05003", "Certificado inv\xE1lido"},
    {"06000", "Emitido com sucesso + conte\xFA"
              "do notas."},
    {"06002", "SAT ainda n\xE3o ativado"},
    {"06003", "SAT n\xE3o vinculado ao AC"},
    {"06004", "Vincula\xE7\xE3o do AC n\xE3o confere"},
    {"06005", "Tamanho do CF-e-SAT superior a 1.500KB"},
    {"06006", "SAT bloqueado"},
    {"06007", "SAT bloqueado"},
    {"06008", "SAT bloqueado"},
    {"06009", "SAT bloqueado"},
    {"06010", "Erro de valida\xE7\xE3o do conte\xFA"
              "do"},
    {"07000", "Cupom cancelado com sucesso + conte\xFA"
              "do CF-e-SAT cancelado."},
    {"07002", "Cupom inv\xE1lido"},
    {"07003", "SAT bloqueado"},
    {"07004", "SAT bloqueado"},
    {"07005", "SAT bloqueado"},
    {"07006", "SAT bloqueado"},
    {"07007", "Erro de valida\xE7\xE3o do conte\xFA"
              "do"},
    {"08000", "SAT em opera\xE7\xE3o"},
    {"09000", "Emitido com sucesso"},
    {"09002", "SAT ainda n\xE3o ativado"},
    {"10000", "Resposta com Sucesso."},
    {"11002", "SAT ainda n\xE3o ativado"},
    {"11003", "Sess\xE3o n\xE3o existe"},
    {"12000", "Rede Configurada com Sucesso"},
    {"12002", "Dados fora do padr\xE3o a ser informado"},
    {"13000", "Assinatura do AC Registrada"},
    {"13003", "Assinatura fora do padr\xE3o informado"},
    {"14000", "Software Atualizado com Sucesso"},
    {"14002", "Atualiza\xE7\xE3o em andamento"},
    {"15000", "Transfer\xEAncia completa"},
    {"15002", "Transfer\xEAncia em andamento"},
    {"16000", "Equipamento SAT bloqueado com sucesso."},
    {"16002", "Equipamento SAT j\xE1 est\xE1 bloqueado"},
    {"17000", "Equipamento SAT desbloqueado com sucesso."},
    {"17005", "SAT j\xE1 desbloqueado"},
    {"18000", "C\xF3"
              "digo de ativa\xE7\xE3o alterado com sucesso."},
    {"18002", "C\xF3"
              "digo de ativa\xE7\xE3o de emerg\xEAncia incorreto"},
    {"19002", "SAT ainda n\xE3o ativado"},
    {"19003", "N\xE3o existe sess\xE3o fiscal"},
};

// The same last three digits mean the same in every command (activation's 001 is listed above).
const struct {
  const char *final;
  const char *texto;
} kFinais[] = {
    {"001", "C\xF3"
            "digo de ativa\xE7\xE3o inv\xE1lido"},
    {"097", "N\xFAmero de sess\xE3o inv\xE1lido"},
    {"098", "SAT em processamento. Tente novamente."},
    {"099", "Erro desconhecido"},
};

const char *const kFamilias[] = {
    "AtivarSAT",
    "ComunicarCertificadoICPBRASIL",
    "EnviarDadosVenda",
    "CancelarUltimaVenda",
    "ConsultarSAT",
    "TesteFimAFim",
    "ConsultarStatusOperacional",
    "ConsultarNumeroSessao",
    "ConfigurarInterfaceDeRede",
    "AssociarAssinatura",
    "AtualizarSoftwareSAT",
    "ExtrairLogs",
    "BloquearSAT",
    "DesbloquearSAT",
    "TrocarCodigoDeAtivacao",
    "ConsultarUltimaSessaoFiscal",
};
constexpr int kPrimeiraFamilia = 4;

const char kPortaFechada[] = "Erro ao tentar abrir a porta";

// Field names per reply layout, after the session number and the code.
using Nomes = std::vector<const char *>;
const Nomes kComum = {"mensagem", "cod", "mensagemSEFAZ"};
const Nomes kAtivacao = {"mensagem", "cod", "mensagemSEFAZ", "CSR"};
const Nomes kVenda = {"CCCC",          "mensagem",        "cod",           "mensagemSEFAZ",
                      "arquivoCFeSAT", "timeStamp",       "chaveConsulta", "valorTotalCFe",
                      "CPFCNPJValue",  "assinaturaQRCODE"};
const Nomes kCancelamento = {
    "CCCC",      "mensagem",      "cod",           "mensagemSEFAZ", "arquivoCFeBase64",
    "timeStamp", "chaveConsulta", "valorTotalCFe", "CPFCNPJValue",  "assinaturaQRCODE"};
const Nomes kTeste = {"mensagem",  "cod",          "mensagemSEFAZ", "arquivoCFeBase64",
                      "timeStamp", "numDocFiscal", "chaveConsulta"};
const Nomes kStatus(std::begin(saude::kNomesStatus), std::end(saude::kNomesStatus));
const Nomes kLog = {"mensagem", "cod", "mensagemSEFAZ", "arquivoLogBase64"};

// Failures of every command come in the common form; each success has its own.
const Nomes &LayoutDoCodigo(const std::string &codigo) {
  const struct {
    const char *codigo;
    const Nomes *nomes;
  } layouts[] = {{"04000", &kAtivacao},     {"04006", &kAtivacao}, {"06000", &kVenda},
                 {"07000", &kCancelamento}, {"09000", &kTeste},    {"10000", &kStatus},
                 {"15000", &kLog}};
  for (const auto &l : layouts) {
    if (codigo == l.codigo) {
      return *l.nomes;
    }
  }
  return kComum;
}

bool SoDigitos(const std::string &texto) {
  return !texto.empty() && texto.find_first_not_of("0123456789") == std::string::npos;
}

int Familia(const std::string &codigo) {
  return codigo.size() == 5 && SoDigitos(codigo) ? std::stoi(codigo.substr(0, 2)) : -1;
}

std::string Explica(const std::string &codigo) {
  for (const auto &c : kCodigos) {
    if (codigo == c.codigo) {
      return c.texto;
    }
  }
  const std::string final = codigo.size() == 5 ? codigo.substr(2) : std::string();
  for (const auto &f : kFinais) {
    if (final == f.final) {
      return f.texto;
    }
  }
  return std::string();
}

bool Sucesso(const std::string &codigo) {
  const int familia = Familia(codigo);
  // ConsultarUltimaSessaoFiscal has no success code of its own: it answers with the stored one.
  return familia >= kPrimeiraFamilia && familia < kPrimeiraFamilia + 15 &&
         (codigo.compare(2, 3, "000") == 0 || codigo == "04006");
}

std::vector<std::string> Divide(const std::string &texto, size_t maximo, size_t &fim) {
  std::vector<std::string> partes;
  size_t inicio = 0;
  while (partes.size() + 1 < maximo) {
    const size_t barra = texto.find('|', inicio);
    if (barra == std::string::npos) {
      break;
    }
    partes.push_back(texto.substr(inicio, barra - inicio));
    inicio = barra + 1;
  }
  fim = inicio;
  return partes;
}

// The command whose codes start with these two digits, or null.
const char *ComandoDaFamilia(const std::string &codigo) {
  const int familia = Familia(codigo);
  const int indice = familia - kPrimeiraFamilia;
  return indice >= 0 && indice < static_cast<int>(sizeof kFamilias / sizeof kFamilias[0])
             ? kFamilias[indice]
             : nullptr;
}

} // namespace

Resposta AnalisaResposta(const std::string &texto, bool caudaExpandida) {
  Resposta r;
  if (texto.find('|') == std::string::npos) {
    if (texto == kPortaFechada) {
      r.origem = Origem::Biblioteca;
      r.explicacao = "nenhuma porta p\xF4"
                     "de ser aberta: o SAT est\xE1 conectado? (satcli portas)";
    } else {
      r.explicacao = "uma resposta sem campos";
    }
    r.campos.push_back({"mensagem", texto});
    return r;
  }

  size_t fim = 0;
  std::vector<std::string> partes = Divide(texto, static_cast<size_t>(-1), fim);
  partes.push_back(texto.substr(fim));
  r.codigo = partes.size() > 1 ? partes[1] : std::string();
  if (r.codigo == "9999") {
    r.origem = Origem::Biblioteca;
    r.explicacao =
        "resposta da pr\xF3pria biblioteca: a troca com o dispositivo n\xE3o se completou";
    const char *nomes[] = {"numeroSessao", "codigo", "mensagem"};
    for (size_t i = 0; i < partes.size(); ++i) {
      r.campos.push_back({i < 3 ? nomes[i] : "campo" + std::to_string(i + 1), partes[i]});
    }
    return r;
  }

  r.explicacao = Explica(r.codigo);
  r.sucesso = Sucesso(r.codigo);
  const char *familia = ComandoDaFamilia(r.codigo);
  r.familia = familia != nullptr ? familia : "";
  const Nomes &layout = LayoutDoCodigo(r.codigo);
  // A sale reply as the device stored it: six text fields, then its compressed tail.
  if (r.codigo == "06000" && !caudaExpandida) {
    partes = Divide(texto, 7, fim);
    if (partes.size() == 6) {
      r.caudaBinaria = texto.substr(fim);
    } else {
      partes.push_back(texto.substr(fim));
    }
  }
  for (size_t i = 0; i < partes.size(); ++i) {
    std::string nome;
    if (i == 0) {
      nome = "numeroSessao";
    } else if (i == 1) {
      nome = "EEEEE";
    } else if (i - 2 < layout.size()) {
      nome = layout.begin()[i - 2];
    } else {
      nome = "campo" + std::to_string(i + 1);
    }
    r.campos.push_back({nome, partes[i]});
  }
  return r;
}
