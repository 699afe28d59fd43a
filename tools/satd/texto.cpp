#include "texto.h"

#include <algorithm>
#include <cctype>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "comum/texto.h"

namespace satd {

namespace {

std::string Hex(char32_t c) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "U+%04X", static_cast<unsigned>(c));
  return texto;
}

// The code point of the UTF-8 sequence at texto[i]; nothing when none starts there.
std::optional<char32_t> CodigoEm(std::string_view texto, size_t i) {
  std::string utf32;
  size_t onde = 0;
  for (size_t n = 1; n <= 4 && i + n <= texto.size(); ++n) {
    if (comum::Converte("UTF-32BE", "UTF-8", texto.substr(i, n), utf32, onde) &&
        utf32.size() == 4) {
      char32_t c = 0;
      for (const char b : utf32) {
        c = c << 8 | static_cast<unsigned char>(b);
      }
      return c;
    }
  }
  return std::nullopt;
}

// A NUL in text that is otherwise good UTF-8 (iconv passes it through): false, with `erro`.
bool SemNulo(std::string_view texto, std::string &erro) {
  const size_t nulo = texto.find('\0');
  if (nulo != std::string_view::npos) {
    erro = "caractere de controle U+0000 no byte " + std::to_string(nulo);
  }
  return nulo == std::string_view::npos;
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
  size_t onde = 0;
  if (comum::Converte("WINDOWS-1252", "UTF-8", utf8, saida, onde)) {
    return SemNulo(utf8, erro);
  }
  saida.clear();
  if (onde == std::string_view::npos) {
    erro = "este sistema não converte de UTF-8 para Windows-1252";
    return false;
  }
  // A NUL before the character that stopped the conversion is the first fault.
  if (!SemNulo(utf8.substr(0, onde), erro)) {
    return false;
  }
  const std::optional<char32_t> c = CodigoEm(utf8, onde);
  const std::string lugar = " no byte " + std::to_string(onde);
  if (!c) {
    erro = "UTF-8 inválido" + lugar;
  } else if (*c >= 0x80 && *c <= 0x9F) {
    erro = "caractere de controle " + Hex(*c) + lugar;
  } else {
    erro = "caractere " + Hex(*c) + lugar + " sem equivalente em Windows-1252";
  }
  return false;
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
  // Converted to UTF-32 only to be checked: glibc's UTF-8 to UTF-8 lets code points above
  // U+10FFFF through.
  std::string utf32;
  size_t onde = std::string_view::npos;
  if (!comum::Converte("UTF-32BE", "UTF-8", utf8, utf32, onde)) {
    if (SemNulo(utf8.substr(0, onde == std::string_view::npos ? 0 : onde), erro)) {
      erro = "UTF-8 inválido no byte " + std::to_string(onde);
    }
    return false;
  }
  if (!SemNulo(utf8, erro)) {
    return false;
  }
  saida.assign(utf8);
  return true;
}

std::string Windows1252ParaUtf8(std::string_view texto) {
  // The five bytes the code page leaves undefined become the C1 controls of the same value.
  const auto c1 = [](unsigned char b) { return std::string{'\xC2', static_cast<char>(b)}; };
  if (auto utf8 = comum::ConverteTudo("UTF-8", "WINDOWS-1252", texto, c1)) {
    return *utf8;
  }
  std::string ascii(texto);
  std::replace_if(
      ascii.begin(), ascii.end(), [](char b) { return (b & 0x80) != 0; }, '?');
  return ascii;
}

std::string Limpo(std::string_view texto) {
  std::string limpo(texto.substr(0, 120));
  for (char &c : limpo) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      c = '?';
    }
  }
  return limpo;
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
      erro = "escape %XX malformado no formulário";
      return false;
    }
    if (!campos.emplace(nome, std::move(valor)).second) {
      erro = "campo " + Limpo(nome) + " repetido";
      return false;
    }
  }
  return true;
}

} // namespace satd
