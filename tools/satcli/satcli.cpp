// satcli: every export of libsat from the command line, for technicians and POS developers.
// It sees nothing but the public header and links the library as any application does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comandos.h"
#include "sat.h"
#include "terminal.h"

namespace {

const char kUso[] =
    R"(Usage: satcli [options] SUBCOMMAND [ARGS...] [, SUBCOMMAND [ARGS...]]...

Calls the exports of libsat and shows what they return. Subcommands joined by "," run one after
another in one process, so that what one leaves in the library (the port chosen by abre or
escolhe, the document for documento, the error record for erro) is there for the next.

Options (anywhere on the line):
  -c, --codigo CODE   the activation code, for the subcommands marked * (default: $SAT_CODIGO)
  -s, --sessao N      the first command's session number; the next ones count up from it.
                      By default the first is drawn at random: the library's GeraNumeroSessao
                      gives every new process the same series, which a SAT refuses the second
                      time (x097, "Numero de sessao invalido")
  -p, --porta N       use COMN (AbreSerialSAT) instead of finding the SAT on the USB bus
  --log FILE          log to FILE (ArquivoLog); otherwise sat.ini in the current folder decides
  --salva FILE        keep the document the subcommand's reply brings, decoded (Base64ToAscii):
                      the signed CF-e of venda, cancelar and ultima-sessao, the log of log
  --bruto             each reply exactly as the library returned it, then a line feed
  --json              one JSON object a line for each subcommand: the named fields, in UTF-8
  --erro              the error record (CodigoErro) after each command
  --certificado-dias N
                      saude: attention when the certificate expires within N days (default 60)
  --relogio-minutos N
                      saude: attention when the SAT's clock is more than N minutes from this
                      computer's (default 5)
  -h, --help          this text

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
  0  the device answered with a success code (xx000, or 04006 for the ICP-Brasil activation);
     for the library's own exports, they did what was asked
  1  the device answered with any other code (a stored failure for numero-sessao too); portas,
     porta and escolhe: no SAT answered
  2  usage error: nothing was run
  3  the library answered in the device's place (code 9999, no port could be opened) or refused
  4  a document could not be read or saved
saude: 0 when every check is ok, 1 when the worst is attention, 2 when one is critical (a SAT
that does not answer is critical).
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
};

// An option's value follows it; false (and a usage message) when it is missing or wrong.
bool Valor(int argc, char **argv, int &i, std::string &valor) {
  if (i + 1 >= argc) {
    return false;
  }
  valor = argv[++i];
  return true;
}

// Reads the command line; an empty text when it is good, the usage error otherwise.
std::string LeLinha(int argc, char **argv, Linha &l) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    Passo &passo = l.passos.back();
    std::string valor;
    int32_t numero = 0;
    const bool opcao = a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9');
    if (a == ",") {
      if (passo.sub == nullptr) {
        return "a \",\" with no subcommand before it";
      }
      l.passos.emplace_back();
    } else if (!opcao) {
      if (passo.sub == nullptr) {
        passo.sub = ProcuraSubcomando(a);
        if (passo.sub == nullptr) {
          return "unknown subcommand " + a;
        }
      } else {
        passo.args.push_back(a);
      }
    } else if (a == "-h" || a == "--help") {
      l.ajuda = true;
    } else if (a == "--bruto") {
      l.opcoes.vista = Vista::Bruto;
    } else if (a == "--json") {
      l.opcoes.vista = Vista::Json;
    } else if (a == "--erro") {
      l.opcoes.erro = true;
    } else if (a == "-c" || a == "--codigo") {
      if (!Valor(argc, argv, i, l.opcoes.codigo)) {
        return a + " takes the activation code";
      }
      l.opcoes.temCodigo = true;
    } else if (a == "-s" || a == "--sessao") {
      if (!Valor(argc, argv, i, valor) || !LeInteiro(valor, l.opcoes.sessao)) {
        return a + " takes a session number";
      }
      l.opcoes.temSessao = true;
    } else if (a == "-p" || a == "--porta") {
      if (!Valor(argc, argv, i, valor) || !LeInteiro(valor, l.porta)) {
        return a + " takes a port number";
      }
      l.temPorta = true;
    } else if (a == "--log") {
      if (!Valor(argc, argv, i, l.log)) {
        return a + " takes a file name";
      }
    } else if (a == "--certificado-dias") {
      if (!Valor(argc, argv, i, valor) || !LeInteiro(valor, numero) || numero < 1 ||
          numero > 3650) {
        return a + " takes a number of days, 1 to 3650";
      }
      l.opcoes.limites.certificadoDias = numero;
    } else if (a == "--relogio-minutos") {
      if (!Valor(argc, argv, i, valor) || !LeInteiro(valor, numero) || numero < 1 ||
          numero > 1440) {
        return a + " takes a number of minutes, 1 to 1440";
      }
      l.opcoes.limites.relogioMinutos = numero;
    } else if (a == "--salva") {
      if (!Valor(argc, argv, i, passo.salva)) {
        return a + " takes a file name";
      }
    } else {
      return "unknown option " + a;
    }
  }
  if (l.ajuda) {
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
