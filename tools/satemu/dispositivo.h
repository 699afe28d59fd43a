// The emulated SAT: what it keeps and how it answers each of the sixteen command words.
#pragma once

#include "cfe.h"

#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>

namespace satemu {

// Largest sale document and largest CF-e the device accepts: 1,500 KB.
constexpr std::size_t kDocumentoMaximo = 1500u * 1024;
// The device's own log keeps its most recent lines up to this size.
constexpr std::size_t kLogMaximo = 256u * 1024;
// Replies kept for ConsultarNumeroSessao: the most recent sessions, within a byte budget.
constexpr std::size_t kSessoesGuardadas = 100;
constexpr std::size_t kBytesSessoes = 32u * 1024 * 1024;

enum class Ativacao { NaoAtivado = 0, AguardandoCertificado = 1, Ativado = 2 };

struct Rede {
  std::string tipoLan = "DHCP";
  std::string ip = "192.168.0.50";
  std::string mascara = "255.255.255.0";
  std::string gateway = "192.168.0.1";
  std::string dns1 = "192.168.0.1";
  std::string dns2 = "0.0.0.0";
};

// What satemu's health options set (--certificado-vence, --pendentes, ...): conditions the status
// reply shows, which no command changes and the state file does not keep.
struct Condicoes {
  std::string vencimentoCertificado;  // CERT_VENCIMENTO; empty: five years after the activation
  bool semTransmitir = false;         // every CF-e issued waits for transmission
  std::deque<std::string> aguardando; // keys of the CF-e waiting, oldest first
  std::string ultimaTransmissao;      // DH_CFe; empty: the last CF-e's own time
  std::string ultimoContato;          // DH_ULTIMA; empty: the device's now
  std::string memoriaUsada = "12 MB";
  std::string bateria = "ALTO";
  int bloqueio = 0; // ESTADO_OPERACAO 1 (SEFAZ), 3 (autonomous), 4 (for deactivation); 0: none
};

// ESTADO_OPERACAO: what the device refuses sales and cancellations for.
enum class EstadoOperacao {
  Desbloqueado = 0,
  BloqueadoSefaz = 1,
  BloqueadoContribuinte = 2,
  BloqueioAutonomo = 3,
  BloqueadoDesativacao = 4,
};

struct Sat {
  // What survives a restart (see estado.h).
  std::string serie = "900000001";
  std::string codigoAtivacao = "12345678";
  std::string codigoEmergencia = "87654321";
  Ativacao ativacao = Ativacao::NaoAtivado;
  std::string cnpjContribuinte;
  int uf = 0;
  Emitente emitente;        // the taxpayer's name and address, from the parametrization
  std::string dataAtivacao; // AAAAMMDD
  bool bloqueado = false;
  std::string cnpjSoftwareHouse;
  std::string assinaturaAC;
  int ultimoNumero = 0; // nCFe of the last document issued
  VendaEmitida ultimaVenda;
  bool vendaCancelavel = false;
  std::string chaveUltimoCFe; // sale or cancellation
  std::string dataHoraUltimoCFe;
  std::string ultimaSessaoFiscal; // the reply to that sale or cancellation, as it was sent
  Rede rede;
  std::string log;

  // Kept only while the process runs: a host that numbers its sessions the same way in every
  // run would otherwise meet "session answered twice" after each restart.
  std::map<long long, std::string> sessoes;
  std::deque<long long> ordemSessoes;
  std::size_t bytesSessoes = 0;

  // How documents that declare no encoding are read (a setting, not kept in the state).
  SemDeclaracao semDeclaracao = SemDeclaracao::Utf8;
  Condicoes condicoes;

  std::function<std::time_t()> relogio = [] { return std::time(nullptr); };
  std::mt19937 sorteio{std::random_device{}()};
};

struct Atendimento {
  std::string palavra;  // the command word as received
  std::string resposta; // the reply payload
  bool conhecida = false;
  bool estadoMudou = false; // something that survives a restart changed
  std::string motivo;       // why a document was refused, naming the rule it breaks
};

// Answers one request payload: "%06d|Word|parameters".
//
// A payload whose first field is not a number or whose word is none of the sixteen gets
// "<session>|00099|Erro desconhecido||" (the "unknown error" of the common form with no command
// number; "000000" stands for a session that is not a number).
Atendimento Atende(Sat &sat, std::string_view carga);

EstadoOperacao Estado(const Sat &sat);

// A reply to a sale or a cancellation as the device sent it, taken apart.
struct SessaoFiscal {
  std::string codigo; // 06000 or 07000
  std::string cfe;    // the signed CF-e's XML
  std::string dataHora;
  std::string chave; // 44 digits
  std::string total;
  std::string cpfCnpj;
};
bool LeSessaoFiscal(const std::string &resposta, SessaoFiscal &sessao);

// The device's log lines of its start: its serial, software and layout, its state.
void RegistraInicio(Sat &sat);

// Starts the device activated for a taxpayer and associated with a software house.
void DeixaPronto(Sat &sat, std::string_view cnpj, int uf, std::string_view cnpjSoftwareHouse,
                 std::string_view assinatura);

// The device's clock `segundos` from now (negative: in the past), AAAAMMDDHHMMSS.
std::string CarimboDaqui(const Sat &sat, long long segundos);
// The device's date `dias` from today, AAAAMMDD.
std::string DataDaqui(const Sat &sat, long long dias);

// `quantos` CF-e issued before and not transmitted: the next numbers of the device's series join
// the waiting queue, and so does every CF-e issued from then on. False when the device is not
// activated (its keys need the taxpayer).
bool AcrescentaPendentes(Sat &sat, int quantos);

// An activation or emergency code: 1 to 64 bytes, none of them a control byte or '|'.
bool CodigoValido(std::string_view codigo);

bool Ipv4(std::string_view texto);

} // namespace satemu
