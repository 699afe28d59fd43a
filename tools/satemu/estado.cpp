#include "estado.h"

#include "codifica.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace satemu {

namespace {

// Version 3 added the taxpayer's name and address (emit_* lines, after the log); a file of
// version 2 is still read, and the device keeps the parametrization it started with.
constexpr char kCabecalho[] = "satemu-estado 3";
constexpr char kCabecalho2[] = "satemu-estado 2";
constexpr char kFim[] = "fim";

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

// A whole number written as the device writes it: digits, no sign, no leading zero.
bool LeNumero(const std::string &texto, long long maximo, long long &valor) {
  if (texto.empty() || texto.size() > 12 || !SoDigitos(texto, texto.size()) ||
      (texto.size() > 1 && texto[0] == '0'))
    return false;
  valor = std::stoll(texto);
  return valor <= maximo;
}

std::string Crc(std::string_view texto) {
  const uLong crc = crc32_z(0L, reinterpret_cast<const Bytef *>(texto.data()), texto.size());
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc));
  return hex;
}

// What is wrong with a key the device issued, given what it knows of itself; empty if nothing.
std::string ProblemaChave(const Sat &s, const std::string &chave) {
  if (!ChaveValida(chave))
    return "'" + Mostra(chave) +
           "' não é uma chave de acesso (44 dígitos, seu leiaute, dígito verificador)";
  if (chave.substr(0, 2) != std::to_string(s.uf) || chave.substr(6, 14) != s.cnpjContribuinte ||
      chave.substr(22, 9) != s.serie)
    return "a chave " + chave + " não é do cUF, CNPJ e serie deste aparelho";
  return {};
}

// Each field of the state, in the order of the file, as text both ways. `le` puts the value in
// the device being read, whose earlier fields are already there, and says what is wrong with
// it: empty when nothing is.
struct Campo {
  const char *nome;
  std::string (*escreve)(const Sat &);
  std::string (*le)(Sat &, const std::string &);
};

std::string LeCodigo(const std::string &v, std::string &destino) {
  destino = v;
  return CodigoValido(v) ? "" : "não tem de 1 a 64 bytes sem bytes de controle nem '|'";
}

std::string LeBooleano(const std::string &v, bool &destino) {
  destino = v == "1";
  return v == "0" || v == "1" ? "" : "'" + Mostra(v) + "' não é 0 nem 1";
}

std::string LeEndereco(const std::string &v, std::string &destino) {
  destino = v;
  return Ipv4(v) ? "" : "'" + Mostra(v) + "' não é um endereço IPv4";
}

const Campo kCampos[] = {
    {"serie", [](const Sat &s) { return s.serie; },
     [](Sat &s, const std::string &v) -> std::string {
       s.serie = v;
       return SoDigitos(v, 9) ? "" : "'" + Mostra(v) + "' não tem 9 dígitos";
     }},
    {"codigo_ativacao", [](const Sat &s) { return s.codigoAtivacao; },
     [](Sat &s, const std::string &v) { return LeCodigo(v, s.codigoAtivacao); }},
    {"codigo_emergencia", [](const Sat &s) { return s.codigoEmergencia; },
     [](Sat &s, const std::string &v) { return LeCodigo(v, s.codigoEmergencia); }},
    {"ativacao", [](const Sat &s) { return std::to_string(static_cast<int>(s.ativacao)); },
     [](Sat &s, const std::string &v) -> std::string {
       long long n = 0;
       if (!LeNumero(v, 2, n))
         return "'" + Mostra(v) + "' não é 0, 1 nem 2";
       s.ativacao = static_cast<Ativacao>(n);
       return {};
     }},
    {"cnpj", [](const Sat &s) { return s.cnpjContribuinte; },
     [](Sat &s, const std::string &v) -> std::string {
       s.cnpjContribuinte = v;
       if (s.ativacao == Ativacao::NaoAtivado)
         return v.empty() ? "" : "um contribuinte num aparelho que nunca foi ativado";
       return CnpjValido(v)
                  ? ""
                  : "'" + Mostra(v) + "' não é um CNPJ (14 dígitos, dígitos verificadores)";
     }},
    {"uf", [](const Sat &s) { return std::to_string(s.uf); },
     [](Sat &s, const std::string &v) -> std::string {
       long long n = 0;
       if (!LeNumero(v, 99, n))
         return "'" + Mostra(v) + "' não é um número";
       s.uf = static_cast<int>(n);
       if (s.ativacao == Ativacao::NaoAtivado)
         return n == 0 ? "" : "um cUF num aparelho que nunca foi ativado";
       return UfValida(s.uf) ? "" : "'" + v + "' não é o código de um estado";
     }},
    {"data_ativacao", [](const Sat &s) { return s.dataAtivacao; },
     [](Sat &s, const std::string &v) -> std::string {
       s.dataAtivacao = v;
       if (s.ativacao != Ativacao::Ativado)
         return v.empty() ? "" : "uma data num aparelho que não está ativado";
       return DataValida(v) ? "" : "'" + Mostra(v) + "' não é uma data AAAAMMDD";
     }},
    {"bloqueado", [](const Sat &s) { return std::string(s.bloqueado ? "1" : "0"); },
     [](Sat &s, const std::string &v) { return LeBooleano(v, s.bloqueado); }},
    {"cnpj_software_house", [](const Sat &s) { return s.cnpjSoftwareHouse; },
     [](Sat &s, const std::string &v) -> std::string {
       s.cnpjSoftwareHouse = v;
       return v.empty() || CnpjValido(v) ? ""
                                         : "'" + Mostra(v) +
                                               "' não é um CNPJ (14 dígitos, dígitos "
                                               "verificadores)";
     }},
    {"assinatura_ac", [](const Sat &s) { return s.assinaturaAC; },
     [](Sat &s, const std::string &v) -> std::string {
       s.assinaturaAC = v;
       if (v.empty() != s.cnpjSoftwareHouse.empty())
         return "uma assinatura exige o CNPJ da software house, e o CNPJ uma assinatura";
       return v.empty() || PareceBase64(v) ? "" : "não está em base64";
     }},
    {"ultimo_numero", [](const Sat &s) { return std::to_string(s.ultimoNumero); },
     [](Sat &s, const std::string &v) -> std::string {
       long long n = 0;
       if (!LeNumero(v, 999999, n))
         return "'" + Mostra(v) + "' não é um número de 0 a 999999";
       s.ultimoNumero = static_cast<int>(n);
       return {};
     }},
    {"venda_chave", [](const Sat &s) { return s.ultimaVenda.chave; },
     [](Sat &s, const std::string &v) -> std::string {
       s.ultimaVenda.chave = v;
       if (v.empty())
         return {};
       if (s.ativacao != Ativacao::Ativado)
         return "uma venda num aparelho que não está ativado";
       return ProblemaChave(s, v);
     }},
    {"venda_total", [](const Sat &s) { return s.ultimaVenda.total; },
     [](Sat &s, const std::string &v) -> std::string {
       s.ultimaVenda.total = v;
       long long centavos = 0;
       if (s.ultimaVenda.chave.empty())
         return v.empty() ? "" : "um total sem uma venda";
       return LeDecimal(v, 2, centavos) && v.size() > 3 && v[v.size() - 3] == '.'
                  ? ""
                  : "'" + Mostra(v) + "' não é um valor com 2 casas decimais";
     }},
    {"venda_cpf_cnpj", [](const Sat &s) { return s.ultimaVenda.cpfCnpj; },
     [](Sat &s, const std::string &v) -> std::string {
       s.ultimaVenda.cpfCnpj = v;
       if (v.empty())
         return {};
       if (s.ultimaVenda.chave.empty())
         return "um comprador sem uma venda";
       return CpfValido(v) || CnpjValido(v) ? "" : "'" + Mostra(v) + "' não é um CPF nem um CNPJ";
     }},
    {"venda_data_hora", [](const Sat &s) { return s.ultimaVenda.dataHora; },
     [](Sat &s, const std::string &v) -> std::string {
       s.ultimaVenda.dataHora = v;
       if (s.ultimaVenda.chave.empty())
         return v.empty() ? "" : "uma hora sem uma venda";
       if (!CarimboValido(v))
         return "'" + Mostra(v) + "' não é uma hora AAAAMMDDHHMMSS";
       return v.substr(2, 4) == s.ultimaVenda.chave.substr(2, 4)
                  ? ""
                  : "não é o ano e o mês da chave da venda";
     }},
    {"venda_cancelavel", [](const Sat &s) { return std::string(s.vendaCancelavel ? "1" : "0"); },
     [](Sat &s, const std::string &v) -> std::string {
       const std::string problema = LeBooleano(v, s.vendaCancelavel);
       if (!problema.empty())
         return problema;
       return s.vendaCancelavel && s.ultimaVenda.chave.empty() ? "nenhuma venda a cancelar" : "";
     }},
    {"chave_ultimo_cfe", [](const Sat &s) { return s.chaveUltimoCFe; },
     [](Sat &s, const std::string &v) -> std::string {
       s.chaveUltimoCFe = v;
       // Every CF-e issued moves the counter, and its number is in its key: the two must agree.
       if (v.empty())
         return s.ultimoNumero == 0 ? "" : "ultimo_numero conta CF-e que não existem";
       if (const std::string problema = ProblemaChave(s, v); !problema.empty())
         return problema;
       if (v.substr(31, 6) != std::string(6 - std::to_string(s.ultimoNumero).size(), '0') +
                                  std::to_string(s.ultimoNumero))
         return "seu nCFe " + v.substr(31, 6) + " não é ultimo_numero " +
                std::to_string(s.ultimoNumero);
       if (s.vendaCancelavel && v != s.ultimaVenda.chave)
         return "a venda a cancelar não é o último CF-e";
       return {};
     }},
    {"data_hora_ultimo_cfe", [](const Sat &s) { return s.dataHoraUltimoCFe; },
     [](Sat &s, const std::string &v) -> std::string {
       s.dataHoraUltimoCFe = v;
       if (s.chaveUltimoCFe.empty())
         return v.empty() ? "" : "uma hora sem um CF-e";
       return CarimboValido(v) ? "" : "'" + Mostra(v) + "' não é uma hora AAAAMMDDHHMMSS";
     }},
    {"ultima_sessao_fiscal", [](const Sat &s) { return CodificaBase64(s.ultimaSessaoFiscal); },
     [](Sat &s, const std::string &v) -> std::string {
       if (!DecodificaBase64(v, s.ultimaSessaoFiscal))
         return "não está em base64";
       if (s.chaveUltimoCFe.empty())
         return v.empty() ? "" : "uma sessão fiscal sem um CF-e";
       SessaoFiscal sessao;
       if (!LeSessaoFiscal(s.ultimaSessaoFiscal, sessao))
         return "não é a resposta de uma venda nem de um cancelamento";
       if (sessao.chave != s.chaveUltimoCFe || sessao.dataHora != s.dataHoraUltimoCFe)
         return "sua chave e hora não são as do último CF-e";
       if (sessao.codigo == "06000" ? sessao.chave != s.ultimaVenda.chave : s.vendaCancelavel)
         return "uma venda e um cancelamento que não se correspondem";
       return {};
     }},
    {"rede_tipo", [](const Sat &s) { return s.rede.tipoLan; },
     [](Sat &s, const std::string &v) -> std::string {
       s.rede.tipoLan = v;
       return v == "DHCP" || v == "IPFIX" || v == "PPPoE"
                  ? ""
                  : "'" + Mostra(v) + "' não é DHCP, IPFIX nem PPPoE";
     }},
    {"rede_ip", [](const Sat &s) { return s.rede.ip; },
     [](Sat &s, const std::string &v) { return LeEndereco(v, s.rede.ip); }},
    {"rede_mascara", [](const Sat &s) { return s.rede.mascara; },
     [](Sat &s, const std::string &v) { return LeEndereco(v, s.rede.mascara); }},
    {"rede_gateway", [](const Sat &s) { return s.rede.gateway; },
     [](Sat &s, const std::string &v) { return LeEndereco(v, s.rede.gateway); }},
    {"rede_dns1", [](const Sat &s) { return s.rede.dns1; },
     [](Sat &s, const std::string &v) { return LeEndereco(v, s.rede.dns1); }},
    {"rede_dns2", [](const Sat &s) { return s.rede.dns2; },
     [](Sat &s, const std::string &v) { return LeEndereco(v, s.rede.dns2); }},
    {"log", [](const Sat &s) { return s.log; },
     [](Sat &s, const std::string &v) -> std::string {
       s.log = v;
       if (v.size() > kLogMaximo)
         return "maior do que o aparelho guarda";
       return v.empty() || v.back() == '\n' ? "" : "sua última linha está cortada";
     }},
};

bool LeArquivo(const std::string &caminho, std::string &texto, std::string &erro, bool &ausente) {
  ausente = false;
  std::FILE *arquivo = std::fopen(caminho.c_str(), "rb");
  if (arquivo == nullptr) {
    ausente = errno == ENOENT;
    erro = caminho + ": " + std::strerror(errno);
    return false;
  }
  char bloco[65536];
  std::size_t lidos = 0;
  while ((lidos = std::fread(bloco, 1, sizeof bloco, arquivo)) > 0)
    texto.append(bloco, lidos);
  const bool falhou = std::ferror(arquivo) != 0;
  std::fclose(arquivo);
  if (falhou)
    erro = caminho + ": erro de leitura";
  return !falhou;
}

// Reads the file's text into `lido`; the reason names the line.
std::string Interpreta(const std::string &texto, Sat &lido) {
  std::size_t pos = 0;
  int numero = 0;
  std::string linha;
  // The next line, without its line feed; "" at the end of the text. A last line with no line
  // feed is a file cut short.
  auto proxima = [&]() -> std::string {
    ++numero;
    if (pos >= texto.size())
      return "o arquivo termina aqui: foi truncado";
    const std::size_t fim = texto.find('\n', pos);
    if (fim == std::string::npos)
      return "a linha não tem fim: o arquivo foi truncado no meio dela";
    linha = texto.substr(pos, fim - pos);
    pos = fim + 1;
    return {};
  };
  auto naLinha = [&](const std::string &problema) {
    return std::to_string(numero) + ": " + problema;
  };

  const std::string primeira = proxima();
  const bool versao2 = primeira.empty() && linha == kCabecalho2;
  if (!primeira.empty() || (linha != kCabecalho && !versao2)) {
    if (primeira.empty() && linha == "satemu-estado 1")
      return naLinha("um arquivo de estado de um satemu mais antigo, que não pode ser "
                     "conferido; remova-o para começar do zero");
    return naLinha("não é um arquivo de estado do satemu (sua primeira linha não é '" +
                   std::string(kCabecalho) + "')");
  }
  // The next line as the field `esperado`; its value goes to `le`, which says what is wrong.
  auto leCampo = [&](const std::string &esperado, auto &&le) -> std::string {
    if (const std::string falta = proxima(); !falta.empty())
      return naLinha(falta + " (falta o campo " + esperado + ")");
    const std::size_t igual = linha.find('=');
    const std::string nome = linha.substr(0, igual);
    if (igual == std::string::npos || nome != esperado)
      return naLinha("esperado o campo " + esperado + ", encontrado '" + Mostra(nome) + "'");
    std::string valor;
    if (!Desescapa(std::string_view(linha).substr(igual + 1), valor))
      return naLinha(esperado + ": um escape %XX inválido");
    if (const std::string errado = le(valor); !errado.empty())
      return naLinha(esperado + ": " + errado);
    return {};
  };
  for (const Campo &campo : kCampos)
    if (const std::string errado =
            leCampo(campo.nome, [&](const std::string &v) { return campo.le(lido, v); });
        !errado.empty())
      return errado;
  for (std::size_t i = 0; i < kQuantosCamposEmitente && !versao2; ++i) {
    const CampoEmitente &campo = kCamposEmitente[i];
    const std::string errado =
        leCampo(std::string("emit_") + campo.nome, [&](const std::string &v) {
          lido.emitente.*campo.valor = v;
          return ProblemaEmitente(campo, v);
        });
    if (!errado.empty())
      return errado;
  }
  const std::size_t inicioFim = pos;
  if (const std::string problema = proxima(); !problema.empty())
    return naLinha(problema + " (falta a linha final fim=)");
  const std::string esperado =
      std::string(kFim) + "=" + Crc(std::string_view(texto).substr(0, inicioFim));
  if (linha.rfind(std::string(kFim) + "=", 0) != 0)
    return naLinha("esperada a linha final fim=, encontrado '" + Mostra(linha) + "'");
  if (linha != esperado)
    return naLinha("a soma de verificação não confere com o conteúdo do arquivo: ele foi alterado "
                   "ou danificado");
  if (pos != texto.size()) {
    ++numero;
    return naLinha("texto depois da linha final");
  }
  return {};
}

bool SincronizaDiretorio(const std::string &caminho) {
  const std::size_t barra = caminho.rfind('/');
  const std::string diretorio = barra == std::string::npos ? "."
                                : barra == 0               ? "/"
                                                           : caminho.substr(0, barra);
  const int fd = open(diretorio.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

} // namespace

std::string TextoEstado(const Sat &sat) {
  std::string texto = kCabecalho;
  texto += '\n';
  for (const Campo &campo : kCampos)
    texto.append(campo.nome).append("=").append(Escapa(campo.escreve(sat))).append("\n");
  for (std::size_t i = 0; i < kQuantosCamposEmitente; ++i)
    texto.append("emit_")
        .append(kCamposEmitente[i].nome)
        .append("=")
        .append(Escapa(sat.emitente.*kCamposEmitente[i].valor))
        .append("\n");
  const std::string crc = Crc(texto);
  texto.append(kFim).append("=").append(crc).append("\n");
  return texto;
}

Leitura CarregaEstado(Sat &sat, const std::string &caminho, std::string &erro) {
  std::string texto;
  bool ausente = false;
  if (!LeArquivo(caminho, texto, erro, ausente))
    return ausente ? Leitura::Ausente : Leitura::Invalido;
  Sat lido = sat;
  if (const std::string problema = Interpreta(texto, lido); !problema.empty()) {
    erro = caminho + ":" + problema;
    return Leitura::Invalido;
  }
  // Only what survives a restart is taken; the sessions, the clock, the random source and the
  // settings stay.
  lido.sessoes = std::move(sat.sessoes);
  lido.ordemSessoes = std::move(sat.ordemSessoes);
  lido.bytesSessoes = sat.bytesSessoes;
  sat = std::move(lido);
  return Leitura::Carregado;
}

bool LeEmitente(const std::string &caminho, Emitente &emitente, std::string &erro) {
  std::string texto;
  bool ausente = false;
  if (!LeArquivo(caminho, texto, erro, ausente))
    return false;
  Emitente lido = emitente;
  std::vector<std::string> vistos;
  int numero = 0;
  auto espacos = [](std::string v) {
    const std::size_t inicio = v.find_first_not_of(" \t\r");
    const std::size_t fim = v.find_last_not_of(" \t\r");
    return inicio == std::string::npos ? std::string() : v.substr(inicio, fim - inicio + 1);
  };
  for (std::size_t pos = 0; pos < texto.size();) {
    const std::size_t fim = std::min(texto.find('\n', pos), texto.size());
    const std::string linha = espacos(texto.substr(pos, fim - pos));
    pos = fim + 1;
    ++numero;
    if (linha.empty() || linha[0] == '#')
      continue;
    const std::string onde = caminho + ":" + std::to_string(numero) + ": ";
    const std::size_t igual = linha.find('=');
    const std::string nome = espacos(linha.substr(0, igual));
    const CampoEmitente *campo = nullptr;
    for (std::size_t i = 0; i < kQuantosCamposEmitente; ++i)
      if (nome == kCamposEmitente[i].nome)
        campo = &kCamposEmitente[i];
    if (igual == std::string::npos || campo == nullptr) {
      erro = onde + "'" + Mostra(nome) +
             "' não é nenhum de xNome, xFant, xLgr, nro, xCpl, xBairro, xMun, CEP, cRegTrib";
      return false;
    }
    if (std::find(vistos.begin(), vistos.end(), nome) != vistos.end()) {
      erro = onde + nome + " dado duas vezes";
      return false;
    }
    vistos.push_back(nome);
    const std::string valor = espacos(linha.substr(igual + 1));
    if (const std::string problema = ProblemaEmitente(*campo, valor); !problema.empty()) {
      erro = onde + nome + ": " + problema;
      return false;
    }
    lido.*campo->valor = valor;
  }
  emitente = lido;
  return true;
}

bool SalvaEstado(const Sat &sat, const std::string &caminho, std::string &erro) {
  const std::string texto = TextoEstado(sat);
  const std::string temporario = caminho + ".tmp";
  std::FILE *arquivo = std::fopen(temporario.c_str(), "wb");
  if (arquivo == nullptr) {
    erro = temporario + ": " + std::strerror(errno);
    return false;
  }
  // On disk before it takes the old file's place: a crash of the machine must not leave a
  // renamed file whose blocks never got there.
  const bool escrito = std::fwrite(texto.data(), 1, texto.size(), arquivo) == texto.size() &&
                       std::fflush(arquivo) == 0 && fsync(fileno(arquivo)) == 0;
  const bool fechado = std::fclose(arquivo) == 0;
  if (!escrito || !fechado || std::rename(temporario.c_str(), caminho.c_str()) != 0) {
    erro = caminho + ": " + std::strerror(errno);
    std::remove(temporario.c_str());
    return false;
  }
  if (!SincronizaDiretorio(caminho)) {
    erro =
        caminho + ": não foi possível sincronizar sua pasta com o disco: " + std::strerror(errno);
    return false;
  }
  return true;
}

} // namespace satemu
