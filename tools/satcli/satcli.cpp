// satcli: every export of libsat from the command line, for technicians and POS developers.
// It sees nothing but the public header and links the library as any application does.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "acervo.h"
#include "comandos.h"
#include "comum/opcoes.h"
#include "extrato.h"
#include "sat.h"
#include "terminal.h"

namespace {

// satcli's own texts are UTF-8 here; they reach the terminal through DeUtf8.
const char kUso[] =
    R"(Uso: satcli [opções] SUBCOMANDO [ARGS...] [, SUBCOMANDO [ARGS...]]...

Chama as exportações da libsat e mostra o que elas devolvem. Subcomandos separados por ","
rodam um após o outro no mesmo processo, e o que um deixa na biblioteca (a porta escolhida por
abre ou escolhe, o documento para documento, o registro de erro para erro) fica lá para o
seguinte. As opções podem vir em qualquer lugar da linha; --salva, --arquivo e as do extrato
(--cancelamento, --pdf, --png, --impressora, --imagem, --papel, --imprime, --venda) valem para o
subcomando junto do qual estão, entre vírgulas.

A vista legível nomeia cada campo da resposta como o padrão do SAT, explica o código, distingue
as respostas do dispositivo das da própria biblioteca (código 9999, ou nenhuma porta) e converte
o texto Windows-1252 do dispositivo para a codificação do terminal; cores só num terminal.
Enquanto um comando espera mais de um segundo pelo dispositivo (a ativação e a atualização podem
levar até 30 minutos), a saída de erro mostra o tempo decorrido, quando é um terminal. As linhas
da própria biblioteca (as portas que ela encontra) vão para a saída de erro.

Opções:
)";

// Options without a letter, by getopt_long's code.
enum : int {
  OPCAO_LOG = 256,
  OPCAO_SALVA,
  OPCAO_ARQUIVO,
  OPCAO_BRUTO,
  OPCAO_JSON,
  OPCAO_ERRO,
  OPCAO_CERTIFICADO_DIAS,
  OPCAO_RELOGIO_MINUTOS,
  OPCAO_VERSAO,
  OPCAO_SATD,
  OPCAO_USUARIO,
  OPCAO_SENHA_ARQUIVO,
  OPCAO_CA,
  OPCAO_DE,
  OPCAO_ATE,
  OPCAO_CAIXA,
  OPCAO_CANCELAMENTO,
  OPCAO_PDF,
  OPCAO_PNG,
  OPCAO_IMPRESSORA,
  OPCAO_IMAGEM,
  OPCAO_PAPEL,
  OPCAO_IMPRIME,
  OPCAO_VENDA,
};

constexpr opcoes::Opcao kOpcoes[] = {
    {"codigo", 'c', "CODIGO",
     "o código de ativação dos subcomandos marcados com * (padrão: $SAT_CODIGO)"},
    {"sessao", 's', "N",
     "o número de sessão do primeiro comando; os seguintes contam a partir dele.\n"
     "Por padrão o primeiro é sorteado: o GeraNumeroSessao da biblioteca dá a\n"
     "todo processo novo a mesma série, que um SAT recusa da segunda vez\n"
     "(x097, \"Numero de sessao invalido\")"},
    {"porta", 'p', "N", "usa a COMN (AbreSerialSAT) em vez de procurar o SAT no barramento USB"},
    {"log", OPCAO_LOG, "ARQUIVO",
     "grava o log em ARQUIVO (ArquivoLog); sem ela, vale o sat.ini da pasta atual"},
    {"salva", OPCAO_SALVA, "ARQUIVO",
     "guarda, decodificado (Base64ToAscii), o documento que a resposta do\n"
     "subcomando traz: o CF-e assinado de venda, cancelar e ultima-sessao, o log\n"
     "de log"},
    {"arquivo", OPCAO_ARQUIVO, "PASTA",
     "venda e cancelar: arquiva o CF-e assinado, decodificado, como\n"
     "PASTA/CNPJ/AAAA-MM/CFeCHAVE.xml (o cancelamento, CFeCancCHAVE.xml): a chave\n"
     "de 44 dígitos e o CNPJ da resposta, o mês do seu timeStamp. As pastas que\n"
     "faltam são criadas; um arquivo que já está lá com outro conteúdo nunca é\n"
     "substituído (status 4)"},
    {"bruto", OPCAO_BRUTO, nullptr,
     "cada resposta exatamente como a biblioteca a devolveu, e uma quebra de linha"},
    {"json", OPCAO_JSON, nullptr,
     "um objeto JSON por linha para cada subcomando: os campos nomeados, em UTF-8"},
    {"erro", OPCAO_ERRO, nullptr, "o registro de erro (CodigoErro) depois de cada comando"},
    {"certificado-dias", OPCAO_CERTIFICADO_DIAS, "N",
     "saude: atenção quando o certificado vence em até N dias (padrão 60)"},
    {"relogio-minutos", OPCAO_RELOGIO_MINUTOS, "N",
     "saude: atenção quando o relógio do SAT difere do deste computador em mais\n"
     "de N minutos (padrão 5)"},
    {"satd", OPCAO_SATD, "URL",
     "cfe e mes: o satd cujo arquivo de CF-e eles leem,\n"
     "http://HOST[:PORTA][/BASE] ou https://...; sem BASE, /hub/v1 (padrão: $SATD_URL)"},
    {"usuario", OPCAO_USUARIO, "NOME",
     "cfe e mes: o usuário da credencial do satd, a [tecnico] ou a [arquivo]\n"
     "(padrão: $SATD_USUARIO); a senha vem de $SATD_SENHA ou de --senha-arquivo,\n"
     "nunca da linha de comando"},
    {"senha-arquivo", OPCAO_SENHA_ARQUIVO, "ARQUIVO",
     "a senha de --usuario: a primeira linha de ARQUIVO (\"-\": a entrada padrão)"},
    {"ca", OPCAO_CA, "ARQUIVO",
     "a CA da loja (PEM) que assina o certificado HTTPS do satd; sem ela valem\n"
     "as do sistema. O certificado é sempre verificado"},
    {"de", OPCAO_DE, "AAAA-MM-DD", "cfe sem CHAVE: o primeiro dia do período"},
    {"ate", OPCAO_ATE, "AAAA-MM-DD", "cfe sem CHAVE: o último dia do período"},
    {"caixa", OPCAO_CAIXA, "N", "cfe sem CHAVE: só os CF-e do caixa N (0 a 999)"},
    {"cancelamento", OPCAO_CANCELAMENTO, "ARQUIVO",
     "extrato: o do cancelamento assinado em ARQUIVO (como cancelar --salva o\n"
     "grava), cujo CF-e de venda é o ARQUIVO do extrato"},
    {"pdf", OPCAO_PDF, "ARQUIVO", "extrato: grava o extrato em PDF em ARQUIVO"},
    {"png", OPCAO_PNG, "ARQUIVO",
     "extrato: grava o extrato em PNG em ARQUIVO. Os dois são gravados num\n"
     "arquivo ao lado, renomeado para ARQUIVO quando completo"},
    {"impressora", OPCAO_IMPRESSORA, "DESTINO",
     "extrato e --imprime: envia o extrato em ESC/POS a DESTINO: um dispositivo\n"
     "(no Linux /dev/usb/lp0; no Windows COM3, LPT1 ou \\\\.\\COM10) ou um arquivo,\n"
     "criado se não existe (no Linux, fora de /dev/), a porta crua da impressora\n"
     "na rede, tcp://HOST[:PORTA] (padrão 9100), ou uma fila crua: no Linux a do\n"
     "CUPS, cups:FILA; no Windows a da impressora NOME, fila:NOME (padrão:\n"
     "$SAT_IMPRESSORA)"},
    {"imagem", OPCAO_IMAGEM, nullptr,
     "com --impressora, o extrato inteiro como uma imagem (GS v 0), para as\n"
     "impressoras sem os comandos de QR code e de código de barras"},
    {"papel", OPCAO_PAPEL, "MM", "extrato e --imprime: a largura do papel, 80 (o padrão) ou 58"},
    {"imprime", OPCAO_IMPRIME, nullptr,
     "venda e cancelar: depois do sucesso, imprime o extrato do CF-e assinado\n"
     "em --impressora. Uma impressão que falha não desfaz o sucesso: o motivo vai\n"
     "para a saída de erro (status 6)"},
    {"venda", OPCAO_VENDA, "ARQUIVO",
     "cancelar --imprime: o CF-e assinado da venda que ele cancela (como venda\n"
     "--salva o grava), de que o extrato do cancelamento precisa; conferido antes\n"
     "de o cancelamento ser enviado"},
    {"help", 'h', nullptr, "este texto"},
    {"version", OPCAO_VERSAO, nullptr, "a versão de satcli e a da biblioteca (VersaoLib)"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

const char kUsoSubcomandos[] = R"(
Subcomandos:
)";

// A heading is followed by its definitions, and its prose comes after them: the man page's
// generator makes a line of prose under a heading part of the heading's first entry.
const char kUsoFim[] =
    R"(Os marcados com * enviam o código de ativação; um ARQUIVO "-" lê a entrada padrão. cfe e
mes não usam a biblioteca: leem por HTTP o arquivo de CF-e assinados de um satd (--satd), com a
credencial de técnico ou a de contador, só de leitura (--usuario); um erro deles vai para a
saída de erro com o motivo que o satd deu. extrato também não fala com o SAT: monta o extrato do
CF-e assinado com a libsatextrato; em ESC/POS, a impressora desenha o QR code e o código de
barras com os seus próprios comandos, ou recebe o extrato todo como imagem (--imagem). No
Windows, a libsatextrato só faz o ESC/POS de texto: --pdf, --png e --imagem saem com o status 3
e o motivo que ela dá.

Verificações de saude:
  Consulta      crítico quando o SAT não responde ou recusa a consulta; um campo ausente ou
                malformado deixa a sua própria verificação em atenção
  Certificado   crítico depois de passado o CERT_VENCIMENTO; atenção dentro de
                --certificado-dias
  Transmissão   atenção enquanto há CF-e aguardando transmissão (LISTA_INICIAL, LISTA_FINAL);
                crítico quando aguardam e a última transmissão (DH_CFe) tem mais de 5 dias, ou
                quando o último contato com a SEFAZ (DH_ULTIMA) tem: o SAT se bloqueia após 10
                dias sem ele. As idades são contadas no relógio do próprio SAT (DH_ATUAL)
  Relógio       atenção quando DH_ATUAL difere do relógio deste computador em mais de
                --relogio-minutos
  Memória       atenção acima de 80 % de MT_TOTAL em uso (MT_USADA), crítico acima de 95 %
  Bateria       atenção quando NIVEL_BATERIA é BAIXO
  Operação      crítico quando ESTADO_OPERACAO é 1 (bloqueado pela SEFAZ), 2 (pelo
                contribuinte), 3 (bloqueio autônomo) ou 4 (bloqueado para desativação)
O subcomando saude lê a resposta de status e dá a cada verificação um nível, ok, atenção ou
crítico, com uma linha para a loja; --json dá os níveis, as mensagens e os números em que cada
verificação se apoia.

Status de saída:
  0   o dispositivo respondeu com um código de sucesso (xx000, ou 04006 na ativação
      ICP-Brasil); nas exportações próprias da biblioteca, elas fizeram o que foi pedido
  1   o dispositivo respondeu com qualquer outro código (em numero-sessao, também uma falha
      guardada); portas, porta e escolhe: nenhum SAT respondeu; cfe e mes: o satd recusou o
      pedido (401 credenciais, 403 sem acesso, 404 não encontrado, 400 pedido inválido)
  3   a biblioteca respondeu no lugar do dispositivo (código 9999, nenhuma porta pôde ser
      aberta) ou recusou; extrato: a libsatextrato falhou ou não faz o formato pedido
  4   um documento não pôde ser lido ou salvo; extrato: ARQUIVO não é um CF-e de venda assinado,
      ou não é a venda que o cancelamento cancela
  5   cfe e mes: o satd não pôde ser alcançado (conexão recusada, TLS, tempo esgotado) ou
      deu uma resposta que não é a pedida
  6   o extrato não chegou à impressora; em venda e cancelar --imprime, o comando teve sucesso
      (o CF-e foi emitido ou cancelado) e o motivo vai para a saída de erro: satcli extrato o
      imprime de novo
  64  erro de uso: nada foi executado
saude sai com 0 quando todas as verificações estão ok, 1 quando a pior está em atenção, 2 quando
uma está crítica, 3 quando não foi possível consultar o SAT (nenhuma porta, nenhuma resposta ou
uma resposta que não é a de status). Com vários subcomandos, o status do primeiro que não teve
sucesso.

Ambiente:
  SAT_CODIGO      o código de ativação, quando não se dá --codigo
  SAT_DEV_DIR     no Linux, a pasta dos dispositivos seriais (padrão /dev/)
  SAT_SYSFS_ROOT  no Linux, onde os dispositivos USB são listados (padrão /sys)
  NO_COLOR        não vazia: sem cores no terminal (como TERM=dumb no Linux)
  SATD_URL        o satd de cfe e mes, quando não se dá --satd
  SATD_USUARIO    o usuário do satd, quando não se dá --usuario
  SATD_SENHA      a senha do satd, quando não se dá --senha-arquivo
  SAT_IMPRESSORA  a impressora de extrato e --imprime, quando não se dá --impressora (nem,
                  no extrato, --pdf ou --png)
)";

// How many columns a UTF-8 text takes: one a character.
size_t Colunas(const std::string &texto) {
  size_t colunas = 0;
  for (const char c : texto) {
    colunas += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  return colunas;
}

// Words wrapped at 100 columns, each line indented by `recuo`.
std::string Quebra(const std::string &texto, size_t recuo, size_t coluna) {
  std::string quebrado;
  size_t inicio = 0;
  while (inicio < texto.size()) {
    size_t fim = texto.find(' ', inicio);
    fim = fim == std::string::npos ? texto.size() : fim;
    const std::string palavra = texto.substr(inicio, fim - inicio);
    if (coluna + 1 + Colunas(palavra) > 100 && coluna > recuo) {
      quebrado += "\n" + std::string(recuo, ' ');
      coluna = recuo;
    } else if (coluna > recuo) {
      quebrado += " ";
      coluna++;
    }
    quebrado += palavra;
    coluna += Colunas(palavra);
    inicio = fim + 1;
  }
  return quebrado;
}

// Each subcommand is a definition two spaces in, as the man page is made of it.
void Ajuda(const Terminal &terminal) {
  std::string ajuda = kUso + opcoes::Ajuda(kOpcoes, 22) + kUsoSubcomandos;
  const size_t recuo = 26;
  for (const Subcomando &s : Subcomandos()) {
    std::string uso = std::string("  ") + (s.codigo ? "* " : "") + s.nome;
    if (s.argumentos[0] != '\0') {
      uso += std::string(" ") + s.argumentos;
    }
    uso = uso.size() + 1 < recuo ? uso + std::string(recuo - uso.size(), ' ')
                                 : uso + "\n" + std::string(recuo, ' ');
    std::string descricao = std::string(s.exportacao) + ": " + s.descricao;
    if (s.satd && !kAcervoDisponivel) {
      descricao += " (não disponível nesta compilação, feita sem a libcurl)";
    }
    if (s.extrato && !kExtratoDisponivel) {
      descricao += " (não disponível nesta compilação, feita sem a libsatextrato)";
    }
    ajuda += uso + Quebra(descricao, recuo, recuo) + "\n";
  }
  ajuda += kUsoFim;
  std::fputs(DeUtf8(ajuda, Destino::Terminal).c_str(), terminal.saida);
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

// One line of satcli's own on standard error.
void Avisa(const std::string &texto) {
  std::fputs(DeUtf8("satcli: " + texto + "\n", Destino::Erro).c_str(), stderr);
}

int Uso(const std::string &mensagem) {
  Avisa(mensagem + " (veja --help)");
  return STATUS_USO;
}

// At most `limite` bytes: a longer file is not read (errno 0).
bool LeArquivo(const std::string &nome, std::string &conteudo, size_t limite = SIZE_MAX) {
  FILE *arquivo = nome == "-" ? stdin : std::fopen(nome.c_str(), "rb");
  if (arquivo == nullptr) {
    return false;
  }
  if (arquivo == stdin) {
    ModoBinario(stdin);
  }
  char bloco[65536];
  size_t lidos;
  while ((lidos = std::fread(bloco, 1, sizeof bloco, arquivo)) > 0 && conteudo.size() <= limite) {
    conteudo.append(bloco, lidos);
  }
  errno = std::ferror(arquivo) != 0 ? errno : 0;
  const bool lido = std::ferror(arquivo) == 0 && conteudo.size() <= limite;
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
  bool temSenha = false;        // SATD_SENHA is set
  std::string senhaArquivo;     // --senha-arquivo
  std::string impressoraPadrao; // SAT_IMPRESSORA
  bool ajuda = false;
  bool versao = false;
};

// What cfe and mes need besides their arguments: satd's URL, a password for the user, the key or
// the period.
std::string ConfereSatd(const Linha &l, const Passo &p) {
  const std::string nome = p.sub->nome;
  std::string origem, base;
  if (!kAcervoDisponivel) {
    return nome + " não está disponível nesta compilação, feita sem a libcurl";
  }
  if (l.opcoes.satd.empty()) {
    return nome + " precisa do endereço do satd: --satd URL ou SATD_URL";
  }
  if (!EnderecoSatd(l.opcoes.satd, origem, base)) {
    return "o endereço do satd deve ser http://HOST[:PORTA][/BASE] ou https://..., sem "
           "credenciais nem consulta: " +
           l.opcoes.satd;
  }
  if (!l.opcoes.usuario.empty() && !l.temSenha && l.senhaArquivo.empty()) {
    return "a senha de --usuario vem de SATD_SENHA ou de --senha-arquivo ARQUIVO";
  }
  if (nome == "mes") {
    return DataDaConsulta(p.args[0], false) ? std::string()
                                            : "mes: " + p.args[0] + " não é um mês AAAA-MM";
  }
  if (!p.args.empty()) {
    if (!ChaveDeAcesso(p.args[0])) {
      return "cfe: " + p.args[0] + " não é uma chave de acesso (CFe e 44 dígitos)";
    }
    return p.de.empty() && p.ate.empty() && p.caixa.empty()
               ? std::string()
               : "--de, --ate e --caixa são do cfe sem CHAVE";
  }
  if (!p.salva.empty()) {
    return "--salva é do cfe com CHAVE";
  }
  return p.de.empty() || p.ate.empty() ? "cfe sem CHAVE precisa de --de e --ate" : std::string();
}

// Whether the signed sale `cfe` is the one of access key `chave` (CFe and 44 digits, or the 44
// digits): its infCFe's Id.
bool DaVenda(const std::string &cfe, const std::string &chave) {
  const std::string id = chave.rfind("CFe", 0) == 0 ? chave : "CFe" + chave;
  return cfe.find("Id=\"" + id + "\"") != std::string::npos ||
         cfe.find("Id='" + id + "'") != std::string::npos;
}

// The extrato's options: of extrato, and of venda and cancelar with --imprime. A step with no
// output gets the printer of SAT_IMPRESSORA.
std::string ConfereExtrato(const Linha &l, Passo &p) {
  const std::string nome = p.sub->nome;
  const bool extrato = p.sub->extrato;
  const bool imprimivel = nome == "venda" || nome == "cancelar";
  const bool usa = extrato || p.imprime;
  if (!usa && p.cancelamento.empty() && p.pdf.empty() && p.png.empty() && p.impressora.empty() &&
      !p.imagem && p.papel == 0 && p.venda.empty()) {
    return std::string();
  }
  if (!kExtratoDisponivel) {
    return std::string(extrato     ? "extrato"
                       : p.imprime ? "--imprime"
                                   : "o extrato") +
           " não está disponível nesta compilação, feita sem a libsatextrato";
  }
  if (p.imprime && !imprimivel) {
    return "--imprime não se aplica a " + nome;
  }
  if (!extrato && (!p.cancelamento.empty() || !p.pdf.empty() || !p.png.empty())) {
    const char *opcao = !p.cancelamento.empty() ? "--cancelamento"
                        : !p.pdf.empty()        ? "--pdf"
                                                : "--png";
    return std::string(opcao) + " não se aplica a " + nome;
  }
  if (!p.venda.empty() && !(nome == "cancelar" && p.imprime)) {
    return "--venda é de cancelar --imprime";
  }
  if (!usa) {
    const char *opcao = !p.impressora.empty() ? "--impressora" : p.imagem ? "--imagem" : "--papel";
    return std::string(opcao) + " não se aplica a " + nome + (imprimivel ? " sem --imprime" : "");
  }
  const int saidas = !p.pdf.empty() + !p.png.empty() + !p.impressora.empty();
  if (saidas > 1) {
    return "o extrato tem uma só saída: --pdf, --png ou --impressora";
  }
  std::string origem = "--impressora";
  if (saidas == 0) {
    if (l.impressoraPadrao.empty()) {
      return extrato ? "extrato precisa de uma saída: --pdf ARQUIVO, --png ARQUIVO ou --impressora "
                       "DESTINO (ou SAT_IMPRESSORA)"
                     : "--imprime precisa da impressora: --impressora DESTINO ou SAT_IMPRESSORA";
    }
    p.impressora = l.impressoraPadrao;
    origem = "SAT_IMPRESSORA";
  }
  if (p.imagem && p.impressora.empty()) {
    return "--imagem é do extrato na impressora";
  }
  const std::string erro = p.impressora.empty() ? std::string() : ConfereImpressora(p.impressora);
  if (!erro.empty()) {
    return origem + ": " + erro;
  }
  if (nome == "cancelar" && p.venda.empty()) {
    return "cancelar --imprime precisa do CF-e assinado da venda que ele cancela: --venda ARQUIVO";
  }
  return std::string();
}

std::string ConfereSemSatd(const Passo &p) {
  const char *opcao = !p.de.empty() ? "--de" : !p.ate.empty() ? "--ate" : "--caixa";
  return p.de.empty() && p.ate.empty() && p.caixa.empty()
             ? std::string()
             : std::string(opcao) + " não se aplica a " + p.sub->nome;
}

// Reads the command line; an empty text when it is good, the usage error otherwise. --salva and
// --arquivo belong to the subcommand they stand with (between commas), every other option to the
// line.
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
          return "\",\" sem subcomando antes";
        }
        l.passos.emplace_back();
      } else if (passo.sub == nullptr) {
        passo.sub = ProcuraSubcomando(valor);
        if (passo.sub == nullptr) {
          return "subcomando desconhecido " + valor;
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
        return a.nome + " requer o código de ativação";
      }
      l.opcoes.codigo = valor;
      l.opcoes.temCodigo = true;
      break;
    case 's':
      if (!temValor || !LeInteiro(valor, l.opcoes.sessao)) {
        return a.nome + " requer um número de sessão";
      }
      l.opcoes.temSessao = true;
      break;
    case 'p':
      if (!temValor || !LeInteiro(valor, l.porta)) {
        return a.nome + " requer um número de porta";
      }
      l.temPorta = true;
      break;
    case OPCAO_LOG:
      if (!temValor) {
        return a.nome + " requer um nome de arquivo";
      }
      l.log = valor;
      break;
    case OPCAO_CERTIFICADO_DIAS:
      if (!temValor || !LeInteiro(valor, numero) || numero < 1 || numero > 3650) {
        return a.nome + " requer um número de dias, de 1 a 3650";
      }
      l.opcoes.limites.certificadoDias = numero;
      break;
    case OPCAO_RELOGIO_MINUTOS:
      if (!temValor || !LeInteiro(valor, numero) || numero < 1 || numero > 1440) {
        return a.nome + " requer um número de minutos, de 1 a 1440";
      }
      l.opcoes.limites.relogioMinutos = numero;
      break;
    case OPCAO_SALVA:
      if (!temValor) {
        return a.nome + " requer um nome de arquivo";
      }
      passo.salva = valor;
      break;
    case OPCAO_ARQUIVO:
      if (!temValor) {
        return a.nome + " requer uma pasta";
      }
      passo.arquivo = valor;
      break;
    case OPCAO_SATD:
      if (!temValor) {
        return a.nome + " requer a URL do satd";
      }
      l.opcoes.satd = valor;
      break;
    case OPCAO_USUARIO:
      if (!temValor || valor.empty() || valor.find(':') != std::string::npos) {
        return a.nome + " requer um nome de usuário (sem \":\")";
      }
      l.opcoes.usuario = valor;
      break;
    case OPCAO_SENHA_ARQUIVO:
      if (!temValor) {
        return a.nome + " requer um nome de arquivo";
      }
      l.senhaArquivo = valor;
      break;
    case OPCAO_CA:
      if (!temValor) {
        return a.nome + " requer um nome de arquivo";
      }
      l.opcoes.ca = valor;
      break;
    case OPCAO_DE:
    case OPCAO_ATE:
      if (!temValor || !DataDaConsulta(valor, true)) {
        return a.nome + " requer uma data AAAA-MM-DD";
      }
      (a.codigo == OPCAO_DE ? passo.de : passo.ate) = valor;
      break;
    case OPCAO_CANCELAMENTO:
    case OPCAO_PDF:
    case OPCAO_PNG:
    case OPCAO_VENDA:
      if (!temValor || valor.empty()) {
        return a.nome + " requer um nome de arquivo";
      }
      (a.codigo == OPCAO_CANCELAMENTO ? passo.cancelamento
       : a.codigo == OPCAO_PDF        ? passo.pdf
       : a.codigo == OPCAO_PNG        ? passo.png
                                      : passo.venda) = valor;
      break;
    case OPCAO_IMPRESSORA:
      if (!temValor || valor.empty()) {
        return a.nome + " requer o destino: um caminho, tcp://HOST[:PORTA] ou cups:FILA";
      }
      passo.impressora = valor;
      break;
    case OPCAO_IMAGEM:
      passo.imagem = true;
      break;
    case OPCAO_IMPRIME:
      passo.imprime = true;
      break;
    case OPCAO_PAPEL:
      if (!temValor || !LeInteiro(valor, numero) || (numero != 80 && numero != 58)) {
        return a.nome + " requer a largura do papel em milímetros, 80 ou 58";
      }
      passo.papel = numero;
      break;
    case OPCAO_CAIXA:
      if (!temValor || !LeInteiro(valor, numero) || numero < 0 || numero > 999) {
        return a.nome + " requer um número de caixa, de 0 a 999";
      }
      passo.caixa = std::to_string(numero);
      break;
    default:
      return "opção desconhecida " + a.nome;
    }
  }
  if (l.ajuda || l.versao) {
    return std::string();
  }
  if (l.passos.back().sub == nullptr) {
    return l.passos.size() > 1 ? "\",\" sem subcomando depois" : "nenhum subcomando";
  }
  for (Passo &p : l.passos) {
    const Subcomando &s = *p.sub;
    const int n = static_cast<int>(p.args.size());
    if (n < s.minimo || n > s.maximo) {
      return std::string(s.nome) + (s.argumentos[0] != '\0'
                                        ? " recebe " + std::string(s.argumentos)
                                        : std::string(" não recebe argumentos"));
    }
    for (int j = 0; j < n; ++j) {
      int32_t numero;
      if ((s.inteiros >> j & 1) != 0 && !LeInteiro(p.args[j], numero)) {
        return std::string(s.nome) + ": " + p.args[j] + " não é um número";
      }
    }
    if (s.codigo && !l.opcoes.temCodigo) {
      return std::string(s.nome) + " precisa do código de ativação: --codigo CODIGO ou SAT_CODIGO";
    }
    if (!p.salva.empty() && !s.salva) {
      return std::string("--salva não se aplica a ") + s.nome;
    }
    if (!p.arquivo.empty() && s.arquivo == nullptr) {
      return std::string("--arquivo não se aplica a ") + s.nome;
    }
    std::string erro = s.satd ? ConfereSatd(l, p) : ConfereSemSatd(p);
    if (erro.empty()) {
      erro = ConfereExtrato(l, p);
    }
    if (!erro.empty()) {
      return erro;
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
  for (const auto &[variavel, valor] :
       {std::pair{"SATD_URL", &linha.opcoes.satd}, std::pair{"SATD_USUARIO", &linha.opcoes.usuario},
        std::pair{"SATD_SENHA", &linha.opcoes.senha}}) {
    const char *ambiente = std::getenv(variavel);
    *valor = ambiente != nullptr ? ambiente : "";
  }
  linha.temSenha = std::getenv("SATD_SENHA") != nullptr;
  const char *impressora = std::getenv("SAT_IMPRESSORA");
  linha.impressoraPadrao = impressora != nullptr ? impressora : "";
  const std::string erro = LeLinha(argc, argv, linha);
  if (linha.ajuda) {
    Ajuda(terminal);
    return STATUS_SUCESSO;
  }
  if (linha.versao) {
    return Versao(terminal);
  }
  if (!erro.empty()) {
    return Uso(erro);
  }
  for (Passo &p : linha.passos) {
    const std::pair<const std::string *, std::string *> documentos[] = {
        {p.sub->documento >= 0 ? &p.args[p.sub->documento] : nullptr, &p.documento},
        {p.cancelamento.empty() ? nullptr : &p.cancelamento, &p.documentoCancelamento},
        {p.venda.empty() ? nullptr : &p.venda, &p.documentoVenda}};
    for (const auto &[nome, conteudo] : documentos) {
      if (nome != nullptr && !LeArquivo(*nome, *conteudo)) {
        const std::string causa = std::strerror(errno);
        Avisa("não foi possível ler " + *nome + ": " + causa);
        return STATUS_ARQUIVO;
      }
    }
    if (!p.venda.empty() && !DaVenda(p.documentoVenda, p.args[0])) {
      return Uso("o CF-e de --venda " + p.venda + " não é o da venda " + p.args[0]);
    }
  }
  if (!linha.senhaArquivo.empty()) {
    std::string senha;
    if (!LeArquivo(linha.senhaArquivo, senha, 4096)) {
      const std::string causa = errno != 0 ? std::strerror(errno) : "mais de 4096 bytes";
      Avisa("não foi possível ler a senha de " + linha.senhaArquivo + ": " + causa);
      return STATUS_ARQUIVO;
    }
    linha.opcoes.senha = senha.substr(0, senha.find_first_of("\r\n"));
  }
  if (linha.opcoes.vista == Vista::Bruto) {
    ModoBinario(terminal.saida);
  }

  if (!linha.log.empty()) {
    ArquivoLog(linha.log.c_str());
  }
  if (linha.temPorta && AbreSerialSAT(linha.porta, 0, 0, 0, 0) != 0) {
    Avisa("a biblioteca recusou a porta COM" + std::to_string(linha.porta));
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
