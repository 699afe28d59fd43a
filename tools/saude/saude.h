// The SAT's health, read from the reply to ConsultarStatusOperacional: the checks that every POS
// integrator would otherwise write again. Shared by satcli and satd. Pure logic: the reply text
// (Windows-1252, as the library returns it) and the host's local time come in, so that the
// host's clock is fixed in tests.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comum/datas.h"

namespace saude {

// The fields of the status reply (code 10000) after the session number and the code, by the
// standard's names.
inline constexpr const char *kNomesStatus[] = {
    "mensagem",       "cod",        "mensagemSEFAZ", "NSERIE",          "TIPO_LAN",
    "LAN_IP",         "LAN_MAC",    "LAN_MASK",      "LAN_GW",          "LAN_DNS_1",
    "LAN_DNS_2",      "STATUS_LAN", "NIVEL_BATERIA", "MT_TOTAL",        "MT_USADA",
    "DH_ATUAL",       "VER_SB",     "VER_LAYOUT",    "ULTIMO_CF_E_SAT", "LISTA_INICIAL",
    "LISTA_FINAL",    "DH_CFe",     "DH_ULTIMA",     "CERT_EMISSAO",    "CERT_VENCIMENTO",
    "ESTADO_OPERACAO"};

enum class Nivel { Ok = 0, Atencao = 1, Critico = 2 };

// "ok", "atencao", "critico": for JSON and for a CSS class.
const char *NomeDoNivel(Nivel nivel);
// "ok", "atenção", "crítico" in Windows-1252: for people.
const char *RotuloDoNivel(Nivel nivel);

using comum::Instante;
Instante DeTm(const std::tm &local);

// The thresholds that a shop may change; the others are fixed (see Avalia).
struct Limites {
  int certificadoDias = 60; // attention when the certificate expires within this many days
  int relogioMinutos = 5; // attention when the device's clock is further than this from the host's
};

constexpr int kMemoriaAtencao = 80;     // percent of the working memory in use
constexpr int kMemoriaCritica = 95;     // past this the device is close to refusing sales
constexpr int kDiasSemSefazCritico = 5; // half the 10 days after which the SAT blocks itself

// A figure a check rests on: a number, or a text (Windows-1252).
struct Dado {
  std::string nome;
  std::string texto;
  bool numerico = false;
  double numero = 0;
};

struct Verificacao {
  std::string id;     // consulta, certificado, transmissao, relogio, memoria, bateria, operacao
  std::string titulo; // for people, Windows-1252
  Nivel nivel = Nivel::Ok;
  std::string mensagem; // one line for the shop, Portuguese, Windows-1252
  std::vector<Dado> dados;
};

struct Avaliacao {
  Nivel nivel = Nivel::Ok; // the worst of the checks
  std::string codigo;      // the reply's code ("10000"), the library's "9999", or empty
  // The status fields by their names (NSERIE ... ESTADO_OPERACAO), as received; empty unless
  // the device answered 10000.
  std::vector<std::pair<std::string, std::string>> campos;
  // "consulta" first; the six checks of the fields follow only when the device answered 10000.
  std::vector<Verificacao> verificacoes;

  // A field's value, or an empty text.
  std::string Campo(std::string_view nome) const;
};

// Every check of one status reply, against the host's local time `agora` (when the reply came).
// Never fails: a reply that is not a status, and a field that is missing or cannot be read, are
// findings of their own.
//
// Levels:
//   consulta     critical when the SAT did not answer (the library's 9999, no port) or refused
//                (10001, 10099); attention for 10098 (busy) and for a status with fields missing
//   certificado  critical once CERT_VENCIMENTO has passed; attention within limites.certificadoDias
//   transmissao  attention while CF-e wait (LISTA_INICIAL/LISTA_FINAL not empty or zero);
//                critical when they wait and the last transmission (DH_CFe) is older than
//                kDiasSemSefazCritico days, or when the last contact with the tax authority
//                (DH_ULTIMA) is; ages are measured on the device's own clock (DH_ATUAL)
//   relogio      attention when DH_ATUAL is further than limites.relogioMinutos from `agora`
//   memoria      attention above kMemoriaAtencao % of MT_TOTAL in use, critical above
//                kMemoriaCritica %
//   bateria      attention when NIVEL_BATERIA is BAIXO
//   operacao     critical when ESTADO_OPERACAO is 1 (blocked by SEFAZ), 2 (by the taxpayer), 3
//                (autonomous block) or 4 (blocked for deactivation)
// A field that is missing or malformed makes its check attention, naming the field.
Avaliacao Avalia(std::string_view resposta, const Instante &agora, const Limites &limites);

// AAAA-MM-DDTHH:MM:SS
std::string Iso(const Instante &instante);

} // namespace saude
