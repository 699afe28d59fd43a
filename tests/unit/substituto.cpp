#include "tests/unit/substituto.h"

#include <algorithm>
#include <cstring>

#include "support/armazenamento.h"
#include "support/compressao.h"

namespace {

Substituto *gAtual = nullptr;

struct Anexo {
  std::string nome;
};

void Chamou(const char *operacao) { Sub().chamadas.push_back(operacao); }

HandleSerial AbreSerial(const char *caminho) {
  Chamou("AbreSerial");
  Sub().caminhosAbertos.push_back(caminho);
  Sub().travasAoAbrir.push_back(Sub().travas - Sub().destravas);
  const std::vector<std::string> &ausentes = Sub().caminhosAusentes;
  if (std::find(ausentes.begin(), ausentes.end(), caminho) != ausentes.end()) {
    return HANDLE_INVALIDO;
  }
  return Sub().abreFalha ? HANDLE_INVALIDO : Sub().proximoHandle;
}
int ConfiguraLinha(HandleSerial) {
  Chamou("ConfiguraLinha");
  return Sub().configuraLinhaFalha ? 0 : 1;
}
int ConfiguraTempos(HandleSerial) {
  Chamou("ConfiguraTempos");
  return Sub().configuraTemposFalha ? 0 : 1;
}
int DescartaEntrada(HandleSerial) {
  Chamou("DescartaEntrada");
  return Sub().descartaFalha ? 0 : 1;
}
int EsvaziaSaida(HandleSerial) {
  Chamou("EsvaziaSaida");
  return Sub().esvaziaFalha ? 0 : 1;
}

// The bytes of the next scripted read, if it brings any.
long Entrega(unsigned char *destino, unsigned long maximo) {
  Substituto &s = Sub();
  if (s.leituras.empty() && !s.emissaoContinua.empty()) {
    size_t n = std::min<size_t>(s.emissaoContinua.size(), maximo);
    std::memcpy(destino, s.emissaoContinua.data(), n);
    s.milissegundos += s.passoLeituraComDadosMs;
    s.bytesEntregues += n;
    return static_cast<long>(n);
  }
  Substituto::Leitura &proxima = s.leituras.front();
  size_t n = std::min<size_t>(proxima.size() - proxima.lidos, maximo);
  std::memcpy(destino, proxima.data() + proxima.lidos, n);
  proxima.lidos += n;
  if (proxima.lidos == proxima.size()) {
    s.leituras.pop_front();
  }
  s.milissegundos += s.passoLeituraComDadosMs;
  s.bytesEntregues += n;
  return static_cast<long>(n);
}

// What the driver holds: the next scripted read when it brings bytes; nothing, at no cost of
// time, when the next read is a quiet one (it stays for the next waiting read).
long LeSerialPendente(HandleSerial, unsigned char *destino, unsigned long maximo) {
  Substituto &s = Sub();
  Chamou("LeSerialPendente");
  const bool temBytes =
      s.leituras.empty() ? !s.emissaoContinua.empty() : !s.leituras.front().empty();
  if (!temBytes || s.pendentesComBytes == 0) {
    return 0;
  }
  s.pendentesComBytes -= s.pendentesComBytes > 0 ? 1 : 0;
  return Entrega(destino, maximo);
}

long LeSerial(HandleSerial, unsigned char *destino, unsigned long maximo) {
  Substituto &s = Sub();
  Chamou("LeSerial");
  s.leiturasFeitas++;
  s.maiorLeitura = std::max(s.maiorLeitura, maximo);
  const bool quieta = s.leituras.empty() ? s.emissaoContinua.empty() : s.leituras.front().empty();
  if (quieta) {
    if (!s.leituras.empty()) {
      s.leituras.pop_front();
    }
    s.milissegundos += s.passoLeituraMs;
    return 0;
  }
  return Entrega(destino, maximo);
}

int EscreveSerial(HandleSerial, const unsigned char *dados, unsigned long tamanho) {
  Substituto &s = Sub();
  Chamou("EscreveSerial");
  if (s.escreveFalha) {
    return 0;
  }
  if (s.emissaoParaNaEscrita) {
    s.emissaoContinua.clear();
  }
  s.escritos.emplace_back(reinterpret_cast<const char *>(dados), tamanho);
  while (!s.respostaAposEscrita.empty()) {
    s.leituras.push_back(s.respostaAposEscrita.front());
    s.respostaAposEscrita.pop_front();
  }
  if (s.responde) {
    std::string resposta = s.responde(s.escritos.back());
    if (!resposta.empty()) {
      s.leituras.push_back(resposta);
    }
  }
  return 1;
}

int EstadoModem(HandleSerial, uint32_t *bits) {
  Chamou("EstadoModem");
  if (Sub().modemFalha) {
    return 0;
  }
  *bits = Sub().bitsModem;
  return 1;
}

int FechaSerial(HandleSerial) {
  Chamou("FechaSerial");
  Sub().fechamentos++;
  return 1;
}

const char *PrefixoDispositivo() { return Sub().prefixo.c_str(); }
unsigned long TamanhoCaminho() { return Sub().tamanhoCaminhoDispositivo; }

int VerificaUSB() { return Sub().usbDisponivel ? 1 : 0; }

int ListaPortas(PassoDispositivo passo, void *contexto) {
  Substituto &s = Sub();
  if (!s.listaDisponivel) {
    return -1;
  }
  for (const DispositivoFalso &d : s.dispositivos) {
    DispositivoPorta p{d.idInstancia.c_str(),      d.chaveAberta ? 1 : 0, d.nomePorta.c_str(),
                       d.idsHardwareLidos ? 1 : 0, d.idHardware.c_str(),  d.tipoIdsHardware};
    s.dispositivosEntregues++;
    if (passo(&p, contexto) == 0) {
      break;
    }
  }
  return 0;
}

void HoraLocal(DataHora *agora) { *agora = Sub().hora; }
int64_t SegundosMonotonicos() { return Sub().milissegundos / 1000; }
unsigned long IdProcesso() { return Sub().pid; }
void SaidaDepuracao(const char *texto) { Sub().depuracao += texto; }
void SaidaPadrao(const char *texto) { Sub().saidaPadrao += texto; }

int gTravaFalsa;
void *CriaTrava() { return &gTravaFalsa; }
void Trava(void *) { Sub().travas++; }
void Destrava(void *) { Sub().destravas++; }

long LeArquivo(const char *nome, char *destino, unsigned long maximo) {
  auto it = Sub().arquivos.find(nome);
  if (it == Sub().arquivos.end()) {
    return -1;
  }
  size_t n = std::min<size_t>(it->second.size(), maximo);
  std::memcpy(destino, it->second.data(), n);
  return static_cast<long>(n);
}

// Names with a directory part that the test has not created cannot be opened.
void *AbreAnexo(const char *nome) {
  std::string n = nome;
  if (n.empty() || n.find("naoexiste/") != std::string::npos) {
    return nullptr;
  }
  Sub().anexosAbertos.push_back(n);
  Sub().arquivos[n]; // created if missing
  return new Anexo{n};
}

void EscreveAnexo(void *arquivo, const char *dados, unsigned long tamanho) {
  Sub().arquivos[static_cast<Anexo *>(arquivo)->nome].append(dados, tamanho);
}

void FechaAnexo(void *arquivo) { delete static_cast<Anexo *>(arquivo); }

void *CarregaModulo(const char *nome) {
  auto it = Sub().modulos.find(nome);
  if (it == Sub().modulos.end()) {
    return nullptr;
  }
  Sub().modulosCarregados.push_back(nome);
  return &it->second;
}

void *ProcuraSimbolo(void *modulo, const char *nome) {
  auto *simbolos = static_cast<std::map<std::string, void *> *>(modulo);
  auto it = simbolos->find(nome);
  return it == simbolos->end() ? nullptr : it->second;
}

void LiberaModulo(void *) { Sub().modulosLiberados++; }

int CaminhoModulo(char *destino, unsigned long maximo) {
  const std::string &c = Sub().caminhoModulo;
  if (c.empty() || c.size() + 1 > maximo) {
    return 0;
  }
  std::memcpy(destino, c.c_str(), c.size() + 1);
  return 1;
}

const char *ArquivoZlib() { return Sub().arquivoZlib.c_str(); }
char SeparadorDiretorio() { return Sub().separador; }

const OperacoesPlataforma kSubstituto = {
    AbreSerial,
    ConfiguraLinha,
    ConfiguraTempos,
    DescartaEntrada,
    EsvaziaSaida,
    LeSerial,
    EscreveSerial,
    EstadoModem,
    FechaSerial,
    PrefixoDispositivo,
    VerificaUSB,
    ListaPortas,
    HoraLocal,
    SegundosMonotonicos,
    IdProcesso,
    SaidaDepuracao,
    SaidaPadrao,
    CriaTrava,
    Trava,
    Destrava,
    LeArquivo,
    AbreAnexo,
    EscreveAnexo,
    FechaAnexo,
    CarregaModulo,
    ProcuraSimbolo,
    LiberaModulo,
    CaminhoModulo,
    ArquivoZlib,
    SeparadorDiretorio,
    LeSerialPendente,
    TamanhoCaminho,
};

} // namespace

const OperacoesPlataforma *Substituto::Instala() {
  gAtual = this;
  UsaPlataforma(&kSubstituto);
  return &kSubstituto;
}

Substituto &Sub() { return *gAtual; }

void ReiniciaEstadoBiblioteca() {
  LiberaBuffersTransacao();
  AlocaBuffersTransacao(std::malloc);
  std::memset(BufferResposta, 0, sizeof BufferResposta);
  RespostaUsada = TAMANHO_RESPOSTA_LIMPA; // tests write into it directly
  std::memset(&RegistroErro, 0, sizeof RegistroErro);
  std::memset(NomePorta, 0, sizeof NomePorta);
  std::memset(CaminhoPorta, 0, sizeof CaminhoPorta);
  PortaAberta = 0;
  HandlePorta = HANDLE_NENHUM;
  ContadorSequencia = 0;
  std::memset(CaminhoLog, 0, sizeof CaminhoLog);
  ModuloZlib = nullptr;
  LiberaZlib(); // forgets the entry points of the zlib an earlier test loaded
  std::memset(BufferDecodificado, 0, TAMANHO_DECODIFICADO_LIMPO);
  std::memset(UltimasSessoes, 0, sizeof UltimasSessoes);
  IndiceSessoes = 0;
}

namespace {
Substituto *gSubstitutoDoTeste = nullptr;
}

void SubstitutoTest::SetUp() {
  gSubstitutoDoTeste = new Substituto();
  gSubstitutoDoTeste->Instala();
  ReiniciaEstadoBiblioteca();
}

void SubstitutoTest::TearDown() {
  UsaPlataforma(nullptr);
  delete gSubstitutoDoTeste;
  gSubstitutoDoTeste = nullptr;
  gAtual = nullptr;
}

void SubstitutoTest::LigaLog() {
  Sub().arquivos["sat.ini"] = "GeraArqLog=1\r\nNomeArqLog=sat.log\r\n";
}
