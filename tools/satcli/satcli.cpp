// satcli: the library's exports from the command line, for technicians and demos.
// It uses nothing but the public header.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sat.h"

namespace {

const char kAjuda[] =
    R"(Usage: satcli [options] COMMAND [ARGS...]

Calls one export of libsat and prints what it returns. Replies are Windows-1252 text, printed
as received unless --utf8 is given.

Options:
  --porta N       use COMN (AbreSerialSAT) instead of searching the USB bus for the SAT
  --log FILE      log to FILE (ArquivoLog); otherwise sat.ini in the current directory decides
  --erro          after the command, print the error record (CodigoErro)
  --utf8          print replies converted to UTF-8, for a terminal
  --help          this text

Commands:
  versao                          the library's version text (VersaoLib)
  sessao                          a fresh session number (GeraNumeroSessao)
  consultar [SESSAO]              ConsultarSAT
  status CODIGO [SESSAO]          ConsultarStatusOperacional with the activation code
  numero-sessao CODIGO N [SESSAO] ConsultarNumeroSessao: the reply the device gave session N

SESSAO defaults to a number from GeraNumeroSessao.

Exit status: 0 when the device answered, 1 when the library answered for it (no port, time-out,
refusal: code 9999), 2 on a usage error.

On Linux, SAT_DEV_DIR names the folder of the COMN device (default /dev/).
)";

bool gUtf8 = false;

void Imprime(const char *texto) {
  if (!gUtf8) {
    std::fputs(texto, stdout);
  } else {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(texto); *p; ++p) {
      if (*p < 0x80) {
        std::putchar(*p);
      } else if (*p >= 0xA0) { // Latin-1 range of Windows-1252
        std::putchar(0xC0 | (*p >> 6));
        std::putchar(0x80 | (*p & 0x3F));
      } else {
        std::putchar('?');
      }
    }
  }
  std::putchar('\n');
}

bool LeInteiro(const char *texto, int32_t &valor) {
  char *fim = nullptr;
  long v = std::strtol(texto, &fim, 10);
  if (fim == texto || *fim != '\0' || v < INT32_MIN || v > INT32_MAX) {
    return false;
  }
  valor = static_cast<int32_t>(v);
  return true;
}

int Uso(const char *mensagem) {
  std::fprintf(stderr, "satcli: %s (see --help)\n", mensagem);
  return 2;
}

// 1 when the reply is the library's own: the bare port error or code 9999.
int StatusDaResposta(const char *resposta) {
  const char *barra = std::strchr(resposta, '|');
  if (barra == nullptr) {
    return 1;
  }
  return std::strncmp(barra + 1, "9999|", 5) == 0 ? 1 : 0;
}

void ImprimeErro() {
  char registro[804];
  CodigoErro(registro);
  int32_t codigo;
  std::memcpy(&codigo, registro, sizeof codigo);
  registro[803] = '\0';
  std::printf("CodigoErro: %d\n", static_cast<int>(codigo));
  Imprime(registro + 4);
}

} // namespace

int main(int argc, char **argv) {
  int32_t porta = -1;
  bool erro = false;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string opcao = argv[i];
    if (opcao == "--help") {
      std::fputs(kAjuda, stdout);
      return 0;
    } else if (opcao == "--porta" && i + 1 < argc) {
      if (!LeInteiro(argv[++i], porta)) {
        return Uso("--porta takes a port number");
      }
    } else if (opcao == "--log" && i + 1 < argc) {
      ArquivoLog(argv[++i]);
    } else if (opcao == "--erro") {
      erro = true;
    } else if (opcao == "--utf8") {
      gUtf8 = true;
    } else {
      return Uso(("unknown option " + opcao).c_str());
    }
  }
  if (i >= argc) {
    return Uso("no command");
  }
  const std::string comando = argv[i++];
  const int restantes = argc - i;
  char **args = argv + i;

  if (comando == "versao") {
    std::string versao = VersaoLib();
    if (!versao.empty() && versao.back() == '\n') {
      versao.pop_back();
    }
    Imprime(versao.c_str());
    return 0;
  }
  if (comando == "sessao") {
    std::printf("%d\n", static_cast<int>(GeraNumeroSessao()));
    return 0;
  }
  if (porta >= 0 && AbreSerialSAT(porta, 0, 0, 0, 0) != 0) {
    return Uso("port number too long");
  }

  // The session number is the argument after the command's own ones, when given.
  auto sessao = [&](int posicao, int32_t &valor) {
    if (restantes > posicao) {
      return LeInteiro(args[posicao], valor);
    }
    valor = GeraNumeroSessao();
    return true;
  };
  int32_t numeroSessao = 0;
  const char *resposta = nullptr;
  if (comando == "consultar" && restantes <= 1) {
    if (!sessao(0, numeroSessao)) {
      return Uso("SESSAO must be a number");
    }
    resposta = ConsultarSAT(numeroSessao);
  } else if (comando == "status" && restantes >= 1 && restantes <= 2) {
    if (!sessao(1, numeroSessao)) {
      return Uso("SESSAO must be a number");
    }
    resposta = ConsultarStatusOperacional(numeroSessao, args[0]);
  } else if (comando == "numero-sessao" && restantes >= 2 && restantes <= 3) {
    int32_t consultada;
    if (!LeInteiro(args[1], consultada) || !sessao(2, numeroSessao)) {
      return Uso("N and SESSAO must be numbers");
    }
    resposta = ConsultarNumeroSessao(numeroSessao, args[0], consultada);
  } else {
    return Uso(("unknown command or wrong arguments: " + comando).c_str());
  }
  Imprime(resposta);
  const int status = StatusDaResposta(resposta);
  if (erro) {
    ImprimeErro();
  }
  return status;
}
