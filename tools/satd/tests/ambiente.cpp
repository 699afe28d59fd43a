#include "ambiente.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace teste {

const char kCnpj[] = "11222333000181";
const char kCnpjSoftwareHouse[] = "22233344000183";

namespace {

using Relogio = std::chrono::steady_clock;

// A server that closes a connection must fail a request, not kill the test program (OpenSSL
// writes with write(), which raises SIGPIPE).
const bool kSemSigpipe = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Polls `condicao` every 20 ms until it holds or `segundos` pass.
bool Aguarda(const std::function<bool()> &condicao, int segundos = 30) {
  const auto fim = Relogio::now() + std::chrono::seconds(segundos);
  while (!condicao()) {
    if (Relogio::now() > fim) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

Loja::Loja() {
  // Short: the library's device path holds at most 63 characters.
  char modelo[] = "/tmp/satd.XXXXXX";
  pasta = mkdtemp(modelo);
  std::ofstream(pasta + "/codigo") << "12345678\n";
}

Loja::~Loja() {
  servidor.Encerra(SIGKILL);
  emulador.Encerra(SIGKILL);
  std::error_code ignorado;
  std::filesystem::remove_all(pasta, ignorado);
}

bool Loja::IniciaEmulador(const std::vector<std::string> &opcoes) {
  std::vector<std::string> args = {SATEMU_BINARIO, "--link", pasta + "/COM7", "--registro",
                                   pasta + "/registro.hex"};
  args.insert(args.end(), opcoes.begin(), opcoes.end());
  std::string linha;
  if (!emulador.Inicia(args, linha)) {
    erro = "satemu did not start";
    return false;
  }
  return true;
}

bool Loja::IniciaServidor(const std::map<std::string, std::string> &extra) {
  const auto mais = [&](const char *secao) {
    const auto e = extra.find(secao);
    return e == extra.end() ? std::string() : e->second + "\n";
  };
  std::ofstream(pasta + "/satd.toml")
      << "[http]\nporta = " << portaPedida << "\n"
      << mais("http") << "[sat]\narquivo_codigo_ativacao = \"" << pasta
      << "/codigo\"\nporta = 7\nlog = \"" << pasta << "/sat.log\"\n"
      << mais("sat") << "[fila]\n"
      << mais("fila") << "[registro]\narquivo = \"" << pasta << "/satd.log\"\n"
      << "[diario]\narquivo = \"" << pasta << "/diario.sqlite3\"\n"
      << mais("diario");
  for (const auto &[secao, linhas] : extra) {
    if (secao != "http" && secao != "sat" && secao != "fila" && secao != "diario") {
      std::ofstream(pasta + "/satd.toml", std::ios::app) << "[" << secao << "]\n" << linhas << "\n";
    }
  }
  std::string linha;
  OpcoesProcesso opcoes;
  opcoes.ambiente = {"SAT_DEV_DIR=" + pasta + "/"};
  opcoes.limiteArquivo = limiteArquivo;
  if (!servidor.Inicia({SATD_BINARIO, "--config", pasta + "/satd.toml"}, linha, opcoes)) {
    erro = "satd did not start: " + linha;
    return false;
  }
  // satd: atendendo em SCHEME://HOST:PORT/BASE
  const std::string inicio = "satd: atendendo em ";
  const size_t esquemaFim = linha.find("://");
  const size_t doisPontos = linha.rfind(':');
  const size_t barra = linha.find('/', doisPontos);
  if (linha.rfind(inicio, 0) != 0 || esquemaFim == std::string::npos ||
      barra == std::string::npos) {
    erro = "unexpected first line: " + linha;
    return false;
  }
  esquema = linha.substr(inicio.size(), esquemaFim - inicio.size());
  porta = std::atoi(linha.c_str() + doisPontos + 1);
  base = linha.substr(barra);
  return porta > 0;
}

std::string Loja::LeArquivo(const std::string &nome) const {
  std::ifstream entrada(pasta + "/" + nome, std::ios::binary);
  std::stringstream conteudo;
  conteudo << entrada.rdbuf();
  return conteudo.str();
}

std::string Loja::EsperaLinha(const std::vector<std::string> &trechos) const {
  std::string achada;
  Aguarda([&] {
    std::istringstream log(LeArquivo("satd.log"));
    for (std::string linha; std::getline(log, linha);) {
      bool todos = true;
      for (const std::string &t : trechos) {
        todos = todos && linha.find(t) != std::string::npos;
      }
      if (todos) {
        achada = linha;
        return true;
      }
    }
    return false;
  });
  return achada;
}

bool Loja::EsperaLinhas(const std::string &trecho, size_t quantas) const {
  return Aguarda([&] {
    const std::string log = LeArquivo("satd.log");
    size_t achadas = 0;
    for (size_t p = log.find(trecho); p != std::string::npos; p = log.find(trecho, p + 1)) {
      ++achadas;
    }
    return achadas >= quantas;
  });
}

httplib::Client Loja::Cliente() const {
  httplib::Client cliente(esquema + "://" + host + ":" + std::to_string(porta));
  cliente.set_read_timeout(120, 0);
  cliente.set_connection_timeout(10, 0);
  cliente.enable_server_certificate_verification(false);
  if (!usuario.empty()) {
    cliente.set_basic_auth(usuario, senha);
  }
  return cliente;
}

httplib::Result Loja::Chama(const std::string &funcao, httplib::Params campos, int caixa) const {
  campos.emplace("numero_caixa", std::to_string(caixa));
  return Cliente().Post(base + "/" + funcao, campos);
}

bool Loja::EsperaEstado(const std::function<bool(const nlohmann::json &)> &condicao) const {
  httplib::Client cliente = Cliente();
  return Aguarda([&] {
    const auto r = cliente.Get(base + "/status");
    if (!r || r->status != 200) {
      return false;
    }
    return condicao(nlohmann::json::parse(r->body));
  });
}

// ---------------------------------------------------------------------------------------------

Soquete::Soquete(int porta, const std::string &origem)
    : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local{AF_INET, 0, {}, {}};
  const sockaddr_in remoto{
      AF_INET, htons(static_cast<uint16_t>(porta)), {htonl(INADDR_LOOPBACK)}, {}};
  if (inet_pton(AF_INET, origem.c_str(), &local.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
      connect(fd_, reinterpret_cast<const sockaddr *>(&remoto), sizeof remoto) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

Soquete::~Soquete() { close(fd_); }

bool Soquete::Le(Relogio::time_point ate) {
  const long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(ate - Relogio::now()).count();
  pollfd p{fd_, POLLIN, 0};
  char bloco[65536];
  const ssize_t n = fd_ >= 0 && !fim_ && poll(&p, 1, int(std::max(0L, ms))) > 0
                        ? recv(fd_, bloco, sizeof bloco, 0)
                        : -2;
  recebido_.append(bloco, static_cast<size_t>(std::max<ssize_t>(0, n)));
  fim_ = fim_ || n == 0 || n == -1;
  return n > 0;
}

bool Soquete::Envia(std::string_view bytes) {
  for (pollfd p{fd_, POLLOUT | POLLIN, 0};
       !bytes.empty() && fd_ >= 0 && !fim_ && poll(&p, 1, 5000) > 0;) {
    Le(Relogio::now());
    const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(std::max<ssize_t>(0, n)));
  }
  return bytes.empty();
}

int Soquete::Resposta(int ms) {
  const auto ate = Relogio::now() + std::chrono::milliseconds(ms);
  do {
    const size_t cabeca = recebido_.find("\r\n\r\n");
    cabecalho = recebido_.substr(0, cabeca);
    const char *campo = strcasestr(cabecalho.c_str(), "\r\ncontent-length:");
    const size_t fim = cabeca + 4 + (campo != nullptr ? std::strtoul(campo + 17, nullptr, 10) : 0);
    if (cabeca != std::string::npos && recebido_.size() >= fim) {
      corpo = recebido_.substr(cabeca + 4, fim - cabeca - 4);
      recebido_.erase(0, fim);
      return cabecalho.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(cabecalho.c_str() + 9) : 0;
    }
  } while (Le(ate));
  corpo = cabecalho = "";
  return 0;
}

bool Soquete::Fecha(int ms) {
  const auto ate = Relogio::now() + std::chrono::milliseconds(ms);
  while (Le(ate) && Relogio::now() < ate) { // once at least: Fecha(0) reads what is there
  }
  return fim_;
}

} // namespace teste
