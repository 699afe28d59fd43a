// The log file: one timestamped record per GravaLog call, appended to the file that
// sat.ini or ArquivoLog names. Every line feed reaches the file as CR LF, on every
// platform, so a log reads the same wherever it was written.
#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/plataforma.h"
#include "support/armazenamento.h"

namespace {

constexpr unsigned long kTamanhoLidoIni = 1024;

const char *PulaEspacos(const char *p) {
  while (*p == ' ') {
    ++p;
  }
  return p;
}

// The value of `chave` found from `inicio` on: the text after its first "=" and the spaces
// that follow. Null when the key or its "=" is missing.
const char *ValorDaChave(const char *inicio, const char *chave) {
  const char *p = std::strstr(inicio, chave);
  if (p == nullptr) {
    return nullptr;
  }
  p = std::strchr(p, '=');
  return p == nullptr ? nullptr : PulaEspacos(p + 1);
}

bool CaracterDeNome(unsigned char c) { return c >= 0x20 && c <= 0x7F; }

// Writes `tamanho` bytes, each line feed as CR LF.
void EscreveComCRLF(void *arquivo, const char *texto, size_t tamanho) {
  const char *fim = texto + tamanho;
  while (texto < fim) {
    const char *lf = static_cast<const char *>(std::memchr(texto, '\n', fim - texto));
    if (lf == nullptr) {
      Plataforma->EscreveAnexo(arquivo, texto, fim - texto);
      return;
    }
    Plataforma->EscreveAnexo(arquivo, texto, lf - texto);
    Plataforma->EscreveAnexo(arquivo, "\r\n", 2);
    texto = lf + 1;
  }
}

} // namespace

void LeConfiguracao() {
  if (CaminhoLog[0] != '\0') {
    return;
  }
  char texto[kTamanhoLidoIni + 1];
  long lidos = Plataforma->LeArquivo("sat.ini", texto, kTamanhoLidoIni);
  if (lidos < 0) {
    return;
  }
  texto[lidos] = '\0';

  const char *gera = ValorDaChave(texto, "GeraArqLog");
  if (gera == nullptr || *gera != '1') {
    return;
  }
  const char *nome = ValorDaChave(gera, "NomeArqLog");
  if (nome == nullptr) {
    return;
  }
  // The name ends at the line end, or earlier at a control or non-ASCII byte.
  size_t tamanho = 0;
  while (CaracterDeNome(static_cast<unsigned char>(nome[tamanho]))) {
    ++tamanho;
  }
  if (tamanho == 0) {
    return;
  }
  if (tamanho >= sizeof CaminhoLog) {
    // A cut name would log into some other file; better to log nothing and say why.
    Plataforma->SaidaDepuracao("sat.ini: NomeArqLog com 100 caracteres ou mais, log desligado\n");
    return;
  }
  std::memcpy(CaminhoLog, nome, tamanho);
  CaminhoLog[tamanho] = '\0';
}

void GravaLog(const char *texto) {
  DataHora agora;
  Plataforma->HoraLocal(&agora);
  LeConfiguracao();
  if (CaminhoLog[0] == '\0' || texto == nullptr) {
    return;
  }
  void *arquivo = Plataforma->AbreAnexo(CaminhoLog);
  if (arquivo == nullptr) {
    return;
  }
  char cabecalho[64];
  int n = std::snprintf(cabecalho, sizeof cabecalho, "\n%02d/%02d/%04d %02d:%02d:%02d:%-3d ",
                        agora.dia, agora.mes, agora.ano, agora.hora, agora.minuto, agora.segundo,
                        agora.milissegundo);
  if (n > 0) {
    EscreveComCRLF(arquivo, cabecalho,
                   static_cast<size_t>(n) < sizeof cabecalho ? static_cast<size_t>(n)
                                                             : sizeof cabecalho - 1);
  }
  EscreveComCRLF(arquivo, texto, std::strlen(texto));
  Plataforma->FechaAnexo(arquivo);
}

void GravaLogFormatado(const char *formato, ...) {
  char linha[4096];
  va_list argumentos;
  va_start(argumentos, formato);
  std::vsnprintf(linha, sizeof linha, formato, argumentos);
  va_end(argumentos);
  GravaLog(linha);
}

int DefineCaminhoLog(const char *nome) {
  size_t tamanho = strnlen(nome, sizeof CaminhoLog);
  if (tamanho >= sizeof CaminhoLog) {
    return 0;
  }
  std::memcpy(CaminhoLog, nome, tamanho + 1);
  return 1;
}
