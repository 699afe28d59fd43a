#include "servidor.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <optional>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include "comum/datas.h"
#include "sat.h"
#include "satextrato.h"
#include "texto.h"

namespace satd {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Relogio = std::chrono::steady_clock;
using boost::system::error_code;
using nlohmann::json;

// A request's header: at most this many bytes, and this many fields (431 beyond either).
constexpr size_t kCabecalhoMaximo = 16 * 1024;
constexpr size_t kCamposMaximos = 100;
// Connections refused for want of room get a 503 of their own, this many at once; beyond,
// they are closed unanswered.
constexpr size_t kRecusasSimultaneas = 64;
// After a reply that closes the connection, what the client still sends is read (and
// dropped) for this long at most, so that closing does not reset the reply away.
constexpr auto kDespedida = std::chrono::seconds(2);
// How long a fiscal reply's bytes may take to be acknowledged by the client's machine before
// the log says it was not delivered.
constexpr auto kConfirmacao = std::chrono::seconds(2);
// How long a kept-alive connection must have waited for its next request before it may be
// closed to make room for a new one.
constexpr auto kFolga = std::chrono::seconds(1);
// After the worker's last call at a stop, how long replies may take to go out.
constexpr auto kSaidaFinal = std::chrono::seconds(2);

std::string_view Sv(beast::string_view v) { return {v.data(), v.size()}; }

std::string Formata(const char *formato, int valor) {
  char texto[32];
  std::snprintf(texto, sizeof texto, formato, valor);
  return texto;
}

// A month's zip goes out in chunks of about this size, each produced on the auxiliary threads
// and each written within [http] prazo_ms; so many exports at once, beyond which 503.
constexpr size_t kBlocoZip = 256 * 1024;
constexpr size_t kExportacoes = 2;

// A list of the archive holds at most this many documents; "completa" says whether it has them
// all (a narrower period or one checkout gets the rest).
constexpr size_t kItensDaLista = 10000;
// The page lists this many of the latest documents.
constexpr size_t kUltimosDaPagina = 10;

struct ConsultaArquivo {
  std::string de, ate; // AAAA-MM-DD
  int caixa = -1;      // every checkout
};

// A day as the list takes it: AAAA-MM-DD, a real one.
bool DiaDaConsulta(const std::string &texto) {
  comum::Instante dia;
  return texto.size() == 10 && texto[4] == '-' && texto[7] == '-' &&
         comum::LeData(texto.substr(0, 4) + texto.substr(5, 2) + texto.substr(8, 2), dia);
}

// The query of GET {base}/cfe: de and ate (both needed), caixa (optional, 0 to 999).
bool LeConsultaArquivo(std::string_view texto, ConsultaArquivo &consulta, std::string &erro) {
  std::map<std::string, std::string> campos;
  if (!LeFormulario(texto, campos, erro)) {
    return false;
  }
  for (const auto &[nome, valor] : campos) {
    if (nome == "de" || nome == "ate") {
      if (!DiaDaConsulta(valor)) {
        erro = nome + " deve ser uma data AAAA-MM-DD";
        return false;
      }
      (nome == "de" ? consulta.de : consulta.ate) = valor;
    } else if (nome == "caixa") {
      if (valor.empty() || valor.size() > 3 ||
          valor.find_first_not_of("0123456789") != std::string::npos) {
        erro = "caixa deve ser um número de 0 a 999";
        return false;
      }
      consulta.caixa = std::stoi(valor);
    } else {
      erro = "parâmetro desconhecido: " + Limpo(nome) + " (são de, ate e caixa)";
      return false;
    }
  }
  if (consulta.de.empty() || consulta.ate.empty()) {
    erro = "a lista pede o período: de=AAAA-MM-DD&ate=AAAA-MM-DD";
    return false;
  }
  return true;
}

std::string Json(const json &valor) {
  return valor.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Minusculas(std::string_view texto) {
  std::string saida(texto);
  for (char &c : saida) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  saida.erase(std::remove(saida.begin(), saida.end(), ' '), saida.end());
  return saida;
}

// application/x-www-form-urlencoded, in UTF-8 if a charset is named at all.
bool TipoAceito(std::string_view tipo) {
  const std::string t = Minusculas(tipo);
  const std::string forma = "application/x-www-form-urlencoded";
  return t == forma || t == forma + ";charset=utf-8";
}

// Whether a role may take a route that asks for `exigido`. The accountant's role takes the
// archive of CF-e only; the archive is the technician's too.
bool Permite(Acesso acesso, Acesso exigido) {
  if (exigido == Acesso::Contador) {
    return acesso == Acesso::Contador || acesso == Acesso::Tecnico;
  }
  return acesso != Acesso::Contador && acesso >= exigido;
}

// What goes back for one request.
struct Resposta {
  http::status status = http::status::ok;
  std::string tipo = "application/json";
  std::string corpo;
  std::vector<std::pair<http::field, std::string>> cabecalhos;
  bool fechar = false;
  // A month's zip: `corpo` holds its first block, and the rest is read from here as it goes.
  std::shared_ptr<Exportacao> exportacao;
};

Resposta Erro(http::status status, const std::string &erro) {
  Resposta r;
  r.status = status;
  r.corpo = Json(json{{"erro", erro}});
  return r;
}

// (Built outside the coroutines: g++ 12 ends an initializer list's array too early there.)
Resposta Retorno(const Funcao &funcao, const std::string &resposta) {
  Resposta r;
  r.corpo = Json(json{{"funcao", ExportadaDe(funcao)}, {"retorno", Windows1252ParaUtf8(resposta)}});
  return r;
}

Resposta Ocupado(const std::string &erro) {
  Resposta r = Erro(http::status::service_unavailable, erro);
  r.cabecalhos.emplace_back(http::field::retry_after, "1");
  return r;
}

// A function call's outcome, as the worker leaves it.
struct Trabalho {
  Resultado resultado;
  bool clienteFoi = false;
  bool imprimir = false; // the checkout asked for the extrato on the shop's printer
  int caixa = 0;
};

// What one request's log line carries.
struct Linha {
  Relogio::time_point inicio = Relogio::now();
  std::string funcao;
  const Funcao *chamada = nullptr; // one of the sixteen, for the metrics
  std::string caixa = "-";
  std::string sessao = "-";
  std::string codigo = "-";
  std::string ignorados;
  int64_t diario = 0;   // a fiscal reply's journal row
  bool anonima = false; // refused before its credentials were known: logged at a bounded rate
  Acesso acesso = Acesso::Nenhum; // what its credentials (or address) let it do
};

// The client's address as the networks and the log read it (an IPv4-mapped IPv6 address as
// IPv4).
std::string Endereco(const tcp::endpoint &ponta) {
  asio::ip::address a = ponta.address();
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  }
  return a.to_string();
}

// The socket says the client has gone: reset, or closed its side (a client that gave up
// closes; one that only half-closed can still read the 503 it gets instead).
bool ClienteFoi(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) {
    return false;
  }
  return (p.revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0;
}

// Acknowledges what comes at once rather than after the delayed-ACK wait (40 ms): a client that
// writes a request's header and body apart, with Nagle on (most do), waits for that ACK before
// its second write on a kept-alive connection. Linux drops the mode by itself: it is set again
// before each read.
void AckImediato(int fd) {
  int sim = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &sim, sizeof sim);
}

// Lines refused before authentication: a burst, then a few a second, with the count of those
// left out in the next line written.
class Cota {
public:
  bool Passa(size_t &omitidas) {
    const auto agora = Relogio::now();
    fichas_ = std::min(kRajada, fichas_ + std::chrono::duration<double>(agora - ultima_).count() *
                                              kPorSegundo);
    ultima_ = agora;
    if (fichas_ < 1) {
      ++omitidas_;
      return false;
    }
    fichas_ -= 1;
    omitidas = omitidas_;
    omitidas_ = 0;
    return true;
  }

private:
  static constexpr double kRajada = 20;
  static constexpr double kPorSegundo = 5;
  double fichas_ = kRajada;
  Relogio::time_point ultima_ = Relogio::now();
  size_t omitidas_ = 0;
};

} // namespace

// ---------------------------------------------------------------------------------------------

struct Servidor::Rede {
  struct Conexao {
    uint64_t numero = 0;
    std::string endereco;
    bool ociosa = true;     // waiting for a request's first byte
    bool atendida = false;  // has had a reply: between requests, not a new connection
    bool despejada = false; // its room given to another: it ends after what it has begun
    Relogio::time_point desde = Relogio::now();
    std::function<void()> cancela; // the wait for the next request
  };

  explicit Rede(Servidor &s) : servidor(s), aceitador(io), tls(asio::ssl::context::tls_server) {}

  // The state first: the event loop, declared after it, is destroyed before it, and with it
  // the coroutines still suspended, whose guards take their connections out of these maps.
  Servidor &servidor;
  std::map<uint64_t, Conexao *> conexoes;
  std::map<std::string, size_t> porEndereco;
  uint64_t proxima = 1;
  size_t recusando = 0;
  bool encerrando = false;
  bool trabalhadorParou = false;
  Relogio::time_point parouEm;
  Cota cota;
  bool comTls = false;
  asio::io_context io{1};
  tcp::acceptor aceitador;
  asio::ssl::context tls;
  asio::thread_pool auxiliar{4}; // the page's status queries, the journal's notes, the zips
  size_t exportando = 0;         // months' zips under way
  std::thread fim;

  const Configuracao &C() const { return servidor.configuracao_; }

  void Anota(const std::string &texto, bool recente, bool anonima) {
    if (!anonima) {
      servidor.registro_.Escreve(texto, recente);
      return;
    }
    size_t omitidas = 0;
    if (cota.Passa(omitidas)) {
      servidor.registro_.Escreve(
          texto + (omitidas > 0
                       ? " (" + std::to_string(omitidas) + " requisições recusadas não registradas)"
                       : std::string()),
          recente);
    }
  }

  // ---- the connections --------------------------------------------------------------------

  // Makes room for one more connection from `endereco` by closing the longest-idle one (of
  // that address when it is that address's limit that is reached). Only a connection that has
  // had its reply and then waited kFolga for another goes: a client writes its next request on
  // a connection it believes open, and one just closed under it fails unanswered. False when
  // none is that idle.
  bool LiberaOciosa(const std::string &endereco) {
    const bool doEndereco = porEndereco[endereco] >= C().conexoesPorEndereco;
    const auto agora = Relogio::now();
    Conexao *escolhida = nullptr;
    for (const auto &[numero, c] : conexoes) {
      if (c->ociosa && c->atendida && agora - c->desde >= kFolga &&
          (!doEndereco || c->endereco == endereco) &&
          (escolhida == nullptr || c->desde < escolhida->desde)) {
        escolhida = c;
      }
    }
    if (escolhida == nullptr) {
      return false;
    }
    Despeja(*escolhida);
    return true;
  }

  // Near the limits a reply says Connection: close, so that kept-alive connections give their
  // room back between requests, cleanly, rather than be closed under a client.
  bool Apertado(const std::string &endereco) const {
    const auto n = porEndereco.find(endereco);
    return conexoes.size() * 4 >= C().conexoes * 3 ||
           (n != porEndereco.end() && n->second * 4 >= C().conexoesPorEndereco * 3);
  }

  // Ends the wait for its next request. A request whose bytes came just before is still
  // answered (with Connection: close): the client sent it on a connection it saw open.
  void Despeja(Conexao &c) {
    Esquece(c);
    c.despejada = true;
    c.cancela();
  }

  void Esquece(Conexao &c) {
    if (conexoes.erase(c.numero) > 0 && --porEndereco[c.endereco] == 0) {
      porEndereco.erase(c.endereco);
    }
    servidor.conexoesAbertas_ = conexoes.size();
  }

  bool Cabe(const std::string &endereco) {
    const auto n = porEndereco.find(endereco);
    return conexoes.size() < C().conexoes &&
           (n == porEndereco.end() || n->second < C().conexoesPorEndereco);
  }

  asio::awaitable<void> Aceita() {
    for (;;) {
      error_code ec;
      tcp::socket socket =
          co_await aceitador.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        if (!aceitador.is_open() || encerrando) {
          co_return;
        }
        // Out of descriptors, most likely: a pause, not a spin.
        asio::steady_timer pausa(io, std::chrono::milliseconds(100));
        co_await pausa.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        continue;
      }
      socket.set_option(tcp::no_delay(true), ec);
      const tcp::endpoint ponta = socket.remote_endpoint(ec);
      if (ec) {
        continue;
      }
      const std::string endereco = Endereco(ponta);
      if (!Cabe(endereco) && !LiberaOciosa(endereco)) {
        ++servidor.conexoesRecusadas_;
        Anota(endereco + ":" + std::to_string(ponta.port()) +
                  " conexão recusada: " + std::to_string(conexoes.size()) + " abertas, " +
                  std::to_string(porEndereco[endereco]) + " deste endereço",
              false, true);
        if (recusando < kRecusasSimultaneas) {
          asio::co_spawn(io, Recusa(std::move(socket)), asio::detached);
        }
        continue;
      }
      asio::co_spawn(io, Conecta(std::move(socket), endereco, ponta.port()), asio::detached);
    }
  }

  // A 503 for a connection there is no room for, and a lingering close.
  asio::awaitable<void> Recusa(tcp::socket socket) {
    ++recusando;
    beast::tcp_stream fluxo(std::move(socket));
    const std::string corpo = Erro(http::status::service_unavailable,
                                   "o satd não tem lugar para outra conexão agora; tente de novo")
                                  .corpo;
    const std::string texto = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: "
                              "application/json\r\nRetry-After: 1\r\nConnection: close\r\n"
                              "Content-Length: " +
                              std::to_string(corpo.size()) + "\r\n\r\n" + corpo;
    fluxo.expires_after(kDespedida);
    error_code ec;
    co_await asio::async_write(fluxo, asio::buffer(texto),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
      co_await Despede(fluxo);
    }
    --recusando;
  }

  template <class Fluxo> asio::awaitable<void> Despede(Fluxo &fluxo) {
    auto &tcp = beast::get_lowest_layer(fluxo);
    error_code ec;
    tcp.socket().shutdown(tcp::socket::shutdown_send, ec);
    tcp.expires_after(kDespedida);
    char lixo[4096];
    // A refused body of the largest size still being sent is read to its end.
    for (size_t lidos = 0; !ec && lidos < C().corpoMaximo + 1024 * 1024;) {
      lidos += co_await tcp.async_read_some(asio::buffer(lixo),
                                            asio::redirect_error(asio::use_awaitable, ec));
    }
    tcp.socket().close(ec);
  }

  asio::awaitable<void> Conecta(tcp::socket socket, std::string endereco, unsigned short porta) {
    Conexao c;
    c.numero = proxima++;
    c.endereco = endereco;
    conexoes[c.numero] = &c;
    ++porEndereco[endereco];
    servidor.conexoesAbertas_ = conexoes.size();
    struct Guarda {
      Rede &rede;
      Conexao &c;
      ~Guarda() { rede.Esquece(c); }
    } guarda{*this, c};

    beast::tcp_stream fluxo(std::move(socket));
    const std::string cliente = endereco + ":" + std::to_string(porta);
    if (!comTls) {
      c.cancela = [&fluxo] {
        error_code ec;
        fluxo.socket().cancel(ec);
      };
      co_await Serve(fluxo, c, cliente);
      co_return;
    }
    beast::ssl_stream<beast::tcp_stream> seguro(std::move(fluxo), tls);
    c.cancela = [&seguro] {
      error_code ec;
      beast::get_lowest_layer(seguro).socket().cancel(ec);
    };
    beast::get_lowest_layer(seguro).expires_after(C().prazo);
    error_code ec;
    co_await seguro.async_handshake(asio::ssl::stream_base::server,
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
      co_await Serve(seguro, c, cliente);
    }
  }

  // ---- one connection's requests, in order ------------------------------------------------

  template <class Fluxo>
  asio::awaitable<void> Serve(Fluxo &fluxo, Conexao &c, const std::string &cliente) {
    auto &tcp = beast::get_lowest_layer(fluxo);
    beast::flat_buffer buffer;
    bool primeira = true;
    for (;;) {
      error_code ec;
      c.ociosa = true;
      c.desde = Relogio::now();
      if (encerrando) {
        break;
      }
      AckImediato(tcp.socket().native_handle());
      if (buffer.size() == 0) {
        // Between requests the wait is the idle one; a new connection gets the request's.
        tcp.expires_after(primeira ? std::chrono::duration_cast<std::chrono::seconds>(C().prazo) +
                                         std::chrono::seconds(1)
                                   : C().ociosa);
        const size_t n = co_await fluxo.async_read_some(
            buffer.prepare(4096), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
          break;
        }
        buffer.commit(n);
      }
      c.ociosa = false;
      primeira = false;
      // From its first byte, a request's header and body arrive within the deadline.
      tcp.expires_after(C().prazo);

      Linha linha;
      http::request_parser<http::string_body> leitor;
      leitor.header_limit(static_cast<std::uint32_t>(kCabecalhoMaximo));
      leitor.body_limit(C().corpoMaximo);
      co_await http::async_read_header(fluxo, buffer, leitor,
                                       asio::redirect_error(asio::use_awaitable, ec));
      std::optional<Resposta> resposta;
      bool lerCorpo = false;
      if (ec == beast::error::timeout) {
        Anota(cliente + " conexão derrubada: o cabeçalho da requisição não chegou em " +
                  std::to_string(C().prazo.count()) + " ms",
              false, true);
        break;
      } else if (ec == http::error::header_limit) {
        resposta =
            Erro(http::status::request_header_fields_too_large,
                 "cabeçalho da requisição acima de " + std::to_string(kCabecalhoMaximo) + " bytes");
        linha.anonima = true;
      } else if (ec == http::error::body_limit) {
        // A Content-Length over the limit is known from the header.
        resposta =
            Erro(http::status::payload_too_large,
                 "corpo da requisição acima de " + std::to_string(C().corpoMaximo) + " bytes");
        linha.anonima = true;
      } else if (ec) {
        if (ec == http::error::end_of_stream || ec == asio::error::eof ||
            ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
          break;
        }
        resposta = Erro(http::status::bad_request, "requisição HTTP malformada: " + ec.message());
        linha.anonima = true;
      } else {
        resposta = Examina(leitor, c.endereco, linha, lerCorpo);
      }
      auto &pedido = leitor.get();
      if (resposta) {
        // Refused on its header: a body not read leaves the connection unusable.
        if (!leitor.is_done()) {
          resposta->fechar = true;
        }
      } else {
        if (lerCorpo && !leitor.is_done()) {
          if (Minusculas(Sv(pedido[http::field::expect])) == "100-continue") {
            http::response<http::empty_body> continua{http::status::continue_, 11};
            co_await http::async_write(fluxo, continua,
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
              break;
            }
          }
          AckImediato(tcp.socket().native_handle());
          co_await http::async_read(fluxo, buffer, leitor,
                                    asio::redirect_error(asio::use_awaitable, ec));
        }
        if (ec == beast::error::timeout) {
          Anota(cliente + " conexão derrubada: o corpo da requisição não chegou em " +
                    std::to_string(C().prazo.count()) + " ms",
                false, false);
          break;
        } else if (ec == http::error::body_limit) {
          resposta =
              Erro(http::status::payload_too_large,
                   "corpo da requisição acima de " + std::to_string(C().corpoMaximo) + " bytes");
          resposta->fechar = true;
        } else if (ec) {
          if (ec == http::error::end_of_stream || ec == asio::error::eof ||
              ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
            break;
          }
          resposta = Erro(http::status::bad_request, "requisição HTTP malformada: " + ec.message());
          resposta->fechar = true;
        } else {
          tcp.expires_never();
          resposta = co_await Atende(pedido, linha, tcp.socket().native_handle());
        }
      }

      http::response<http::string_body> saida{resposta->status, 11};
      saida.set(http::field::server, "satd");
      saida.set(http::field::content_type, resposta->tipo);
      saida.set(http::field::cache_control, "no-store");
      for (const auto &[campo, valor] : resposta->cabecalhos) {
        saida.set(campo, valor);
      }
      const bool zip = resposta->exportacao != nullptr;
      if (!zip) {
        saida.body() = std::move(resposta->corpo);
      }
      const bool continua = !resposta->fechar && !encerrando && !c.despejada && leitor.is_done() &&
                            pedido.keep_alive() && !Apertado(c.endereco);
      saida.keep_alive(continua);
      if (!zip) {
        saida.prepare_payload();
      } else if (pedido.version() == 11) {
        saida.chunked(true); // HTTP/1.0 reads to the connection's end
      }
      const int status = static_cast<int>(saida.result_int());
      // Counted before the reply goes out: a scrape that follows a checkout's reply finds it.
      if (linha.chamada != nullptr) {
        servidor.requisicoes_.Conta(
            *linha.chamada, linha.codigo, status,
            std::chrono::duration<double>(Relogio::now() - linha.inicio).count());
      }
      tcp.expires_after(C().prazo);
      if (zip) {
        co_await EnviaZip(fluxo, saida, *resposta, linha, ec);
      } else {
        co_await http::async_write(fluxo, saida, asio::redirect_error(asio::use_awaitable, ec));
      }
      std::string entrega;
      if (linha.diario != 0) {
        const bool entregue = !ec && co_await Confirma(tcp.socket().native_handle());
        entrega = entregue ? " entregue=sim" : " entregue=nao";
        if (!entregue) {
          ++servidor.naoEntregues_;
        }
        asio::post(auxiliar,
                   [this, id = linha.diario, entregue] { servidor.diario_.Entrega(id, entregue); });
      }
      const long long ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Relogio::now() - linha.inicio)
              .count();
      const std::string funcao =
          linha.funcao.empty()
              ? Limpo(std::string(pedido.method_string()) + " " + std::string(pedido.target()))
              : linha.funcao;
      // The page's own reloads would push the checkouts' calls off the page.
      Anota(cliente + " caixa=" + linha.caixa + " " + funcao + " sessao=" + linha.sessao +
                " codigo=" + linha.codigo + " http=" + std::to_string(status) + " " +
                std::to_string(ms) + "ms" + entrega + linha.ignorados,
            pedido.method() != http::verb::get, linha.anonima);
      if (ec) {
        break;
      }
      if (!continua) {
        co_await Despede(fluxo);
        co_return;
      }
      c.atendida = true;
    }
    error_code ec;
    tcp.socket().close(ec);
  }

  // A month's zip after its header, block by block: each is made on the auxiliary threads (the
  // event thread never waits for SQLite or deflate) and each must be taken by the client within
  // the deadline, or the connection is dropped and the export's read transaction ends with it.
  // `ec` is set when the zip did not go out whole.
  template <class Fluxo>
  asio::awaitable<void> EnviaZip(Fluxo &fluxo, http::response<http::string_body> &saida,
                                 Resposta &resposta, Linha &linha, error_code &ec) {
    struct Vaga {
      Rede &rede;
      ~Vaga() { --rede.exportando; }
    } vaga{*this};
    auto &tcp = beast::get_lowest_layer(fluxo);
    const std::shared_ptr<Exportacao> exportacao = std::move(resposta.exportacao);
    const bool pedacos = saida.chunked();
    std::string bloco = std::move(resposta.corpo), erro;
    std::string porque;
    http::response_serializer<http::string_body> serializador{saida};
    co_await http::async_write_header(fluxo, serializador,
                                      asio::redirect_error(asio::use_awaitable, ec));
    while (!ec) {
      if (!bloco.empty()) {
        tcp.expires_after(C().prazo);
        if (pedacos) {
          co_await asio::async_write(fluxo, http::make_chunk(asio::buffer(bloco)),
                                     asio::redirect_error(asio::use_awaitable, ec));
        } else {
          co_await asio::async_write(fluxo, asio::buffer(bloco),
                                     asio::redirect_error(asio::use_awaitable, ec));
        }
        if (ec) {
          porque = ec == beast::error::timeout ? "o cliente não leu um bloco em " +
                                                     std::to_string(C().prazo.count()) + " ms"
                                               : "o cliente foi embora";
          break;
        }
      }
      if (exportacao->Terminada()) {
        break;
      }
      if (encerrando) {
        porque = "o satd está parando";
        ec = asio::error::operation_aborted;
        break;
      }
      bloco.clear();
      bool feito = false;
      co_await NoAuxiliar([&] { feito = exportacao->Avanca(bloco, kBlocoZip, erro); });
      if (!feito) {
        porque = erro;
        ec = asio::error::fault;
      }
    }
    if (!ec && pedacos) {
      tcp.expires_after(C().prazo);
      co_await asio::async_write(fluxo, http::make_chunk_last(),
                                 asio::redirect_error(asio::use_awaitable, ec));
    }
    linha.ignorados += " documentos=" + std::to_string(exportacao->Documentos()) +
                       (porque.empty() ? std::string() : " interrompida: " + porque);
  }

  // Whether the client's machine has acknowledged every byte written to it (the socket's send
  // queue emptied), within kConfirmacao.
  asio::awaitable<bool> Confirma(int fd) {
    asio::steady_timer passo(io);
    const auto limite = Relogio::now() + kConfirmacao;
    for (;;) {
      int pendentes = 0;
      int erro = 0;
      socklen_t tamanho = sizeof erro;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &erro, &tamanho) != 0 || erro != 0 ||
          ioctl(fd, SIOCOUTQ, &pendentes) != 0) {
        co_return false;
      }
      if (pendentes == 0) {
        co_return true;
      }
      if (Relogio::now() >= limite) {
        co_return false;
      }
      passo.expires_after(std::chrono::milliseconds(2));
      error_code ec;
      co_await passo.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  // ---- routes -----------------------------------------------------------------------------

  // Everything the header alone decides: a refusal, or nothing (and whether a body is to be
  // read) when the request may go on.
  std::optional<Resposta> Examina(http::request_parser<http::string_body> &leitor,
                                  const std::string &endereco, Linha &linha, bool &lerCorpo) {
    const auto &pedido = leitor.get();
    if (static_cast<size_t>(std::distance(pedido.begin(), pedido.end())) > kCamposMaximos) {
      linha.anonima = true;
      return Erro(http::status::request_header_fields_too_large,
                  "mais de " + std::to_string(kCamposMaximos) + " campos no cabeçalho");
    }
    const std::string_view alvo(pedido.target().data(), pedido.target().size());
    const std::string caminho(alvo.substr(0, alvo.find('?')));
    const std::string &base = C().base;
    const Acesso acesso =
        servidor.Identifica(std::string(pedido[http::field::authorization]), endereco);
    linha.acesso = acesso;

    // Nothing, not even which functions exist, is told before the credentials.
    if (acesso == Acesso::Nenhum) {
      linha.anonima = true;
      Resposta r = Erro(http::status::unauthorized, "credenciais válidas necessárias");
      r.cabecalhos.emplace_back(http::field::www_authenticate,
                                "Basic realm=\"satd\", charset=\"UTF-8\"");
      return r;
    }
    const Funcao *funcao = nullptr;
    Acesso exigido = Acesso::Caixa;
    bool post = false;
    if (caminho == "/metrics") {
      exigido = Acesso::Metricas;
    } else if (caminho == "/" || caminho == base + "/status" || caminho == base + "/saude") {
    } else if (caminho.compare(0, base.size() + 5, base + "/cfe/") == 0) {
      exigido = Acesso::Contador;
      linha.funcao = "cfe";
    } else if (caminho == base + "/cfe") {
      exigido = Acesso::Contador;
      linha.funcao = "cfe-lista";
    } else if (caminho.compare(0, base.size() + 9, base + "/arquivo/") == 0) {
      exigido = Acesso::Contador;
      linha.funcao = "arquivo";
    } else if (caminho.compare(0, base.size() + 1, base + "/") == 0) {
      const std::string nome = caminho.substr(base.size() + 1);
      funcao = ProcuraFuncao(nome);
      if (funcao == nullptr) {
        return Erro(http::status::not_found, "função desconhecida: " + Limpo(nome));
      }
      post = true;
      exigido = PapelDe(*funcao) == Papel::Tecnico ? Acesso::Tecnico : Acesso::Caixa;
      linha.funcao = nome;
    } else {
      return Erro(http::status::not_found, "caminho inexistente (as funções são POST " + base +
                                               "/<funcao>, o status é GET " + base + "/status)");
    }
    if (!Permite(acesso, exigido)) {
      return Erro(http::status::forbidden,
                  exigido == Acesso::Contador
                      ? "o arquivo de CF-e é do técnico e do contador: use a credencial [tecnico] "
                        "ou [arquivo]"
                  : acesso == Acesso::Contador
                      ? "a credencial do contador vale só para o arquivo de CF-e (GET " + base +
                            "/cfe e " + base + "/arquivo)"
                  : exigido == Acesso::Tecnico
                      ? "esta função é do técnico: use a credencial [tecnico]"
                      : "esta credencial vale só para GET /metrics");
    }
    const http::verb metodo = pedido.method();
    if (post != (metodo == http::verb::post) || (!post && metodo != http::verb::get)) {
      Resposta r = Erro(http::status::method_not_allowed,
                        post ? "as funções são chamadas com POST" : "este caminho é lido com GET");
      r.cabecalhos.emplace_back(http::field::allow, post ? "POST" : "GET");
      return r;
    }
    const auto codificacao = pedido.find(http::field::content_encoding);
    if (codificacao != pedido.end() && Minusculas(Sv(codificacao->value())) != "identity") {
      return Erro(http::status::unsupported_media_type,
                  "corpos comprimidos (Content-Encoding) não são aceitos");
    }
    const auto transferencia = pedido.find(http::field::transfer_encoding);
    if (transferencia != pedido.end() && Minusculas(Sv(transferencia->value())) != "chunked") {
      return Erro(http::status::not_implemented, "Transfer-Encoding diferente de chunked");
    }
    if (post && !TipoAceito(Sv(pedido[http::field::content_type]))) {
      return Erro(http::status::unsupported_media_type,
                  "o corpo deve ser application/x-www-form-urlencoded (UTF-8)");
    }
    linha.chamada = funcao;
    lerCorpo = true;
    return std::nullopt;
  }

  asio::awaitable<Resposta> Atende(http::request<http::string_body> &pedido, Linha &linha, int fd) {
    const std::string_view alvo(pedido.target().data(), pedido.target().size());
    const std::string caminho(alvo.substr(0, alvo.find('?')));
    if (linha.chamada != nullptr) {
      co_return co_await AtendeFuncao(*linha.chamada, pedido, alvo, linha, fd);
    }
    if (caminho == C().base + "/status") {
      Resposta r;
      r.corpo = servidor.Estado();
      co_return r;
    }
    const bool tecnico = linha.acesso == Acesso::Tecnico;
    Resposta r;
    int32_t sessao = 0;
    std::string codigo = "-";
    if (caminho == "/") {
      linha.funcao = "pagina";
      r.tipo = "text/html; charset=utf-8";
      co_await NoAuxiliar([&] {
        Painel p = servidor.MontaPainel(true, sessao, codigo);
        p.tecnico = tecnico;
        p.hoje = AgoraLocal("%Y-%m-%d");
        p.dia = servidor.diario_.DoDia(p.hoje);
        p.ultimos = servidor.diario_.Ultimos(kUltimosDaPagina);
        p.base = C().base;
        r.corpo = PaginaHtml(p);
      });
    } else if (linha.funcao == "cfe" && caminho.size() > C().base.size() + 5 + 12 &&
               caminho.compare(caminho.size() - 12, 12, "/extrato.pdf") == 0) {
      linha.funcao = "extrato";
      const std::string digitos = DigitosDaChave(
          caminho.substr(C().base.size() + 5, caminho.size() - C().base.size() - 5 - 12));
      const size_t interrogacao = alvo.find('?');
      const std::string consulta(
          interrogacao == std::string_view::npos ? "" : alvo.substr(interrogacao + 1));
      const int papel = consulta.empty() || consulta == "papel=80" ? 80
                        : consulta == "papel=58"                   ? 58
                                                                   : 0;
      if (digitos.empty() || papel == 0) {
        co_return Erro(http::status::bad_request,
                       "o extrato é GET " + C().base +
                           "/cfe/{chave}/extrato.pdf[?papel=58], a chave com 44 dígitos");
      }
      bool feito = false, existe = false;
      std::string erro;
      co_await NoAuxiliar([&] {
        feito =
            ExtratoDoArquivo(servidor.diario_, digitos, EXTRATO_PDF, papel, r.corpo, erro, existe);
      });
      if (!feito) {
        co_return Erro(existe ? http::status::internal_server_error : http::status::not_found,
                       erro);
      }
      r.tipo = "application/pdf";
      r.cabecalhos.emplace_back(http::field::content_disposition,
                                "inline; filename=\"extrato-" + digitos + ".pdf\"");
    } else if (linha.funcao == "cfe") {
      const std::string digitos = DigitosDaChave(caminho.substr(C().base.size() + 5));
      if (digitos.empty()) {
        co_return Erro(http::status::bad_request,
                       "chave de acesso malformada: são CFe e 44 dígitos, ou os 44 dígitos");
      }
      std::optional<std::string> xml;
      co_await NoAuxiliar([&] { xml = servidor.diario_.Documento(digitos); });
      if (!xml) {
        co_return Erro(http::status::not_found, "nenhum CF-e com a chave " + digitos);
      }
      r.tipo = "application/xml";
      r.corpo = std::move(*xml);
    } else if (linha.funcao == "cfe-lista") {
      const size_t interrogacao = alvo.find('?');
      ConsultaArquivo consulta;
      std::string erro;
      if (!LeConsultaArquivo(interrogacao == std::string_view::npos ? ""
                                                                    : alvo.substr(interrogacao + 1),
                             consulta, erro)) {
        co_return Erro(http::status::bad_request, erro);
      }
      co_await NoAuxiliar([&] {
        const std::vector<Diario::Item> itens =
            servidor.diario_.Lista(consulta.de, consulta.ate, consulta.caixa, kItensDaLista + 1);
        json documentos = json::array();
        for (size_t i = 0; i < itens.size() && i < kItensDaLista; ++i) {
          const Diario::Item &d = itens[i];
          documentos.push_back({{"chave", "CFe" + d.chave},
                                {"tipo", d.tipo},
                                {"cnpj", d.cnpj},
                                {"caixa", d.caixa},
                                {"sessao", d.sessao},
                                {"emitido_em", d.emitidoEm},
                                {"total", d.total},
                                {"bytes", d.bytes}});
        }
        r.corpo = Json(json{{"documentos", std::move(documentos)},
                            {"completa", itens.size() <= kItensDaLista}});
      });
    } else if (linha.funcao == "arquivo") {
      co_return co_await AtendeArquivo(caminho.substr(C().base.size() + 9), linha);
    } else if (caminho == C().base + "/saude") {
      linha.funcao = "saude";
      co_await NoAuxiliar(
          [&] { r.corpo = Json(SaudeJson(servidor.MontaPainel(true, sessao, codigo))); });
    } else {
      linha.funcao = "metricas";
      r.tipo = "text/plain; version=0.0.4; charset=utf-8";
      co_await NoAuxiliar([&] {
        r.corpo =
            TextoMetricas(servidor.MontaPainel(false, sessao, codigo), servidor.requisicoes_) +
            TextoCentral(servidor.central_.Consulta()) +
            (servidor.extratos_.Configurada() ? TextoImpressora(servidor.extratos_.Consulta())
                                              : std::string());
      });
    }
    if (sessao != 0) {
      linha.sessao = Formata("%06d", sessao);
      linha.codigo = codigo;
    }
    co_return r;
  }

  // GET {base}/arquivo/AAAA-MM.zip: the export opened and its first block made here, so that a
  // journal that cannot be read gets its 500 before the reply's header goes out.
  asio::awaitable<Resposta> AtendeArquivo(const std::string &nome, Linha &linha) {
    const std::string mes = nome.substr(0, 7);
    if (nome.size() != 11 || nome.compare(7, 4, ".zip") != 0 || !MesValido(mes)) {
      co_return Erro(http::status::bad_request,
                     "o arquivo de um mês é " + C().base + "/arquivo/AAAA-MM.zip");
    }
    linha.ignorados += " mes=" + mes;
    if (exportando >= kExportacoes) {
      co_return Ocupado("já há " + std::to_string(kExportacoes) +
                        " exportações em curso; tente de novo depois");
    }
    ++exportando;
    auto exportacao = std::make_shared<Exportacao>();
    Resposta r;
    std::string erro;
    bool aberta = false;
    co_await NoAuxiliar([&] {
      aberta = exportacao->Abre(servidor.diario_.Arquivo(), mes, erro) &&
               exportacao->Avanca(r.corpo, kBlocoZip, erro);
    });
    if (!aberta) {
      --exportando;
      co_return Erro(http::status::internal_server_error, "não foi possível exportar: " + erro);
    }
    // From here the slot is given back when the zip has gone out (EnviaZip).
    r.exportacao = std::move(exportacao);
    r.tipo = "application/zip";
    r.cabecalhos.emplace_back(http::field::content_disposition,
                              "attachment; filename=\"cfe-" + mes + ".zip\"");
    r.fechar = true;
    co_return r;
  }

  asio::awaitable<Resposta> AtendeFuncao(const Funcao &funcao,
                                         http::request<http::string_body> &pedido,
                                         std::string_view alvo, Linha &linha, int fd) {
    // numero_caixa may come in the URL's query or a header, as hub clients send it.
    std::string erro;
    std::optional<std::string> caixa;
    std::vector<std::string> ignorados;
    const size_t interrogacao = alvo.find('?');
    if (interrogacao != std::string_view::npos) {
      std::map<std::string, std::string> consulta;
      if (!LeFormulario(alvo.substr(interrogacao + 1), consulta, erro)) {
        co_return Erro(http::status::bad_request, "a consulta da URL: " + erro);
      }
      for (const auto &[nome, valor] : consulta) {
        if (nome == "numero_caixa") {
          caixa = valor;
        } else {
          ignorados.push_back(nome);
        }
      }
    }
    const auto cabecalho = pedido.find("numero-caixa");
    if (cabecalho != pedido.end()) {
      const std::string valor(cabecalho->value());
      if (caixa && *caixa != valor) {
        co_return Erro(http::status::bad_request,
                       "numero_caixa difere entre a URL e o cabeçalho numero-caixa");
      }
      caixa = valor;
    }
    Pedido checado;
    if (!LePedido(funcao, pedido.body(), caixa ? &*caixa : nullptr, checado, erro)) {
      co_return Erro(http::status::bad_request, erro);
    }
    std::string body;
    pedido.body().swap(body); // the sale's text is in `checado` now
    linha.caixa = Formata("%03d", checado.caixa);
    ignorados.insert(ignorados.end(), checado.ignorados.begin(), checado.ignorados.end());
    if (!ignorados.empty()) {
      linha.ignorados = " ignorados=";
      for (size_t i = 0; i < ignorados.size() && i < 8; ++i) {
        linha.ignorados += (i > 0 ? "," : "") + Limpo(ignorados[i]).substr(0, 32);
      }
    }

    if (checado.imprimirExtrato && !servidor.extratos_.Configurada()) {
      co_return Erro(http::status::bad_request,
                     "imprimir_extrato=1, mas o satd não tem impressora ([impressora] destino): "
                     "nada foi enviado ao SAT");
    }
    auto trabalho = std::make_shared<Trabalho>();
    trabalho->imprimir = checado.imprimirExtrato;
    trabalho->caixa = checado.caixa;
    Fila::Tarefa tarefa = Tarefa(trabalho, fd, std::move(checado));
    const Fila::Desfecho desfecho = co_await NaFila(std::move(tarefa));
    co_return Conclui(funcao, desfecho, *trabalho, linha);
  }

  // The worker's part of a function call.
  Fila::Tarefa Tarefa(std::shared_ptr<Trabalho> trabalho, int fd, Pedido pedido) {
    return [this, trabalho, fd, pedido = std::move(pedido)] {
      // A client gone before its turn sees nothing: its sale does not go to the SAT.
      if (ClienteFoi(fd)) {
        trabalho->clienteFoi = true;
        return;
      }
      trabalho->resultado = servidor.sat_.Executa(pedido);
    };
  }

  Resposta Conclui(const Funcao &funcao, Fila::Desfecho desfecho, const Trabalho &trabalho,
                   Linha &linha) {
    const Resultado &resultado = trabalho.resultado;
    switch (desfecho) {
    case Fila::Desfecho::Feita:
      break;
    case Fila::Desfecho::Cheia:
      return Ocupado("a fila do SAT está cheia; tente de novo");
    case Fila::Desfecho::EsperaExcedida:
      return Ocupado("esperou " + std::to_string(C().espera.count()) +
                     " ms pelo SAT sem chegar a sua vez; tente de novo");
    case Fila::Desfecho::Encerrando:
      return Erro(http::status::service_unavailable, "o satd está parando");
    case Fila::Desfecho::Falhou:
      return Erro(http::status::internal_server_error, "a chamada falhou dentro do satd");
    }
    if (trabalho.clienteFoi) {
      return Erro(http::status::service_unavailable,
                  "a conexão foi fechada antes da vez da requisição: nada foi enviado ao "
                  "SAT");
    }
    if (!resultado.enviada) {
      return Erro(http::status::service_unavailable,
                  "não é possível gravar no diário do satd: nada foi enviado ao SAT");
    }
    linha.diario = resultado.diario;
    if (resultado.sessao != 0) {
      linha.sessao = Formata("%06d", resultado.sessao);
    } else if (resultado.doDiario) {
      linha.sessao = "diario";
    }
    linha.codigo = CodigoDaResposta(resultado.resposta);
    if (trabalho.imprimir && (linha.codigo == "06000" || linha.codigo == "07000")) {
      // The key is the reply's ninth field, "CFe" and its 44 digits.
      std::string_view r = resultado.resposta;
      for (int campo = 0; campo < 8 && !r.empty(); ++campo) {
        const size_t barra = r.find('|');
        r = barra == std::string_view::npos ? std::string_view{} : r.substr(barra + 1);
      }
      const std::string digitos = DigitosDaChave(std::string(r.substr(0, r.find('|'))));
      if (!digitos.empty()) {
        servidor.extratos_.Imprime(digitos, trabalho.caixa);
      }
    }
    return Retorno(funcao, resultado.resposta);
  }

  // ---- waiting without holding the event thread -------------------------------------------

  // A wait another thread ends: it posts `Acaba` to the event thread.
  struct Sinal {
    explicit Sinal(asio::io_context &io) : relogio(io) {
      relogio.expires_at(asio::steady_timer::time_point::max());
    }
    asio::steady_timer relogio;
    bool pronto = false;
    void Acaba() {
      pronto = true;
      relogio.cancel();
    }
  };

  asio::awaitable<Fila::Desfecho> NaFila(Fila::Tarefa tarefa) {
    auto sinal = std::make_shared<Sinal>(io);
    auto desfecho = std::make_shared<Fila::Desfecho>(Fila::Desfecho::Feita);
    uint64_t vez = 0;
    const auto recusa = servidor.fila_.Pede(
        std::move(tarefa),
        [this, sinal, desfecho](Fila::Desfecho d) {
          asio::post(io, [sinal, desfecho, d] {
            *desfecho = d;
            sinal->Acaba();
          });
        },
        vez);
    if (recusa) {
      co_return *recusa;
    }
    error_code ec;
    sinal->relogio.expires_after(servidor.fila_.Espera());
    co_await sinal->relogio.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!sinal->pronto && servidor.fila_.Retira(vez)) {
      co_return Fila::Desfecho::EsperaExcedida;
    }
    while (!sinal->pronto) {
      sinal->relogio.expires_at(asio::steady_timer::time_point::max());
      co_await sinal->relogio.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    co_return *desfecho;
  }

  // Runs `f` on the auxiliary threads (it may block) and resumes here when it is done.
  asio::awaitable<void> NoAuxiliar(std::function<void()> f) {
    auto sinal = std::make_shared<Sinal>(io);
    asio::post(auxiliar, [this, sinal, f = std::move(f)] {
      f();
      asio::post(io, [sinal] { sinal->Acaba(); });
    });
    error_code ec;
    while (!sinal->pronto) {
      co_await sinal->relogio.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  // ---- the stop ---------------------------------------------------------------------------

  void Encerra() {
    if (encerrando) {
      return;
    }
    encerrando = true;
    error_code ec;
    aceitador.close(ec);
    servidor.fila_.Encerra();
    std::vector<Conexao *> ociosas;
    for (const auto &[numero, c] : conexoes) {
      if (c->ociosa) {
        ociosas.push_back(c);
      }
    }
    for (Conexao *c : ociosas) {
      Despeja(*c);
    }
    fim = std::thread([this] {
      servidor.fila_.Aguarda();
      asio::post(io, [this] {
        trabalhadorParou = true;
        parouEm = Relogio::now();
      });
    });
    asio::co_spawn(io, Vigia(), asio::detached);
  }

  // Ends the event loop once the worker has stopped and the replies are out, or kSaidaFinal
  // after the worker stopped whatever the clients do.
  asio::awaitable<void> Vigia() {
    asio::steady_timer passo(io);
    for (;;) {
      if (trabalhadorParou && (conexoes.empty() || Relogio::now() - parouEm >= kSaidaFinal)) {
        io.stop();
        co_return;
      }
      passo.expires_after(std::chrono::milliseconds(20));
      error_code ec;
      co_await passo.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }
};

// ---------------------------------------------------------------------------------------------

Servidor::Servidor(const Configuracao &configuracao)
    : configuracao_(configuracao), credenciais_(configuracao.usuario, configuracao.senha),
      credenciaisTecnico_(configuracao.tecnicoUsuario, configuracao.tecnicoSenha),
      credenciaisMetricas_(configuracao.metricasUsuario, configuracao.metricasSenha),
      credenciaisArquivo_(configuracao.arquivoUsuario, configuracao.arquivoSenha),
      fila_(configuracao.fila, configuracao.espera), sat_(configuracao, registro_, &diario_),
      rede_(std::make_unique<Rede>(*this)), inicio_(Relogio::now()),
      inicioUnix_(std::time(nullptr)), extratos_(configuracao_, diario_, registro_),
      central_(configuracao_, diario_, registro_) {}

Servidor::~Servidor() {
  fila_.Encerra();
  fila_.Aguarda();
  if (rede_->fim.joinable()) {
    rede_->fim.join();
  }
  rede_->auxiliar.join();
}

Acesso Servidor::Identifica(const std::string &autorizacao, const std::string &endereco) const {
  const bool algumaCredencial =
      credenciais_.Exigidas() || credenciaisTecnico_.Exigidas() || credenciaisArquivo_.Exigidas();
  if (!autorizacao.empty() && algumaCredencial) {
    // All are compared every time: how long it takes tells nothing of which one matched.
    const bool tecnico =
        credenciaisTecnico_.Exigidas() && credenciaisTecnico_.Conferem(autorizacao);
    const bool caixa = credenciais_.Exigidas() && credenciais_.Conferem(autorizacao);
    const bool monitor =
        credenciaisMetricas_.Exigidas() && credenciaisMetricas_.Conferem(autorizacao);
    const bool contador =
        credenciaisArquivo_.Exigidas() && credenciaisArquivo_.Conferem(autorizacao);
    return tecnico    ? Acesso::Tecnico
           : caixa    ? Acesso::Caixa
           : monitor  ? Acesso::Metricas
           : contador ? Acesso::Contador
                      : Acesso::Nenhum;
  }
  if (configuracao_.redesClientes.Contem(endereco)) {
    return Acesso::Caixa;
  }
  // Without any credential satd listens on loopback only (or serves the networks above): the
  // machine's own users are its technicians, as before roles.
  if (!algumaCredencial && Loopback(endereco)) {
    return Acesso::Tecnico;
  }
  return Acesso::Nenhum;
}

bool Servidor::Prepara(std::string &erro) {
  if (!registro_.Abre(configuracao_.registro, erro) || !diario_.Abre(configuracao_.diario, erro)) {
    return false;
  }
  Rede &rede = *rede_;
  if (!configuracao_.certificado.empty()) {
    error_code ec;
    rede.tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    rede.tls.use_certificate_chain_file(configuracao_.certificado, ec);
    if (!ec) {
      rede.tls.use_private_key_file(configuracao_.chave, asio::ssl::context::pem, ec);
    }
    if (ec) {
      erro = "não foi possível carregar o certificado TLS " + configuracao_.certificado +
             " e a chave " + configuracao_.chave + ": " + ec.message();
      return false;
    }
    rede.comTls = true;
  }
  error_code ec;
  const asio::ip::address endereco = asio::ip::make_address(configuracao_.endereco, ec);
  const tcp::endpoint ponta(endereco, static_cast<unsigned short>(configuracao_.porta));
  // No SO_REUSEPORT: a second process on satd's port would take half of its connections to a
  // server that does not own the SAT. A port is one satd's; a second one must fail to start.
  if (!ec) {
    rede.aceitador.open(ponta.protocol(), ec);
  }
  if (!ec) {
    rede.aceitador.set_option(tcp::acceptor::reuse_address(true), ec);
  }
  if (!ec) {
    rede.aceitador.bind(ponta, ec);
  }
  if (!ec) {
    rede.aceitador.listen(1024, ec);
  }
  if (!ec) {
    portaHttp_ = rede.aceitador.local_endpoint(ec).port();
  }
  if (ec) {
    erro = "não foi possível escutar em " + configuracao_.endereco + " porta " +
           std::to_string(configuracao_.porta) + ": " + ec.message();
    return false;
  }
  // Read before the worker starts: from then on only the worker calls the library.
  std::string versao = VersaoLib();
  while (!versao.empty() && std::isspace(static_cast<unsigned char>(versao.back()))) {
    versao.pop_back();
  }
  versao_ = Windows1252ParaUtf8(versao);
  if (!central_.Inicia(erro)) {
    return false;
  }
  extratos_.Inicia();
  fila_.Inicia([this] { sat_.Prepara(); });
  registro_.Escreve("satd atendendo em " + Url() + "; porta do SAT " +
                    (configuracao_.portaSat >= 0 ? "COM" + std::to_string(configuracao_.portaSat)
                                                 : std::string("encontrada pela biblioteca")) +
                    "; diário " + configuracao_.diario + "; " + versao_);
  if (HttpSemTls(configuracao_)) {
    registro_.Escreve("aviso: HTTP sem TLS além do loopback, para os caixas de http.clientes; "
                      "requisições e respostas trafegam em texto claro");
  }
  return true;
}

std::string Servidor::Url() const {
  const bool ipv6 = configuracao_.endereco.find(':') != std::string::npos;
  return std::string(configuracao_.certificado.empty() ? "http" : "https") + "://" +
         (ipv6 ? "[" + configuracao_.endereco + "]" : configuracao_.endereco) + ":" +
         std::to_string(portaHttp_) + configuracao_.base;
}

bool Servidor::Atende() {
  Rede &rede = *rede_;
  asio::co_spawn(rede.io, rede.Aceita(), asio::detached);
  rede.io.run();
  fila_.Encerra();
  fila_.Aguarda();
  extratos_.Para();
  central_.Para();
  if (rede.fim.joinable()) {
    rede.fim.join();
  }
  registro_.Escreve("satd parou");
  return true;
}

void Servidor::Para() {
  asio::post(rede_->io, [this] { rede_->Encerra(); });
}

void Servidor::ReabreRegistros() {
  std::string erro;
  if (registro_.Reabre(erro)) {
    registro_.Escreve("nota: o registro foi reaberto");
  } else {
    registro_.Escreve("erro: " + erro + "; o registro continua no arquivo antigo");
  }
  sat_.ReabreLog();
}

Painel Servidor::MontaPainel(bool esperar, int32_t &sessao, std::string &codigo) {
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
        sessao = resultado.sessao;
        codigo = CodigoDaResposta(resultado.resposta);
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
  p.falhasRegistro = registro_.Falhas();
  const Diario::Acervo acervo = diario_.Resumo();
  p.cfeVendas = acervo.vendas;
  p.cfeCancelamentos = acervo.cancelamentos;
  p.cfeBytes = acervo.bytes;
  p.cfeMaisAntigo = acervo.maisAntigo;
  p.falhasDiario = diario_.Falhas();
  p.naoEntregues = naoEntregues_.load();
  p.conexoesRecusadas = conexoesRecusadas_.load();
  p.conexoesAbertas = conexoesAbertas_.load();
  p.semTls = HttpSemTls(configuracao_);
  return p;
}

std::string Servidor::Estado() const {
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
  return Json(corpo);
}

} // namespace satd
