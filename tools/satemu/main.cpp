// satemu: a SAT CF-e device on a pseudo-terminal, for testing hosts without the hardware.

#include "cfe.h"
#include "codifica.h"
#include "comum/opcoes.h"
#include "dispositivo.h"
#include "estado.h"
#include "servidor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

using satemu::Configuracao;
using satemu::Controle;

constexpr char kCnpjPadrao[] = "11222333000181";
constexpr char kCnpjSoftwareHousePadrao[] = "22233344000183";
constexpr char kAssinaturaPadrao[] = "c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD";

constexpr char kAjuda[] =
    R"(Usage: satemu [options]

Emulates a SAT CF-e fiscal device on a pseudo-terminal. The first line written to standard
output is the path of the slave side, the device's "serial port"; from then on every request
frame is answered, until SIGINT, SIGTERM or SIGHUP. Clients may open and close the port as often
as they like.

)";

// Options without a letter, by getopt_long's code.
enum : int {
  OPCAO_LINK = 256,
  OPCAO_REGISTRO,
  OPCAO_TEMPOS,
  OPCAO_VERBOSO,
  OPCAO_CODIGO_ATIVACAO,
  OPCAO_CODIGO_EMERGENCIA,
  OPCAO_SERIE,
  OPCAO_PRONTO,
  OPCAO_CNPJ,
  OPCAO_UF,
  OPCAO_CNPJ_SH,
  OPCAO_ASSINATURA,
  OPCAO_EMITENTE,
  OPCAO_ESTADO,
  OPCAO_WINDOWS_1252,
  OPCAO_CERTIFICADO_VENCE,
  OPCAO_PENDENTES,
  OPCAO_SEM_TRANSMITIR,
  OPCAO_SEM_CONTATO,
  OPCAO_RELOGIO_DESVIO,
  OPCAO_MEMORIA_USADA,
  OPCAO_BATERIA,
  OPCAO_BLOQUEIO,
  OPCAO_ATRASO,
  OPCAO_MUDO,
  OPCAO_SOMA_ERRADA,
  OPCAO_EM_PARTES,
  OPCAO_PAUSA,
  OPCAO_CONTROLE,
  OPCAO_LIXO_ANTES,
  OPCAO_ANUNCIA_MAIS,
  OPCAO_RAJADA,
  OPCAO_SURDO_AO_FECHAR,
  OPCAO_SO_PARA,
  OPCAO_VERSAO,
};

constexpr opcoes::Opcao kOpcoes[] = {
    {nullptr, 0, nullptr, "Line:"},
    {"link", OPCAO_LINK, "PATH",
     "make PATH a symbolic link to the slave side (missing folders are\n"
     "created, a stale link is replaced); removed when satemu ends"},
    {"registro", OPCAO_REGISTRO, "FILE",
     "append every request frame received to FILE, in lowercase hex, one\n"
     "frame a line, written as the frame arrives (before it is answered)"},
    {"tempos", OPCAO_TEMPOS, "FILE",
     "append a line for every request to FILE: its sequence number, its\n"
     "command word and the device's own time for it in microseconds (from\n"
     "the whole request to the reply ready to go out), for benchmarks"},
    {"verboso", OPCAO_VERBOSO, nullptr,
     "one line per request on standard error, and one when a client closes\n"
     "the port"},
    {nullptr, 0, nullptr,
     "\nDevice (a fresh device; a state file given with --estado wins over these):"},
    {"codigo-ativacao", OPCAO_CODIGO_ATIVACAO, "CODE",
     "activation code (default 12345678); AtivarSAT sets a new one"},
    {"codigo-emergencia", OPCAO_CODIGO_EMERGENCIA, "CODE",
     "emergency code, TrocarCodigoDeAtivacaoSAT opcao 2 (default 87654321)"},
    {"serie", OPCAO_SERIE, "NNNNNNNNN", "serial number, 9 digits (default 900000001)"},
    {"pronto", OPCAO_PRONTO, nullptr,
     "start activated and associated with a software house, ready to sell:"},
    {"cnpj", OPCAO_CNPJ, "CNPJ", "  the taxpayer (default 11222333000181)"},
    {"uf", OPCAO_UF, "CODE", "  the taxpayer's cUF (default 35)"},
    {"cnpj-sh", OPCAO_CNPJ_SH, "CNPJ", "  the software house (default 22233344000183)"},
    {"assinatura", OPCAO_ASSINATURA, "TEXT",
     "  its signAC, base64 (default\n"
     "  c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD)"},
    {"emitente", OPCAO_EMITENTE, "FILE",
     "the taxpayer's name and address, as the device's parametrization gives\n"
     "them and it writes them in every CF-e it signs (emit: xNome, xFant,\n"
     "enderEmit, cRegTrib): lines \"name=value\" in UTF-8, the names those of\n"
     "the document (xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, CEP,\n"
     "cRegTrib), '#' starts a comment line. A name left out keeps its\n"
     "default: \"Padaria Pão Dourado Ltda\", trade name \"Padaria Pão Dourado\",\n"
     "Rua das Laranjeiras 125, Loja 2, Centro, São Paulo, CEP 01010010,\n"
     "cRegTrib 3 (regime normal). Kept in the state file"},
    {"estado", OPCAO_ESTADO, "FILE",
     "keep the device's state in FILE: activation, codes, block, association,\n"
     "the taxpayer's name and address, CF-e counter, last sale, last fiscal\n"
     "session (the reply to the last sale or cancellation), network\n"
     "settings, log. Read at start when it exists;\n"
     "rewritten after every command that changes it and at exit: written\n"
     "beside it, flushed to disk, then renamed over it. Every field is checked\n"
     "on reading, and a file cut short, changed by hand (its last line holds\n"
     "a checksum) or holding a value the device could not have written is\n"
     "refused with a message naming its line, and satemu does not start.\n"
     "Replies of past sessions are not kept."},
    {"windows-1252", OPCAO_WINDOWS_1252, nullptr,
     "read a document (sale, cancellation, network settings) that declares\n"
     "no encoding as Windows-1252, as some devices do for POS programs on\n"
     "Windows; without it such a document is UTF-8, as XML says, and one\n"
     "that is not valid UTF-8 is refused"},
    {nullptr, 0, nullptr,
     "\nHealth: conditions the status reply (ConsultarStatusOperacional) shows, for the checks of\n"
     "\"satcli saude\" and satd's status page. Applied after the state file, and not kept in it."},
    {"certificado-vence", OPCAO_CERTIFICADO_VENCE, "DATE",
     "CERT_VENCIMENTO: AAAAMMDD, or +N / -N days from the device's today\n"
     "(default: five years after the activation)"},
    {"pendentes", OPCAO_PENDENTES, "N",
     "N CF-e issued before and not transmitted yet: the next N numbers of the\n"
     "series, shown in LISTA_INICIAL and LISTA_FINAL; every CF-e issued from\n"
     "then on waits with them. Needs an activated device"},
    {"sem-transmitir", OPCAO_SEM_TRANSMITIR, "AGE",
     "DH_CFe, the last transmission to SEFAZ, AGE ago (default: each CF-e's\n"
     "own time; with --pendentes, satemu's start)"},
    {"sem-contato", OPCAO_SEM_CONTATO, "AGE",
     "DH_ULTIMA, the last contact with SEFAZ, AGE ago (default: now)"},
    {"relogio-desvio", OPCAO_RELOGIO_DESVIO, "AGE",
     "the device's clock is AGE ahead (+AGE) or behind (-AGE) the host's:\n"
     "DH_ATUAL and every time the device writes"},
    {"memoria-usada", OPCAO_MEMORIA_USADA, "PCT",
     "MT_USADA: PCT % of MT_TOTAL (4 GB), 0 to 100 (default 12 MB)"},
    {"bateria", OPCAO_BATERIA, "LEVEL", "NIVEL_BATERIA: ALTO (default), MEDIO or BAIXO"},
    {"bloqueio", OPCAO_BLOQUEIO, "STATE",
     "ESTADO_OPERACAO: 0 unblocked, 1 blocked by SEFAZ, 2 blocked by the\n"
     "taxpayer (as BloquearSAT; DesbloquearSAT lifts it), 3 autonomous block,\n"
     "4 blocked for deactivation. Blocks 1, 3 and 4 refuse sales (06007,\n"
     "06008) and cancellations (07004, 07005) until satemu ends, and\n"
     "DesbloquearSAT cannot lift them (17003, 17006, 17007)"},
    {nullptr, 0, nullptr, "  AGE is a whole number and a unit: 90s, 10m, 36h, 6d."},
    {nullptr, 0, nullptr, "\nFaults, each what a faulty device or cable does (they combine):"},
    {"atraso", OPCAO_ATRASO, "MS", "answer MS milliseconds after the request"},
    {"mudo", OPCAO_MUDO, nullptr, "never answer"},
    {"soma-errada", OPCAO_SOMA_ERRADA, nullptr, "the reply's checksum byte is inverted"},
    {"em-partes", OPCAO_EM_PARTES, "N", "send the reply in N pieces..."},
    {"pausa", OPCAO_PAUSA, "MS", "...with MS milliseconds between them (default 50)"},
    {"controle", OPCAO_CONTROLE, "TYPE",
     "a control frame instead of the data frame: ack (06), nak (15 seq 00 00\n"
     "00 00), dc1 (11 seq 00 00 00 00) or syn (16 seq)"},
    {"lixo-antes", OPCAO_LIXO_ANTES, "HEX",
     "write these bytes (hex, e.g. 0d0a00) just before the reply"},
    {"anuncia-mais", OPCAO_ANUNCIA_MAIS, "N",
     "the reply's header announces N payload bytes more than are sent"},
    {"rajada", OPCAO_RAJADA, "MS", "after the reply, bytes 0xAA keep coming for MS milliseconds"},
    {"surdo-ao-fechar", OPCAO_SURDO_AO_FECHAR, nullptr,
     "the device does not notice a client closing the port: a reply still\n"
     "due goes to whoever opens it next (with --atraso: a late reply that\n"
     "reaches the host's next command)"},
    {"so-para", OPCAO_SO_PARA, "WORD", "the faults spoil only the replies to this command word"},
    {nullptr, 0, nullptr, "\nOther:"},
    {"help", 'h', nullptr, "this text"},
    {"version", OPCAO_VERSAO, nullptr, "satemu's version"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

constexpr char kAjudaFim[] = R"(
Exit status:
  0   ended by SIGINT, SIGTERM or SIGHUP
  1   could not start (a state file refused, the pseudo-terminal or the link not made) or could
      not save the state file at the end
  64  usage error: an unknown option, a missing or bad value; nothing was started

Replies:
  Each request frame is answered with one data frame carrying the reply text, one request at a
  time. The sixteen command words are AtivarSAT, ComunicarCertificadoICPBRASIL, EnviarDadosVenda,
  CancelarUltimaVenda, ConsultarSAT, TesteFimAFim, ConsultarStatusOperacional,
  ConsultarNumeroSessao, ConfigurarInterfaceDeRede, AssociarAssinatura, AtualizarSoftwareSAT,
  ExtrairLogs, BloquearSAT, DesbloquearSAT, TrocarCodigoDeAtivacaoSAT and
  ConsultarUltimaSessaoFiscal (the reply to the last sale or cancellation, as it was sent). A
  frame whose checksum is wrong is refused with the NAK control frame 15 <seq> 00 00 00 00. A
  payload whose command word is not one of the sixteen, or whose session field is not a number,
  is answered "<session>|00099|Erro desconhecido||" ("000000" for a session that is not a
  number). Bytes that cannot begin a frame are skipped; a frame that stops arriving for 1000 ms
  is dropped. Requests announcing more than 2 MiB of payload are not frames.

  When a client closes the port, the frame it left unfinished and the reply it did not read are
  dropped (a request it sent whole is still carried out); the next client starts clean.
  Activation and new codes are 1 to 64 bytes without control bytes or '|'.

Documents: the CF-e written back is UTF-8 XML. A sale (EnviarDadosVenda, TesteFimAFim) or a
cancellation that breaks a rule below is answered with the validation error (06010, 07007;
09099 for a test), or 06004 when its software house is not the one associated; the rule it
breaks is named on standard error and in the device's log (ExtrairLogs).

The CF-e of a sale is the document received completed as a SAT completes it: infCFe's versao
(0.08) and versaoSB; ide's cUF, cNF, mod, nserieSAT, nCFe, dEmi, hEmi, cDV, tpAmb and
assinaturaQRCODE; emit's xNome, xFant, enderEmit and cRegTrib (--emitente); each item's vProd,
vItem, vRatDesc and vRatAcr (the subtotal's discount or increase spread in proportion to the
items' values, the rounding cents on the last item) and its vICMS, vPIS, vCOFINS (and those of
PISST, COFINSST) from the rates it was sent with, rounded half up to cents; total's ICMSTot
(vICMS, vProd, vDesc, vPIS, vCOFINS, vPISST, vCOFINSST, vOutro) before vCFe; pgto's vTroco; the
signature. A cancellation has its own key, chCanc, the sale's dEmi and hEmi, an ide without
tpAmb, the taxpayer's name and address with the sale's IE and IM, the sale's dest and vCFe.
)";

bool LeNumero(const char *texto, long long minimo, long long maximo, long long &valor) {
  char *fim = nullptr;
  errno = 0;
  valor = std::strtoll(texto, &fim, 10);
  return errno == 0 && fim != texto && *fim == '\0' && valor >= minimo && valor <= maximo;
}

bool LeHex(std::string_view texto, std::string &bytes) {
  if (texto.size() % 2 != 0)
    return false;
  bytes.clear();
  for (std::size_t i = 0; i < texto.size(); i += 2) {
    long long valor = 0;
    const std::string par(texto.substr(i, 2));
    if (par.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    valor = std::strtoll(par.c_str(), nullptr, 16);
    bytes += static_cast<char>(valor);
  }
  return true;
}

void MostraRegras(const char *titulo, const satemu::Regra *regras, std::size_t quantas) {
  std::printf("\n%s\n", titulo);
  for (std::size_t i = 0; i < quantas; ++i) {
    // The description wrapped at 96 columns under the rule's name.
    std::printf("  %-8s", regras[i].nome);
    std::string_view resto = regras[i].descricao;
    std::size_t coluna = 10;
    while (!resto.empty()) {
      const std::size_t espaco = resto.find(' ');
      const std::string_view palavra = resto.substr(0, espaco);
      if (coluna + palavra.size() + 1 > 96) {
        std::printf("\n          ");
        coluna = 10;
      }
      std::printf(" %.*s", static_cast<int>(palavra.size()), palavra.data());
      coluna += palavra.size() + 1;
      resto.remove_prefix(espaco == std::string_view::npos ? resto.size() : espaco + 1);
    }
    std::printf("\n");
  }
}

// "90s", "10m", "36h", "6d", with a sign when `comSinal`: seconds.
bool LeIdade(const char *texto, bool comSinal, long long &segundos) {
  if (texto == nullptr)
    return false;
  std::string_view t = texto;
  long long sinal = 1;
  if (comSinal && !t.empty() && (t.front() == '+' || t.front() == '-')) {
    sinal = t.front() == '-' ? -1 : 1;
    t.remove_prefix(1);
  }
  if (t.size() < 2)
    return false;
  const char unidade = t.back();
  const long long fator = unidade == 's'   ? 1
                          : unidade == 'm' ? 60
                          : unidade == 'h' ? 3600
                          : unidade == 'd' ? 86400
                                           : 0;
  long long valor = 0;
  if (fator == 0 || !LeNumero(std::string(t.substr(0, t.size() - 1)).c_str(), 0, 36500, valor))
    return false;
  segundos = sinal * valor * fator;
  return segundos / fator == sinal * valor && std::llabs(segundos) <= 36500LL * 86400;
}

// What the health options ask for, applied once the device's state is known.
struct Saude {
  std::string vencimento; // AAAAMMDD
  long long vencimentoDias = 0;
  bool vencimentoRelativo = false;
  long long pendentes = -1;
  long long semTransmitir = -1; // seconds ago
  long long semContato = -1;
  long long memoria = -1; // percent
  std::string bateria;
  long long bloqueio = -1;
};

bool AplicaSaude(satemu::Sat &sat, const Saude &s, std::string &erro) {
  satemu::Condicoes &c = sat.condicoes;
  if (s.vencimentoRelativo)
    c.vencimentoCertificado = satemu::DataDaqui(sat, s.vencimentoDias);
  else if (!s.vencimento.empty())
    c.vencimentoCertificado = s.vencimento;
  if (s.pendentes >= 0) {
    if (!satemu::AcrescentaPendentes(sat, static_cast<int>(s.pendentes))) {
      erro = "--pendentes needs an activated device (--pronto, or a state file)";
      return false;
    }
    c.ultimaTransmissao = satemu::CarimboDaqui(sat, 0);
  }
  if (s.semTransmitir >= 0)
    c.ultimaTransmissao = satemu::CarimboDaqui(sat, -s.semTransmitir);
  if (s.semContato >= 0)
    c.ultimoContato = satemu::CarimboDaqui(sat, -s.semContato);
  if (s.memoria >= 0)
    c.memoriaUsada = std::to_string(4096 * s.memoria / 100) + " MB";
  if (!s.bateria.empty())
    c.bateria = s.bateria;
  if (s.bloqueio == 0 || s.bloqueio == 2)
    sat.bloqueado = s.bloqueio == 2;
  else if (s.bloqueio > 0)
    c.bloqueio = static_cast<int>(s.bloqueio);
  return true;
}

int Recusa(const std::string &mensagem) {
  std::fprintf(stderr, "satemu: %s (see --help)\n", mensagem.c_str());
  return 64; // EX_USAGE
}

} // namespace

int main(int argc, char **argv) {
  satemu::Sat sat;
  Configuracao configuracao;
  satemu::Falhas &falhas = configuracao.falhas;
  bool pronto = false;
  std::string cnpj = kCnpjPadrao;
  std::string cnpjSoftwareHouse = kCnpjSoftwareHousePadrao;
  std::string assinatura = kAssinaturaPadrao;
  long long uf = 35;
  Saude saude;
  long long desvio = 0;

  opcoes::Leitor leitor(kOpcoes, argc, argv);
  for (opcoes::Achado a = leitor.Proximo(); a.codigo != opcoes::kFim; a = leitor.Proximo()) {
    // The value of an option that takes one (null when it is missing).
    const char *argumento = a.valor;
    auto numero = [&](long long minimo, long long maximo, long long &destino) {
      return argumento != nullptr && LeNumero(argumento, minimo, maximo, destino);
    };
    auto texto = [&](std::string &destino) {
      if (argumento != nullptr)
        destino = argumento;
      return argumento != nullptr;
    };
    long long n = 0;
    bool ok = true;
    switch (a.codigo) {
    case opcoes::kErro:
      return Recusa(a.erro);
    case opcoes::kPalavra:
      return Recusa(std::string("unexpected argument ") + a.valor);
    case 'h':
      std::fputs(kAjuda, stdout);
      std::fputs(opcoes::Ajuda(kOpcoes, 26).c_str(), stdout);
      std::fputs(kAjudaFim, stdout);
      MostraRegras("Rules of a sale:", satemu::kRegrasVenda, satemu::kQuantasRegrasVenda);
      std::printf("  size     the document and the CF-e made of it are at most 1,500 KB (06005)\n");
      MostraRegras("Rules of a cancellation:", satemu::kRegrasCancelamento,
                   satemu::kQuantasRegrasCancelamento);
      return 0;
    case OPCAO_VERSAO:
      std::printf("%s\n", opcoes::Versao("satemu").c_str());
      return 0;
    case OPCAO_LINK:
      ok = texto(configuracao.link) && !configuracao.link.empty();
      break;
    case OPCAO_REGISTRO:
      ok = texto(configuracao.registro) && !configuracao.registro.empty();
      break;
    case OPCAO_TEMPOS:
      ok = texto(configuracao.tempos) && !configuracao.tempos.empty();
      break;
    case OPCAO_ESTADO:
      ok = texto(configuracao.estado) && !configuracao.estado.empty();
      break;
    case OPCAO_VERBOSO:
      configuracao.verboso = true;
      break;
    case OPCAO_WINDOWS_1252:
      sat.semDeclaracao = satemu::SemDeclaracao::Windows1252;
      break;
    case OPCAO_CODIGO_ATIVACAO:
      ok = texto(sat.codigoAtivacao) && satemu::CodigoValido(sat.codigoAtivacao);
      break;
    case OPCAO_CODIGO_EMERGENCIA:
      ok = texto(sat.codigoEmergencia) && satemu::CodigoValido(sat.codigoEmergencia);
      break;
    case OPCAO_SERIE:
      ok = texto(sat.serie) && satemu::SoDigitos(sat.serie, 9);
      break;
    case OPCAO_PRONTO:
      pronto = true;
      break;
    case OPCAO_CNPJ:
      ok = texto(cnpj) && satemu::CnpjValido(cnpj);
      break;
    case OPCAO_UF:
      ok = numero(0, 99, uf) && satemu::UfValida(static_cast<int>(uf));
      break;
    case OPCAO_CNPJ_SH:
      ok = texto(cnpjSoftwareHouse) && satemu::CnpjValido(cnpjSoftwareHouse);
      break;
    case OPCAO_ASSINATURA:
      ok = texto(assinatura) && satemu::PareceBase64(assinatura);
      break;
    case OPCAO_EMITENTE: {
      std::string erroEmitente;
      if (argumento != nullptr && !satemu::LeEmitente(argumento, sat.emitente, erroEmitente))
        return Recusa(erroEmitente);
      ok = argumento != nullptr;
      break;
    }
    case OPCAO_CERTIFICADO_VENCE: {
      ok = texto(saude.vencimento);
      const char sinal = ok && !saude.vencimento.empty() ? saude.vencimento[0] : ' ';
      if (ok && (sinal == '+' || sinal == '-')) {
        saude.vencimentoRelativo = true;
        ok = LeNumero(saude.vencimento.c_str(), -36500, 36500, saude.vencimentoDias);
      } else {
        ok = ok && satemu::DataValida(saude.vencimento);
      }
      break;
    }
    case OPCAO_PENDENTES:
      ok = numero(1, 999999, saude.pendentes);
      break;
    case OPCAO_SEM_TRANSMITIR:
      ok = LeIdade(argumento, false, saude.semTransmitir);
      break;
    case OPCAO_SEM_CONTATO:
      ok = LeIdade(argumento, false, saude.semContato);
      break;
    case OPCAO_RELOGIO_DESVIO:
      ok = LeIdade(argumento, true, desvio);
      break;
    case OPCAO_MEMORIA_USADA:
      ok = numero(0, 100, saude.memoria);
      break;
    case OPCAO_BATERIA:
      ok = texto(saude.bateria) &&
           (saude.bateria == "ALTO" || saude.bateria == "MEDIO" || saude.bateria == "BAIXO");
      break;
    case OPCAO_BLOQUEIO:
      ok = numero(0, 4, saude.bloqueio);
      break;
    case OPCAO_ATRASO:
      ok = numero(0, 3'600'000, n);
      falhas.atrasoMs = static_cast<int>(n);
      break;
    case OPCAO_MUDO:
      falhas.mudo = true;
      break;
    case OPCAO_SURDO_AO_FECHAR:
      falhas.surdoAoFechamento = true;
      break;
    case OPCAO_SOMA_ERRADA:
      falhas.somaErrada = true;
      break;
    case OPCAO_EM_PARTES:
      ok = numero(1, 1'000'000, n);
      falhas.partes = static_cast<int>(n);
      break;
    case OPCAO_PAUSA:
      ok = numero(0, 3'600'000, n);
      falhas.pausaMs = static_cast<int>(n);
      break;
    case OPCAO_CONTROLE: {
      std::string tipo;
      ok = texto(tipo);
      if (tipo == "ack")
        falhas.controle = Controle::Ack;
      else if (tipo == "nak")
        falhas.controle = Controle::Nak;
      else if (tipo == "dc1")
        falhas.controle = Controle::Dc1;
      else if (tipo == "syn")
        falhas.controle = Controle::Syn;
      else
        ok = false;
      break;
    }
    case OPCAO_LIXO_ANTES: {
      std::string hex;
      ok = texto(hex) && !hex.empty() && LeHex(hex, falhas.lixoAntes);
      break;
    }
    case OPCAO_ANUNCIA_MAIS:
      ok = numero(1, 0xFFFFFF, n);
      falhas.anunciaMais = static_cast<std::uint32_t>(n);
      break;
    case OPCAO_RAJADA:
      ok = numero(1, 3'600'000, n);
      falhas.rajadaMs = static_cast<int>(n);
      break;
    case OPCAO_SO_PARA:
      ok = texto(falhas.soPara) && !falhas.soPara.empty();
      break;
    default:
      return Recusa("unknown option " + a.nome);
    }
    if (!ok)
      return Recusa("bad or missing value for " + a.nome);
  }

  if (desvio != 0)
    sat.relogio = [desvio] { return std::time(nullptr) + static_cast<std::time_t>(desvio); };
  if (pronto)
    satemu::DeixaPronto(sat, cnpj, static_cast<int>(uf), cnpjSoftwareHouse, assinatura);
  std::string erro;
  if (!configuracao.estado.empty() &&
      satemu::CarregaEstado(sat, configuracao.estado, erro) == satemu::Leitura::Invalido) {
    std::fprintf(stderr, "satemu: %s\n", erro.c_str());
    return 1;
  }
  if (!AplicaSaude(sat, saude, erro))
    return Recusa(erro);
  satemu::RegistraInicio(sat);
  return satemu::Serve(sat, configuracao);
}
