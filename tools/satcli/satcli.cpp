// satcli: every export of libsat from the command line, for technicians and POS developers.
// It sees nothing but the public header and links the library as any application does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comandos.h"
#include "comum/opcoes.h"
#include "sat.h"
#include "terminal.h"

namespace {

const char kUso[] =
    R"(Usage: satcli [options] SUBCOMMAND [ARGS...] [, SUBCOMMAND [ARGS...]]...

Calls the exports of libsat and shows what they return. Subcommands joined by "," run one after
another in one process, so that what one leaves in the library (the port chosen by abre or
escolhe, the document for documento, the error record for erro) is there for the next.

Options (anywhere on the line):
)";

// Options without a letter, by getopt_long's code.
enum : int {
  OPCAO_LOG = 256,
  OPCAO_SALVA,
  OPCAO_BRUTO,
  OPCAO_JSON,
  OPCAO_ERRO,
  OPCAO_CERTIFICADO_DIAS,
  OPCAO_RELOGIO_MINUTOS,
  OPCAO_VERSAO,
};

constexpr opcoes::Opcao kOpcoes[] = {
    {"codigo", 'c', "CODE",
     "the activation code, for the subcommands marked * (default: $SAT_CODIGO)"},
    {"sessao", 's', "N",
     "the first command's session number; the next ones count up from it.\n"
     "By default the first is drawn at random: the library's GeraNumeroSessao\n"
     "gives every new process the same series, which a SAT refuses the second\n"
     "time (x097, \"Numero de sessao invalido\")"},
    {"porta", 'p', "N", "use COMN (AbreSerialSAT) instead of finding the SAT on the USB bus"},
    {"log", OPCAO_LOG, "FILE",
     "log to FILE (ArquivoLog); otherwise sat.ini in the current folder decides"},
    {"salva", OPCAO_SALVA, "FILE",
     "keep the document the subcommand's reply brings, decoded (Base64ToAscii):\n"
     "the signed CF-e of venda, cancelar and ultima-sessao, the log of log"},
    {"bruto", OPCAO_BRUTO, nullptr,
     "each reply exactly as the library returned it, then a line feed"},
    {"json", OPCAO_JSON, nullptr,
     "one JSON object a line for each subcommand: the named fields, in UTF-8"},
    {"erro", OPCAO_ERRO, nullptr, "the error record (CodigoErro) after each command"},
    {"certificado-dias", OPCAO_CERTIFICADO_DIAS, "N",
     "saude: attention when the certificate expires within N days (default 60)"},
    {"relogio-minutos", OPCAO_RELOGIO_MINUTOS, "N",
     "saude: attention when the SAT's clock is more than N minutes from this\n"
     "computer's (default 5)"},
    {"help", 'h', nullptr, "this text"},
    {"version", OPCAO_VERSAO, nullptr, "satcli's version and the library's (VersaoLib)"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

const char kUsoSubcomandos[] = R"(
Subcommands (FILE "-" reads standard input):
)";

const char kUsoFim[] = R"(
The readable view names each field of the reply as the SAT standard does, explains the code, tells
the device's answers from the library's own (code 9999, or no port), and converts the device's
Windows-1252 text to the terminal's encoding; colour only on a terminal, and not with NO_COLOR.
While a command waits more than a second for the device (activation and update may take up to 30
minutes), standard error shows the time elapsed when it is a terminal.

saude checks the status reply and gives each check a level: ok, atencao (attention) or critico
(critical), with a line in Portuguese for the shop:
  Consulta      critical when the SAT does not answer or refuses the query; a field missing or
                malformed makes its own check attention
  Certificado   critical once CERT_VENCIMENTO has passed; attention within --certificado-dias
  Transmissao   attention while CF-e wait to be transmitted (LISTA_INICIAL, LISTA_FINAL); critical
                when they wait and the last transmission (DH_CFe) is more than 5 days old, or
                when the last contact with SEFAZ (DH_ULTIMA) is: the SAT blocks itself after 10
                days without it. Ages are read on the SAT's own clock (DH_ATUAL)
  Relogio       attention when DH_ATUAL is more than --relogio-minutos from this computer's clock
  Memoria       attention above 80 % of MT_TOTAL in use (MT_USADA), critical above 95 %
  Bateria       attention when NIVEL_BATERIA is BAIXO
  Operacao      critical when ESTADO_OPERACAO is 1 (blocked by SEFAZ), 2 (by the taxpayer), 3
                (autonomous block) or 4 (blocked for deactivation)
--json gives the levels, messages and the figures each check rests on.

Exit status:
  0   the device answered with a success code (xx000, or 04006 for the ICP-Brasil activation);
      for the library's own exports, they did what was asked
  1   the device answered with any other code (a stored failure for numero-sessao too); portas,
      porta and escolhe: no SAT answered
  3   the library answered in the device's place (code 9999, no port could be opened) or refused
  4   a document could not be read or saved
  64  usage error: nothing was run
saude: 0 when every check is ok, 1 when the worst is attention, 2 when one is critical, 3 when
the SAT could not be asked (no port, no reply, or a reply that is not the status).
With several subcommands, the status of the first one that did not succeed.

Environment: SAT_CODIGO, the activation code; on Linux SAT_DEV_DIR, the folder of the serial
devices (default /dev/), and SAT_SYSFS_ROOT, where the USB devices are listed (default /sys).
The library's own lines (the ports it finds) go to standard error.
)";

// Words wrapped at 100 columns, each line indented by `recuo`.
std::string Quebra(const std::string &texto, size_t recuo, size_t coluna) {
  std::string quebrado;
  size_t inicio = 0;
  while (inicio < texto.size()) {
    size_t fim = texto.find(' ', inicio);
    fim = fim == std::string::npos ? texto.size() : fim;
    const std::string palavra = texto.substr(inicio, fim - inicio);
    if (coluna + 1 + palavra.size() > 100 && coluna > recuo) {
      quebrado += "\n" + std::string(recuo, ' ');
      coluna = recuo;
    } else if (coluna > recuo) {
      quebrado += " ";
      coluna++;
    }
    quebrado += palavra;
    coluna += palavra.size();
    inicio = fim + 1;
  }
  return quebrado;
}

void Ajuda(FILE *saida) {
  std::fputs(kUso, saida);
  std::fputs(opcoes::Ajuda(kOpcoes, 22).c_str(), saida);
  std::fputs(kUsoSubcomandos, saida);
  const size_t recuo = 26;
  for (const Subcomando &s : Subcomandos()) {
    std::string uso = std::string("  ") + (s.codigo ? "* " : "  ") + s.nome;
    if (s.argumentos[0] != '\0') {
      uso += std::string(" ") + s.argumentos;
    }
    uso = uso.size() + 1 < recuo ? uso + std::string(recuo - uso.size(), ' ')
                                 : uso + "\n" + std::string(recuo, ' ');
    std::fprintf(saida, "%s%s\n", uso.c_str(),
                 Quebra(std::string(s.exportacao) + ": " + s.descricao, recuo, recuo).c_str());
  }
  std::fputs(kUsoFim, saida);
}

// One line: satcli's version, then the library's text in the terminal's encoding.
int Versao(const Terminal &terminal) {
  const char *texto = VersaoLib();
  std::string biblioteca = texto != nullptr ? texto : "";
  while (!biblioteca.empty() && (biblioteca.back() == '\n' || biblioteca.back() == '\r')) {
    biblioteca.pop_back();
  }
  if (!biblioteca.empty()) {
    biblioteca = " (" + DeWindows1252(biblioteca, Destino::Terminal) + ")";
  }
  std::fprintf(terminal.saida, "%s%s\n", opcoes::Versao("satcli").c_str(), biblioteca.c_str());
  return STATUS_SUCESSO;
}

int Uso(const std::string &mensagem) {
  std::fprintf(stderr, "satcli: %s (see --help)\n", mensagem.c_str());
  return STATUS_USO;
}

bool LeArquivo(const std::string &nome, std::string &conteudo) {
  FILE *arquivo = nome == "-" ? stdin : std::fopen(nome.c_str(), "rb");
  if (arquivo == nullptr) {
    return false;
  }
  if (arquivo == stdin) {
    ModoBinario(stdin);
  }
  char bloco[65536];
  size_t lidos;
  while ((lidos = std::fread(bloco, 1, sizeof bloco, arquivo)) > 0) {
    conteudo.append(bloco, lidos);
  }
  const bool lido = std::ferror(arquivo) == 0;
  if (arquivo != stdin) {
    std::fclose(arquivo);
  }
  return lido;
}

struct Linha {
  Opcoes opcoes;
  std::vector<Passo> passos{1};
  std::string log;
  bool temPorta = false;
  int32_t porta = 0;
  bool ajuda = false;
  bool versao = false;
};

// Reads the command line; an empty text when it is good, the usage error otherwise. --salva
// belongs to the subcommand it stands with (between commas), every other option to the line.
std::string LeLinha(int argc, char **argv, Linha &l) {
  opcoes::Leitor leitor(kOpcoes, argc, argv);
  for (opcoes::Achado a = leitor.Proximo(); a.codigo != opcoes::kFim; a = leitor.Proximo()) {
    Passo &passo = l.passos.back();
    const bool temValor = a.valor != nullptr;
    const std::string valor = temValor ? a.valor : "";
    int32_t numero = 0;
    switch (a.codigo) {
    case opcoes::kErro:
      return a.erro;
    case opcoes::kPalavra:
      if (valor == ",") {
        if (passo.sub == nullptr) {
          return "a \",\" with no subcommand before it";
        }
        l.passos.emplace_back();
      } else if (passo.sub == nullptr) {
        passo.sub = ProcuraSubcomando(valor);
        if (passo.sub == nullptr) {
          return "unknown subcommand " + valor;
        }
      } else {
        passo.args.push_back(valor);
      }
      break;
    case 'h':
      l.ajuda = true;
      break;
    case OPCAO_VERSAO:
      l.versao = true;
      break;
    case OPCAO_BRUTO:
      l.opcoes.vista = Vista::Bruto;
      break;
    case OPCAO_JSON:
      l.opcoes.vista = Vista::Json;
      break;
    case OPCAO_ERRO:
      l.opcoes.erro = true;
      break;
    case 'c':
      if (!temValor) {
        return a.nome + " takes the activation code";
      }
      l.opcoes.codigo = valor;
      l.opcoes.temCodigo = true;
      break;
    case 's':
      if (!temValor || !LeInteiro(valor, l.opcoes.sessao)) {
        return a.nome + " takes a session number";
      }
      l.opcoes.temSessao = true;
      break;
    case 'p':
      if (!temValor || !LeInteiro(valor, l.porta)) {
        return a.nome + " takes a port number";
      }
      l.temPorta = true;
      break;
    case OPCAO_LOG:
      if (!temValor) {
        return a.nome + " takes a file name";
      }
      l.log = valor;
      break;
    case OPCAO_CERTIFICADO_DIAS:
      if (!temValor || !LeInteiro(valor, numero) || numero < 1 || numero > 3650) {
        return a.nome + " takes a number of days, 1 to 3650";
      }
      l.opcoes.limites.certificadoDias = numero;
      break;
    case OPCAO_RELOGIO_MINUTOS:
      if (!temValor || !LeInteiro(valor, numero) || numero < 1 || numero > 1440) {
        return a.nome + " takes a number of minutes, 1 to 1440";
      }
      l.opcoes.limites.relogioMinutos = numero;
      break;
    case OPCAO_SALVA:
      if (!temValor) {
        return a.nome + " takes a file name";
      }
      passo.salva = valor;
      break;
    default:
      return "unknown option " + a.nome;
    }
  }
  if (l.ajuda || l.versao) {
    return std::string();
  }
  if (l.passos.back().sub == nullptr) {
    return l.passos.size() > 1 ? "a \",\" with no subcommand after it" : "no subcommand";
  }
  for (const Passo &p : l.passos) {
    const Subcomando &s = *p.sub;
    const int n = static_cast<int>(p.args.size());
    if (n < s.minimo || n > s.maximo) {
      return std::string(s.nome) + " takes " +
             (s.argumentos[0] != '\0' ? std::string(s.argumentos) : "no arguments");
    }
    for (int j = 0; j < n; ++j) {
      int32_t numero;
      if ((s.inteiros >> j & 1) != 0 && !LeInteiro(p.args[j], numero)) {
        return std::string(s.nome) + ": " + p.args[j] + " is not a number";
      }
    }
    if (s.codigo && !l.opcoes.temCodigo) {
      return std::string(s.nome) + " needs the activation code: --codigo CODE or SAT_CODIGO";
    }
    if (!p.salva.empty() && !s.salva) {
      return std::string("--salva does not go with ") + s.nome;
    }
  }
  return std::string();
}

} // namespace

int main(int argc, char **argv) {
  const Terminal terminal = PreparaTerminal();
  Linha linha;
  const char *codigo = std::getenv("SAT_CODIGO");
  if (codigo != nullptr && codigo[0] != '\0') {
    linha.opcoes.codigo = codigo;
    linha.opcoes.temCodigo = true;
  }
  const std::string erro = LeLinha(argc, argv, linha);
  if (linha.ajuda) {
    Ajuda(terminal.saida);
    return STATUS_SUCESSO;
  }
  if (linha.versao) {
    return Versao(terminal);
  }
  if (!erro.empty()) {
    return Uso(erro);
  }
  for (Passo &p : linha.passos) {
    if (p.sub->documento >= 0 && !LeArquivo(p.args[p.sub->documento], p.documento)) {
      std::fprintf(stderr, "satcli: cannot read %s: %s\n", p.args[p.sub->documento].c_str(),
                   std::strerror(errno));
      return STATUS_ARQUIVO;
    }
  }
  if (linha.opcoes.vista == Vista::Bruto) {
    ModoBinario(terminal.saida);
  }

  if (!linha.log.empty()) {
    ArquivoLog(linha.log.c_str());
  }
  if (linha.temPorta && AbreSerialSAT(linha.porta, 0, 0, 0, 0) != 0) {
    std::fprintf(stderr, "satcli: the library refused port COM%d\n", static_cast<int>(linha.porta));
    return STATUS_BIBLIOTECA;
  }
  Execucao execucao{linha.opcoes, terminal};
  int status = STATUS_SUCESSO;
  for (const Passo &p : linha.passos) {
    const Resultado r = Executa(execucao, p);
    Imprime(r, linha.opcoes.vista, linha.opcoes.erro, terminal);
    if (status == STATUS_SUCESSO) {
      status = r.status;
    }
  }
  return status;
}
