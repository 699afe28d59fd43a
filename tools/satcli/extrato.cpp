// The extrato through libsatextrato: laid out in memory, then written to its file through one
// beside it, or sent to the printer (comum/impressora.h).
#include "extrato.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "comum/impressora.h"
#include "parcial.h"
#include "satextrato.h"

const bool kExtratoDisponivel = true;

namespace {

using json = nlohmann::ordered_json;

// What the step asks for: the output's code and its name for people.
struct Saida {
  int32_t formato;
  const char *nome;
};

Saida SaidaDo(const Passo &p) {
  if (!p.pdf.empty()) {
    return {EXTRATO_PDF, "PDF"};
  }
  if (!p.png.empty()) {
    return {EXTRATO_PNG, "PNG"};
  }
  return p.imagem ? Saida{EXTRATO_ESCPOS_IMAGEM, "ESC/POS em imagem"}
                  : Saida{EXTRATO_ESCPOS, "ESC/POS"};
}

int32_t Papel(const Passo &p) { return p.papel != 0 ? p.papel : 80; }

// The extrato of `documento`, a sale's, or with `venda` a cancellation's: its bytes, or false
// with why (UTF-8) and the exit status.
bool Monta(const std::string &documento, const std::string *venda, const Passo &p,
           std::string &bytes, std::string &erro, int &status) {
  if (documento.size() > INT32_MAX || (venda != nullptr && venda->size() > INT32_MAX)) {
    erro = "o documento passa de 2 GiB";
    status = STATUS_ARQUIVO;
    return false;
  }
  unsigned char *extrato = nullptr;
  int32_t tamanho = 0;
  const int32_t tamanhoDocumento = static_cast<int32_t>(documento.size());
  const int32_t retorno =
      venda == nullptr ? ExtratoVenda(documento.data(), tamanhoDocumento, SaidaDo(p).formato,
                                      Papel(p), &extrato, &tamanho)
                       : ExtratoCancelamento(documento.data(), tamanhoDocumento, venda->data(),
                                             static_cast<int32_t>(venda->size()),
                                             SaidaDo(p).formato, Papel(p), &extrato, &tamanho);
  if (retorno != EXTRATO_OK || extrato == nullptr || tamanho <= 0) {
    const char *motivo = retorno != EXTRATO_OK ? ErroExtrato() : nullptr;
    erro = motivo != nullptr ? DeWindows1252(motivo, Destino::Utf8) : std::string();
    if (erro.empty()) {
      erro = "a libsatextrato não deu o extrato (retorno " + std::to_string(retorno) + ")";
    }
    status = retorno == EXTRATO_ERRO_DOCUMENTO ? STATUS_ARQUIVO : STATUS_BIBLIOTECA;
    LiberaExtrato(extrato);
    return false;
  }
  bytes.assign(reinterpret_cast<const char *>(extrato), static_cast<size_t>(tamanho));
  LiberaExtrato(extrato);
  return true;
}

void Falha(Resultado &r, const std::string &texto, int status) {
  r.falha = texto;
  r.status = status;
  r.json =
      json{{"comando", r.exportacao}, {"sucesso", false}, {"status", status}, {"erro", texto}}.dump(
          -1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string ConfereImpressora(const std::string &destino) {
  return comum::ConfereImpressora(destino);
}

Resultado Extrato(Execucao &, const Passo &p) {
  const bool cancelamento = !p.cancelamento.empty();
  Resultado r;
  r.vistaPropria = true;
  r.exportacao = cancelamento ? "ExtratoCancelamento" : "ExtratoVenda";
  const std::string origem = cancelamento ? p.cancelamento : p.args[0];
  std::string bytes, erro;
  int status = STATUS_SUCESSO;
  if (!(cancelamento ? Monta(p.documentoCancelamento, &p.documento, p, bytes, erro, status)
                     : Monta(p.documento, nullptr, p, bytes, erro, status))) {
    Falha(r, "extrato de " + origem + ": " + erro, status);
    return r;
  }
  const Saida saida = SaidaDo(p);
  json campos = {{"formato", saida.nome}, {"papel", Papel(p)}, {"bytes", bytes.size()}};
  std::string onde;
  if (!p.impressora.empty()) {
    if (!comum::EnviaParaImpressora(p.impressora, bytes, erro)) {
      Falha(r, "extrato de " + origem + ": " + erro, STATUS_IMPRESSORA);
      return r;
    }
    campos["impressora"] = p.impressora;
    onde = "enviados a " + p.impressora;
  } else {
    const std::string &arquivo = !p.pdf.empty() ? p.pdf : p.png;
    ArquivoParcial parcial(arquivo);
    parcial.Escreve(bytes.data(), bytes.size());
    erro = parcial.Conclui();
    if (!erro.empty()) {
      Falha(r, erro, STATUS_ARQUIVO);
      return r;
    }
    r.documento = arquivo;
    campos["arquivo"] = arquivo;
    onde = "gravados em " + arquivo;
  }
  json j = {{"comando", r.exportacao}, {"sucesso", true}, {"status", STATUS_SUCESSO}};
  for (auto &[chave, valor] : campos.items()) {
    j[chave] = std::move(valor);
  }
  r.json = j.dump(-1, ' ', false, json::error_handler_t::replace);
  r.legivel = "[ok] " + r.exportacao + ": " + std::to_string(bytes.size()) + " bytes em " +
              saida.nome + " (papel de " + std::to_string(Papel(p)) + " mm) " + onde + "\n";
  r.status = STATUS_SUCESSO;
  return r;
}

void ImprimeExtrato(Resultado &r, const Passo &p, const std::string &documento) {
  r.impressora = p.impressora;
  if (!r.resposta.sucesso) {
    r.notas.push_back("o extrato não foi impresso: o comando não teve sucesso");
    return;
  }
  const bool cancelamento = !p.documentoVenda.empty();
  std::string bytes, erro;
  int status = STATUS_SUCESSO;
  if (documento.empty()) {
    erro = "a resposta não trouxe o CF-e assinado";
  } else if (Monta(documento, cancelamento ? &p.documentoVenda : nullptr, p, bytes, erro, status) &&
             comum::EnviaParaImpressora(p.impressora, bytes, erro)) {
    r.impresso = true;
    r.notas.push_back("extrato enviado a " + p.impressora);
    return;
  }
  r.falhaImpressao = std::string(cancelamento ? "o cancelamento" : "a venda") +
                     " teve sucesso, mas o seu extrato não foi impresso: " + erro;
  if (r.status == STATUS_SUCESSO) {
    r.status = STATUS_IMPRESSORA;
  }
}
