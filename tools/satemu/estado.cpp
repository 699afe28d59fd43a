#include "estado.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace satemu {

namespace {

constexpr char kCabecalho[] = "satemu-estado 1";

// Values are bytes: control bytes, '%' and bytes above 0x7E are written as %XX, so that every
// value stays on its line whatever it holds.
std::string Escapa(std::string_view valor) {
  std::string saida;
  for (const char c : valor) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b > 0x7E || b == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      saida += hex;
    } else {
      saida += c;
    }
  }
  return saida;
}

int ValorHex(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool Desescapa(std::string_view texto, std::string &valor) {
  valor.clear();
  for (std::size_t i = 0; i < texto.size(); ++i) {
    if (texto[i] != '%') {
      valor += texto[i];
      continue;
    }
    if (i + 2 >= texto.size())
      return false;
    const int alto = ValorHex(texto[i + 1]);
    const int baixo = ValorHex(texto[i + 2]);
    if (alto < 0 || baixo < 0)
      return false;
    valor += static_cast<char>(alto * 16 + baixo);
    i += 2;
  }
  return true;
}

bool LeNumero(const std::string &texto, long long minimo, long long maximo, long long &valor) {
  if (texto.empty() || texto.size() > 12)
    return false;
  std::size_t usados = 0;
  try {
    valor = std::stoll(texto, &usados);
  } catch (const std::exception &) {
    return false;
  }
  return usados == texto.size() && valor >= minimo && valor <= maximo;
}

// Each field of the state, by name, as text both ways.
struct Campo {
  const char *nome;
  std::string (*escreve)(const Sat &);
  bool (*le)(Sat &, const std::string &);
};

template <std::string Sat::*membro> constexpr Campo Texto(const char *nome) {
  return {nome, [](const Sat &s) { return s.*membro; },
          [](Sat &s, const std::string &v) {
            s.*membro = v;
            return true;
          }};
}

template <std::string Rede::*membro> constexpr Campo TextoRede(const char *nome) {
  return {nome, [](const Sat &s) { return s.rede.*membro; },
          [](Sat &s, const std::string &v) {
            s.rede.*membro = v;
            return true;
          }};
}

template <std::string VendaEmitida::*membro> constexpr Campo TextoVenda(const char *nome) {
  return {nome, [](const Sat &s) { return s.ultimaVenda.*membro; },
          [](Sat &s, const std::string &v) {
            s.ultimaVenda.*membro = v;
            return true;
          }};
}

const Campo kCampos[] = {
    {"serie", [](const Sat &s) { return s.serie; },
     [](Sat &s, const std::string &v) {
       s.serie = v;
       return SoDigitos(v, 9);
     }},
    Texto<&Sat::codigoAtivacao>("codigo_ativacao"),
    Texto<&Sat::codigoEmergencia>("codigo_emergencia"),
    {"ativacao", [](const Sat &s) { return std::to_string(static_cast<int>(s.ativacao)); },
     [](Sat &s, const std::string &v) {
       long long n = 0;
       if (!LeNumero(v, 0, 2, n))
         return false;
       s.ativacao = static_cast<Ativacao>(n);
       return true;
     }},
    Texto<&Sat::cnpjContribuinte>("cnpj"),
    {"uf", [](const Sat &s) { return std::to_string(s.uf); },
     [](Sat &s, const std::string &v) {
       long long n = 0;
       if (!LeNumero(v, 0, 99, n))
         return false;
       s.uf = static_cast<int>(n);
       return true;
     }},
    Texto<&Sat::dataAtivacao>("data_ativacao"),
    {"bloqueado", [](const Sat &s) { return std::string(s.bloqueado ? "1" : "0"); },
     [](Sat &s, const std::string &v) {
       s.bloqueado = v == "1";
       return v == "0" || v == "1";
     }},
    Texto<&Sat::cnpjSoftwareHouse>("cnpj_software_house"),
    Texto<&Sat::assinaturaAC>("assinatura_ac"),
    {"ultimo_numero", [](const Sat &s) { return std::to_string(s.ultimoNumero); },
     [](Sat &s, const std::string &v) {
       long long n = 0;
       if (!LeNumero(v, 0, 999999, n))
         return false;
       s.ultimoNumero = static_cast<int>(n);
       return true;
     }},
    TextoVenda<&VendaEmitida::chave>("venda_chave"),
    TextoVenda<&VendaEmitida::total>("venda_total"),
    TextoVenda<&VendaEmitida::cpfCnpj>("venda_cpf_cnpj"),
    TextoVenda<&VendaEmitida::dataHora>("venda_data_hora"),
    {"venda_cancelavel", [](const Sat &s) { return std::string(s.vendaCancelavel ? "1" : "0"); },
     [](Sat &s, const std::string &v) {
       s.vendaCancelavel = v == "1";
       return v == "0" || v == "1";
     }},
    Texto<&Sat::chaveUltimoCFe>("chave_ultimo_cfe"),
    Texto<&Sat::dataHoraUltimoCFe>("data_hora_ultimo_cfe"),
    TextoRede<&Rede::tipoLan>("rede_tipo"),
    TextoRede<&Rede::ip>("rede_ip"),
    TextoRede<&Rede::mascara>("rede_mascara"),
    TextoRede<&Rede::gateway>("rede_gateway"),
    TextoRede<&Rede::dns1>("rede_dns1"),
    TextoRede<&Rede::dns2>("rede_dns2"),
    Texto<&Sat::log>("log"),
};

} // namespace

Leitura CarregaEstado(Sat &sat, const std::string &caminho, std::string &erro) {
  std::FILE *arquivo = std::fopen(caminho.c_str(), "rb");
  if (arquivo == nullptr) {
    if (errno == ENOENT)
      return Leitura::Ausente;
    erro = caminho + ": " + std::strerror(errno);
    return Leitura::Invalido;
  }
  std::string texto;
  char bloco[65536];
  std::size_t lidos = 0;
  while ((lidos = std::fread(bloco, 1, sizeof bloco, arquivo)) > 0)
    texto.append(bloco, lidos);
  std::fclose(arquivo);

  std::istringstream linhas(texto);
  std::string linha;
  if (!std::getline(linhas, linha) || linha != kCabecalho) {
    erro = caminho + ": not a satemu state file";
    return Leitura::Invalido;
  }
  Sat lido = sat;
  int numeroLinha = 1;
  while (std::getline(linhas, linha)) {
    ++numeroLinha;
    const std::size_t igual = linha.find('=');
    const std::string nome = linha.substr(0, igual);
    const Campo *campo = nullptr;
    for (const Campo &candidato : kCampos)
      if (nome == candidato.nome)
        campo = &candidato;
    std::string valor;
    if (igual == std::string::npos || campo == nullptr ||
        !Desescapa(std::string_view(linha).substr(igual + 1), valor) || !campo->le(lido, valor)) {
      erro = caminho + ":" + std::to_string(numeroLinha) + ": bad line";
      return Leitura::Invalido;
    }
  }
  // Only what survives a restart is taken; the sessions, the clock and the random source stay.
  lido.sessoes = std::move(sat.sessoes);
  lido.ordemSessoes = std::move(sat.ordemSessoes);
  lido.bytesSessoes = sat.bytesSessoes;
  sat = std::move(lido);
  return Leitura::Carregado;
}

bool SalvaEstado(const Sat &sat, const std::string &caminho, std::string &erro) {
  std::string texto = kCabecalho;
  texto += '\n';
  for (const Campo &campo : kCampos)
    texto.append(campo.nome).append("=").append(Escapa(campo.escreve(sat))).append("\n");
  const std::string temporario = caminho + ".tmp";
  std::FILE *arquivo = std::fopen(temporario.c_str(), "wb");
  if (arquivo == nullptr) {
    erro = temporario + ": " + std::strerror(errno);
    return false;
  }
  const bool escrito = std::fwrite(texto.data(), 1, texto.size(), arquivo) == texto.size();
  const bool fechado = std::fclose(arquivo) == 0;
  if (!escrito || !fechado || std::rename(temporario.c_str(), caminho.c_str()) != 0) {
    erro = caminho + ": " + std::strerror(errno);
    std::remove(temporario.c_str());
    return false;
  }
  return true;
}

} // namespace satemu
