#include "servidor.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "sat.h"
#include "texto.h"

namespace satd {

namespace {

using Relogio = std::chrono::steady_clock;
using nlohmann::json;

// What one request's log line carries from its handler to the logger, which httplib calls on
// the same thread once the reply is written (or its writing failed).
struct Linha {
  bool comecou = false;
  Relogio::time_point inicio;
  std::string funcao;
  const Funcao *chamada = nullptr; // one of the sixteen, for the metrics
  std::string caixa = "-";
  std::string sessao = "-";
  std::string codigo = "-";
};
thread_local Linha tLinha;

std::string Formata(const char *formato, int valor) {
  char texto[32];
  std::snprintf(texto, sizeof texto, formato, valor);
  return texto;
}

void Responde(httplib::Response &resposta, int status, const std::string &erro) {
  resposta.status = status;
  resposta.set_content(json{{"erro", erro}}.dump(), "application/json");
}

// application/x-www-form-urlencoded, in UTF-8 if a charset is named at all.
bool TipoAceito(std::string tipo) {
  for (char &c : tipo) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  tipo.erase(std::remove(tipo.begin(), tipo.end(), ' '), tipo.end());
  const std::string forma = "application/x-www-form-urlencoded";
  return tipo == forma || tipo == forma + ";charset=utf-8";
}

// A client's text made safe for a log line or a JSON message: printable ASCII, at most 120
// bytes.
std::string Limpo(const std::string &texto) {
  std::string limpo = texto.substr(0, 120);
  for (char &c : limpo) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      c = '?';
    }
  }
  return limpo;
}

} // namespace

// ---------------------------------------------------------------------------------------------

Servidor::Servidor(const Configuracao &configuracao)
    : configuracao_(configuracao), credenciais_(configuracao.usuario, configuracao.senha),
      fila_(configuracao.fila, configuracao.espera), sat_(configuracao, registro_),
      inicio_(Relogio::now()), inicioUnix_(std::time(nullptr)),
      credenciaisMetricas_(configuracao.metricasUsuario, configuracao.metricasSenha) {}

Servidor::~Servidor() {
  fila_.Encerra();
  fila_.Aguarda();
}

bool Servidor::Prepara(std::string &erro) {
  if (!registro_.Abre(configuracao_.registro, erro)) {
    return false;
  }
  if (configuracao_.certificado.empty()) {
    http_ = std::make_unique<httplib::Server>();
  } else {
    http_ = std::make_unique<httplib::SSLServer>(configuracao_.certificado.c_str(),
                                                 configuracao_.chave.c_str());
    if (!http_->is_valid()) {
      erro = "cannot load the TLS certificate " + configuracao_.certificado + " and key " +
             configuracao_.chave;
      return false;
    }
  }
  const size_t conexoes = configuracao_.conexoes;
  http_->new_task_queue = [conexoes] { return new httplib::ThreadPool(conexoes); };
  http_->set_payload_max_length(configuracao_.corpoMaximo);
  http_->set_keep_alive_max_count(1000);

  http_->set_pre_routing_handler(
      [this](const httplib::Request &pedido, httplib::Response &resposta) {
        tLinha = Linha{};
        tLinha.comecou = true;
        tLinha.inicio = Relogio::now();
        const std::string autorizacao = pedido.get_header_value("Authorization");
        // Both are compared every time: how long it takes tells nothing of which one matched.
        const bool geral = credenciais_.Conferem(autorizacao);
        const bool monitor =
            credenciaisMetricas_.Exigidas() && credenciaisMetricas_.Conferem(autorizacao);
        if (geral || (monitor && pedido.method == "GET" && pedido.path == "/metrics")) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        resposta.set_header("WWW-Authenticate", "Basic realm=\"satd\", charset=\"UTF-8\"");
        // The body was not read: the connection cannot carry another request.
        resposta.set_header("Connection", "close");
        Responde(resposta, 401, "valid credentials required");
        return httplib::Server::HandlerResponse::Handled;
      });
  // The body is read here rather than by httplib, whose own reading refuses form-encoded
  // bodies over 8 KiB; the limit of the configuration still holds (413).
  http_->Post(".*", [this](const httplib::Request &pedido, httplib::Response &resposta,
                           const httplib::ContentReader &leitor) {
    std::string corpo;
    const bool lido = leitor([&](const char *dados, size_t tamanho) {
      corpo.append(dados, tamanho);
      return true;
    });
    if (lido) {
      AtendeFuncao(pedido, corpo, resposta);
    } else if (resposta.status != 413) {
      Responde(resposta, 400, "the request body could not be read");
    }
  });
  http_->Get(".*", [this](const httplib::Request &pedido, httplib::Response &resposta) {
    if (pedido.path == configuracao_.base + "/status") {
      InformaEstado(resposta);
    } else if (pedido.path == "/") {
      tLinha.funcao = "pagina";
      resposta.set_header("Cache-Control", "no-store");
      resposta.set_content(PaginaHtml(MontaPainel(true)), "text/html; charset=utf-8");
    } else if (pedido.path == configuracao_.base + "/saude") {
      tLinha.funcao = "saude";
      resposta.set_header("Cache-Control", "no-store");
      resposta.set_content(
          SaudeJson(MontaPainel(true)).dump(-1, ' ', false, json::error_handler_t::replace),
          "application/json");
    } else if (pedido.path == "/metrics") {
      tLinha.funcao = "metricas";
      resposta.set_header("Cache-Control", "no-store");
      resposta.set_content(TextoMetricas(MontaPainel(false), requisicoes_),
                           "text/plain; version=0.0.4; charset=utf-8");
    } else {
      Responde(resposta, 404, "no such path: " + Limpo(pedido.path));
    }
  });
  http_->set_error_handler([this](const httplib::Request &, httplib::Response &resposta) {
    if (!resposta.body.empty()) {
      return;
    }
    if (resposta.status == 413) {
      Responde(resposta, 413,
               "request body over " + std::to_string(configuracao_.corpoMaximo) + " bytes");
    } else if (resposta.status == 404) {
      Responde(resposta, 404,
               "no such path (functions are POST " + configuracao_.base +
                   "/<function>, the status GET " + configuracao_.base + "/status)");
    } else {
      Responde(resposta, resposta.status, "malformed HTTP request");
    }
  });
  http_->set_exception_handler(
      [](const httplib::Request &, httplib::Response &resposta, std::exception_ptr) {
        Responde(resposta, 500, "internal error");
      });
  // Counted before the reply goes out (the log line is written after): a scrape that follows
  // a checkout's reply finds it counted.
  http_->set_post_routing_handler([this](const httplib::Request &, httplib::Response &resposta) {
    if (tLinha.chamada != nullptr) {
      requisicoes_.Conta(*tLinha.chamada, tLinha.codigo, resposta.status,
                         std::chrono::duration<double>(Relogio::now() - tLinha.inicio).count());
    }
  });
  http_->set_logger([this](const httplib::Request &pedido, const httplib::Response &resposta) {
    Anota(pedido, resposta);
  });

  // httplib's default also sets SO_REUSEPORT, which lets a second process of the same user bind
  // satd's port and take half of its connections: checkouts would reach a server that does not
  // own the SAT. A port is one satd's; a second one must fail to start.
  http_->set_socket_options([](socket_t socket) {
    int sim = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &sim, sizeof sim);
  });
  portaHttp_ = configuracao_.porta;
  if (configuracao_.porta == 0) {
    portaHttp_ = http_->bind_to_any_port(configuracao_.endereco);
  } else if (!http_->bind_to_port(configuracao_.endereco, configuracao_.porta)) {
    portaHttp_ = -1;
  }
  if (portaHttp_ <= 0) {
    erro = "cannot listen on " + configuracao_.endereco + " port " +
           std::to_string(configuracao_.porta);
    return false;
  }
  // Read before the worker starts: from then on only the worker calls the library.
  std::string versao = VersaoLib();
  while (!versao.empty() && std::isspace(static_cast<unsigned char>(versao.back()))) {
    versao.pop_back();
  }
  versao_ = Windows1252ParaUtf8(versao);
  fila_.Inicia([this] { sat_.Prepara(); });
  registro_.Escreve("satd listening on " + Url() + "; SAT port " +
                    (configuracao_.portaSat >= 0 ? "COM" + std::to_string(configuracao_.portaSat)
                                                 : std::string("found by the library")) +
                    "; " + versao_);
  return true;
}

std::string Servidor::Url() const {
  const bool ipv6 = configuracao_.endereco.find(':') != std::string::npos;
  return std::string(configuracao_.certificado.empty() ? "http" : "https") + "://" +
         (ipv6 ? "[" + configuracao_.endereco + "]" : configuracao_.endereco) + ":" +
         std::to_string(portaHttp_) + configuracao_.base;
}

bool Servidor::Atende() {
  const bool ok = http_->listen_after_bind();
  fila_.Encerra();
  fila_.Aguarda();
  registro_.Escreve("satd stopped");
  return ok;
}

void Servidor::Para() {
  fila_.Encerra();
  if (http_) {
    http_->stop();
  }
}

void Servidor::AtendeFuncao(const httplib::Request &pedido, const std::string &corpo,
                            httplib::Response &resposta) {
  const std::string prefixo = configuracao_.base + "/";
  if (pedido.path.compare(0, prefixo.size(), prefixo) != 0) {
    return Responde(resposta, 404, "no such path: " + Limpo(pedido.path));
  }
  const std::string nome = pedido.path.substr(prefixo.size());
  const satd::Funcao *funcao = ProcuraFuncao(nome);
  if (funcao == nullptr) {
    return Responde(resposta, 404, "unknown function: " + Limpo(nome));
  }
  tLinha.funcao = nome;
  tLinha.chamada = funcao;
  if (pedido.target.find('?') != std::string::npos) {
    return Responde(resposta, 400, "fields go in the body, not in the URL");
  }
  if (!TipoAceito(pedido.get_header_value("Content-Type"))) {
    return Responde(resposta, 415, "the body must be application/x-www-form-urlencoded (UTF-8)");
  }
  Pedido checado;
  std::string erro;
  if (!LePedido(*funcao, corpo, checado, erro)) {
    return Responde(resposta, 400, erro);
  }
  tLinha.caixa = Formata("%03d", checado.caixa);

  Resultado resultado;
  const Fila::Desfecho desfecho = fila_.Executa([&] { resultado = sat_.Executa(checado); });
  switch (desfecho) {
  case Fila::Desfecho::Feita:
    break;
  case Fila::Desfecho::Cheia:
    resposta.set_header("Retry-After", "1");
    return Responde(resposta, 503, "the SAT's queue is full; try again");
  case Fila::Desfecho::EsperaExcedida:
    resposta.set_header("Retry-After", "1");
    return Responde(resposta, 503,
                    "waited " + std::to_string(configuracao_.espera.count()) +
                        " ms for the SAT without getting a turn; try again");
  case Fila::Desfecho::Encerrando:
    return Responde(resposta, 503, "satd is stopping");
  case Fila::Desfecho::Falhou:
    return Responde(resposta, 500, "the call failed inside satd");
  }
  tLinha.sessao = Formata("%06d", resultado.sessao);
  tLinha.codigo = CodigoDaResposta(resultado.resposta);
  resposta.status = 200;
  resposta.set_content(json{{"retorno", Windows1252ParaUtf8(resultado.resposta)}}.dump(),
                       "application/json");
}

Painel Servidor::MontaPainel(bool esperar) {
  Painel p;
  const auto velha = [this] {
    std::lock_guard<std::mutex> trava(saudeMutex_);
    return !saude_.feita ||
           Relogio::now() - saude_.quando >= std::chrono::seconds(configuracao_.intervaloSaude);
  };
  std::unique_lock<std::mutex> vez(consultaMutex_, std::defer_lock);
  if (esperar) {
    vez.lock();
  } else if (!vez.try_lock() && velha()) {
    p.nota = "Status n\xE3o atualizado: outra consulta em curso";
  }
  if (vez.owns_lock() && velha()) {
    const Fila::Estado fila = fila_.Consulta();
    if (!esperar && (fila.emCurso || fila.esperando > 0)) {
      // A scrape never waits behind a sale: the last status serves, with its age.
      p.nota = "Status n\xE3o atualizado: o SAT est\xE1 ocupado com as vendas";
    } else {
      // Through the queue like any checkout's call: a page left open never jumps a sale.
      static const Funcao *const kStatus = ProcuraFuncao("consultarstatusoperacional");
      Pedido pedido;
      pedido.funcao = kStatus;
      Resultado resultado;
      const Fila::Desfecho desfecho = fila_.Executa([&] { resultado = sat_.Executa(pedido); });
      if (desfecho == Fila::Desfecho::Feita) {
        const std::time_t agora = std::time(nullptr);
        std::tm local{};
        localtime_r(&agora, &local);
        std::lock_guard<std::mutex> trava(saudeMutex_);
        saude_ = ConsultaSaude{true,           resultado.resposta, resultado.sessao,
                               Relogio::now(), saude::DeTm(local), agora};
        ++consultas_;
        tLinha.sessao = Formata("%06d", resultado.sessao);
        tLinha.codigo = CodigoDaResposta(resultado.resposta);
      } else {
        p.nota = desfecho == Fila::Desfecho::Encerrando ? "satd est\xE1 parando"
                 : desfecho == Fila::Desfecho::Falhou   ? "a consulta falhou dentro do satd"
                                                        : "o SAT est\xE1 ocupado com as vendas";
        p.nota = "Status n\xE3o atualizado: " + p.nota;
      }
    }
  }
  if (vez.owns_lock()) {
    vez.unlock();
  }
  ConsultaSaude consulta;
  {
    std::lock_guard<std::mutex> trava(saudeMutex_);
    consulta = saude_;
    p.consultas = consultas_;
  }
  saude::Limites limites;
  limites.certificadoDias = configuracao_.certificadoDias;
  limites.relogioMinutos = configuracao_.relogioMinutos;
  if (consulta.feita) {
    p.avaliacao = saude::Avalia(consulta.resposta, consulta.instante, limites);
    p.consultado = true;
    p.consultadoEm = saude::Iso(consulta.instante);
    p.idade =
        std::chrono::duration_cast<std::chrono::seconds>(Relogio::now() - consulta.quando).count();
    p.sessao = consulta.sessao;
  } else {
    saude::Verificacao v;
    v.id = "consulta";
    v.titulo = "Consulta";
    v.nivel = saude::Nivel::Atencao;
    v.mensagem = p.nota;
    p.avaliacao.nivel = v.nivel;
    p.avaliacao.verificacoes.push_back(v);
  }
  p.fila = fila_.Consulta();
  p.porta = configuracao_.portaSat >= 0 ? "COM" + std::to_string(configuracao_.portaSat)
                                        : std::string("automatica");
  p.uptime = std::chrono::duration_cast<std::chrono::seconds>(Relogio::now() - inicio_).count();
  p.versao = versao_;
  p.registro = registro_.Recentes();
  p.recarga = std::max(configuracao_.intervaloSaude, 5);
  p.consultadoUnix = consulta.unix;
  p.inicioUnix = inicioUnix_;
  p.intervalo = configuracao_.intervaloSaude;
  return p;
}

void Servidor::InformaEstado(httplib::Response &resposta) {
  const Fila::Estado estado = fila_.Consulta();
  const auto uptime =
      std::chrono::duration_cast<std::chrono::seconds>(Relogio::now() - inicio_).count();
  const json corpo = {
      {"fila",
       {{"esperando", estado.esperando},
        {"capacidade", estado.capacidade},
        {"em_curso", estado.emCurso}}},
      {"atendidas", estado.feitas},
      {"recusadas", estado.recusadas},
      {"porta", configuracao_.portaSat >= 0 ? "COM" + std::to_string(configuracao_.portaSat)
                                            : std::string("automatica")},
      {"uptime_s", uptime},
      {"biblioteca", versao_},
  };
  resposta.status = 200;
  resposta.set_content(corpo.dump(), "application/json");
}

void Servidor::Anota(const httplib::Request &pedido, const httplib::Response &resposta) {
  const Linha linha = tLinha;
  tLinha = Linha{};
  const long long ms =
      linha.comecou
          ? std::chrono::duration_cast<std::chrono::milliseconds>(Relogio::now() - linha.inicio)
                .count()
          : 0;
  const std::string funcao =
      linha.funcao.empty() ? Limpo(pedido.method + " " + pedido.path) : linha.funcao;
  // The page's own reloads would push the checkouts' calls off the page.
  registro_.Escreve(pedido.remote_addr + ":" + std::to_string(pedido.remote_port) +
                        " caixa=" + linha.caixa + " " + funcao + " sessao=" + linha.sessao +
                        " codigo=" + linha.codigo + " http=" + std::to_string(resposta.status) +
                        " " + std::to_string(ms) + "ms",
                    pedido.method != "GET");
}

} // namespace satd
