#include "texto.h"

#include <algorithm>
#include <cctype>

#include <cstdint>
#include <cstdio>

namespace satd {

namespace {

// Code points of the bytes 80..9F; 0 where Windows-1252 defines none.
constexpr char32_t kFaixa80[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                   0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string Hex(char32_t c) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "U+%04X", static_cast<unsigned>(c));
  return texto;
}

// The Windows-1252 byte of c, or -1.
int ByteDe(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    return static_cast<int>(c);
  }
  for (int i = 0; i < 32; ++i) {
    if (kFaixa80[i] != 0 && kFaixa80[i] == c) {
      return 0x80 + i;
    }
  }
  return -1;
}

// One UTF-8 sequence at texto[i]: its code point and length, or false when it is malformed
// (truncated, overlong, a surrogate, beyond U+10FFFF).
bool LeSequencia(std::string_view texto, size_t i, char32_t &c, size_t &tamanho) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(texto[i + k]); };
  const unsigned char primeiro = b(0);
  char32_t minimo;
  if (primeiro < 0x80) {
    c = primeiro;
    tamanho = 1;
    return true;
  } else if (primeiro >= 0xC2 && primeiro <= 0xDF) {
    c = primeiro & 0x1F;
    tamanho = 2;
    minimo = 0x80;
  } else if (primeiro >= 0xE0 && primeiro <= 0xEF) {
    c = primeiro & 0x0F;
    tamanho = 3;
    minimo = 0x800;
  } else if (primeiro >= 0xF0 && primeiro <= 0xF4) {
    c = primeiro & 0x07;
    tamanho = 4;
    minimo = 0x10000;
  } else {
    return false;
  }
  if (i + tamanho > texto.size()) {
    return false;
  }
  for (size_t k = 1; k < tamanho; ++k) {
    if ((b(k) & 0xC0) != 0x80) {
      return false;
    }
    c = (c << 6) | (b(k) & 0x3F);
  }
  return c >= minimo && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

int ValorHex(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool Decodifica(std::string_view parte, std::string &saida) {
  saida.clear();
  saida.reserve(parte.size());
  for (size_t i = 0; i < parte.size(); ++i) {
    if (parte[i] == '+') {
      saida += ' ';
    } else if (parte[i] != '%') {
      saida += parte[i];
    } else {
      const int alto = i + 2 < parte.size() ? ValorHex(parte[i + 1]) : -1;
      const int baixo = alto >= 0 ? ValorHex(parte[i + 2]) : -1;
      if (baixo < 0) {
        return false;
      }
      saida += static_cast<char>(alto * 16 + baixo);
      i += 2;
    }
  }
  return true;
}

} // namespace

bool Utf8ParaWindows1252(std::string_view utf8, std::string &saida, std::string &erro) {
  saida.clear();
  saida.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t c;
    size_t tamanho;
    if (!LeSequencia(utf8, i, c, tamanho)) {
      erro = "not valid UTF-8 at byte " + std::to_string(i);
      return false;
    }
    const int byte = ByteDe(c);
    if (c == 0 || (c >= 0x80 && c <= 0x9F)) {
      erro = "control character " + Hex(c) + " at byte " + std::to_string(i);
      return false;
    }
    if (byte < 0) {
      erro = "character " + Hex(c) + " at byte " + std::to_string(i) + " has no Windows-1252 form";
      return false;
    }
    saida += static_cast<char>(byte);
    i += tamanho;
  }
  return true;
}

namespace {

// The encoding an XML declaration names, in lower case; empty when there is none.
std::string CodificacaoDeclarada(std::string_view xml) {
  if (xml.substr(0, 3) == "\xEF\xBB\xBF") {
    xml.remove_prefix(3);
  }
  if (xml.substr(0, 5) != "<?xml") {
    return "";
  }
  const std::string_view declaracao = xml.substr(0, xml.find("?>"));
  const size_t chave = declaracao.find("encoding");
  if (chave == std::string_view::npos) {
    return "";
  }
  const size_t aspas = declaracao.find_first_of("\"'", chave);
  if (aspas == std::string_view::npos) {
    return "";
  }
  const size_t fim = declaracao.find(declaracao[aspas], aspas + 1);
  std::string nome(
      declaracao.substr(aspas + 1, fim == std::string_view::npos ? 0 : fim - aspas - 1));
  std::transform(nome.begin(), nome.end(), nome.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return nome;
}

} // namespace

bool DocumentoParaBiblioteca(std::string_view utf8, std::string &saida, std::string &erro) {
  const std::string codificacao = CodificacaoDeclarada(utf8);
  if (codificacao == "windows-1252" || codificacao == "iso-8859-1") {
    return Utf8ParaWindows1252(utf8, saida, erro);
  }
  for (size_t i = 0; i < utf8.size();) {
    char32_t c;
    size_t tamanho;
    if (!LeSequencia(utf8, i, c, tamanho)) {
      erro = "not valid UTF-8 at byte " + std::to_string(i);
      return false;
    }
    if (c == 0) {
      erro = "control character " + Hex(c) + " at byte " + std::to_string(i);
      return false;
    }
    i += tamanho;
  }
  saida.assign(utf8);
  return true;
}

std::string Windows1252ParaUtf8(std::string_view texto) {
  std::string saida;
  saida.reserve(texto.size() + texto.size() / 8);
  for (const char caractere : texto) {
    const unsigned char b = static_cast<unsigned char>(caractere);
    char32_t c = b;
    if (b >= 0x80 && b <= 0x9F && kFaixa80[b - 0x80] != 0) {
      c = kFaixa80[b - 0x80];
    }
    if (c < 0x80) {
      saida += static_cast<char>(c);
    } else if (c < 0x800) {
      saida += static_cast<char>(0xC0 | (c >> 6));
      saida += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      saida += static_cast<char>(0xE0 | (c >> 12));
      saida += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      saida += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return saida;
}

bool LeFormulario(std::string_view corpo, std::map<std::string, std::string> &campos,
                  std::string &erro) {
  campos.clear();
  size_t inicio = 0;
  while (inicio <= corpo.size()) {
    size_t fim = corpo.find('&', inicio);
    if (fim == std::string_view::npos) {
      fim = corpo.size();
    }
    const std::string_view par = corpo.substr(inicio, fim - inicio);
    inicio = fim + 1;
    if (par.empty()) {
      continue;
    }
    const size_t igual = par.find('=');
    std::string nome;
    std::string valor;
    if (!Decodifica(par.substr(0, igual), nome) ||
        (igual != std::string_view::npos && !Decodifica(par.substr(igual + 1), valor))) {
      erro = "malformed percent-escape in the form";
      return false;
    }
    if (!campos.emplace(nome, std::move(valor)).second) {
      erro = "field " + nome + " given twice";
      return false;
    }
  }
  return true;
}

} // namespace satd
