// satd: one SAT shared by every checkout of a shop, over HTTP. It owns the SAT through libsat
// (nothing but sat.h) and serves the REST interface that POS client libraries speak for a
// shared SAT.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>

#include "comum/opcoes.h"
#include "configuracao.h"
#include "exportacao.h"
#include "servidor.h"

namespace {

const char kAjuda[] =
    R"(Uso: satd [--config ARQUIVO]
  ou: satd --exporta AAAA-MM ARQUIVO [--config ARQUIVO]

Controla o SAT pela libsat e atende todos os caixas da loja por HTTP.

Interface HTTP:
  POST {base}/{funcao}     campos de formulário (numero_caixa de 0 a 999, no corpo, na consulta
                           da URL ou num cabeçalho numero-caixa, e os da própria função; os
                           demais ficam de fora e são registrados); 200 {"funcao": "<o nome na
                           biblioteca>", "retorno": "<a resposta>"}, 4xx {"erro": "<o
                           motivo>"}, 401 sem credenciais válidas, 403 para uma função de outro
                           papel, 503 quando a fila está cheia ou a espera é longa demais
  GET {base}/status        a fila, a porta do SAT, o tempo em funcionamento (sem chamar o SAT)
  GET /                    a página de status da loja (HTML, sem nada externo, recarrega
                           sozinha): a identificação e o estado do SAT, suas verificações de
                           saúde, a fila, as vendas do dia (quantidade, total e um gráfico por
                           hora), os últimos CF-e com um link para cada XML e para o seu
                           extrato em PDF, e as últimas requisições do registro
  GET {base}/cfe/{chave}   ao técnico e ao contador, o XML do CF-e de venda ou cancelamento com
                           essa chave (CFe e 44 dígitos, ou só os dígitos), byte a byte como o
                           SAT o assinou
  GET {base}/cfe/{chave}/extrato.pdf[?papel=58]
                           ao técnico e ao contador, o extrato desse CF-e em PDF, do papel de
                           80 mm (ou 58), o de um cancelamento com a venda que ele cancela
  GET {base}/cfe?de=AAAA-MM-DD&ate=AAAA-MM-DD[&caixa=N]
                           ao técnico e ao contador, os CF-e emitidos no período (os dois dias
                           inclusive), em JSON: chave, tipo, cnpj, caixa, sessao, emitido_em,
                           total e bytes de cada um, até 10000 ("completa" diz se estão todos)
  GET {base}/arquivo/AAAA-MM.zip
                           ao técnico e ao contador, o mês num zip (Transfer-Encoding chunked,
                           feito enquanto sai): o XML de cada CF-e emitido no mês pelo relógio
                           do SAT, CFe<44 dígitos>.xml para uma venda e CFeCanc<44
                           dígitos>.xml para um cancelamento, e resumo-AAAA-MM.csv; um mês sem
                           documentos traz só o resumo; 400 para um mês malformado, 503 com
                           duas exportações já em curso; um cliente que não lê um bloco em
                           [http] prazo_ms tem a conexão derrubada
  GET {base}/saude         o mesmo em JSON: o nível de cada verificação (ok, atencao, critico),
                           sua mensagem e os números em que ela se baseia
  GET /metrics             o mesmo para o Prometheus (formato texto): o estado do SAT, o nível
                           de cada verificação, o vencimento do certificado, os CF-e
                           pendentes, a diferença do relógio, a memória usada, a fila, as
                           requisições por função e código do SAT, e sua duração; man satd
                           lista cada métrica

Funções do caixa:
  enviardadosvenda cancelarultimavenda consultarsat testefimafim consultarstatusoperacional
  consultarnumerosessao consultarultimasessaofiscal

Funções do técnico:
  ativarsat comunicarcertificadoicpbrasil associarassinatura configurarinterfacederede
  atualizarsoftwaresat bloquearsat desbloquearsat trocarcodigodeativacao extrairlogs

Papéis:
  caixa       a credencial [http] usuario e senha, ou, sem credencial, um endereço ou rede
              de [http] clientes (os clientes hub dos programas de PDV não mandam nenhuma);
              HTTP sem TLS além do loopback só é aceito para estes
  técnico     a credencial [tecnico] usuario e senha, que vale para todas as funções
  monitor     a credencial [metricas] usuario e senha, que vale só para GET /metrics
  contador    a credencial [arquivo] usuario e senha, só de leitura, que vale só para o
              arquivo de CF-e: GET {base}/cfe/{chave}, GET {base}/cfe?... e GET
              {base}/arquivo/AAAA-MM.zip (403 em todo o resto)

Sem nenhuma credencial configurada, quem chama pelo loopback é o técnico (os de clientes são
caixas, e todos os outros recebem 401).

Nada do que o SAT assina se perde: cada venda e cada cancelamento é anotado no diário
([diario] arquivo, SQLite) antes de ir ao SAT, e sua resposta é gravada lá antes de sair a
resposta HTTP; a linha do registro diz se o cliente a recebeu (entregue=sim ou nao). Um caixa
obtém a sua última resposta fiscal com consultarultimasessaofiscal e o seu numero_caixa, e a
de qualquer sessão com consultarnumerosessao. Uma chamada em curso quando o satd morreu é
perguntada ao SAT na inicialização seguinte. Uma requisição cujo cliente fechou a conexão
antes da sua vez não é enviada.

O resumo do mês (resumo-AAAA-MM.csv) é o que uma planilha no Brasil abre direto: UTF-8 com
BOM, campos separados por ';', vírgula decimal sem separador de milhar, datas DD/MM/AAAA,
linhas terminadas em CRLF. A primeira linha é o cabeçalho "Data;Vendas;Valor das
vendas;Cancelamentos;Valor dos cancelamentos;Valor líquido"; depois, uma linha por dia com
documentos, em ordem, e por fim a linha "Total" do mês. Os valores são somados em centavos
inteiros; o líquido é o das vendas menos o dos cancelamentos emitidos no mês.

Com [impressora] destino, um caixa que manda imprimir_extrato=1 com enviardadosvenda ou
cancelarultimavenda recebe a resposta como sempre, e o extrato do CF-e (ESC/POS) vai depois, por
uma thread própria, para a impressora da loja; o registro diz se ela o recebeu (linhas
"impressora:"). Sem [impressora], imprimir_extrato=1 é recusado (400) antes de ir ao SAT.

Com [central] conexao, cada CF-e guardado no diário vai também, por uma thread própria, para o
banco PostgreSQL da rede de lojas (satd.toml(5)); sem conexão, os CF-e esperam no diário e vão
quando ela voltar, sem que uma venda espere por ele.

Limites:
  cabeçalho   no máximo 16 KiB e 100 campos (431)
  corpo       no máximo [http] corpo_maximo bytes, em chunked ou não (413), nunca comprimido
              (415)
  prazo       cabeçalho e corpo em até [http] prazo_ms desde o primeiro byte, senão a conexão
              é derrubada
  conexões    [http] conexoes ao mesmo tempo e conexoes_por_endereco de um mesmo endereço
              (uma ociosa é fechada para dar lugar, senão a nova recebe 503)
  fila        [fila] tamanho requisições esperando e espera_ms de espera (503)

A página, {base}/saude e /metrics pedem ao SAT o seu status (ConsultarStatusOperacional)
pela mesma thread e pela mesma fila dos caixas, no máximo uma vez a cada [saude] intervalo_s
(padrão 30 s); /metrics só pergunta quando o SAT está livre e, senão, serve o último status
com a sua idade, para que a coleta nunca espere atrás de uma venda. As verificações da
resposta: certificado vencido (crítico) ou que vence em até certificado_dias (padrão 60,
atenção); CF-e esperando transmissão (atenção), crítico quando a última transmissão ou o
último contato com a SEFAZ tem mais de 5 dias; o relógio do SAT a mais de relogio_minutos
(padrão 5) do relógio do satd (atenção); memória de trabalho acima de 80 % (atenção) ou 95 %
(crítico); bateria BAIXO (atenção); SAT bloqueado (crítico).

Toda chamada ao SAT corre numa só thread, na ordem de chegada. O satd sorteia os números de
sessão e guarda o código de ativação; os caixas não mandam nenhum dos dois. A primeira linha
na saída padrão é "satd: atendendo em URL"; depois, uma linha por requisição vai para o
registro ([registro] arquivo, ou a saída padrão): hora, cliente, caixa, função, sessão,
código do SAT, status HTTP, duração. Os arquivos são criados com modo 0640. SIGHUP reabre os
registros (depois do logrotate). SIGTERM ou SIGINT: as requisições na fila recebem 503, a
chamada em curso termina e o satd sai.

Opções:
)";

// Options without a letter, by getopt_long's code.
enum : int { OPCAO_CONFIG = 256, OPCAO_VERSAO, OPCAO_EXPORTA };
constexpr opcoes::Opcao kOpcoes[] = {
    {"config", OPCAO_CONFIG, "ARQUIVO",
     "a configuração (TOML; padrão /etc/satd/satd.toml); satd.toml(5) descreve\n"
     "cada chave, e o README.md traz um exemplo completo"},
    {"exporta", OPCAO_EXPORTA, "AAAA-MM",
     "escreve o zip do mês, o mesmo de GET {base}/arquivo/AAAA-MM.zip, no\n"
     "ARQUIVO que segue (\"-\": a saída padrão), lido do diário da configuração\n"
     "com o satd atendendo ou não; primeiro num temporário ao lado, que só é\n"
     "renomeado para ARQUIVO quando o zip está inteiro e gravado"},
    {"help", 'h', nullptr, "este texto"},
    {"version", OPCAO_VERSAO, nullptr, "a versão de satd"},
};
static_assert(opcoes::CodigosUnicos(kOpcoes));

const char kAjudaFim[] = R"(
Status de saída:
  0   depois de uma parada limpa; com --exporta, o zip foi escrito inteiro
  1   a configuração ou o endereço foram recusados, ou não foi possível abrir o registro, o
      diário ou os arquivos do TLS; com --exporta, o diário não pôde ser lido ou o zip
      escrito (nada fica com o nome ARQUIVO)
  64  erro de uso: nada foi iniciado

Ambiente:
  SAT_DEV_DIR  no Linux, a pasta do dispositivo COMn (padrão /dev/)
)";

int Uso(const std::string &mensagem) {
  std::fprintf(stderr, "satd: %s (veja --help)\n", mensagem.c_str());
  return 64; // EX_USAGE
}

} // namespace

int main(int argc, char **argv) {
  // Signals reach only the thread that waits for them, from the start (a SIGHUP from logrotate
  // while satd starts must not kill it); every thread made from here on inherits the mask. A
  // client that goes away, a full disk or a size limit fails a write; none kills the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // The logs and the journal hold activation codes and buyers' documents.
  umask(027);
  sigset_t sinais;
  sigemptyset(&sinais);
  sigaddset(&sinais, SIGTERM);
  sigaddset(&sinais, SIGINT);
  sigaddset(&sinais, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sinais, nullptr);

  std::string arquivo = "/etc/satd/satd.toml";
  std::string mes, saida;
  bool exporta = false;
  opcoes::Leitor leitor(kOpcoes, argc, argv);
  for (opcoes::Achado a = leitor.Proximo(); a.codigo != opcoes::kFim; a = leitor.Proximo()) {
    switch (a.codigo) {
    case 'h':
      std::fputs(kAjuda, stdout);
      std::fputs(opcoes::Ajuda(kOpcoes, 20).c_str(), stdout);
      std::fputs(kAjudaFim, stdout);
      return 0;
    case OPCAO_VERSAO:
      std::printf("%s\n", opcoes::Versao("satd").c_str());
      return 0;
    case OPCAO_CONFIG:
      if (a.valor == nullptr) {
        return Uso(a.nome + " exige o nome de um arquivo");
      }
      arquivo = a.valor;
      break;
    case OPCAO_EXPORTA:
      if (a.valor == nullptr || !satd::MesValido(a.valor)) {
        return Uso(a.nome + " exige um mês AAAA-MM");
      }
      exporta = true;
      mes = a.valor;
      break;
    case opcoes::kPalavra:
      if (exporta && saida.empty() && a.valor[0] != '\0') {
        saida = a.valor;
        break;
      }
      return Uso(std::string("argumento inesperado ") + a.valor);
    case opcoes::kErro:
      return Uso(a.erro);
    default:
      return Uso("opção desconhecida " + a.nome);
    }
  }

  if (exporta && saida.empty()) {
    return Uso("--exporta exige o mês e o ARQUIVO do zip");
  }

  satd::Configuracao configuracao;
  std::string erro;
  if (!satd::LeConfiguracao(arquivo, configuracao, erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }
  if (exporta) {
    if (!satd::ExportaParaArquivo(configuracao.diario, mes, saida, erro)) {
      std::fprintf(stderr, "satd: %s\n", erro.c_str());
      return 1;
    }
    return 0;
  }

  satd::Servidor servidor(configuracao);
  if (!servidor.Prepara(erro)) {
    std::fprintf(stderr, "satd: %s\n", erro.c_str());
    return 1;
  }
  if (satd::HttpSemTls(configuracao)) {
    std::fprintf(stderr, "satd: aviso: HTTP sem TLS além do loopback, para os caixas de "
                         "http.clientes: requisições e respostas trafegam em texto claro\n");
  }
  std::printf("satd: atendendo em %s\n", servidor.Url().c_str());
  std::fflush(stdout);

  std::atomic<bool> parando{false};
  std::thread vigia([&] {
    for (;;) {
      int sinal = 0;
      if (sigwait(&sinais, &sinal) != 0) {
        continue;
      }
      if (sinal == SIGHUP && !parando) {
        servidor.ReabreRegistros();
        continue;
      }
      servidor.Para();
      return;
    }
  });
  const bool ok = servidor.Atende();
  parando = true;
  pthread_kill(vigia.native_handle(), SIGTERM); // ends the wait when no signal came
  vigia.join();
  return ok ? 0 : 1;
}
