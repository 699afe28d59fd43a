#include "datas.h"

#include <cstdlib>

namespace comum {

namespace {

constexpr long long kMinuto = 60, kHora = 3600, kDia = 86400;

bool Valido(const Instante &i) {
  return i.ano >= 1970 && i.ano <= 9999 && i.mes >= 1 && i.mes <= 12 && i.dia >= 1 &&
         i.dia <= DiasDoMes(i.ano, i.mes) && i.hora <= 23 && i.minuto <= 59 && i.segundo <= 59;
}

} // namespace

bool Digitos(std::string_view texto, size_t quantos) {
  return texto.size() == quantos && texto.find_first_not_of("0123456789") == std::string::npos;
}

int Numero(std::string_view digitos) {
  int valor = 0;
  for (const char d : digitos) {
    valor = valor * 10 + (d - '0');
  }
  return valor;
}

bool Bissexto(int ano) { return (ano % 4 == 0 && ano % 100 != 0) || ano % 400 == 0; }

int DiasDoMes(int ano, int mes) {
  static const int kDias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return mes == 2 && Bissexto(ano) ? 29 : kDias[mes - 1];
}

long long DiasCivis(int ano, int mes, int dia) {
  const long long a = ano - (mes <= 2 ? 1 : 0);
  const long long era = (a >= 0 ? a : a - 399) / 400;
  const long long anoDaEra = a - era * 400;
  const long long diaDoAno = (153 * (mes + (mes > 2 ? -3 : 9)) + 2) / 5 + dia - 1;
  const long long diaDaEra = anoDaEra * 365 + anoDaEra / 4 - anoDaEra / 100 + diaDoAno;
  return era * 146097 + diaDaEra - 719468;
}

long long Segundos(const Instante &i) {
  return DiasCivis(i.ano, i.mes, i.dia) * kDia + i.hora * kHora + i.minuto * kMinuto + i.segundo;
}

bool LeData(std::string_view texto, Instante &i) {
  if (!Digitos(texto, 8)) {
    return false;
  }
  i = Instante{Numero(texto.substr(0, 4)), Numero(texto.substr(4, 2)), Numero(texto.substr(6, 2))};
  return Valido(i);
}

bool LeDataHora(std::string_view texto, Instante &i) {
  if (!Digitos(texto, 14) || !LeData(texto.substr(0, 8), i)) {
    return false;
  }
  i.hora = Numero(texto.substr(8, 2));
  i.minuto = Numero(texto.substr(10, 2));
  i.segundo = Numero(texto.substr(12, 2));
  return Valido(i);
}

std::string Duracao(long long segundos) {
  segundos = std::llabs(segundos);
  if (segundos < 2 * kMinuto) {
    return std::to_string(segundos) + " s";
  }
  if (segundos < 2 * kHora) {
    return std::to_string(segundos / kMinuto) + " min";
  }
  if (segundos < 2 * kDia) {
    return std::to_string(segundos / kHora) + " h";
  }
  return std::to_string(segundos / kDia) + " dias";
}

} // namespace comum
