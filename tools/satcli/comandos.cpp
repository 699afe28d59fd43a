#include "comandos.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>

#include "acervo.h"
#include "comum/arquivo.h"
#include "espera.h"
#include "extrato.h"
#include "sat.h"

namespace {

int32_t Inteiro(const std::string &texto) {
  int32_t valor = 0;
  LeInteiro(texto, valor);
  return valor;
}

void LeRegistro(Resultado &r) {
  char registro[804];
  CodigoErro(registro);
  std::memcpy(&r.codigoErro, registro, sizeof r.codigoErro);
  r.mensagemErro.assign(registro + 4, strnlen(registro + 4, sizeof registro - 4));
  r.registro = true;
}

bool GravaArquivo(const std::string &nome, const std::string &conteudo) {
  FILE *arquivo = std::fopen(nome.c_str(), "wb");
  if (arquivo == nullptr) {
    return false;
  }
  const bool escrito = std::fwrite(conteudo.data(), 1, conteudo.size(), arquivo) == conteudo.size();
  return std::fclose(arquivo) == 0 && escrito;
}

std::string Valor(const Resposta &r, const char *nome) {
  for (const Campo &c : r.campos) {
    if (c.nome == nome) {
      return c.valor;
    }
  }
  return std::string();
}

// The document the library decoded from the reply (Base64ToAscii), into --salva's file and
// into --arquivo's folder.
void GuardaDocumento(Resultado &r, const Passo &p) {
  const auto nada = [&r, &p](const std::string &motivo) {
    if (!p.salva.empty()) {
      r.notas.push_back("nada foi salvo em " + p.salva + ": " + motivo);
    }
    if (!p.arquivo.empty()) {
      r.notas.push_back("nada foi arquivado em " + p.arquivo + ": " + motivo);
    }
  };
  if (!r.resposta.sucesso) {
    nada("o comando não teve sucesso");
    return;
  }
  const std::string documento = Base64ToAscii();
  if (documento.empty()) {
    nada("a resposta não trouxe documento");
    r.status = STATUS_ARQUIVO;
    return;
  }
  if (!p.salva.empty()) {
    if (!GravaArquivo(p.salva, documento)) {
      r.notas.push_back("não foi possível gravar " + p.salva + ": " + std::strerror(errno));
      r.status = STATUS_ARQUIVO;
    } else {
      r.documento = p.salva;
    }
  }
  if (!p.arquivo.empty()) {
    const std::filesystem::path caminho =
        comum::NoArquivo(p.arquivo, Valor(r.resposta, "chaveConsulta"),
                         Valor(r.resposta, "timeStamp"), p.sub->arquivo);
    const std::string erro =
        caminho.empty() ? "nada foi arquivado em " + p.arquivo +
                              ": a resposta não traz chave (CFe e 44 dígitos) e timeStamp válidos"
                        : comum::Arquiva(caminho, documento);
    if (!erro.empty()) {
      r.notas.push_back(erro);
      r.status = STATUS_ARQUIVO;
    } else {
      r.arquivado = caminho.string();
    }
  }
}

Resultado ExecutaComando(Execucao &e, const Passo &p) {
  const Subcomando &s = *p.sub;
  const Chamada chamada{e.Sessao(), e.opcoes.codigo.c_str(), p.args, p.documento};
  std::string texto;
  {
    LinhaDeEspera espera(e.terminal.erroEhTerminal, s.exportacao, s.limiteMs);
    const char *resposta = s.comando(chamada);
    texto = resposta != nullptr ? resposta : "";
  }
  Resultado r;
  r.exportacao = s.exportacao;
  r.comando = true;
  r.bruto = texto;
  // The sale and the last fiscal session expand a sale reply's compressed tail; the session
  // query hands a stored sale back as the device sent it.
  r.resposta = AnalisaResposta(texto, std::strcmp(s.exportacao, "ConsultarNumeroSessao") != 0);
  if (r.resposta.sucesso) {
    r.status = STATUS_SUCESSO;
  } else {
    r.status = r.resposta.origem == Origem::Biblioteca ? STATUS_BIBLIOTECA : STATUS_FALHA;
  }
  LeRegistro(r);
  if (!p.salva.empty() || !p.arquivo.empty()) {
    GuardaDocumento(r, p);
  }
  if (p.imprime) {
    const char *documento = r.resposta.sucesso ? Base64ToAscii() : nullptr;
    ImprimeExtrato(r, p, documento != nullptr ? documento : "");
  }
  return r;
}

// The library's own exports answer for themselves: their result is named here.
Resultado Propria(const char *exportacao, std::vector<Campo> campos, bool sucesso = true) {
  Resultado r;
  r.exportacao = exportacao;
  r.resposta.origem = Origem::Biblioteca;
  r.resposta.sucesso = sucesso;
  r.resposta.campos = std::move(campos);
  r.status = sucesso ? STATUS_SUCESSO : STATUS_BIBLIOTECA;
  return r;
}

Resultado Versao(Execucao &, const Passo &) {
  const std::string versao = VersaoLib();
  std::string semFim = versao;
  if (!semFim.empty() && semFim.back() == '\n') {
    semFim.pop_back();
  }
  Resultado r = Propria("VersaoLib", {{"versao", semFim}});
  r.bruto = versao;
  return r;
}

Resultado NumeroSessao(Execucao &, const Passo &) {
  const std::string numero = std::to_string(GeraNumeroSessao());
  Resultado r = Propria("GeraNumeroSessao", {{"numeroSessao", numero}});
  r.bruto = numero;
  return r;
}

Resultado Registro(Execucao &, const Passo &) {
  Resultado r = Propria("CodigoErro", {});
  LeRegistro(r);
  r.resposta.campos = {{"codigo", std::to_string(r.codigoErro)}, {"mensagem", r.mensagemErro}};
  r.bruto = "CodigoErro: " + r.resposta.campos[0].valor + "\n" + r.mensagemErro;
  r.registro = false;
  return r;
}

Resultado Log(Execucao &, const Passo &p) {
  ArquivoLog(p.args[0].c_str());
  Resultado r = Propria("ArquivoLog", {{"arquivo", p.args[0]}});
  r.nulo = true;
  return r;
}

Resultado Timeout(Execucao &, const Passo &p) {
  ConfiguraTimeout(Inteiro(p.args[0]));
  Resultado r = Propria("ConfiguraTimeout", {{"valor", p.args[0]}});
  r.notas.push_back("aceito e ignorado: os limites de tempo da biblioteca são fixos por comando");
  r.nulo = true;
  return r;
}

Resultado Abre(Execucao &, const Passo &p) {
  const int32_t retorno = AbreSerialSAT(Inteiro(p.args[0]), 0, 0, 0, 0);
  Resultado r =
      Propria("AbreSerialSAT", {{"porta", "COM" + p.args[0]}, {"retorno", std::to_string(retorno)}},
              retorno == 0);
  r.bruto = std::to_string(retorno);
  if (retorno != 0) {
    r.notas.push_back("a biblioteca recusou o número da porta");
  }
  return r;
}

Resultado Fecha(Execucao &, const Passo &) {
  const int32_t retorno = CloseSerial();
  Resultado r = Propria("CloseSerial", {{"retorno", std::to_string(retorno)}});
  r.bruto = std::to_string(retorno);
  return r;
}

Resultado Documento(Execucao &, const Passo &p) {
  const std::string documento = Base64ToAscii();
  Resultado r = Propria("Base64ToAscii", {});
  r.bruto = documento;
  if (p.args.empty()) {
    r.resposta.campos.push_back({"documento", documento, true});
    r.literal = true;
    return r;
  }
  r.resposta.campos.push_back({"bytes", std::to_string(documento.size())});
  if (!GravaArquivo(p.args[0], documento)) {
    r.notas.push_back("não foi possível gravar " + p.args[0] + ": " + std::strerror(errno));
    r.status = STATUS_ARQUIVO;
  } else {
    r.documento = p.args[0];
  }
  return r;
}

Resultado Mapa(Execucao &e, const Passo &) {
  const char *texto = nullptr;
  {
    LinhaDeEspera espera(e.terminal.erroEhTerminal, "GetMapaPortasSAT", 0);
    texto = GetMapaPortasSAT(e.opcoes.codigo.c_str());
  }
  if (texto == nullptr) {
    Resultado r = Propria("GetMapaPortasSAT", {}, false);
    r.nulo = true;
    r.resposta.explicacao = "a lista de portas seriais n\xE3o est\xE1 dispon\xEDvel";
    return r;
  }
  Resultado r = Propria("GetMapaPortasSAT", {});
  r.bruto = texto;
  // "serial:port;" for each SAT that answered the status query with a success code.
  size_t inicio = 0;
  while (inicio < r.bruto.size()) {
    const size_t fim = r.bruto.find(';', inicio);
    const std::string entrada = r.bruto.substr(inicio, fim - inicio);
    const size_t dois = entrada.find(':');
    r.portas.emplace_back(entrada.substr(0, dois),
                          dois == std::string::npos ? "" : entrada.substr(dois + 1));
    inicio = fim == std::string::npos ? r.bruto.size() : fim + 1;
  }
  r.resposta.sucesso = !r.portas.empty();
  r.status = r.portas.empty() ? STATUS_FALHA : STATUS_SUCESSO;
  r.resposta.explicacao = r.portas.empty() ? "nenhum SAT respondeu com um c\xF3"
                                             "digo de sucesso"
                          : r.portas.size() == 1
                              ? "1 SAT encontrado"
                              : std::to_string(r.portas.size()) + " SATs encontrados";
  return r;
}

// GetPortaSAT and SetPortaSAT differ only in the name in their log lines.
Resultado Porta(Execucao &e, const Passo &p, const char *nome,
                char *(SAT_CALL *porta)(const char *, int32_t, const char *)) {
  const std::string serie = p.args.empty() ? "" : p.args[0];
  const char *texto = nullptr;
  {
    LinhaDeEspera espera(e.terminal.erroEhTerminal, nome, 20000);
    texto = porta(serie.c_str(), e.Sessao(), e.opcoes.codigo.c_str());
  }
  Resultado r = Propria(nome, {});
  LeRegistro(r);
  if (texto == nullptr) {
    r.nulo = true;
    r.resposta.sucesso = false;
    r.status = STATUS_FALHA;
    r.resposta.explicacao = "nenhum SAT no barramento USB";
    return r;
  }
  r.bruto = texto;
  r.resposta.campos.push_back({"porta", r.bruto});
  // The probe's failure to open the port stays in the error record.
  r.resposta.sucesso = r.codigoErro == 0;
  r.status = r.resposta.sucesso ? STATUS_SUCESSO : STATUS_BIBLIOTECA;
  r.resposta.explicacao = r.resposta.sucesso ? r.bruto
                                             : r.bruto + " n\xE3o p\xF4"
                                                         "de ser aberta";
  return r;
}

Resultado Obtem(Execucao &e, const Passo &p) { return Porta(e, p, "GetPortaSAT", GetPortaSAT); }
Resultado Escolhe(Execucao &e, const Passo &p) { return Porta(e, p, "SetPortaSAT", SetPortaSAT); }

// The status query, and every health check over its reply against this computer's clock. The
// exit status is the worst level, 0 ok, 1 attention, 2 critical; or unknown when nothing was
// learnt of the SAT: the library answered in its place, or the reply is not the status's.
Resultado Saude(Execucao &e, const Passo &) {
  std::string texto;
  {
    LinhaDeEspera espera(e.terminal.erroEhTerminal, "ConsultarStatusOperacional", 20000);
    const char *resposta = ConsultarStatusOperacional(e.Sessao(), e.opcoes.codigo.c_str());
    texto = resposta != nullptr ? resposta : "";
  }
  const std::time_t agora = std::time(nullptr);
  const std::tm *local = std::localtime(&agora);
  const std::tm hora = local != nullptr ? *local : std::tm{};
  Resultado r;
  r.exportacao = "ConsultarStatusOperacional";
  r.comando = true;
  r.bruto = texto;
  r.resposta = AnalisaResposta(texto, true);
  LeRegistro(r);
  r.saude = true;
  r.avaliacao = saude::Avalia(texto, saude::DeTm(hora), e.opcoes.limites);
  char quando[32];
  std::strftime(quando, sizeof quando, "%d/%m/%Y %H:%M:%S", &hora);
  r.quando = quando;
  const bool desconhecido =
      r.resposta.origem == Origem::Biblioteca || r.resposta.familia != "ConsultarStatusOperacional";
  r.status = desconhecido ? STATUS_DESCONHECIDO : static_cast<int>(r.avaliacao.nivel);
  return r;
}

const char *Texto(const std::vector<std::string> &args, size_t i) { return args[i].c_str(); }

// Time limits of the library, per command, for the waiting line.
const std::vector<Subcomando> kSubcomandos = {
    {"consultar", "ConsultarSAT", "", "o SAT está presente e funcionando?", 0, 0, 0, -1, false,
     false, 5000, [](const Chamada &c) { return ConsultarSAT(c.sessao); }, nullptr},
    {"status", "ConsultarStatusOperacional", "", "o estado do dispositivo, a rede e os contadores",
     0, 0, 0, -1, true, false, 20000,
     [](const Chamada &c) { return ConsultarStatusOperacional(c.sessao, c.codigo); }, nullptr},
    {"saude", "ConsultarStatusOperacional", "",
     "a saúde do SAT num relance (certificado, CF-e aguardando, relógio, memória, bateria, "
     "bloqueio), uma linha por verificação (veja abaixo)",
     0, 0, 0, -1, true, false, 20000, nullptr, Saude},
    {"numero-sessao", "ConsultarNumeroSessao", "N", "a resposta que o dispositivo deu à sessão N",
     1, 1, 1, -1, true, false, 20000,
     [](const Chamada &c) { return ConsultarNumeroSessao(c.sessao, c.codigo, Inteiro(c.args[0])); },
     nullptr},
    {"ultima-sessao", "ConsultarUltimaSessaoFiscal", "",
     "a resposta à última venda ou ao último cancelamento; --salva guarda o seu CF-e", 0, 0, 0, -1,
     true, true, 20000,
     [](const Chamada &c) { return ConsultarUltimaSessaoFiscal(c.sessao, c.codigo); }, nullptr},
    {"ativar", "AtivarSAT", "CNPJ CUF [SUBCOMANDO]",
     "ativa para o contribuinte CNPJ no estado CUF com o código dado (SUBCOMANDO 1: certificado "
     "da SEFAZ, o padrão; 2: ICP-Brasil; 3: renovação)",
     2, 3, 0b110, -1, true, false, 300000,
     [](const Chamada &c) {
       return AtivarSAT(c.sessao, c.args.size() > 2 ? Inteiro(c.args[2]) : 1, c.codigo,
                        Texto(c.args, 0), Inteiro(c.args[1]));
     },
     nullptr},
    {"certificado", "ComunicarCertificadoICPBRASIL", "ARQUIVO",
     "entrega ao dispositivo o certificado ICP-Brasil em ARQUIVO", 1, 1, 0, 0, true, false, 300000,
     [](const Chamada &c) {
       return ComunicarCertificadoICPBRASIL(c.sessao, c.codigo, c.documento.c_str());
     },
     nullptr},
    {"associar", "AssociarAssinatura", "CNPJVALUE ASSINATURA",
     "registra o CNPJ da software house e o do contribuinte (28 dígitos) e a assinatura", 2, 2, 0,
     -1, true, false, 900000,
     [](const Chamada &c) {
       return AssociarAssinatura(c.sessao, c.codigo, Texto(c.args, 0), Texto(c.args, 1));
     },
     nullptr},
    {"rede", "ConfigurarInterfaceDeRede", "ARQUIVO",
     "aplica a configuração de rede (<config>) em ARQUIVO", 1, 1, 0, 0, true, false, 20000,
     [](const Chamada &c) {
       return ConfigurarInterfaceDeRede(c.sessao, c.codigo, c.documento.c_str());
     },
     nullptr},
    {"venda", "EnviarDadosVenda", "ARQUIVO",
     "envia a venda (CF-e) em ARQUIVO; --salva a guarda assinada, --arquivo a arquiva, "
     "--imprime imprime o seu extrato",
     1, 1, 0, 0, true, true, 16000,
     [](const Chamada &c) { return EnviarDadosVenda(c.sessao, c.codigo, c.documento.c_str()); },
     nullptr, "CFe"},
    {"cancelar", "CancelarUltimaVenda", "CHAVE ARQUIVO",
     "cancela a última venda, de chave CHAVE (CFe...), com o cancelamento em ARQUIVO; --salva o "
     "guarda assinado, --arquivo o arquiva, --imprime imprime o seu extrato (com --venda, o CF-e "
     "da venda)",
     2, 2, 0, 1, true, true, 10000,
     [](const Chamada &c) {
       return CancelarUltimaVenda(c.sessao, c.codigo, Texto(c.args, 0), c.documento.c_str());
     },
     nullptr, "CFeCanc"},
    {"teste", "TesteFimAFim", "ARQUIVO", "o teste fim a fim com a venda em ARQUIVO", 1, 1, 0, 0,
     true, false, 20000,
     [](const Chamada &c) { return TesteFimAFim(c.sessao, c.codigo, c.documento.c_str()); },
     nullptr},
    {"log", "ExtrairLogs", "", "o log do dispositivo; --salva ARQUIVO o guarda decodificado", 0, 0,
     0, -1, true, true, 120000, [](const Chamada &c) { return ExtrairLogs(c.sessao, c.codigo); },
     nullptr},
    {"bloquear", "BloquearSAT", "", "bloqueia o dispositivo", 0, 0, 0, -1, true, false, 300000,
     [](const Chamada &c) { return BloquearSAT(c.sessao, c.codigo); }, nullptr},
    {"desbloquear", "DesbloquearSAT", "", "desbloqueia o dispositivo", 0, 0, 0, -1, true, false,
     20000, [](const Chamada &c) { return DesbloquearSAT(c.sessao, c.codigo); }, nullptr},
    {"trocar-codigo", "TrocarCodigoDeAtivacao", "OPCAO NOVO [CONFIRMACAO]",
     "troca o código de ativação; OPCAO 1: --codigo é o código de ativação, 2: o código de "
     "emergência; sem CONFIRMACAO, vale NOVO",
     2, 3, 0b1, -1, true, false, 120000,
     [](const Chamada &c) {
       return TrocarCodigoDeAtivacao(c.sessao, c.codigo, Inteiro(c.args[0]), Texto(c.args, 1),
                                     Texto(c.args, c.args.size() > 2 ? 2 : 1));
     },
     nullptr},
    {"atualizar", "AtualizarSoftwareSAT", "", "atualiza o software do dispositivo", 0, 0, 0, -1,
     true, false, 1800000,
     [](const Chamada &c) { return AtualizarSoftwareSAT(c.sessao, c.codigo); }, nullptr},
    {"portas", "GetMapaPortasSAT", "",
     "os SATs do barramento USB que respondem: número de série e porta", 0, 0, 0, -1, true, false,
     0, nullptr, Mapa},
    {"porta", "GetPortaSAT", "[SERIE]",
     "a porta do primeiro SAT do barramento USB (SERIE só vai para o log)", 0, 1, 0, -1, true,
     false, 0, nullptr, Obtem},
    {"escolhe", "SetPortaSAT", "[SERIE]",
     "faz do primeiro SAT do barramento USB a porta dos comandos seguintes (SERIE só vai para o "
     "log)",
     0, 1, 0, -1, true, false, 0, nullptr, Escolhe},
    {"abre", "AbreSerialSAT", "N", "faz da COMN a porta dos comandos seguintes", 1, 1, 0b1, -1,
     false, false, 0, nullptr, Abre},
    {"fecha", "CloseSerial", "", "fecha a porta", 0, 0, 0, -1, false, false, 0, nullptr, Fecha},
    {"documento", "Base64ToAscii", "[ARQUIVO]",
     "o CF-e ou o log decodificado pela última venda, cancelamento ou log, mostrado ou salvo em "
     "ARQUIVO",
     0, 1, 0, -1, false, false, 0, nullptr, Documento},
    {"erro", "CodigoErro", "", "o registro de erro do último comando", 0, 0, 0, -1, false, false, 0,
     nullptr, Registro},
    {"sessao", "GeraNumeroSessao", "", "um número de sessão novo", 0, 0, 0, -1, false, false, 0,
     nullptr, NumeroSessao},
    {"versao", "VersaoLib", "", "o texto de versão da biblioteca", 0, 0, 0, -1, false, false, 0,
     nullptr, Versao},
    {"arquivo-log", "ArquivoLog", "ARQUIVO", "grava o log em ARQUIVO daqui em diante", 1, 1, 0, -1,
     false, false, 0, nullptr, Log},
    {"timeout", "ConfiguraTimeout", "MS", "aceito por compatibilidade; não tem efeito", 1, 1, 0b1,
     -1, false, false, 0, nullptr, Timeout},
    {"cfe", "satd", "[CHAVE]",
     "o XML do CF-e de chave CHAVE (CFe e 44 dígitos), byte a byte como o SAT o assinou; --salva "
     "o grava em ARQUIVO. Sem CHAVE, os CF-e emitidos de --de a --ate (AAAA-MM-DD, os dois "
     "inclusive), de todos os caixas ou do de --caixa N, numa tabela; --json os dá em JSON, "
     "--bruto como o satd os deu",
     0, 1, 0, -1, false, true, 0, nullptr, AcervoCfe, nullptr, true},
    {"mes", "satd", "AAAA-MM ARQUIVO",
     "o zip com os CF-e do mês, gravado aos poucos num arquivo ao lado de ARQUIVO e renomeado "
     "para ARQUIVO quando completo",
     2, 2, 0, -1, false, false, 0, nullptr, AcervoMes, nullptr, true},
    {"extrato", "libsatextrato", "ARQUIVO",
     "o extrato do CF-e de venda assinado em ARQUIVO (como --salva o grava) em PDF (--pdf "
     "ARQUIVO), em PNG (--png ARQUIVO) ou na impressora (--impressora DESTINO, ou SAT_IMPRESSORA "
     "sem nenhuma das três), para papel de 80 ou 58 mm (--papel); com --cancelamento CANC, o "
     "extrato do cancelamento assinado em CANC, da venda em ARQUIVO",
     1, 1, 0, 0, false, false, 0, nullptr, Extrato, nullptr, false, true},
};

} // namespace

// GeraNumeroSessao gives every new process the same series, and a SAT refuses a session number
// it has answered before: each run starts from a number of its own.
int32_t SessaoInicial() {
  std::random_device aleatorio;
  const auto agora = std::chrono::steady_clock::now().time_since_epoch().count();
  std::mt19937 gerador(aleatorio() ^ static_cast<uint32_t>(agora));
  return std::uniform_int_distribution<int32_t>(1, 989999)(gerador);
}

int32_t Execucao::Sessao() {
  if (!iniciada) {
    proximaSessao = opcoes.temSessao ? opcoes.sessao : SessaoInicial();
    iniciada = true;
  }
  return proximaSessao++;
}

bool LeInteiro(const std::string &texto, int32_t &valor) {
  char *fim = nullptr;
  errno = 0;
  const long long v = std::strtoll(texto.c_str(), &fim, 10);
  if (texto.empty() || errno != 0 || *fim != '\0' || v < INT32_MIN || v > INT32_MAX) {
    return false;
  }
  valor = static_cast<int32_t>(v);
  return true;
}

bool EnderecoSatd(const std::string &url, std::string &origem, std::string &base) {
  const size_t esquema = url.rfind("https://", 0) == 0 ? 8 : url.rfind("http://", 0) == 0 ? 7 : 0;
  if (esquema == 0 || url.size() > 2000 || url.find_first_of("?# \t\r\n@") != std::string::npos) {
    return false;
  }
  const size_t barra = url.find('/', esquema);
  origem = url.substr(0, barra);
  base = barra == std::string::npos ? "" : url.substr(barra);
  while (!base.empty() && base.back() == '/') {
    base.pop_back();
  }
  if (base.empty()) {
    base = "/hub/v1";
  }
  return origem.size() > esquema;
}

bool ChaveDeAcesso(const std::string &texto) {
  const std::string digitos = texto.rfind("CFe", 0) == 0 ? texto.substr(3) : texto;
  return digitos.size() == 44 && digitos.find_first_not_of("0123456789") == std::string::npos;
}

bool DataDaConsulta(const std::string &texto, bool dia) {
  const std::string forma = dia ? "0000-00-00" : "0000-00";
  if (texto.size() != forma.size()) {
    return false;
  }
  for (size_t i = 0; i < forma.size(); ++i) {
    if (forma[i] == '-' ? texto[i] != '-' : (texto[i] < '0' || texto[i] > '9')) {
      return false;
    }
  }
  const int mes = std::atoi(texto.substr(5, 2).c_str());
  return mes >= 1 && mes <= 12;
}

const std::vector<Subcomando> &Subcomandos() { return kSubcomandos; }

const Subcomando *ProcuraSubcomando(const std::string &nome) {
  for (const Subcomando &s : kSubcomandos) {
    if (nome == s.nome) {
      return &s;
    }
  }
  return nullptr;
}

Resultado Executa(Execucao &execucao, const Passo &passo) {
  return passo.sub->comando != nullptr ? ExecutaComando(execucao, passo)
                                       : passo.sub->propria(execucao, passo);
}
