// Helpers for the device-link tests: reply frames as a device sends them, and log records as
// GravaLog writes them with the substitute's clock.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

// A data frame: 01, sequence, eight zero header bytes, the length at offset 9, the payload and
// the checksum (or `soma` when it is not -1).
inline std::string QuadroDados(const std::string &payload, uint8_t sequencia = 0, int soma = -1) {
  std::string q(13, '\0');
  q[0] = 1;
  q[1] = static_cast<char>(sequencia);
  for (int i = 0; i < 4; i++) {
    q[9 + i] = static_cast<char>((payload.size() >> (8 * i)) & 0xFF);
  }
  q += payload;
  unsigned total = 0;
  for (size_t i = 1; i < q.size(); i++) {
    total += static_cast<unsigned char>(q[i]);
  }
  q += static_cast<char>(soma >= 0 ? soma : static_cast<int>(total & 0xFF));
  return q;
}

// The log file's bytes for these records, at the substitute's fixed time (text mode: every
// line feed is stored as CR LF).
inline std::string Registros(std::initializer_list<std::string> textos) {
  std::string log;
  for (const std::string &texto : textos) {
    log += "\r\n07/12/2017 14:03:09:42  ";
    for (char c : texto) {
      log += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
  }
  return log;
}

inline std::string Bytes(std::initializer_list<int> valores) {
  std::string s;
  for (int v : valores) {
    s += static_cast<char>(v);
  }
  return s;
}
