// Dates and durations as the tools read and write them: the device's AAAAMMDD and
// AAAAMMDDHHMMSS, days between civil dates, and a duration for people. Pure functions over the
// proleptic Gregorian calendar; no time zone, no clock.
#pragma once

#include <string>
#include <string_view>

namespace comum {

// A local civil date and time, as the device writes it and as the host's clock gives it.
struct Instante {
  int ano = 0, mes = 0, dia = 0, hora = 0, minuto = 0, segundo = 0;
};

// Whether `texto` is exactly `quantos` decimal digits; the number they make.
bool Digitos(std::string_view texto, size_t quantos);
int Numero(std::string_view digitos);

bool Bissexto(int ano);
int DiasDoMes(int ano, int mes);
// Days from 1970-01-01 to a civil date.
long long DiasCivis(int ano, int mes, int dia);
// Seconds on a naive local time line: differences between two instants are what they mean.
long long Segundos(const Instante &i);

// AAAAMMDD, a real day of the years 1970 to 9999; the time stays 00:00:00.
bool LeData(std::string_view texto, Instante &i);
// AAAAMMDDHHMMSS, a real day and a time of 00:00:00 to 23:59:59.
bool LeDataHora(std::string_view texto, Instante &i);

// A duration (its absolute value) in the largest unit that keeps it readable: "40 s",
// "12 min", "5 h", "3 dias"; each unit whole, cut down.
std::string Duracao(long long segundos);

} // namespace comum
