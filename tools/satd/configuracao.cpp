#include "configuracao.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include "central.h"
#include "comum/impressora.h"

namespace satd {

namespace {

// One key: reads its value into the configuration, or says what is wrong with it.
using Leitor = std::function<bool(const toml::node &, Configuracao &, std::string &)>;

Leitor Texto(std::string Configuracao::*campo, bool vazio = true) {
  return [=](const toml::node &no, Configuracao &c, std::string &erro) {
    const auto valor = no.value_exact<std::string>();
    if (!valor || (!vazio && valor->empty())) {
      erro = vazio ? "deve ser um texto" : "deve ser um texto não vazio";
      return false;
    }
    c.*campo = *valor;
    return true;
  };
}

// Also for durations, counted in the unit of the field.
template <typename T> Leitor Inteiro(T Configuracao::*campo, int64_t minimo, int64_t maximo) {
  return [=](const toml::node &no, Configuracao &c, std::string &erro) {
    const auto valor = no.value_exact<int64_t>();
    if (!valor || *valor < minimo || *valor > maximo) {
      erro = "deve ser um número inteiro de " + std::to_string(minimo) + " a " +
             std::to_string(maximo);
      return false;
    }
    c.*campo = static_cast<T>(*valor);
    return true;
  };
}

Leitor Booleano(bool Configuracao::*campo) {
  return [=](const toml::node &no, Configuracao &c, std::string &erro) {
    const auto valor = no.value_exact<bool>();
    if (!valor) {
      erro = "deve ser true ou false";
      return false;
    }
    c.*campo = *valor;
    return true;
  };
}

bool EnderecoIp(const std::string &texto) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, texto.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, texto.c_str(), bytes) == 1;
}

// A name would resolve to whatever the resolver says at start, and "localhost" may not be
// loopback at all.
bool LeEndereco(const toml::node &no, Configuracao &c, std::string &erro) {
  const auto valor = no.value_exact<std::string>();
  if (!valor || !EnderecoIp(*valor)) {
    erro = "deve ser um endereço IP, como 127.0.0.1, 0.0.0.0 ou ::";
    return false;
  }
  c.endereco = *valor;
  return true;
}

bool LeClientes(const toml::node &no, Configuracao &c, std::string &erro) {
  const toml::array *lista = no.as_array();
  if (lista == nullptr || (!lista->empty() && !lista->is_homogeneous(toml::node_type::string))) {
    erro = "deve ser uma lista de textos";
    return false;
  }
  std::vector<std::string> clientes;
  for (const toml::node &elemento : *lista) {
    clientes.push_back(*elemento.value_exact<std::string>());
  }
  if (!c.redesClientes.Le(clientes, erro)) {
    erro = "inválido: " + erro;
    return false;
  }
  c.clientes = clientes;
  return true;
}

const std::map<std::string, std::map<std::string, Leitor>> &Esquema() {
  static const std::map<std::string, std::map<std::string, Leitor>> esquema = {
      {"http",
       {{"endereco", LeEndereco},
        {"porta", Inteiro(&Configuracao::porta, 0, 65535)},
        {"base", Texto(&Configuracao::base)},
        {"usuario", Texto(&Configuracao::usuario)},
        {"senha", Texto(&Configuracao::senha)},
        {"certificado", Texto(&Configuracao::certificado)},
        {"chave", Texto(&Configuracao::chave)},
        {"corpo_maximo", Inteiro(&Configuracao::corpoMaximo, 65536, 64 * 1024 * 1024)},
        {"conexoes", Inteiro(&Configuracao::conexoes, 4, 4096)},
        {"conexoes_por_endereco", Inteiro(&Configuracao::conexoesPorEndereco, 1, 4096)},
        {"prazo_ms", Inteiro(&Configuracao::prazo, 100, 600000)},
        {"ociosa_s", Inteiro(&Configuracao::ociosa, 1, 3600)},
        {"clientes", LeClientes}}},
      {"tecnico",
       {{"usuario", Texto(&Configuracao::tecnicoUsuario)},
        {"senha", Texto(&Configuracao::tecnicoSenha)}}},
      {"diario", {{"arquivo", Texto(&Configuracao::diario, false)}}},
      {"sat",
       {{"codigo_ativacao", Texto(&Configuracao::codigoAtivacao)},
        {"arquivo_codigo_ativacao", Texto(&Configuracao::arquivoCodigo)},
        {"porta", Inteiro(&Configuracao::portaSat, 0, 9999)},
        {"log", Texto(&Configuracao::logSat)}}},
      {"fila",
       {{"tamanho", Inteiro(&Configuracao::fila, 1, 1000)},
        {"espera_ms", Inteiro(&Configuracao::espera, 1, 3600000)}}},
      {"registro", {{"arquivo", Texto(&Configuracao::registro)}}},
      {"saude",
       {{"intervalo_s", Inteiro(&Configuracao::intervaloSaude, 0, 3600)},
        {"certificado_dias", Inteiro(&Configuracao::certificadoDias, 1, 3650)},
        {"relogio_minutos", Inteiro(&Configuracao::relogioMinutos, 1, 1440)}}},
      {"metricas",
       {{"usuario", Texto(&Configuracao::metricasUsuario)},
        {"senha", Texto(&Configuracao::metricasSenha)}}},
      {"arquivo",
       {{"usuario", Texto(&Configuracao::arquivoUsuario)},
        {"senha", Texto(&Configuracao::arquivoSenha)}}},
      {"central",
       {{"conexao", Texto(&Configuracao::centralConexao, false)},
        {"arquivo_senha", Texto(&Configuracao::centralArquivoSenha, false)},
        {"loja", Texto(&Configuracao::centralLoja, false)},
        {"lote", Inteiro(&Configuracao::centralLote, 1, 1000)},
        {"prazo_s", Inteiro(&Configuracao::centralPrazo, 1, 600)}}},
      {"impressora",
       {{"destino", Texto(&Configuracao::impressora, false)},
        {"papel", Inteiro(&Configuracao::impressoraPapel, 58, 80)},
        {"imagem", Booleano(&Configuracao::impressoraImagem)}}},
  };
  return esquema;
}

// Requests are routed by plain prefix: a base with "//", "." or ".." would never match what a
// client's library normalizes its URL to.
bool BaseValida(const std::string &base) {
  if (base.empty() || base.front() != '/' ||
      base.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/_-"
                             ".") != std::string::npos) {
    return false;
  }
  for (size_t inicio = 1; inicio <= base.size();) {
    const size_t fim = std::min(base.find('/', inicio), base.size());
    const std::string segmento = base.substr(inicio, fim - inicio);
    if (segmento.empty() || segmento == "." || segmento == "..") {
      return false;
    }
    inicio = fim + 1;
  }
  return true;
}

bool CredencialValida(const std::string &usuario, const std::string &senha) {
  return usuario.empty() == senha.empty() && usuario.find(':') == std::string::npos;
}

bool ConfereImpressora(const Configuracao &c, std::string &erro) {
  if (c.impressora.empty()) {
    if (c.impressoraPapel != 80 || c.impressoraImagem) {
      erro = "[impressora] exige impressora.destino";
      return false;
    }
    return true;
  }
  if (c.impressoraPapel != 80 && c.impressoraPapel != 58) {
    erro = "impressora.papel deve ser 80 ou 58 (mm)";
    return false;
  }
  const std::string motivo = comum::ConfereImpressora(c.impressora);
  if (!motivo.empty()) {
    erro = "impressora.destino: " + motivo;
    return false;
  }
  return true;
}

bool ConfereCentral(Configuracao &c, std::string &erro) {
  if (c.centralConexao.empty()) {
    if (!c.centralArquivoSenha.empty() || !c.centralLoja.empty()) {
      erro = "[central] exige central.conexao";
      return false;
    }
    return true;
  }
  if (!ConfereConexaoCentral(c.centralConexao, erro)) {
    erro = "central.conexao " + erro;
    return false;
  }
  if (!c.centralArquivoSenha.empty()) {
    std::ifstream entrada(c.centralArquivoSenha);
    if (!entrada || !std::getline(entrada, c.centralSenha)) {
      erro = "não foi possível ler a senha de central.arquivo_senha " + c.centralArquivoSenha;
      return false;
    }
    if (!c.centralSenha.empty() && c.centralSenha.back() == '\r') {
      c.centralSenha.pop_back();
    }
  }
  if (c.centralLoja.empty()) {
    char nome[256] = {};
    if (gethostname(nome, sizeof nome - 1) != 0 || nome[0] == '\0') {
      erro = "central.loja não foi definida, e o nome da máquina não pôde ser lido";
      return false;
    }
    c.centralLoja = nome;
  }
  return true;
}

// The rules that tie keys together.
bool Confere(Configuracao &c, std::string &erro) {
  if (!BaseValida(c.base)) {
    erro = "http.base deve ser um caminho como /hub/v1: uma '/' antes de cada segmento, nenhuma "
           "no fim, nenhum segmento vazio, '.' ou '..', só letras, dígitos e /_-.";
    return false;
  }
  if (!CredencialValida(c.usuario, c.senha)) {
    erro = "http.usuario e http.senha vêm juntos, e usuario não pode ter ':'";
    return false;
  }
  if (!CredencialValida(c.metricasUsuario, c.metricasSenha)) {
    erro = "metricas.usuario e metricas.senha vêm juntos, e usuario não pode ter ':'";
    return false;
  }
  if (!CredencialValida(c.tecnicoUsuario, c.tecnicoSenha)) {
    erro = "tecnico.usuario e tecnico.senha vêm juntos, e usuario não pode ter ':'";
    return false;
  }
  if (!c.metricasUsuario.empty() && c.usuario.empty()) {
    erro = "metricas.usuario exige http.usuario: sem ele, toda requisição passa de qualquer jeito";
    return false;
  }
  // A shop whose checkouts are hub clients let in by address still needs a technician's login,
  // so either restriction will do; with neither, a technician's credential would add nothing.
  if (!c.tecnicoUsuario.empty() && c.usuario.empty() && c.clientes.empty()) {
    erro = "tecnico.usuario exige http.usuario ou http.clientes: sem eles, toda requisição "
           "passa de qualquer jeito";
    return false;
  }
  if (!CredencialValida(c.arquivoUsuario, c.arquivoSenha)) {
    erro = "arquivo.usuario e arquivo.senha vêm juntos, e usuario não pode ter ':'";
    return false;
  }
  if (!c.arquivoUsuario.empty() && c.usuario.empty() && c.clientes.empty()) {
    erro = "arquivo.usuario exige http.usuario ou http.clientes: sem eles, toda requisição "
           "passa de qualquer jeito";
    return false;
  }
  if (!c.arquivoUsuario.empty() &&
      (c.arquivoUsuario == c.usuario || c.arquivoUsuario == c.metricasUsuario ||
       c.arquivoUsuario == c.tecnicoUsuario)) {
    erro = "arquivo.usuario deve ser diferente de http.usuario, de metricas.usuario e de "
           "tecnico.usuario";
    return false;
  }
  // One user name with two roles would leave Basic authentication to guess by the password.
  if (!c.tecnicoUsuario.empty() &&
      (c.tecnicoUsuario == c.usuario || c.tecnicoUsuario == c.metricasUsuario)) {
    erro = "tecnico.usuario deve ser diferente de http.usuario e de metricas.usuario";
    return false;
  }
  const bool alem = !Loopback(c.endereco);
  if (alem && c.usuario.empty() && c.clientes.empty()) {
    erro = "http.endereco " + c.endereco +
           " está além do loopback: defina http.usuario e http.senha, ou http.clientes";
    return false;
  }
  if (c.certificado.empty() != c.chave.empty()) {
    erro = "http.certificado e http.chave vêm juntos";
    return false;
  }
  // Plain HTTP on the network only for the hub clients that cannot speak TLS.
  if (alem && c.certificado.empty() && c.clientes.empty()) {
    erro = "http.endereco " + c.endereco +
           " está além do loopback sem TLS: defina http.certificado e http.chave, ou "
           "http.clientes";
    return false;
  }
  if (c.conexoes < c.fila + 2) {
    erro = "http.conexoes deve passar fila.tamanho em 2 pelo menos, senão a fila nunca encheria";
    return false;
  }
  if (c.conexoesPorEndereco > c.conexoes) {
    erro = "http.conexoes_por_endereco não pode passar de http.conexoes";
    return false;
  }
  if (c.codigoAtivacao.empty() == c.arquivoCodigo.empty()) {
    erro = "defina sat.codigo_ativacao ou sat.arquivo_codigo_ativacao, não os dois";
    return false;
  }
  if (!c.arquivoCodigo.empty() && !LeArquivoCodigo(c.arquivoCodigo, c.codigoAtivacao, erro)) {
    return false;
  }
  if (!CodigoAtivacaoValido(c.codigoAtivacao)) {
    erro = "o código de ativação deve ter de 8 a 32 caracteres ASCII visíveis, sem '|'";
    return false;
  }
  return ConfereImpressora(c, erro) && ConfereCentral(c, erro);
}

} // namespace

bool Loopback(const std::string &endereco) {
  static const Redes loopback = [] {
    Redes redes;
    std::string erro;
    return redes.Le({"127.0.0.0/8", "::1"}, erro) ? redes : Redes();
  }();
  return loopback.Contem(endereco);
}

bool HttpSemTls(const Configuracao &configuracao) {
  return !Loopback(configuracao.endereco) && configuracao.certificado.empty();
}

bool CodigoAtivacaoValido(const std::string &codigo) {
  if (codigo.size() < 8 || codigo.size() > 32) {
    return false;
  }
  for (const char c : codigo) {
    if (c <= ' ' || c >= 0x7F || c == '|') {
      return false;
    }
  }
  return true;
}

bool LeConfiguracao(const std::string &arquivo, Configuracao &configuracao, std::string &erro) {
  std::ifstream entrada(arquivo);
  if (!entrada) {
    erro = "não foi possível abrir " + arquivo + ": " + std::strerror(errno);
    return false;
  }
  toml::table tabela;
  try {
    tabela = toml::parse(entrada, arquivo);
  } catch (const toml::parse_error &e) {
    // The parser's own words follow, in English.
    erro = arquivo + ":" + std::to_string(e.source().begin.line) +
           ": TOML inválido: " + std::string(e.description());
    return false;
  }
  Configuracao c;
  for (const auto &[secao, conteudo] : tabela) {
    const auto esquema = Esquema().find(std::string(secao.str()));
    const toml::table *chaves = conteudo.as_table();
    if (esquema == Esquema().end() || chaves == nullptr) {
      erro = arquivo + ": seção desconhecida [" + std::string(secao.str()) + "]";
      return false;
    }
    for (const auto &[chave, valor] : *chaves) {
      const std::string nome = std::string(secao.str()) + "." + std::string(chave.str());
      const auto leitor = esquema->second.find(std::string(chave.str()));
      if (leitor == esquema->second.end()) {
        erro = arquivo + ": chave desconhecida " + nome;
        return false;
      }
      if (!leitor->second(valor, c, erro)) {
        erro = arquivo + ": " + nome + " " + erro;
        return false;
      }
    }
  }
  // Only a small conexoes lowers the per-address default with it; set explicitly, the two are
  // checked against each other.
  if (!tabela["http"]["conexoes_por_endereco"]) {
    c.conexoesPorEndereco = std::min(c.conexoesPorEndereco, c.conexoes);
  }
  if (!Confere(c, erro)) {
    erro = arquivo + ": " + erro;
    return false;
  }
  configuracao = c;
  return true;
}

bool LeArquivoCodigo(const std::string &arquivo, std::string &codigo, std::string &erro) {
  std::ifstream entrada(arquivo);
  if (!entrada || !std::getline(entrada, codigo)) {
    erro = "não foi possível ler o código de ativação de " + arquivo;
    return false;
  }
  if (!codigo.empty() && codigo.back() == '\r') {
    codigo.pop_back();
  }
  return true;
}

bool GravaArquivoCodigo(const std::string &arquivo, const std::string &codigo, std::string &erro) {
  const std::string temporario = arquivo + ".novo";
  const mode_t anterior = umask(077);
  FILE *f = std::fopen(temporario.c_str(), "w");
  umask(anterior);
  bool ok = f != nullptr && std::fprintf(f, "%s\n", codigo.c_str()) > 0;
  ok = f != nullptr && std::fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
  if (f != nullptr) {
    ok = std::fclose(f) == 0 && ok;
  }
  if (!ok || std::rename(temporario.c_str(), arquivo.c_str()) != 0) {
    erro = "não foi possível gravar o novo código de ativação em " + arquivo;
    std::remove(temporario.c_str());
    return false;
  }
  return true;
}

} // namespace satd
