#include "comum/arquivo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "comum/datas.h"

namespace comum {

std::filesystem::path NoArquivo(const std::string &pasta, const std::string &chave,
                                const std::string &timeStamp, const std::string &prefixo) {
  if (chave.compare(0, 3, "CFe") != 0 || !Digitos(std::string_view(chave).substr(3), 44) ||
      !Digitos(timeStamp, 14) || Numero(timeStamp.substr(4, 2)) < 1 ||
      Numero(timeStamp.substr(4, 2)) > 12) {
    return {};
  }
  return std::filesystem::path(pasta) / chave.substr(9, 14) /
         (timeStamp.substr(0, 4) + "-" + timeStamp.substr(4, 2)) /
         (prefixo + chave.substr(3) + ".xml");
}

std::string Arquiva(const std::filesystem::path &caminho, const std::string &documento) {
  const std::string nome = caminho.string();
  std::error_code erro;
  std::filesystem::create_directories(caminho.parent_path(), erro);
  if (erro) {
    return "não foi possível criar a pasta de " + nome + ": " + erro.message();
  }
  if (std::filesystem::exists(caminho, erro)) {
    std::ifstream existente(caminho, std::ios::binary);
    const std::string conteudo{std::istreambuf_iterator<char>(existente), {}};
    if (!existente.is_open() || existente.bad()) {
      return "não foi possível ler " + nome;
    }
    return conteudo == documento ? std::string()
                                 : nome + " já existe com outro conteúdo e não foi substituído";
  }
  FILE *arquivo = std::fopen(nome.c_str(), "wb");
  bool gravado = arquivo != nullptr &&
                 std::fwrite(documento.data(), 1, documento.size(), arquivo) == documento.size();
  const std::string causa = std::strerror(errno);
  gravado = arquivo != nullptr && std::fclose(arquivo) == 0 && gravado;
  if (!gravado) {
    // Only a file this call made, and wrote in part, is removed.
    if (arquivo != nullptr) {
      std::filesystem::remove(caminho, erro);
    }
    return "não foi possível gravar " + nome + ": " + causa;
  }
  return std::string();
}

} // namespace comum
