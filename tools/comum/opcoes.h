// The tools' command line: one table of options per tool drives getopt_long and the options part
// of --help, so that what --help lists is what is parsed. satcli, satemu and satd share it.
#pragma once

#include <getopt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace opcoes {

// One option. `curta` is its letter, or a code above 255 for an option without one: getopt_long's
// val either way. A row without `longa` is a line of --help as it stands (a heading).
struct Opcao {
  const char *longa;
  int curta;
  const char *argumento; // the value's name in --help; null for an option that takes none
  const char *descricao; // each line after the first goes under the first
};

template <std::size_t N> constexpr bool CodigosUnicos(const Opcao (&tabela)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t j = i + 1; j < N; ++j) {
      if (tabela[i].longa != nullptr && tabela[j].longa != nullptr &&
          tabela[i].curta == tabela[j].curta) {
        return false;
      }
    }
  }
  return true;
}

// What Leitor::Proximo found, when it is not an option (an option is its `curta`).
constexpr int kFim = -1;
constexpr int kErro = 0;    // a usage error, told in `erro`
constexpr int kPalavra = 1; // not an option: a subcommand, an argument, ","

struct Achado {
  int codigo = kFim;
  const char *valor = nullptr; // the option's value (null when it was missing), or the word
  std::string nome;            // the option as written ("-s", "--sessao"), for messages
  std::string erro;
};

// The command line in its order, words among the options (getopt_long's "-" mode), so that an
// option may belong to the word before it. A word of '-' and a digit is a number, not an option;
// after "--" every word is a word.
class Leitor {
public:
  template <std::size_t N>
  Leitor(const Opcao (&tabela)[N], int argc, char **argv)
      : tabela_(tabela), quantas_(N), argc_(argc), argv_(argv) {
    curtas_ = "-";
    for (const Opcao &o : tabela) {
      if (o.longa == nullptr) {
        continue;
      }
      longas_.push_back(
          {o.longa, o.argumento != nullptr ? required_argument : no_argument, nullptr, o.curta});
      if (o.curta > 0 && o.curta < 256) {
        curtas_ += static_cast<char>(o.curta);
        curtas_ += o.argumento != nullptr ? ":" : "";
      }
    }
    longas_.push_back({nullptr, 0, nullptr, 0});
    opterr = 0; // the tools word their own messages
  }

  Achado Proximo() {
    Achado a;
    if (terminou_) {
      if (optind < argc_) {
        a.codigo = kPalavra;
        a.valor = argv_[optind++];
      }
      return a;
    }
    // Between two elements (not within "-ab"), where a number may stand.
    const char *seguinte = optind < argc_ ? argv_[optind] : "";
    if (entre_ && seguinte[0] == '-' && seguinte[1] >= '0' && seguinte[1] <= '9') {
      ++optind;
      a.codigo = kPalavra;
      a.valor = seguinte;
      return a;
    }
    const int elemento = optind;
    const int c = getopt_long(argc_, argv_, curtas_.c_str(), longas_.data(), nullptr);
    entre_ = optind != elemento;
    if (c == -1) {
      terminou_ = true;
      return Proximo();
    }
    if (c == kPalavra) {
      a.codigo = kPalavra;
      a.valor = optarg;
      return a;
    }
    // The element holding the option: a long option is named as written, up to its '='.
    const char *texto = elemento < argc_ ? argv_[elemento] : "";
    const bool longa = std::strncmp(texto, "--", 2) == 0;
    const int letra = c == '?' || c == ':' ? optopt : c;
    a.nome = longa ? std::string(texto, std::strcspn(texto, "="))
                   : std::string("-") + static_cast<char>(letra);
    const Opcao *o = Procura(letra);
    if (o == nullptr) {
      a.codigo = kErro;
      a.erro = "opção desconhecida " + a.nome;
    } else if (c != '?' && c != ':') {
      a.codigo = c;
      a.valor = o->argumento != nullptr ? optarg : nullptr;
    } else if (o->argumento != nullptr) {
      a.codigo = letra; // its value is missing: the tool says what it takes
    } else {
      a.codigo = kErro;
      a.erro = a.nome + " não aceita valor";
    }
    return a;
  }

private:
  const Opcao *Procura(int curta) const {
    for (std::size_t i = 0; i < quantas_; ++i) {
      if (tabela_[i].longa != nullptr && tabela_[i].curta == curta) {
        return &tabela_[i];
      }
    }
    return nullptr;
  }

  const Opcao *tabela_;
  std::size_t quantas_;
  int argc_;
  char **argv_;
  std::vector<option> longas_;
  std::string curtas_;
  bool entre_ = true;
  bool terminou_ = false;
};

// The options part of --help: each option and its value's name, its description from `coluna`
// (on the next line when they do not leave two spaces before it).
template <std::size_t N> std::string Ajuda(const Opcao (&tabela)[N], std::size_t coluna) {
  std::string texto;
  for (const Opcao &o : tabela) {
    if (o.longa == nullptr) {
      texto += std::string(o.descricao) + "\n";
      continue;
    }
    std::string termo = "  ";
    if (o.curta > 0 && o.curta < 256) {
      termo += std::string("-") + static_cast<char>(o.curta) + ", ";
    }
    termo += std::string("--") + o.longa;
    if (o.argumento != nullptr) {
      termo += std::string(" ") + o.argumento;
    }
    // Columns, not bytes: a value's name may hold an accented letter.
    const std::size_t largura = static_cast<std::size_t>(
        std::count_if(termo.begin(), termo.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    termo += largura + 2 <= coluna ? std::string(coluna - largura, ' ')
                                   : "\n" + std::string(coluna, ' ');
    for (const char *d = o.descricao; *d != '\0'; ++d) {
      termo += *d;
      if (*d == '\n') {
        termo += std::string(coluna, ' ');
      }
    }
    texto += termo + "\n";
  }
  return texto;
}

// "satemu 2.0.11.5": the project's version, from the top CMakeLists.txt.
inline std::string Versao(const char *ferramenta) {
  return std::string(ferramenta) + " " + SAT_VERSAO_PROJETO;
}

} // namespace opcoes
