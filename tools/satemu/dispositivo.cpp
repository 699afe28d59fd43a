#include "dispositivo.h"

#include "codifica.h"
#include "comum/datas.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace satemu {

namespace {

// Messages, in Windows-1252. A literal is split where a hex escape is followed by a letter that
// is a hex digit too (\xF3 then 'd'), which the escape would otherwise take in.
constexpr char kCodigoInvalido[] = "C\xF3"
                                   "digo de ativa\xE7\xE3o inv\xE1lido";
constexpr char kNaoAtivado[] = "SAT ainda n\xE3o ativado";
constexpr char kSessaoInvalida[] = "N\xFAmero de sess\xE3o inv\xE1lido";
constexpr char kErroDesconhecido[] = "Erro desconhecido";
constexpr char kBloqueadoContribuinte[] = "SAT bloqueado pelo contribuinte";
constexpr char kBloqueadoSefaz[] = "SAT bloqueado pela SEFAZ";
constexpr char kBloqueadoSemComunicacao[] = "SAT bloqueado por falta de comunica\xE7\xE3o";
constexpr char kForaDoPadrao[] = "Dados fora do padr\xE3o a ser informado";
constexpr char kErroValidacao[] = "Erro de valida\xE7\xE3o do conte\xFA"
                                  "do";
constexpr char kErroAtivacao[] = "Erro desconhecido na ativa\xE7\xE3o";
constexpr char kErroEmissao[] = "Erro desconhecido na emiss\xE3o";
constexpr char kBloqueadoDesativacao[] = "SAT bloqueado para desativa\xE7\xE3o";

struct Pedido {
  std::string sessaoTexto; // as received: the reply echoes it
  long long sessao = 0;
  std::string_view parametros;
};

struct Contexto {
  Sat &sat;
  const Pedido &pedido;
  int numero; // the command's two leading digits in its codes
  bool mudou = false;
  std::string motivo;
};

std::string Codigo(int numero, int erro) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "%02d%03d", numero, erro);
  return texto;
}

// session|EEEEE|mensagem|cod|mensagemSEFAZ, with cod and mensagemSEFAZ empty.
std::string Comum(const Contexto &c, int erro, std::string_view mensagem) {
  std::string r = c.pedido.sessaoTexto;
  r.append("|").append(Codigo(c.numero, erro)).append("|").append(mensagem).append("||");
  return r;
}

// The parameters split at '|' into exactly `quantos` fields; the last takes the rest of the
// text, '|' included, and fields that are not there are empty.
std::vector<std::string_view> Campos(std::string_view parametros, std::size_t quantos) {
  std::vector<std::string_view> campos;
  while (campos.size() + 1 < quantos) {
    const std::size_t barra = parametros.find('|');
    if (barra == std::string_view::npos)
      break;
    campos.push_back(parametros.substr(0, barra));
    parametros.remove_prefix(barra + 1);
  }
  campos.push_back(parametros);
  campos.resize(quantos);
  return campos;
}

bool LeInteiro(std::string_view texto, long long &valor) {
  const bool negativo = !texto.empty() && texto.front() == '-';
  const std::string_view digitos = negativo ? texto.substr(1) : texto;
  if (digitos.empty() || digitos.size() > 10 || !SoDigitos(digitos, digitos.size()))
    return false;
  valor = 0;
  for (const char d : digitos)
    valor = valor * 10 + (d - '0');
  if (negativo)
    valor = -valor;
  return true;
}

std::tm Agora(const Sat &sat) {
  const std::time_t t = sat.relogio();
  std::tm quando{};
  localtime_r(&t, &quando);
  return quando;
}

// The versions as the status reply writes them: 010000 as 01.00.00, 0.08 as 00.08.
std::string VersaoSoftware() {
  const std::string v = kVersaoSoftware;
  return v.substr(0, 2) + "." + v.substr(2, 2) + "." + v.substr(4, 2);
}
std::string VersaoLayout() { return std::string("0") + kVersaoLayout; }

int ProximoNumero(const Sat &sat) { return sat.ultimoNumero >= 999999 ? 1 : sat.ultimoNumero + 1; }

Emissao NovaEmissao(Sat &sat, int numero) {
  Emissao e;
  e.uf = sat.uf;
  e.cnpjEmitente = sat.cnpjContribuinte;
  e.serie = sat.serie;
  e.numero = numero;
  e.codigoNumerico = std::uniform_int_distribution<int>(0, 999999)(sat.sorteio);
  e.quando = Agora(sat);
  e.semDeclaracao = sat.semDeclaracao;
  e.emitente = sat.emitente;
  return e;
}

void AcrescentaLe32(std::string &destino, std::uint32_t valor) {
  for (int i = 0; i < 4; ++i)
    destino += static_cast<char>(valor >> (8 * i) & 0xFF);
}

// A CF-e just issued goes to the tax authority at once, unless the device cannot transmit.
void Emitido(Sat &sat, const std::string &chave) {
  if (sat.condicoes.semTransmitir)
    sat.condicoes.aguardando.push_back(chave);
}

// A sale or a cancellation refused for the device's block: the taxpayer's at `contribuinte`
// (06006, 07003), SEFAZ's and the one for deactivation one after, the autonomous two after.
std::string RecusaBloqueado(const Contexto &c, int contribuinte) {
  switch (Estado(c.sat)) {
  case EstadoOperacao::BloqueadoContribuinte:
    return Comum(c, contribuinte, kBloqueadoContribuinte);
  case EstadoOperacao::BloqueioAutonomo:
    return Comum(c, contribuinte + 2, kBloqueadoSemComunicacao);
  default:
    return Comum(c, contribuinte + 1, kBloqueadoSefaz);
  }
}

bool CodigoConfere(const Contexto &c, std::string_view codigo) {
  return codigo == c.sat.codigoAtivacao;
}

// ---- the commands ----------------------------------------------------------------------

std::string AtivarSAT(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 4);
  long long subComando = 0, uf = 0;
  if (!LeInteiro(campo[0], subComando) || subComando < 1 || subComando > 3 ||
      !LeInteiro(campo[3], uf) || !UfValida(static_cast<int>(uf)) || !CodigoValido(campo[1]))
    return Comum(c, 99, kErroAtivacao);
  if (!CnpjValido(campo[2]))
    return Comum(c, 2, "SEFAZ n\xE3o reconhece este SAT (CNPJ inv\xE1lido)");
  Sat &sat = c.sat;
  if (subComando == 3) {
    // Renewal of the ICP-Brasil certificate: only for an active device of that taxpayer.
    if (sat.ativacao != Ativacao::Ativado || campo[2] != sat.cnpjContribuinte ||
        !CodigoConfere(c, campo[1]))
      return Comum(c, 99, kErroAtivacao);
  } else if (sat.ativacao == Ativacao::Ativado) {
    return Comum(c, 3, "SAT j\xE1 ativado");
  }
  sat.cnpjContribuinte = std::string(campo[2]);
  sat.uf = static_cast<int>(uf);
  sat.codigoAtivacao = std::string(campo[1]);
  c.mudou = true;
  std::string r = c.pedido.sessaoTexto;
  if (subComando == 1) {
    sat.ativacao = Ativacao::Ativado;
    sat.dataAtivacao = CarimboTempo(Agora(sat)).substr(0, 8);
    return r + "|04000|Ativado corretamente|||";
  }
  sat.ativacao = subComando == 2 ? Ativacao::AguardandoCertificado : sat.ativacao;
  std::string csr = "-----BEGIN CERTIFICATE REQUEST-----\n";
  csr += AssinaturaQrCode(sat.cnpjContribuinte + sat.serie);
  csr += "\n-----END CERTIFICATE REQUEST-----\n";
  return r + "|04006|CSR ICP-BRASIL criado com sucesso|||" + CodificaBase64(csr);
}

std::string ComunicarCertificadoICPBRASIL(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 2);
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  const std::string_view certificado = campo[1];
  const bool pem = certificado.find("-----BEGIN CERTIFICATE-----") != std::string_view::npos;
  // A certificate is good only for the request the device made in AtivarSAT.
  if (c.sat.ativacao != Ativacao::AguardandoCertificado || (!pem && !PareceBase64(certificado)))
    return Comum(c, 3, "Certificado inv\xE1lido");
  c.sat.ativacao = Ativacao::Ativado;
  c.sat.dataAtivacao = CarimboTempo(Agora(c.sat)).substr(0, 8);
  c.mudou = true;
  return Comum(c, 0, "Certificado transmitido com sucesso");
}

std::string EnviarDadosVenda(Contexto &c) {
  // Binary after the word: code, '|', N (LE32), N bytes of zlib stream.
  const std::string_view parametros = c.pedido.parametros;
  const std::size_t barra = parametros.find('|');
  const std::string_view codigo = parametros.substr(0, barra);
  Sat &sat = c.sat;
  if (!CodigoConfere(c, codigo))
    return Comum(c, 1, kCodigoInvalido);
  if (sat.ativacao != Ativacao::Ativado)
    return Comum(c, 2, kNaoAtivado);
  if (Estado(sat) != EstadoOperacao::Desbloqueado)
    return RecusaBloqueado(c, 6);
  if (sat.assinaturaAC.empty())
    return Comum(c, 3, "SAT n\xE3o vinculado ao AC");
  if (barra == std::string_view::npos || parametros.size() - barra - 1 < 4)
    return Comum(c, 10, kErroValidacao);
  const std::string_view bloco = parametros.substr(barra + 1);
  std::uint32_t tamanho = 0;
  for (int i = 3; i >= 0; --i)
    tamanho = tamanho << 8 | static_cast<unsigned char>(bloco[i]);
  if (tamanho > bloco.size() - 4)
    return Comum(c, 10, kErroValidacao);
  std::string venda;
  const Expansao expansao = Expande(bloco.substr(4, tamanho), kDocumentoMaximo, venda);
  if (expansao == Expansao::Excede)
    return Comum(c, 5, "Tamanho do CF-e-SAT superior a 1.500KB");
  if (expansao == Expansao::Invalida)
    return Comum(c, 10, kErroValidacao);

  const int numero = ProximoNumero(sat);
  CFe cfe;
  if (!MontaCFeVenda(venda, NovaEmissao(sat, numero), cfe, c.motivo))
    return Comum(c, 10, kErroValidacao);
  if (cfe.cnpjSoftwareHouse != sat.cnpjSoftwareHouse || cfe.assinaturaAC != sat.assinaturaAC) {
    c.motivo = "ide: CNPJ e signAC não são os da software house associada a este SAT";
    return Comum(c, 4, "Vincula\xE7\xE3o do AC n\xE3o confere");
  }
  if (cfe.xml.size() > kDocumentoMaximo)
    return Comum(c, 5, "Tamanho do CF-e-SAT superior a 1.500KB");

  std::string cauda = CodificaBase64(cfe.xml);
  cauda.append("|").append(cfe.dataHora).append("|CFe").append(cfe.chave);
  cauda.append("|").append(cfe.total).append("|").append(cfe.cpfCnpj);
  cauda.append("|").append(cfe.assinaturaQr);
  std::string comprimida;
  if (!Comprime(cauda, comprimida))
    return Comum(c, 99, kErroEmissao);

  sat.ultimoNumero = numero;
  sat.ultimaVenda = VendaEmitida{cfe.chave, cfe.total, cfe.cpfCnpj, cfe.dataHora, {}};
  sat.vendaCancelavel = true;
  sat.chaveUltimoCFe = cfe.chave;
  sat.dataHoraUltimoCFe = cfe.dataHora;
  Emitido(sat, cfe.chave);
  c.mudou = true;
  std::string r = c.pedido.sessaoTexto;
  r += "|06000|0000|Emitido com sucesso + conte\xFA"
       "do notas.|||";
  AcrescentaLe32(r, static_cast<std::uint32_t>(comprimida.size()));
  r += comprimida;
  sat.ultimaSessaoFiscal = r;
  return r;
}

std::string CancelarUltimaVenda(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 3);
  Sat &sat = c.sat;
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  if (Estado(sat) != EstadoOperacao::Desbloqueado)
    return RecusaBloqueado(c, 3);
  if (!sat.vendaCancelavel || campo[1] != "CFe" + sat.ultimaVenda.chave)
    return Comum(c, 2, "Cupom inv\xE1lido");
  // The sale being cancelled is the last fiscal session: its CF-e gives what the cancellation
  // repeats of it.
  VendaEmitida venda = sat.ultimaVenda;
  SessaoFiscal sessao;
  if (LeSessaoFiscal(sat.ultimaSessaoFiscal, sessao) && sessao.chave == venda.chave)
    venda.xml = std::move(sessao.cfe);
  const int numero = ProximoNumero(sat);
  CFe cfe;
  if (!MontaCFeCancelamento(campo[2], venda, NovaEmissao(sat, numero), cfe, c.motivo))
    return Comum(c, 7, kErroValidacao);
  // Cancellation has no code of its own for the software house's association.
  if (cfe.cnpjSoftwareHouse != sat.cnpjSoftwareHouse || cfe.assinaturaAC != sat.assinaturaAC) {
    c.motivo = "ide: CNPJ e signAC não são os da software house associada a este SAT";
    return Comum(c, 7, kErroValidacao);
  }
  sat.ultimoNumero = numero;
  sat.vendaCancelavel = false;
  sat.chaveUltimoCFe = cfe.chave;
  sat.dataHoraUltimoCFe = cfe.dataHora;
  Emitido(sat, cfe.chave);
  c.mudou = true;
  std::string r = c.pedido.sessaoTexto;
  r += "|07000|0000|Cupom cancelado com sucesso + conte\xFA"
       "do CF-e-SAT cancelado.|||";
  r += CodificaBase64(cfe.xml);
  r.append("|").append(cfe.dataHora).append("|CFe").append(cfe.chave);
  r.append("|").append(cfe.total).append("|").append(cfe.cpfCnpj);
  r.append("|").append(cfe.assinaturaQr);
  sat.ultimaSessaoFiscal = r;
  return r;
}

std::string ConsultarSAT(Contexto &c) { return Comum(c, 0, "SAT em opera\xE7\xE3o"); }

std::string TesteFimAFim(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 2);
  Sat &sat = c.sat;
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  if (sat.ativacao != Ativacao::Ativado)
    return Comum(c, 2, kNaoAtivado);
  // A test document is outside the fiscal series: it carries number 000000 and uses none.
  CFe cfe;
  if (!MontaCFeVenda(campo[1], NovaEmissao(sat, 0), cfe, c.motivo))
    return Comum(c, 99, kErroDesconhecido);
  std::string r = c.pedido.sessaoTexto;
  r += "|09000|Emitido com sucesso|||";
  r += CodificaBase64(cfe.xml);
  r.append("|").append(cfe.dataHora).append("|000000|CFe").append(cfe.chave);
  return r;
}

// AAAAMMDD for the day MMDD of `ano`; 29 February becomes the 28th in a common year.
std::string MesmoDia(long long ano, const std::string &mmdd) {
  return std::to_string(ano) +
         (mmdd == "0229" && !comum::Bissexto(static_cast<int>(ano)) ? "0228" : mmdd);
}

std::string ConsultarStatusOperacional(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 1);
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  const Sat &sat = c.sat;
  const Condicoes &condicoes = sat.condicoes;
  const std::string agora = CarimboTempo(Agora(sat));
  const bool ativo = sat.ativacao == Ativacao::Ativado;
  // A certificate good for five years: from the activation, or up to the date given.
  std::string emissao = ativo ? sat.dataAtivacao : std::string();
  std::string vencimento;
  long long ano = 0;
  if (ativo && !condicoes.vencimentoCertificado.empty()) {
    vencimento = condicoes.vencimentoCertificado;
    LeInteiro(std::string_view(vencimento).substr(0, 4), ano);
    emissao = MesmoDia(ano - 5, vencimento.substr(4));
  } else if (ativo && sat.dataAtivacao.size() == 8) {
    LeInteiro(std::string_view(sat.dataAtivacao).substr(0, 4), ano);
    vencimento = MesmoDia(ano + 5, sat.dataAtivacao.substr(4));
  }
  const std::string &ultimo = sat.chaveUltimoCFe;
  // A locally administered address made of the serial number's last eight digits.
  std::string mac = "02:5A";
  const std::string serie8 = (std::string(8, '0') + sat.serie).substr(sat.serie.size());
  for (std::size_t i = 0; i < 8; i += 2)
    mac.append(":").append(serie8.substr(i, 2));
  const std::deque<std::string> &fila = condicoes.aguardando;
  const std::string estado = std::to_string(static_cast<int>(Estado(sat)));
  const std::array<std::string, 23> campos = {
      sat.serie,
      sat.rede.tipoLan,
      sat.rede.ip,
      mac,
      sat.rede.mascara,
      sat.rede.gateway,
      sat.rede.dns1,
      sat.rede.dns2,
      "CONECTADO",
      condicoes.bateria,
      "4 GB",
      condicoes.memoriaUsada,
      agora,
      VersaoSoftware(),
      VersaoLayout(),
      ultimo,
      fila.empty() ? std::string() : fila.front(),
      fila.empty() ? std::string() : fila.back(),
      condicoes.ultimaTransmissao.empty() ? sat.dataHoraUltimoCFe : condicoes.ultimaTransmissao,
      condicoes.ultimoContato.empty() ? agora : condicoes.ultimoContato,
      emissao,
      vencimento,
      estado};
  std::string r = c.pedido.sessaoTexto + "|10000|Resposta com Sucesso.||";
  for (const std::string &campoStatus : campos)
    r.append("|").append(campoStatus);
  return r;
}

std::string ConsultarNumeroSessao(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 2);
  const Sat &sat = c.sat;
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  if (sat.ativacao != Ativacao::Ativado)
    return Comum(c, 2, kNaoAtivado);
  long long sessao = 0;
  const auto guardada = LeInteiro(campo[1], sessao) ? sat.sessoes.find(sessao) : sat.sessoes.end();
  if (guardada == sat.sessoes.end())
    return Comum(c, 3, "Sess\xE3o n\xE3o existe");
  return guardada->second;
}

std::string ConsultarUltimaSessaoFiscal(Contexto &c) {
  const Sat &sat = c.sat;
  if (!CodigoConfere(c, Campos(c.pedido.parametros, 1)[0]))
    return Comum(c, 1, kCodigoInvalido);
  if (sat.ativacao != Ativacao::Ativado)
    return Comum(c, 2, kNaoAtivado);
  if (sat.ultimaSessaoFiscal.empty())
    return Comum(c, 3, "N\xE3o existe sess\xE3o fiscal");
  return sat.ultimaSessaoFiscal;
}

std::string ConfigurarInterfaceDeRede(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 2);
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  Documento doc;
  if (!LeXml(campo[1], c.sat.semDeclaracao, doc, c.motivo))
    return Comum(c, 2, kForaDoPadrao);
  const xmlNode *config = Raiz(doc);
  if (Nome(config) != "config") {
    c.motivo = "raiz: a raiz é <" + Mostra(Nome(config)) + ">, não <config>";
    return Comum(c, 2, kForaDoPadrao);
  }
  const std::string tipo = TextoFilho(config, "tipoLan").value_or("");
  Rede rede = c.sat.rede;
  bool valida = tipo == "DHCP" || tipo == "IPFIX" || tipo == "PPPoE";
  // A fixed address needs its address, mask and gateway; DNS servers are optional.
  const bool fixo = tipo == "IPFIX";
  const struct {
    const char *tag;
    std::string *destino;
    bool obrigatorio;
  } enderecos[] = {{"lanIP", &rede.ip, fixo},
                   {"lanMask", &rede.mascara, fixo},
                   {"lanGW", &rede.gateway, fixo},
                   {"lanDNS1", &rede.dns1, false},
                   {"lanDNS2", &rede.dns2, false}};
  if (!valida)
    c.motivo = "config: tipoLan '" + Mostra(tipo) + "' não é DHCP, IPFIX nem PPPoE";
  for (const auto &endereco : enderecos) {
    const auto texto = TextoFilho(config, endereco.tag);
    if (texto && Ipv4(*texto)) {
      *endereco.destino = std::string(*texto);
    } else if (texto || endereco.obrigatorio) {
      if (valida)
        c.motivo = std::string("config: <") + endereco.tag + "> " +
                   (texto ? "'" + Mostra(*texto) + "' não é um endereço IPv4" : "ausente");
      valida = false;
    }
  }
  if (!valida)
    return Comum(c, 2, kForaDoPadrao);
  rede.tipoLan = std::string(tipo);
  c.sat.rede = rede;
  c.mudou = true;
  return Comum(c, 0, "Rede Configurada com Sucesso");
}

std::string AssociarAssinatura(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 3);
  Sat &sat = c.sat;
  if (!CodigoConfere(c, campo[0]))
    return Comum(c, 1, kCodigoInvalido);
  // CNPJvalue is the software house's CNPJ followed by the taxpayer's.
  const std::string_view valor = campo[1];
  const bool valorValido =
      valor.size() == 28 && CnpjValido(valor.substr(0, 14)) && CnpjValido(valor.substr(14));
  if (!valorValido || !PareceBase64(campo[2]))
    return Comum(c, 3, "Assinatura fora do padr\xE3o especificado");
  if (sat.ativacao == Ativacao::Ativado && valor.substr(14) != sat.cnpjContribuinte)
    return Comum(c, 7,
                 "CNPJ do contribuinte difere daquele constante da parametriza\xE7\xE3o de uso");
  sat.cnpjSoftwareHouse = std::string(valor.substr(0, 14));
  sat.assinaturaAC = std::string(campo[2]);
  c.mudou = true;
  return Comum(c, 0, "Assinatura do AC Registrada");
}

std::string AtualizarSoftwareSAT(Contexto &c) {
  if (!CodigoConfere(c, Campos(c.pedido.parametros, 1)[0]))
    return Comum(c, 1, kCodigoInvalido);
  return Comum(c, 0, "Software Atualizado com Sucesso");
}

std::string ExtrairLogs(Contexto &c) {
  if (!CodigoConfere(c, Campos(c.pedido.parametros, 1)[0]))
    return Comum(c, 1, kCodigoInvalido);
  return Comum(c, 0, "Transfer\xEAncia completa") + "|" + CodificaBase64(c.sat.log);
}

std::string BloquearSAT(Contexto &c) {
  if (!CodigoConfere(c, Campos(c.pedido.parametros, 1)[0]))
    return Comum(c, 1, kCodigoInvalido);
  if (Estado(c.sat) != EstadoOperacao::Desbloqueado)
    return Comum(c, 2, "Equipamento SAT j\xE1 est\xE1 bloqueado");
  c.sat.bloqueado = true;
  c.mudou = true;
  return Comum(c, 0, "Equipamento SAT bloqueado com sucesso.");
}

std::string DesbloquearSAT(Contexto &c) {
  if (!CodigoConfere(c, Campos(c.pedido.parametros, 1)[0]))
    return Comum(c, 1, kCodigoInvalido);
  switch (Estado(c.sat)) {
  case EstadoOperacao::Desbloqueado:
    return Comum(c, 5, "SAT j\xE1 desbloqueado");
  case EstadoOperacao::BloqueadoSefaz:
    return Comum(c, 3, kBloqueadoSefaz);
  case EstadoOperacao::BloqueioAutonomo:
    return Comum(c, 6, "SAT com bloqueio aut\xF4nomo");
  case EstadoOperacao::BloqueadoDesativacao:
    return Comum(c, 7, kBloqueadoDesativacao);
  case EstadoOperacao::BloqueadoContribuinte:
    break;
  }
  c.sat.bloqueado = false;
  c.mudou = true;
  return Comum(c, 0, "Equipamento SAT desbloqueado com sucesso.");
}

std::string TrocarCodigoDeAtivacaoSAT(Contexto &c) {
  const auto campo = Campos(c.pedido.parametros, 4);
  Sat &sat = c.sat;
  // opcao 1: the code given is the activation code; 2: it is the emergency code.
  if (campo[1] == "1" && campo[0] != sat.codigoAtivacao)
    return Comum(c, 1, kCodigoInvalido);
  if (campo[1] == "2" && campo[0] != sat.codigoEmergencia)
    return Comum(c, 2,
                 "C\xF3"
                 "digo de ativa\xE7\xE3o de emerg\xEAncia incorreto");
  if ((campo[1] != "1" && campo[1] != "2") || !CodigoValido(campo[2]) || campo[2] != campo[3])
    return Comum(c, 99, kErroDesconhecido);
  sat.codigoAtivacao = std::string(campo[2]);
  c.mudou = true;
  return Comum(c, 0,
               "C\xF3"
               "digo de ativa\xE7\xE3o alterado com sucesso.");
}

struct Comando {
  std::string_view palavra;
  int numero;
  bool recusaSessaoRepetida; // the commands whose codes list x097
  std::string (*trata)(Contexto &);
};

constexpr Comando kComandos[] = {
    {"AtivarSAT", 4, false, AtivarSAT},
    {"ComunicarCertificadoICPBRASIL", 5, false, ComunicarCertificadoICPBRASIL},
    {"EnviarDadosVenda", 6, false, EnviarDadosVenda},
    {"CancelarUltimaVenda", 7, false, CancelarUltimaVenda},
    {"ConsultarSAT", 8, false, ConsultarSAT},
    {"TesteFimAFim", 9, false, TesteFimAFim},
    {"ConsultarStatusOperacional", 10, false, ConsultarStatusOperacional},
    {"ConsultarNumeroSessao", 11, false, ConsultarNumeroSessao},
    {"ConfigurarInterfaceDeRede", 12, true, ConfigurarInterfaceDeRede},
    {"AssociarAssinatura", 13, true, AssociarAssinatura},
    {"AtualizarSoftwareSAT", 14, true, AtualizarSoftwareSAT},
    {"ExtrairLogs", 15, true, ExtrairLogs},
    {"BloquearSAT", 16, true, BloquearSAT},
    {"DesbloquearSAT", 17, true, DesbloquearSAT},
    {"TrocarCodigoDeAtivacaoSAT", 18, true, TrocarCodigoDeAtivacaoSAT},
    {"ConsultarUltimaSessaoFiscal", 19, false, ConsultarUltimaSessaoFiscal},
};

void Registra(Sat &sat, std::string_view sessao, std::string_view palavra,
              std::string_view resposta, std::string_view motivo) {
  const std::size_t barra = resposta.find('|');
  const std::string_view codigo =
      barra == std::string_view::npos ? std::string_view() : resposta.substr(barra + 1, 5);
  // A word that came as noise must not break the log's lines.
  std::string palavraLimpa(palavra.substr(0, 64));
  for (char &ch : palavraLimpa)
    if (static_cast<unsigned char>(ch) < 0x20)
      ch = '?';
  std::string linha = CarimboTempo(Agora(sat));
  linha.append("|").append(sessao).append("|").append(palavraLimpa).append("|");
  linha.append(codigo);
  // The reasons are the emulator's UTF-8 texts; the log, like the device's messages, is
  // Windows-1252.
  if (!motivo.empty())
    linha.append("|").append(TextoDoLog(motivo, 200));
  linha.append("\n");
  sat.log += linha;
  if (sat.log.size() > kLogMaximo) {
    const std::size_t fimLinha = sat.log.find('\n', sat.log.size() - kLogMaximo);
    sat.log.erase(0, fimLinha == std::string::npos ? sat.log.size() : fimLinha + 1);
  }
}

void GuardaSessao(Sat &sat, long long sessao, const std::string &resposta) {
  const auto antiga = sat.sessoes.find(sessao);
  if (antiga != sat.sessoes.end()) {
    sat.bytesSessoes -= antiga->second.size();
    sat.ordemSessoes.erase(std::find(sat.ordemSessoes.begin(), sat.ordemSessoes.end(), sessao));
  }
  sat.sessoes[sessao] = resposta;
  sat.bytesSessoes += resposta.size();
  sat.ordemSessoes.push_back(sessao);
  while (sat.ordemSessoes.size() > kSessoesGuardadas ||
         (sat.bytesSessoes > kBytesSessoes && sat.ordemSessoes.size() > 1)) {
    const auto velha = sat.sessoes.find(sat.ordemSessoes.front());
    sat.bytesSessoes -= velha->second.size();
    sat.sessoes.erase(velha);
    sat.ordemSessoes.pop_front();
  }
}

} // namespace

EstadoOperacao Estado(const Sat &sat) {
  if (sat.condicoes.bloqueio != 0)
    return static_cast<EstadoOperacao>(sat.condicoes.bloqueio);
  return sat.bloqueado ? EstadoOperacao::BloqueadoContribuinte : EstadoOperacao::Desbloqueado;
}

bool LeSessaoFiscal(const std::string &resposta, SessaoFiscal &sessao) {
  std::vector<std::string> campos;
  std::size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    const std::size_t barra = resposta.find('|', pos);
    if (barra == std::string::npos)
      return false;
    campos.push_back(resposta.substr(pos, barra - pos));
    pos = barra + 1;
  }
  std::string cauda;
  if (campos[1] == "06000") {
    if (resposta.size() < pos + 4)
      return false;
    std::uint32_t tamanho = 0;
    for (int i = 3; i >= 0; --i)
      tamanho = tamanho << 8 | static_cast<unsigned char>(resposta[pos + i]);
    if (resposta.size() - pos - 4 != tamanho ||
        Expande(std::string_view(resposta).substr(pos + 4), 16u << 20, cauda) != Expansao::Ok)
      return false;
  } else if (campos[1] == "07000") {
    cauda = resposta.substr(pos);
  } else {
    return false;
  }
  // arquivoCFeBase64|timeStamp|chaveConsulta|valorTotalCFe|CPFCNPJValue|assinaturaQRCODE
  std::vector<std::string> resto;
  for (std::size_t inicio = 0;;) {
    const std::size_t barra = cauda.find('|', inicio);
    resto.push_back(cauda.substr(inicio, barra - inicio));
    if (barra == std::string::npos)
      break;
    inicio = barra + 1;
  }
  long long total = 0;
  if (resto.size() != 6 || !DecodificaBase64(resto[0], sessao.cfe) ||
      resto[2].substr(0, 3) != "CFe" || !LeDecimal(resto[3], 2, total) || !PareceBase64(resto[5]) ||
      !(resto[4].empty() || CpfValido(resto[4]) || CnpjValido(resto[4])))
    return false;
  sessao.codigo = campos[1];
  sessao.dataHora = resto[1];
  sessao.chave = resto[2].substr(3);
  sessao.total = resto[3];
  sessao.cpfCnpj = resto[4];
  return true;
}

void RegistraInicio(Sat &sat) {
  static constexpr const char *kAtivacoes[] = {"não ativado", "aguardando certificado", "ativado"};
  // Lines of the log's own layout, as a command's: no session, the word "inicio", code 00000.
  Registra(sat, "000000", "inicio", "000000|00000|",
           "SAT " + sat.serie + " ligado, software " + VersaoSoftware() + ", layout " +
               VersaoLayout());
  Registra(sat, "000000", "inicio", "000000|00000|",
           std::string(kAtivacoes[static_cast<int>(sat.ativacao)]) + ", ESTADO_OPERACAO " +
               std::to_string(static_cast<int>(Estado(sat))));
}

bool Ipv4(std::string_view texto) {
  int partes = 0;
  while (partes < 4) {
    const std::size_t ponto = texto.find('.');
    const std::string_view parte = texto.substr(0, ponto);
    long long valor = 0;
    if (parte.empty() || parte.size() > 3 || parte.front() == '-' || !LeInteiro(parte, valor) ||
        valor > 255)
      return false;
    ++partes;
    if (ponto == std::string_view::npos)
      break;
    texto.remove_prefix(ponto + 1);
  }
  return partes == 4 && texto.find('.') == std::string_view::npos;
}

std::string CarimboDaqui(const Sat &sat, long long segundos) {
  const std::time_t t = sat.relogio() + static_cast<std::time_t>(segundos);
  std::tm quando{};
  localtime_r(&t, &quando);
  return CarimboTempo(quando);
}

std::string DataDaqui(const Sat &sat, long long dias) {
  std::tm quando = Agora(sat);
  quando.tm_mday += static_cast<int>(dias);
  quando.tm_hour = 12; // a day away whatever the daylight saving time in between
  quando.tm_isdst = -1;
  std::mktime(&quando);
  return CarimboTempo(quando).substr(0, 8);
}

bool AcrescentaPendentes(Sat &sat, int quantos) {
  if (sat.ativacao != Ativacao::Ativado)
    return false;
  sat.condicoes.semTransmitir = true;
  for (int i = 0; i < quantos; ++i) {
    const Emissao e = NovaEmissao(sat, ProximoNumero(sat));
    const std::string chave =
        MontaChave(e.uf, e.quando, e.cnpjEmitente, e.serie, e.numero, e.codigoNumerico);
    sat.ultimoNumero = e.numero;
    sat.chaveUltimoCFe = chave;
    sat.dataHoraUltimoCFe = CarimboTempo(e.quando);
    sat.condicoes.aguardando.push_back(chave);
  }
  // The last CF-e is one of these now, not the sale the device kept.
  if (quantos > 0)
    sat.vendaCancelavel = false;
  return true;
}

bool CodigoValido(std::string_view codigo) {
  return !codigo.empty() && codigo.size() <= 64 &&
         std::none_of(codigo.begin(), codigo.end(), [](char ch) {
           const unsigned char b = static_cast<unsigned char>(ch);
           return b < 0x20 || b == 0x7F || ch == '|';
         });
}

void DeixaPronto(Sat &sat, std::string_view cnpj, int uf, std::string_view cnpjSoftwareHouse,
                 std::string_view assinatura) {
  sat.ativacao = Ativacao::Ativado;
  sat.cnpjContribuinte = std::string(cnpj);
  sat.uf = uf;
  sat.dataAtivacao = CarimboTempo(Agora(sat)).substr(0, 8);
  sat.cnpjSoftwareHouse = std::string(cnpjSoftwareHouse);
  sat.assinaturaAC = std::string(assinatura);
}

Atendimento Atende(Sat &sat, std::string_view carga) {
  Atendimento a;
  Pedido pedido;
  const std::size_t barra1 = carga.find('|');
  const std::string_view sessao = carga.substr(0, barra1);
  const bool sessaoValida = LeInteiro(sessao, pedido.sessao);
  pedido.sessaoTexto = sessaoValida ? std::string(sessao) : "000000";
  std::string_view resto = barra1 == std::string_view::npos ? "" : carga.substr(barra1 + 1);
  const std::size_t barra2 = resto.find('|');
  a.palavra = std::string(resto.substr(0, barra2));
  pedido.parametros = barra2 == std::string_view::npos ? "" : resto.substr(barra2 + 1);

  const Comando *comando = nullptr;
  for (const Comando &candidato : kComandos)
    if (candidato.palavra == a.palavra)
      comando = &candidato;
  if (!sessaoValida || comando == nullptr) {
    a.resposta = pedido.sessaoTexto + "|00099|" + kErroDesconhecido + "||";
    Registra(sat, pedido.sessaoTexto, a.palavra, a.resposta, {});
    return a;
  }

  a.conhecida = true;
  Contexto contexto{sat, pedido, comando->numero, false, {}};
  const bool repetida = comando->recusaSessaoRepetida && sat.sessoes.count(pedido.sessao) > 0;
  if (repetida) {
    a.resposta = Comum(contexto, 97, kSessaoInvalida);
  } else {
    a.resposta = comando->trata(contexto);
    a.estadoMudou = contexto.mudou;
    a.motivo = std::move(contexto.motivo);
    GuardaSessao(sat, pedido.sessao, a.resposta);
  }
  Registra(sat, pedido.sessaoTexto, a.palavra, a.resposta, a.motivo);
  return a;
}

} // namespace satemu
