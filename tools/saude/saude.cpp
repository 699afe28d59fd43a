#include "saude.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace saude {

namespace {

constexpr size_t kCamposStatus = 2 + sizeof kNomesStatus / sizeof kNomesStatus[0];

constexpr long long kMinuto = 60;
constexpr long long kHora = 60 * kMinuto;
constexpr long long kDia = 24 * kHora;

std::vector<std::string> Divide(std::string_view texto) {
  std::vector<std::string> partes;
  size_t inicio = 0;
  for (size_t barra; (barra = texto.find('|', inicio)) != std::string_view::npos;
       inicio = barra + 1) {
    partes.emplace_back(texto.substr(inicio, barra - inicio));
  }
  partes.emplace_back(texto.substr(inicio));
  return partes;
}

using comum::DiasCivis;
using comum::Digitos;
using comum::Duracao;
using comum::LeData;
using comum::LeDataHora;
using comum::Numero;
using comum::Segundos;

std::string Formata(const char *formato, long long a, long long b = 0, long long c = 0,
                    long long d = 0, long long e = 0, long long f = 0) {
  char texto[160];
  std::snprintf(texto, sizeof texto, formato, a, b, c, d, e, f);
  return texto;
}

// DD/MM/AAAA, as the shop reads a date.
std::string Data(const Instante &i) { return Formata("%02lld/%02lld/%04lld", i.dia, i.mes, i.ano); }

std::string DataIso(const Instante &i) {
  return Formata("%04lld-%02lld-%02lld", i.ano, i.mes, i.dia);
}

std::string Dias(long long dias) { return dias == 1 ? "1 dia" : Formata("%lld dias", dias); }

// A device's value inside a message: printable, at most 40 bytes, "vazio" when empty; quoted
// when it is a field's value.
std::string Mostra(std::string_view valor, bool aspas = true) {
  if (valor.empty()) {
    return "vazio";
  }
  std::string limpo(valor.substr(0, 40));
  for (char &c : limpo) {
    const unsigned char b = static_cast<unsigned char>(c);
    c = b < 0x20 || b == 0x7F ? '?' : c;
  }
  limpo += valor.size() > 40 ? "..." : "";
  return aspas ? "'" + limpo + "'" : limpo;
}

Dado Texto(const char *nome, std::string texto) { return Dado{nome, std::move(texto), false, 0}; }
Dado Num(const char *nome, double numero) { return Dado{nome, std::string(), true, numero}; }

Nivel Pior(Nivel a, Nivel b) { return static_cast<int>(a) > static_cast<int>(b) ? a : b; }

// What an unreadable field adds to its check: attention, and the field named in the message.
void Ilegivel(Verificacao &v, const char *campo, std::string_view valor) {
  v.nivel = Pior(v.nivel, Nivel::Atencao);
  const std::string nota = campo + std::string(" ileg\xEDvel: ") + Mostra(valor);
  v.mensagem = v.mensagem.empty() ? nota : v.mensagem + "; " + nota;
  v.dados.push_back(Texto(campo, std::string(valor)));
}

Verificacao Certificado(const Avaliacao &a, const Instante &agora, const Limites &limites) {
  Verificacao v{"certificado", "Certificado", Nivel::Ok, "", {}};
  const std::string campo = a.Campo("CERT_VENCIMENTO");
  Instante vencimento;
  if (!LeData(campo, vencimento)) {
    Ilegivel(v, "CERT_VENCIMENTO", campo);
    return v;
  }
  // The certificate is good through the whole of its last day.
  const long long dias = DiasCivis(vencimento.ano, vencimento.mes, vencimento.dia) -
                         DiasCivis(agora.ano, agora.mes, agora.dia);
  v.dados = {Texto("vencimento", DataIso(vencimento)), Num("dias_restantes", double(dias)),
             Num("limite_dias", limites.certificadoDias)};
  if (dias < 0) {
    v.nivel = Nivel::Critico;
    v.mensagem = "Certificado vencido desde " + Data(vencimento) + " (h\xE1 " + Dias(-dias) +
                 "): o SAT n\xE3o pode emitir CF-e";
  } else if (dias == 0) {
    v.nivel = Nivel::Atencao;
    v.mensagem = "Certificado vence hoje (" + Data(vencimento) + ")";
  } else if (dias <= limites.certificadoDias) {
    v.nivel = Nivel::Atencao;
    v.mensagem = "Certificado vence em " + Dias(dias) + " (" + Data(vencimento) + ")";
  } else {
    v.mensagem = "Certificado v\xE1lido at\xE9 " + Data(vencimento) + " (" + Dias(dias) + ")";
  }
  return v;
}

// The number of a CF-e in LISTA_INICIAL or LISTA_FINAL: nCFe of a 44-digit access key
// ("CFe" in front or not), or a plain number. -1 when it is neither.
long long NumeroDoCFe(std::string texto) {
  if (texto.compare(0, 3, "CFe") == 0) {
    texto.erase(0, 3);
  }
  if (Digitos(texto, 44)) {
    return Numero(std::string_view(texto).substr(31, 6));
  }
  if (!texto.empty() && texto.size() <= 9 && Digitos(texto, texto.size())) {
    return Numero(texto);
  }
  return -1;
}

bool ListaVazia(const std::string &texto) {
  return texto.find_first_not_of('0') == std::string::npos;
}

Verificacao Transmissao(const Avaliacao &a, const Instante &agora) {
  Verificacao v{"transmissao", "Transmiss\xE3o", Nivel::Ok, "", {}};
  const std::string inicial = a.Campo("LISTA_INICIAL");
  const std::string final = a.Campo("LISTA_FINAL");
  const bool esperando = !ListaVazia(inicial) || !ListaVazia(final);
  v.dados.push_back(Texto("lista_inicial", inicial));
  v.dados.push_back(Texto("lista_final", final));
  long long pendentes = -1;
  if (esperando) {
    const long long primeiro = NumeroDoCFe(inicial);
    const long long ultimo = NumeroDoCFe(final);
    if (primeiro >= 0 && ultimo >= 0) {
      // nCFe turns over after 999999.
      pendentes = ultimo >= primeiro ? ultimo - primeiro + 1 : ultimo + 999999 - primeiro + 1;
      v.dados.push_back(Num("pendentes", double(pendentes)));
    }
  } else {
    v.dados.push_back(Num("pendentes", 0));
  }

  // Ages on the device's own clock: it stamped DH_CFe and DH_ULTIMA with it.
  Instante relogio;
  if (!LeDataHora(a.Campo("DH_ATUAL"), relogio)) {
    relogio = agora;
  }
  const auto idade = [&](const char *campo, const char *nome, long long &segundos) {
    const std::string valor = a.Campo(campo);
    Instante quando;
    if (!LeDataHora(valor, quando)) {
      return false;
    }
    segundos = std::max(0LL, Segundos(relogio) - Segundos(quando));
    v.dados.push_back(Texto(nome, Iso(quando)));
    v.dados.push_back(Num((std::string(nome) + "_s").c_str(), double(segundos)));
    return true;
  };
  long long semTransmitir = 0, semContato = 0;
  const std::string dhCfe = a.Campo("DH_CFe");
  const bool transmitiu = idade("DH_CFe", "ultima_transmissao", semTransmitir);
  const bool contatou = idade("DH_ULTIMA", "ultimo_contato", semContato);
  constexpr long long kLimite = kDiasSemSefazCritico * kDia;

  std::string fila = "Nenhum CF-e aguardando transmiss\xE3o";
  if (esperando) {
    fila = pendentes == 1  ? "1 CF-e aguardando transmiss\xE3o"
           : pendentes > 1 ? Formata("%lld CF-e aguardando transmiss\xE3o", pendentes)
                           : "CF-e aguardando transmiss\xE3o";
    fila += transmitiu ? "; \xFAltima transmiss\xE3o h\xE1 " + Duracao(semTransmitir)
                       : std::string("; nenhuma transmiss\xE3o registrada");
    // With no transmission on record the contact's age below decides.
    v.nivel = transmitiu && semTransmitir > kLimite ? Nivel::Critico : Nivel::Atencao;
  }
  std::string contato;
  if (contatou) {
    contato = "\xFAltimo contato com a SEFAZ h\xE1 " + Duracao(semContato);
    if (semContato > kLimite) {
      v.nivel = Nivel::Critico;
      contato += " (o SAT se bloqueia ap\xF3s 10 dias sem contato)";
    }
  }
  v.mensagem = contato.empty() ? fila : fila + "; " + contato;
  // An empty DH_CFe only means nothing was ever transmitted; it is unreadable when malformed.
  if (!transmitiu && !dhCfe.empty()) {
    Ilegivel(v, "DH_CFe", dhCfe);
  }
  if (!contatou) {
    Ilegivel(v, "DH_ULTIMA", a.Campo("DH_ULTIMA"));
  }
  return v;
}

Verificacao Relogio(const Avaliacao &a, const Instante &agora, const Limites &limites) {
  Verificacao v{"relogio", "Rel\xF3gio", Nivel::Ok, "", {}};
  const std::string campo = a.Campo("DH_ATUAL");
  Instante dispositivo;
  if (!LeDataHora(campo, dispositivo)) {
    Ilegivel(v, "DH_ATUAL", campo);
    return v;
  }
  const long long diferenca = Segundos(dispositivo) - Segundos(agora);
  v.dados = {Texto("dh_atual", Iso(dispositivo)), Texto("computador", Iso(agora)),
             Num("diferenca_s", double(diferenca)), Num("limite_s", limites.relogioMinutos * 60.0)};
  if (std::llabs(diferenca) > limites.relogioMinutos * kMinuto) {
    v.nivel = Nivel::Atencao;
    v.mensagem = "Rel\xF3gio do SAT " + Duracao(diferenca) +
                 (diferenca > 0 ? " adiantado" : " atrasado") + " em rela\xE7\xE3o ao computador";
  } else {
    v.mensagem = "Rel\xF3gio do SAT de acordo com o computador (diferen\xE7"
                 "a de " +
                 Duracao(diferenca) + ")";
  }
  return v;
}

// "4 GB", "12 MB", "512KB", "3,5 GB", "1048576": bytes. False for anything else. The decimal
// separator is read by hand, whatever the process's locale.
bool LeTamanho(const std::string &texto, double &bytes) {
  size_t i = 0;
  double numero = 0;
  double casa = 0; // the place of the next decimal digit, once past the separator
  bool digito = false;
  for (; i < texto.size(); ++i) {
    const char c = texto[i];
    if (c >= '0' && c <= '9') {
      digito = true;
      numero = casa > 0 ? numero + (c - '0') * casa : numero * 10 + (c - '0');
      casa /= 10;
    } else if ((c == ',' || c == '.') && casa == 0) {
      casa = 0.1;
    } else {
      break;
    }
  }
  if (!digito) {
    return false;
  }
  std::string unidade;
  for (; i < texto.size(); ++i) {
    if (texto[i] != ' ') {
      unidade += static_cast<char>(std::toupper(static_cast<unsigned char>(texto[i])));
    }
  }
  static const struct {
    const char *nome;
    double fator;
  } kUnidades[] = {{"", 1},
                   {"B", 1},
                   {"BYTES", 1},
                   {"K", 1024.0},
                   {"KB", 1024.0},
                   {"KIB", 1024.0},
                   {"M", 1024.0 * 1024},
                   {"MB", 1024.0 * 1024},
                   {"MIB", 1024.0 * 1024},
                   {"G", 1024.0 * 1024 * 1024},
                   {"GB", 1024.0 * 1024 * 1024},
                   {"GIB", 1024.0 * 1024 * 1024},
                   {"TB", 1024.0 * 1024 * 1024 * 1024}};
  for (const auto &u : kUnidades) {
    if (unidade == u.nome) {
      bytes = numero * u.fator;
      return true;
    }
  }
  return false;
}

std::string Percentual(double valor) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%.1f", valor);
  std::string t = texto;
  std::replace(t.begin(), t.end(), '.', ',');
  return t + " %";
}

Verificacao Memoria(const Avaliacao &a) {
  Verificacao v{"memoria", "Mem\xF3ria", Nivel::Ok, "", {}};
  const std::string total = a.Campo("MT_TOTAL");
  const std::string usada = a.Campo("MT_USADA");
  double bytesTotal = 0, bytesUsados = 0;
  const bool totalLido = LeTamanho(total, bytesTotal) && bytesTotal > 0;
  const bool usadaLida = LeTamanho(usada, bytesUsados) && (!totalLido || bytesUsados <= bytesTotal);
  if (!totalLido || !usadaLida) {
    if (!totalLido) {
      Ilegivel(v, "MT_TOTAL", total);
    }
    if (!usadaLida) {
      Ilegivel(v, "MT_USADA", usada);
    }
    return v;
  }
  const double percentual = std::round(bytesUsados * 1000 / bytesTotal) / 10;
  v.dados = {Num("total_bytes", bytesTotal), Num("usada_bytes", bytesUsados),
             Num("percentual", percentual), Num("limite_atencao", kMemoriaAtencao),
             Num("limite_critico", kMemoriaCritica)};
  const std::string quanto = usada + " de " + total + " (" + Percentual(percentual) + ")";
  if (percentual > kMemoriaCritica) {
    v.nivel = Nivel::Critico;
    v.mensagem = "Mem\xF3ria do SAT quase cheia: " + quanto + " em uso";
  } else if (percentual > kMemoriaAtencao) {
    v.nivel = Nivel::Atencao;
    v.mensagem = "Mem\xF3ria do SAT enchendo: " + quanto + " em uso";
  } else {
    v.mensagem = "Mem\xF3ria em uso: " + quanto;
  }
  return v;
}

Verificacao Bateria(const Avaliacao &a) {
  Verificacao v{"bateria", "Bateria", Nivel::Ok, "", {}};
  const std::string campo = a.Campo("NIVEL_BATERIA");
  std::string nivel;
  for (const char c : campo) {
    nivel += static_cast<char>(c == '\xC9' ? 'E' : std::toupper(static_cast<unsigned char>(c)));
  }
  if (nivel == "ALTO" || nivel == "MEDIO") {
    v.mensagem = "Bateria com n\xEDvel " + campo;
  } else if (nivel == "BAIXO") {
    v.nivel = Nivel::Atencao;
    v.mensagem = "Bateria do SAT baixa: o rel\xF3gio do SAT pode se perder";
  } else {
    Ilegivel(v, "NIVEL_BATERIA", campo);
    return v;
  }
  v.dados = {Texto("nivel", campo)};
  return v;
}

// ESTADO_OPERACAO as the SAT standard numbers it.
Verificacao Operacao(const Avaliacao &a) {
  Verificacao v{"operacao", "Opera\xE7\xE3o", Nivel::Ok, "", {}};
  static const char *const kEstados[] = {
      "SAT desbloqueado", "SAT bloqueado pela SEFAZ", "SAT bloqueado pelo contribuinte",
      "SAT em bloqueio aut\xF4nomo", "SAT bloqueado para desativa\xE7\xE3o"};
  const std::string campo = a.Campo("ESTADO_OPERACAO");
  if (!Digitos(campo, 1) || campo[0] > '4') {
    Ilegivel(v, "ESTADO_OPERACAO", campo);
    return v;
  }
  const int estado = campo[0] - '0';
  v.dados = {Num("estado_operacao", estado), Texto("descricao", kEstados[estado])};
  v.mensagem = kEstados[estado];
  if (estado != 0) {
    v.nivel = Nivel::Critico;
    v.mensagem += ": n\xE3o emite CF-e";
  }
  return v;
}

// The status query itself. True when the fields can be checked.
bool Consulta(std::string_view resposta, Avaliacao &a) {
  Verificacao v{"consulta", "Consulta", Nivel::Ok, "", {}};
  const std::vector<std::string> partes = Divide(resposta);
  a.codigo = partes.size() > 1 ? partes[1] : std::string();
  const std::string mensagem = partes.size() > 2 ? partes[2] : std::string();
  bool status = false;
  if (partes.size() == 1) {
    // The library's bare reply when no port could be opened.
    v.nivel = Nivel::Critico;
    v.mensagem = "O SAT n\xE3o respondeu: " + Mostra(resposta, false);
  } else if (a.codigo == "9999") {
    v.nivel = Nivel::Critico;
    v.mensagem = "O SAT n\xE3o respondeu: " + Mostra(mensagem, false);
  } else if (a.codigo == "10098") {
    v.nivel = Nivel::Atencao;
    v.mensagem = "O SAT est\xE1 ocupado: " + Mostra(mensagem, false);
  } else if (a.codigo != "10000") {
    v.nivel = Nivel::Critico;
    v.mensagem =
        "O SAT recusou a consulta (" + Mostra(a.codigo, false) + "): " + Mostra(mensagem, false);
  } else {
    status = true;
    for (size_t i = 2; i < kCamposStatus && i < partes.size(); ++i) {
      a.campos.emplace_back(kNomesStatus[i - 2], partes[i]);
    }
    v.mensagem = "O SAT respondeu \xE0 consulta";
    if (partes.size() < kCamposStatus) {
      v.nivel = Nivel::Atencao;
      v.mensagem +=
          Formata(", mas com %lld dos %lld campos do status", static_cast<long long>(partes.size()),
                  static_cast<long long>(kCamposStatus));
    }
  }
  v.dados = {Texto("codigo", a.codigo), Texto("mensagem", mensagem),
             Num("campos", double(partes.size()))};
  a.verificacoes.push_back(std::move(v));
  return status;
}

} // namespace

const char *NomeDoNivel(Nivel nivel) {
  switch (nivel) {
  case Nivel::Ok:
    return "ok";
  case Nivel::Atencao:
    return "atencao";
  case Nivel::Critico:
    break;
  }
  return "critico";
}

const char *RotuloDoNivel(Nivel nivel) {
  switch (nivel) {
  case Nivel::Ok:
    return "ok";
  case Nivel::Atencao:
    return "aten\xE7\xE3o";
  case Nivel::Critico:
    break;
  }
  return "cr\xEDtico";
}

Instante DeTm(const std::tm &local) {
  return Instante{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::string Iso(const Instante &i) {
  return Formata("%04lld-%02lld-%02lldT%02lld:%02lld:%02lld", i.ano, i.mes, i.dia, i.hora, i.minuto,
                 i.segundo);
}

std::string Avaliacao::Campo(std::string_view nome) const {
  for (const auto &[n, valor] : campos) {
    if (n == nome) {
      return valor;
    }
  }
  return std::string();
}

Avaliacao Avalia(std::string_view resposta, const Instante &agora, const Limites &limites) {
  Avaliacao a;
  if (Consulta(resposta, a)) {
    a.verificacoes.push_back(Certificado(a, agora, limites));
    a.verificacoes.push_back(Transmissao(a, agora));
    a.verificacoes.push_back(Relogio(a, agora, limites));
    a.verificacoes.push_back(Memoria(a));
    a.verificacoes.push_back(Bateria(a));
    a.verificacoes.push_back(Operacao(a));
  }
  for (const Verificacao &v : a.verificacoes) {
    a.nivel = Pior(a.nivel, v.nivel);
  }
  return a;
}

} // namespace saude
