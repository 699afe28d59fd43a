// escpos_renderiza [--largura 576|384] ENTRADA.bin SAIDA.png SAIDA.txt
//
// Prints a file of ESC/POS on the interpreter's paper: the picture to SAIDA.png and, to
// SAIDA.txt, the text lines one a line, then "QR:<dados>" or "CODE128:<dados>" for each code and
// "CORTES:<n>".
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "interprete.h"

namespace {

int Erro(const std::string &mensagem) {
  std::cerr << "escpos_renderiza: " << mensagem << "\n";
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  int largura = 576;
  int i = 1;
  if (i < argc && std::string(argv[i]) == "--largura") {
    if (i + 1 >= argc || (std::string(argv[i + 1]) != "576" && std::string(argv[i + 1]) != "384")) {
      return Erro("--largura deve ser 576 (80 mm) ou 384 (58 mm)");
    }
    largura = std::stoi(argv[i + 1]);
    i += 2;
  }
  if (argc - i != 3) {
    return Erro("uso: escpos_renderiza [--largura 576|384] ENTRADA.bin SAIDA.png SAIDA.txt");
  }
  const std::string entrada = argv[i], png = argv[i + 1], texto = argv[i + 2];

  std::ifstream arquivo(entrada, std::ios::binary);
  if (!arquivo) {
    return Erro("não consegui abrir " + entrada);
  }
  const std::string bytes((std::istreambuf_iterator<char>(arquivo)),
                          std::istreambuf_iterator<char>());
  if (arquivo.bad()) {
    return Erro("erro ao ler " + entrada);
  }

  escpos::Impressao impressao;
  std::string erro;
  if (!escpos::Interpreta(bytes, largura, impressao, erro) ||
      !escpos::GravaPng(impressao, png, erro)) {
    return Erro(erro);
  }

  std::ofstream saida(texto, std::ios::binary | std::ios::trunc);
  for (const escpos::Linha &linha : impressao.linhas) {
    saida << linha.texto << "\n";
  }
  for (const escpos::Codigo &codigo : impressao.codigos) {
    saida << codigo.tipo << ":" << codigo.dados << "\n";
  }
  saida << "CORTES:" << impressao.cortes << "\n";
  saida.close();
  if (!saida) {
    return Erro("erro ao gravar " + texto);
  }
  return 0;
}
