#include "configuracao.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>

#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

namespace satd {

namespace {

// One key: reads its value into the configuration, or says what is wrong with it.
using Leitor = std::function<bool(const toml::node &, Configuracao &, std::string &)>;

Leitor Texto(std::string Configuracao::*campo) {
  return [campo](const toml::node &no, Configuracao &c, std::string &erro) {
    const auto valor = no.value_exact<std::string>();
    if (!valor) {
      erro = "must be a string";
      return false;
    }
    c.*campo = *valor;
    return true;
  };
}

template <typename T> Leitor Inteiro(T Configuracao::*campo, int64_t minimo, int64_t maximo) {
  return [=](const toml::node &no, Configuracao &c, std::string &erro) {
    const auto valor = no.value_exact<int64_t>();
    if (!valor || *valor < minimo || *valor > maximo) {
      erro =
          "must be a whole number from " + std::to_string(minimo) + " to " + std::to_string(maximo);
      return false;
    }
    c.*campo = static_cast<T>(*valor);
    return true;
  };
}

const std::map<std::string, std::map<std::string, Leitor>> &Esquema() {
  static const std::map<std::string, std::map<std::string, Leitor>> esquema = {
      {"http",
       {{"endereco", Texto(&Configuracao::endereco)},
        {"porta", Inteiro(&Configuracao::porta, 0, 65535)},
        {"base", Texto(&Configuracao::base)},
        {"usuario", Texto(&Configuracao::usuario)},
        {"senha", Texto(&Configuracao::senha)},
        {"certificado", Texto(&Configuracao::certificado)},
        {"chave", Texto(&Configuracao::chave)},
        {"corpo_maximo", Inteiro(&Configuracao::corpoMaximo, 65536, 64 * 1024 * 1024)},
        {"conexoes", Inteiro(&Configuracao::conexoes, 4, 1024)}}},
      {"sat",
       {{"codigo_ativacao", Texto(&Configuracao::codigoAtivacao)},
        {"arquivo_codigo_ativacao", Texto(&Configuracao::arquivoCodigo)},
        {"porta", Inteiro(&Configuracao::portaSat, 0, 9999)},
        {"log", Texto(&Configuracao::logSat)}}},
      {"fila",
       {{"tamanho", Inteiro(&Configuracao::fila, 1, 1000)},
        {"espera_ms",
         [](const toml::node &no, Configuracao &c, std::string &erro) {
           int64_t ms = 0;
           const auto valor = no.value_exact<int64_t>();
           if (!valor || (ms = *valor) < 1 || ms > 3600000) {
             erro = "must be a whole number from 1 to 3600000";
             return false;
           }
           c.espera = std::chrono::milliseconds(ms);
           return true;
         }}}},
      {"registro", {{"arquivo", Texto(&Configuracao::registro)}}},
      {"saude",
       {{"intervalo_s", Inteiro(&Configuracao::intervaloSaude, 0, 3600)},
        {"certificado_dias", Inteiro(&Configuracao::certificadoDias, 1, 3650)},
        {"relogio_minutos", Inteiro(&Configuracao::relogioMinutos, 1, 1440)}}},
      {"metricas",
       {{"usuario", Texto(&Configuracao::metricasUsuario)},
        {"senha", Texto(&Configuracao::metricasSenha)}}},
  };
  return esquema;
}

bool BaseValida(const std::string &base) {
  return base.size() >= 2 && base.front() == '/' && base.back() != '/' &&
         base.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/_-"
                                ".") == std::string::npos;
}

// The rules that tie keys together.
bool Confere(Configuracao &c, std::string &erro) {
  if (!BaseValida(c.base)) {
    erro = "http.base must start with '/', not end with one, and hold only letters, digits and "
           "/_-.";
    return false;
  }
  if (c.usuario.empty() != c.senha.empty() || c.usuario.find(':') != std::string::npos) {
    erro = "http.usuario and http.senha go together, and usuario has no ':'";
    return false;
  }
  if (c.metricasUsuario.empty() != c.metricasSenha.empty() ||
      c.metricasUsuario.find(':') != std::string::npos) {
    erro = "metricas.usuario and metricas.senha go together, and usuario has no ':'";
    return false;
  }
  if (!c.metricasUsuario.empty() && c.usuario.empty()) {
    erro = "metricas.usuario needs http.usuario: without it every request passes anyway";
    return false;
  }
  if (!Loopback(c.endereco) && c.usuario.empty()) {
    erro = "http.endereco " + c.endereco + " is beyond loopback: set http.usuario and http.senha";
    return false;
  }
  if (c.certificado.empty() != c.chave.empty()) {
    erro = "http.certificado and http.chave go together";
    return false;
  }
  if (c.conexoes < c.fila + 2) {
    erro = "http.conexoes must exceed fila.tamanho by 2 at least, or the queue could never fill";
    return false;
  }
  if (c.codigoAtivacao.empty() == c.arquivoCodigo.empty()) {
    erro = "set one of sat.codigo_ativacao and sat.arquivo_codigo_ativacao";
    return false;
  }
  if (!c.arquivoCodigo.empty() && !LeArquivoCodigo(c.arquivoCodigo, c.codigoAtivacao, erro)) {
    return false;
  }
  if (!CodigoAtivacaoValido(c.codigoAtivacao)) {
    erro = "the activation code must be 8 to 32 visible ASCII characters without '|'";
    return false;
  }
  return true;
}

} // namespace

bool Loopback(const std::string &endereco) {
  return endereco == "localhost" || endereco == "::1" || endereco.compare(0, 4, "127.") == 0;
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
  toml::table tabela;
  try {
    tabela = toml::parse_file(arquivo);
  } catch (const toml::parse_error &e) {
    erro =
        arquivo + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  }
  Configuracao c;
  for (const auto &[secao, conteudo] : tabela) {
    const auto esquema = Esquema().find(std::string(secao.str()));
    const toml::table *chaves = conteudo.as_table();
    if (esquema == Esquema().end() || chaves == nullptr) {
      erro = arquivo + ": unknown section [" + std::string(secao.str()) + "]";
      return false;
    }
    for (const auto &[chave, valor] : *chaves) {
      const std::string nome = std::string(secao.str()) + "." + std::string(chave.str());
      const auto leitor = esquema->second.find(std::string(chave.str()));
      if (leitor == esquema->second.end()) {
        erro = arquivo + ": unknown key " + nome;
        return false;
      }
      if (!leitor->second(valor, c, erro)) {
        erro = arquivo + ": " + nome + " " + erro;
        return false;
      }
    }
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
    erro = "cannot read the activation code from " + arquivo;
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
    erro = "cannot write the new activation code to " + arquivo;
    std::remove(temporario.c_str());
    return false;
  }
  return true;
}

} // namespace satd
