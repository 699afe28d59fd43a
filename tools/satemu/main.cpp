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
    R"(Uso: satemu [opções]

Emula um aparelho fiscal SAT CF-e num pseudoterminal. A primeira linha escrita na saída padrão é
o caminho do lado escravo, a "porta serial" do aparelho; dali em diante cada quadro de pedido é
respondido, até SIGINT, SIGTERM ou SIGHUP. Os clientes podem abrir e fechar a porta quantas vezes
quiserem.

Opções:

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
    {nullptr, 0, nullptr, "Linha:"},
    {"link", OPCAO_LINK, "CAMINHO",
     "faz de CAMINHO um link simbólico para o lado escravo (as pastas que\n"
     "faltam são criadas, um link antigo é substituído); removido quando o\n"
     "satemu termina"},
    {"registro", OPCAO_REGISTRO, "ARQUIVO",
     "acrescenta a ARQUIVO cada quadro de pedido recebido, em hexadecimal\n"
     "minúsculo, um quadro por linha, escrito quando o quadro chega (antes\n"
     "da resposta)"},
    {"tempos", OPCAO_TEMPOS, "ARQUIVO",
     "acrescenta a ARQUIVO uma linha por pedido: seu número de sequência, sua\n"
     "palavra de comando e o tempo do próprio aparelho para ele em\n"
     "microssegundos (do pedido inteiro à resposta pronta para sair), para\n"
     "medições de desempenho"},
    {"verboso", OPCAO_VERBOSO, nullptr,
     "uma linha por pedido na saída de erro, e uma quando um cliente fecha a\n"
     "porta"},
    {nullptr, 0, nullptr,
     "\nDispositivo (um aparelho novo; um arquivo de estado dado com --estado prevalece sobre "
     "estas):"},
    {"codigo-ativacao", OPCAO_CODIGO_ATIVACAO, "CÓDIGO",
     "código de ativação (padrão 12345678); AtivarSAT define um novo"},
    {"codigo-emergencia", OPCAO_CODIGO_EMERGENCIA, "CÓDIGO",
     "código de emergência, TrocarCodigoDeAtivacaoSAT opcao 2 (padrão\n"
     "87654321)"},
    {"serie", OPCAO_SERIE, "NNNNNNNNN", "número de série, 9 dígitos (padrão 900000001)"},
    {"pronto", OPCAO_PRONTO, nullptr,
     "começa ativado e associado a uma software house, pronto para vender:"},
    {"cnpj", OPCAO_CNPJ, "CNPJ", "  o contribuinte (padrão 11222333000181)"},
    {"uf", OPCAO_UF, "CÓDIGO", "  o cUF do contribuinte (padrão 35)"},
    {"cnpj-sh", OPCAO_CNPJ_SH, "CNPJ", "  a software house (padrão 22233344000183)"},
    {"assinatura", OPCAO_ASSINATURA, "TEXTO",
     "  seu signAC, em base64 (padrão\n"
     "  c2F0ZW11OiBhc3NpbmF0dXJhIGRlIHRlc3RlIGRvIEFD)"},
    {"emitente", OPCAO_EMITENTE, "ARQUIVO",
     "nome e endereço do contribuinte, como a parametrização do aparelho os\n"
     "dá e ele os escreve em cada CF-e que assina (emit: xNome, xFant,\n"
     "enderEmit, cRegTrib): linhas \"nome=valor\" em UTF-8, com os nomes do\n"
     "documento (xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, CEP,\n"
     "cRegTrib); '#' começa uma linha de comentário. Um nome omitido fica com\n"
     "o padrão: \"Padaria Pão Dourado Ltda\", nome fantasia \"Padaria Pão\n"
     "Dourado\", Rua das Laranjeiras 125, Loja 2, Centro, São Paulo, CEP\n"
     "01010010, cRegTrib 3 (regime normal). Guardado no arquivo de estado"},
    {"estado", OPCAO_ESTADO, "ARQUIVO",
     "guarda o estado do aparelho em ARQUIVO: ativação, códigos, bloqueio,\n"
     "associação, nome e endereço do contribuinte, contador de CF-e, última\n"
     "venda, última sessão fiscal (a resposta à última venda ou cancelamento),\n"
     "configuração de rede, log. Lido no início, quando existe; reescrito\n"
     "depois de cada comando que o altera e na saída: escrito ao lado,\n"
     "gravado em disco e então renomeado por cima. Cada campo é conferido na\n"
     "leitura, e um arquivo truncado, alterado à mão (sua última linha traz\n"
     "uma soma de verificação) ou com um valor que o aparelho não poderia ter\n"
     "escrito é recusado com uma mensagem que diz a linha, e o satemu não\n"
     "inicia. As respostas de sessões passadas não são guardadas."},
    {"windows-1252", OPCAO_WINDOWS_1252, nullptr,
     "lê como Windows-1252 um documento (venda, cancelamento, configuração de\n"
     "rede) que não declara codificação, como alguns aparelhos fazem para\n"
     "programas de PDV no Windows; sem ela, esse documento é UTF-8, como diz\n"
     "o XML, e um que não seja UTF-8 válido é recusado"},
    {nullptr, 0, nullptr,
     "\nSaúde:\n"
     "  Condições que a resposta de status (ConsultarStatusOperacional) mostra, para as\n"
     "  verificações do \"satcli saude\" e a página de status do satd. Aplicadas depois do "
     "arquivo\n"
     "  de estado, e não guardadas nele. IDADE é um número inteiro e uma unidade: 90s, 10m, 36h,\n"
     "  6d.\n"},
    {"certificado-vence", OPCAO_CERTIFICADO_VENCE, "DATA",
     "CERT_VENCIMENTO: AAAAMMDD, ou +N / -N dias a partir do hoje do aparelho\n"
     "(padrão: cinco anos depois da ativação)"},
    {"pendentes", OPCAO_PENDENTES, "N",
     "N CF-e emitidos antes e ainda não transmitidos: os N números seguintes\n"
     "da série, mostrados em LISTA_INICIAL e LISTA_FINAL; cada CF-e emitido\n"
     "dali em diante espera com eles. Exige um aparelho ativado"},
    {"sem-transmitir", OPCAO_SEM_TRANSMITIR, "IDADE",
     "DH_CFe, a última transmissão à SEFAZ, há IDADE (padrão: a hora de cada\n"
     "CF-e; com --pendentes, o início do satemu)"},
    {"sem-contato", OPCAO_SEM_CONTATO, "IDADE",
     "DH_ULTIMA, o último contato com a SEFAZ, há IDADE (padrão: agora)"},
    {"relogio-desvio", OPCAO_RELOGIO_DESVIO, "IDADE",
     "o relógio do aparelho está IDADE adiantado (+IDADE) ou atrasado (-IDADE)\n"
     "em relação ao do computador: DH_ATUAL e toda hora que o aparelho escreve"},
    {"memoria-usada", OPCAO_MEMORIA_USADA, "PCT",
     "MT_USADA: PCT % de MT_TOTAL (4 GB), de 0 a 100 (padrão 12 MB)"},
    {"bateria", OPCAO_BATERIA, "NÍVEL", "NIVEL_BATERIA: ALTO (padrão), MEDIO ou BAIXO"},
    {"bloqueio", OPCAO_BLOQUEIO, "ESTADO",
     "ESTADO_OPERACAO: 0 desbloqueado, 1 bloqueado pela SEFAZ, 2 bloqueado pelo\n"
     "contribuinte (como BloquearSAT; DesbloquearSAT o levanta), 3 bloqueio\n"
     "autônomo, 4 bloqueado para desativação. Os bloqueios 1, 3 e 4 recusam\n"
     "vendas (06007, 06008) e cancelamentos (07004, 07005) até o satemu\n"
     "terminar, e DesbloquearSAT não os levanta (17003, 17006, 17007)"},
    {nullptr, 0, nullptr,
     "\nFalhas (cada uma é o que um aparelho ou cabo com defeito faz; elas se combinam):"},
    {"atraso", OPCAO_ATRASO, "MS", "responde MS milissegundos depois do pedido"},
    {"mudo", OPCAO_MUDO, nullptr, "nunca responde"},
    {"soma-errada", OPCAO_SOMA_ERRADA, nullptr,
     "o byte de soma de verificação da resposta vem invertido"},
    {"em-partes", OPCAO_EM_PARTES, "N", "envia a resposta em N pedaços..."},
    {"pausa", OPCAO_PAUSA, "MS", "...com MS milissegundos entre eles (padrão 50)"},
    {"controle", OPCAO_CONTROLE, "TIPO",
     "um quadro de controle no lugar do quadro de dados: ack (06), nak (15 seq\n"
     "00 00 00 00), dc1 (11 seq 00 00 00 00) ou syn (16 seq)"},
    {"lixo-antes", OPCAO_LIXO_ANTES, "HEX",
     "escreve estes bytes (em hexadecimal, por exemplo 0d0a00) logo antes da\n"
     "resposta"},
    {"anuncia-mais", OPCAO_ANUNCIA_MAIS, "N",
     "o cabeçalho da resposta anuncia N bytes de conteúdo a mais do que os\n"
     "enviados"},
    {"rajada", OPCAO_RAJADA, "MS",
     "depois da resposta, bytes 0xAA continuam chegando por MS milissegundos"},
    {"surdo-ao-fechar", OPCAO_SURDO_AO_FECHAR, nullptr,
     "o aparelho não percebe quando um cliente fecha a porta: uma resposta\n"
     "ainda devida vai para quem a abrir depois (com --atraso: uma resposta\n"
     "atrasada que chega ao próximo comando do computador)"},
    {"so-para", OPCAO_SO_PARA, "PALAVRA",
     "as falhas estragam só as respostas a esta palavra de comando"},
    {nullptr, 0, nullptr, "\nOutras:"},
    {"help", 'h', nullptr, "este texto"},
    {"version", OPCAO_VERSAO, nullptr, "a versão de satemu"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

constexpr char kAjudaFim[] = R"(
Respostas:
  Cada quadro de pedido é respondido com um quadro de dados que leva o texto da resposta, um
  pedido por vez. As dezesseis palavras de comando são AtivarSAT, ComunicarCertificadoICPBRASIL,
  EnviarDadosVenda, CancelarUltimaVenda, ConsultarSAT, TesteFimAFim, ConsultarStatusOperacional,
  ConsultarNumeroSessao, ConfigurarInterfaceDeRede, AssociarAssinatura, AtualizarSoftwareSAT,
  ExtrairLogs, BloquearSAT, DesbloquearSAT, TrocarCodigoDeAtivacaoSAT e
  ConsultarUltimaSessaoFiscal (a resposta à última venda ou cancelamento, tal como foi enviada).
  Um quadro com a soma de verificação errada é recusado com o quadro de controle NAK 15 <seq> 00
  00 00 00. Um conteúdo cuja palavra de comando não é uma das dezesseis, ou cujo campo de sessão
  não é um número, é respondido "<sessão>|00099|Erro desconhecido||" ("000000" para uma sessão
  que não é um número). Os bytes que não podem começar um quadro são pulados; um quadro que para
  de chegar por 1000 ms é descartado. Pedidos que anunciam mais de 2 MiB de conteúdo não são
  quadros.

  Quando um cliente fecha a porta, o quadro que deixou pela metade e a resposta que não leu são
  descartados (um pedido enviado inteiro ainda é executado); o próximo cliente começa do zero.
  Os códigos de ativação e os novos códigos têm de 1 a 64 bytes, sem bytes de controle nem '|'.

Documentos: o CF-e devolvido é XML em UTF-8. Uma venda (EnviarDadosVenda, TesteFimAFim) ou um
cancelamento que quebra uma das regras abaixo é respondido com o erro de validação (06010, 07007;
09099 para um teste), ou 06004 quando sua software house não é a associada; a regra quebrada é
nomeada na saída de erro e no log do aparelho (ExtrairLogs).

O CF-e de uma venda é o documento recebido, completado como um SAT o completa: versao (0.08) e
versaoSB de infCFe; cUF, cNF, mod, nserieSAT, nCFe, dEmi, hEmi, cDV, tpAmb e assinaturaQRCODE de
ide; xNome, xFant, enderEmit e cRegTrib de emit (--emitente); vProd, vItem, vRatDesc e vRatAcr de
cada item (o desconto ou acréscimo sobre o subtotal rateado na proporção dos valores dos itens, os
centavos do arredondamento no último item) e seus vICMS, vPIS, vCOFINS (e os de PISST, COFINSST)
pelas alíquotas com que veio, arredondados para cima a partir de meio centavo; ICMSTot de total
(vICMS, vProd, vDesc, vPIS, vCOFINS, vPISST, vCOFINSST, vOutro) antes de vCFe; vTroco de pgto; a
assinatura. Um cancelamento tem sua própria chave, chCanc, dEmi e hEmi da venda, um ide sem tpAmb,
nome e endereço do contribuinte com IE e IM da venda, dest e vCFe da venda.
)";

constexpr char kAjudaStatus[] = R"(
Status de saída:
  0   terminou por SIGINT, SIGTERM ou SIGHUP
  1   não conseguiu iniciar (arquivo de estado recusado, pseudoterminal ou link não criado) ou
      não conseguiu salvar o arquivo de estado no fim
  64  erro de uso: opção desconhecida, valor ausente ou inválido; nada foi iniciado
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
      erro = "--pendentes exige um aparelho ativado (--pronto, ou um arquivo de estado)";
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
  std::fprintf(stderr, "satemu: %s (veja --help)\n", mensagem.c_str());
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
      return Recusa(std::string("argumento inesperado ") + a.valor);
    case 'h':
      std::fputs(kAjuda, stdout);
      std::fputs(opcoes::Ajuda(kOpcoes, 26).c_str(), stdout);
      std::fputs(kAjudaFim, stdout);
      MostraRegras("Regras de uma venda:", satemu::kRegrasVenda, satemu::kQuantasRegrasVenda);
      std::printf("  tamanho  o documento e o CF-e feito dele têm no máximo 1.500 KB (06005)\n");
      MostraRegras("Regras de um cancelamento:", satemu::kRegrasCancelamento,
                   satemu::kQuantasRegrasCancelamento);
      std::fputs(kAjudaStatus, stdout);
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
      return Recusa("opção desconhecida " + a.nome);
    }
    if (!ok)
      return Recusa("valor ausente ou inválido para " + a.nome);
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
