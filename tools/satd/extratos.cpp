#include "extratos.h"

#include "comum/impressora.h"
#include "comum/texto.h"
#include "configuracao.h"
#include "diario.h"
#include "registro.h"
#include "satextrato.h"

namespace satd {

namespace {

constexpr size_t kFilaMaxima = 64;

// A cancellation names the sale it cancels in its infCFe: chCanc="CFe<44 digits>".
std::string VendaCancelada(const std::string &xml) {
  const std::string marca = "chCanc=\"CFe";
  const size_t p = xml.find(marca);
  if (p == std::string::npos) {
    return {};
  }
  const std::string digitos = xml.substr(p + marca.size(), 44);
  return digitos.size() == 44 && digitos.find_first_not_of("0123456789") == std::string::npos
             ? digitos
             : std::string();
}

} // namespace

bool ExtratoDoArquivo(Diario &diario, const std::string &digitos, int formato, int papel,
                      std::string &saida, std::string &erro, bool &existe) {
  existe = false;
  const std::optional<std::string> xml = diario.Documento(digitos);
  if (!xml) {
    erro = "nenhum CF-e com a chave " + digitos;
    return false;
  }
  const bool cancelamento = xml->find("<CFeCanc") != std::string::npos;
  std::optional<std::string> venda;
  if (cancelamento) {
    const std::string chaveVenda = VendaCancelada(*xml);
    venda = chaveVenda.empty() ? std::nullopt : diario.Documento(chaveVenda);
    if (!venda) {
      erro = "o arquivo não tem a venda que o cancelamento " + digitos + " cancela";
      return false;
    }
  }
  existe = true;
  unsigned char *extrato = nullptr;
  int32_t tamanho = 0;
  const int32_t r = cancelamento
                        ? ExtratoCancelamento(xml->data(), static_cast<int32_t>(xml->size()),
                                              venda->data(), static_cast<int32_t>(venda->size()),
                                              formato, papel, &extrato, &tamanho)
                        : ExtratoVenda(xml->data(), static_cast<int32_t>(xml->size()), formato,
                                       papel, &extrato, &tamanho);
  if (r != EXTRATO_OK) {
    const auto motivo = comum::ConverteTudo("UTF-8", "WINDOWS-1252", ErroExtrato(),
                                            [](unsigned char) { return std::string("?"); });
    erro = "o extrato de " + digitos + " não pôde ser feito: " + motivo.value_or("?");
    return false;
  }
  saida.assign(reinterpret_cast<const char *>(extrato), static_cast<size_t>(tamanho));
  LiberaExtrato(extrato);
  return true;
}

Extratos::Extratos(const Configuracao &configuracao, Diario &diario, Registro &registro)
    : configuracao_(configuracao), diario_(diario), registro_(registro) {}

Extratos::~Extratos() { Para(); }

bool Extratos::Configurada() const { return !configuracao_.impressora.empty(); }

void Extratos::Inicia() {
  if (Configurada() && !thread_.joinable()) {
    thread_ = std::thread([this] { Corre(); });
  }
}

void Extratos::Para() {
  {
    std::lock_guard<std::mutex> trava(mutex_);
    parar_ = true;
  }
  aviso_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void Extratos::Imprime(const std::string &digitos, int caixa) {
  if (!Configurada()) {
    return;
  }
  {
    std::lock_guard<std::mutex> trava(mutex_);
    if (fila_.size() < kFilaMaxima) {
      fila_.push_back({digitos, caixa});
      aviso_.notify_one();
      return;
    }
  }
  ++descartados_;
  registro_.Escreve("impressora: a fila de " + std::to_string(kFilaMaxima) +
                    " extratos está cheia; o de " + digitos + " (caixa " + std::to_string(caixa) +
                    ") não será impresso");
}

Extratos::Estado Extratos::Consulta() const {
  Estado e;
  e.impressos = impressos_;
  e.falhas = falhas_;
  e.descartados = descartados_;
  std::lock_guard<std::mutex> trava(mutex_);
  e.pendentes = fila_.size();
  return e;
}

void Extratos::Corre() {
  const int formato = configuracao_.impressoraImagem ? EXTRATO_ESCPOS_IMAGEM : EXTRATO_ESCPOS;
  for (;;) {
    Pedido pedido;
    {
      std::unique_lock<std::mutex> trava(mutex_);
      aviso_.wait(trava, [this] { return parar_ || !fila_.empty(); });
      if (parar_) {
        return;
      }
      pedido = std::move(fila_.front());
      fila_.pop_front();
    }
    std::string bytes, erro;
    bool existe = false;
    if (ExtratoDoArquivo(diario_, pedido.digitos, formato, configuracao_.impressoraPapel, bytes,
                         erro, existe) &&
        comum::EnviaParaImpressora(configuracao_.impressora, bytes, erro)) {
      ++impressos_;
      registro_.Escreve("impressora: extrato de " + pedido.digitos + " (caixa " +
                        std::to_string(pedido.caixa) + ") enviado a " + configuracao_.impressora);
    } else {
      ++falhas_;
      registro_.Escreve("impressora: " + erro);
    }
  }
}

} // namespace satd
