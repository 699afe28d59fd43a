// satemu: a SAT CF-e device on a pseudo-terminal, for testing hosts without the hardware.

#include "cfe.h"
#include "codifica.h"
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

Line:
  --link PATH             make PATH a symbolic link to the slave side (missing folders are
                          created, a stale link is replaced); removed when satemu ends
  --registro FILE         append every request frame received to FILE, in lowercase hex, one
                          frame a line, written as the frame arrives (before it is answered)
  --tempos FILE           append a line for every request to FILE: its sequence number, its
                          command word and the device's own time for it in microseconds (from
                          the whole request to the reply ready to go out), for benchmarks
  --verboso               one line per request on standard error, and one when a client closes
                          the port

Device (a fresh device; a state file given with --estado wins over these):
  --codigo-ativacao CODE  activation code (default 12345678); AtivarSAT sets a new one
  --codigo-emergencia CODE
                          emergency code, TrocarCodigoDeAtivacaoSAT opcao 2 (default 87654321)
  --serie NNNNNNNNN       serial number, 9 digits (default 900000001)
  --pronto                start activated and associated with a software house, ready to sell:
  --cnpj CNPJ               the taxpayer (default 11222333000181)
  --uf CODE                 the taxpayer's cUF (default 35)
  --cnpj-sh CNPJ            the software house (default 22233344000183)
  --assinatura TEXT         its signAC, base64 (default
                            c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD)
  --emitente FILE         the taxpayer's name and address, as the device's parametrization gives
                          them and it writes them in every CF-e it signs (emit: xNome, xFant,
                          enderEmit, cRegTrib): lines "name=value" in UTF-8, the names those of
                          the document (xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, CEP,
                          cRegTrib), '#' starts a comment line. A name left out keeps its
                          default: "Padaria Pão Dourado Ltda", trade name "Padaria Pão Dourado",
                          Rua das Laranjeiras 125, Loja 2, Centro, São Paulo, CEP 01010010,
                          cRegTrib 3 (regime normal). Kept in the state file
  --estado FILE           keep the device's state in FILE: activation, codes, block, association,
                          the taxpayer's name and address, CF-e counter, last sale, last fiscal
                          session (the reply to the last sale or cancellation), network
                          settings, log. Read at start when it exists;
                          rewritten after every command that changes it and at exit: written
                          beside it, flushed to disk, then renamed over it. Every field is checked
                          on reading, and a file cut short, changed by hand (its last line holds
                          a checksum) or holding a value the device could not have written is
                          refused with a message naming its line, and satemu does not start.
                          Replies of past sessions are not kept.
  --windows-1252          read a document (sale, cancellation, network settings) that declares
                          no encoding as Windows-1252, as some devices do for POS programs on
                          Windows; without it such a document is UTF-8, as XML says, and one
                          that is not valid UTF-8 is refused

Health: conditions the status reply (ConsultarStatusOperacional) shows, for the checks of
"satcli saude" and satd's status page. Applied after the state file, and not kept in it.
  --certificado-vence DATE
                          CERT_VENCIMENTO: AAAAMMDD, or +N / -N days from the device's today
                          (default: five years after the activation)
  --pendentes N           N CF-e issued before and not transmitted yet: the next N numbers of the
                          series, shown in LISTA_INICIAL and LISTA_FINAL; every CF-e issued from
                          then on waits with them. Needs an activated device
  --sem-transmitir AGE    DH_CFe, the last transmission to SEFAZ, AGE ago (default: each CF-e's
                          own time; with --pendentes, satemu's start)
  --sem-contato AGE       DH_ULTIMA, the last contact with SEFAZ, AGE ago (default: now)
  --relogio-desvio AGE    the device's clock is AGE ahead (+AGE) or behind (-AGE) the host's:
                          DH_ATUAL and every time the device writes
  --memoria-usada PCT     MT_USADA: PCT % of MT_TOTAL (4 GB), 0 to 100 (default 12 MB)
  --bateria LEVEL         NIVEL_BATERIA: ALTO (default), MEDIO or BAIXO
  --bloqueio STATE        ESTADO_OPERACAO: 0 unblocked, 1 blocked by SEFAZ, 2 blocked by the
                          taxpayer (as BloquearSAT; DesbloquearSAT lifts it), 3 autonomous block,
                          4 blocked for deactivation. Blocks 1, 3 and 4 refuse sales (06007,
                          06008) and cancellations (07004, 07005) until satemu ends, and
                          DesbloquearSAT cannot lift them (17003, 17006, 17007)
  AGE is a whole number and a unit: 90s, 10m, 36h, 6d.

Faults, each what a faulty device or cable does (they combine):
  --atraso MS             answer MS milliseconds after the request
  --mudo                  never answer
  --soma-errada           the reply's checksum byte is inverted
  --em-partes N           send the reply in N pieces...
  --pausa MS              ...with MS milliseconds between them (default 50)
  --controle TYPE         a control frame instead of the data frame: ack (06), nak (15 seq 00 00
                          00 00), dc1 (11 seq 00 00 00 00) or syn (16 seq)
  --lixo-antes HEX        write these bytes (hex, e.g. 0d0a00) just before the reply
  --anuncia-mais N        the reply's header announces N payload bytes more than are sent
  --rajada MS             after the reply, bytes 0xAA keep coming for MS milliseconds
  --surdo-ao-fechar       the device does not notice a client closing the port: a reply still
                          due goes to whoever opens it next (with --atraso: a late reply that
                          reaches the host's next command)
  --so-para WORD          the faults spoil only the replies to this command word

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

  --help                  this text

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
  return 2;
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

  for (int i = 1; i < argc; ++i) {
    std::string opcao = argv[i];
    std::string valor;
    bool temValor = false;
    const std::size_t igual = opcao.find('=');
    if (opcao.rfind("--", 0) == 0 && igual != std::string::npos) {
      valor = opcao.substr(igual + 1);
      opcao.resize(igual);
      temValor = true;
    }
    // The value of an option that takes one: after '=' or in the next argument.
    auto argumento = [&]() -> const char * {
      if (temValor)
        return valor.c_str();
      if (i + 1 >= argc)
        return nullptr;
      return argv[++i];
    };
    auto numero = [&](long long minimo, long long maximo, long long &destino) {
      const char *texto = argumento();
      return texto != nullptr && LeNumero(texto, minimo, maximo, destino);
    };
    auto texto = [&](std::string &destino) {
      const char *t = argumento();
      if (t != nullptr)
        destino = t;
      return t != nullptr;
    };
    long long n = 0;
    bool ok = true;
    if (opcao == "--help" || opcao == "-h") {
      std::fputs(kAjuda, stdout);
      MostraRegras("Rules of a sale:", satemu::kRegrasVenda, satemu::kQuantasRegrasVenda);
      std::printf("  size     the document and the CF-e made of it are at most 1,500 KB (06005)\n");
      MostraRegras("Rules of a cancellation:", satemu::kRegrasCancelamento,
                   satemu::kQuantasRegrasCancelamento);
      return 0;
    } else if (opcao == "--link") {
      ok = texto(configuracao.link) && !configuracao.link.empty();
    } else if (opcao == "--registro") {
      ok = texto(configuracao.registro) && !configuracao.registro.empty();
    } else if (opcao == "--tempos") {
      ok = texto(configuracao.tempos) && !configuracao.tempos.empty();
    } else if (opcao == "--estado") {
      ok = texto(configuracao.estado) && !configuracao.estado.empty();
    } else if (opcao == "--verboso") {
      configuracao.verboso = true;
    } else if (opcao == "--windows-1252") {
      sat.semDeclaracao = satemu::SemDeclaracao::Windows1252;
    } else if (opcao == "--codigo-ativacao") {
      ok = texto(sat.codigoAtivacao) && satemu::CodigoValido(sat.codigoAtivacao);
    } else if (opcao == "--codigo-emergencia") {
      ok = texto(sat.codigoEmergencia) && satemu::CodigoValido(sat.codigoEmergencia);
    } else if (opcao == "--serie") {
      ok = texto(sat.serie) && satemu::SoDigitos(sat.serie, 9);
    } else if (opcao == "--pronto") {
      pronto = true;
    } else if (opcao == "--cnpj") {
      ok = texto(cnpj) && satemu::CnpjValido(cnpj);
    } else if (opcao == "--uf") {
      ok = numero(0, 99, uf) && satemu::UfValida(static_cast<int>(uf));
    } else if (opcao == "--cnpj-sh") {
      ok = texto(cnpjSoftwareHouse) && satemu::CnpjValido(cnpjSoftwareHouse);
    } else if (opcao == "--assinatura") {
      ok = texto(assinatura) && satemu::PareceBase64(assinatura);
    } else if (opcao == "--emitente") {
      const char *caminho = argumento();
      std::string erroEmitente;
      if (caminho != nullptr && !satemu::LeEmitente(caminho, sat.emitente, erroEmitente))
        return Recusa(erroEmitente);
      ok = caminho != nullptr;
    } else if (opcao == "--certificado-vence") {
      ok = texto(saude.vencimento);
      const char sinal = ok && !saude.vencimento.empty() ? saude.vencimento[0] : ' ';
      if (ok && (sinal == '+' || sinal == '-')) {
        saude.vencimentoRelativo = true;
        ok = LeNumero(saude.vencimento.c_str(), -36500, 36500, saude.vencimentoDias);
      } else {
        ok = ok && satemu::DataValida(saude.vencimento);
      }
    } else if (opcao == "--pendentes") {
      ok = numero(1, 999999, saude.pendentes);
    } else if (opcao == "--sem-transmitir") {
      ok = LeIdade(argumento(), false, saude.semTransmitir);
    } else if (opcao == "--sem-contato") {
      ok = LeIdade(argumento(), false, saude.semContato);
    } else if (opcao == "--relogio-desvio") {
      ok = LeIdade(argumento(), true, desvio);
    } else if (opcao == "--memoria-usada") {
      ok = numero(0, 100, saude.memoria);
    } else if (opcao == "--bateria") {
      ok = texto(saude.bateria) &&
           (saude.bateria == "ALTO" || saude.bateria == "MEDIO" || saude.bateria == "BAIXO");
    } else if (opcao == "--bloqueio") {
      ok = numero(0, 4, saude.bloqueio);
    } else if (opcao == "--atraso") {
      ok = numero(0, 3'600'000, n);
      falhas.atrasoMs = static_cast<int>(n);
    } else if (opcao == "--mudo") {
      falhas.mudo = true;
    } else if (opcao == "--surdo-ao-fechar") {
      falhas.surdoAoFechamento = true;
    } else if (opcao == "--soma-errada") {
      falhas.somaErrada = true;
    } else if (opcao == "--em-partes") {
      ok = numero(1, 1'000'000, n);
      falhas.partes = static_cast<int>(n);
    } else if (opcao == "--pausa") {
      ok = numero(0, 3'600'000, n);
      falhas.pausaMs = static_cast<int>(n);
    } else if (opcao == "--controle") {
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
    } else if (opcao == "--lixo-antes") {
      std::string hex;
      ok = texto(hex) && !hex.empty() && LeHex(hex, falhas.lixoAntes);
    } else if (opcao == "--anuncia-mais") {
      ok = numero(1, 0xFFFFFF, n);
      falhas.anunciaMais = static_cast<std::uint32_t>(n);
    } else if (opcao == "--rajada") {
      ok = numero(1, 3'600'000, n);
      falhas.rajadaMs = static_cast<int>(n);
    } else if (opcao == "--so-para") {
      ok = texto(falhas.soPara) && !falhas.soPara.empty();
    } else {
      return Recusa("unknown option " + opcao);
    }
    if (!ok)
      return Recusa("bad or missing value for " + opcao);
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
