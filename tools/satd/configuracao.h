// satd's configuration file (TOML): where it listens, who may call it, the SAT's port and
// activation code, the queue and the logs. README.md shows a full example.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "redes.h"

namespace satd {

struct Configuracao {
  // [http]
  std::string endereco = "127.0.0.1";
  int porta = 8080; // 0: any free port (the first output line tells which)
  std::string base = "/hub/v1";
  std::string usuario; // the checkouts' credential
  std::string senha;
  std::string certificado; // TLS: both or neither
  std::string chave;
  size_t corpoMaximo = 5u * 1024 * 1024;  // a 1.5 MiB sale fully percent-encoded, and the rest
  size_t conexoes = 256;                  // open at once, in all
  size_t conexoesPorEndereco = 64;        // open at once from one client address
  std::chrono::milliseconds prazo{10000}; // a request's headers and body arrive within this
  std::chrono::seconds ociosa{60};        // a kept-alive connection waits this long for the next
  // Addresses and networks whose requests have the checkout role without credentials (the hub
  // clients of the POS programs send none). Plain HTTP beyond loopback only with these.
  std::vector<std::string> clientes;
  Redes redesClientes; // the same, read
  // [tecnico]: the technician's credential: every function (activation, certificate, network,
  // update, block, code change, logs) and all a checkout may do
  std::string tecnicoUsuario;
  std::string tecnicoSenha;
  // [diario]
  std::string diario = "/var/lib/satd/diario.sqlite3"; // every fiscal reply, before it goes out
  // [sat]
  std::string codigoAtivacao;
  std::string arquivoCodigo; // holds the activation code; rewritten after a code change
  int portaSat = -1;         // COMn through AbreSerialSAT; -1: the library finds the SAT
  std::string logSat;        // the library's own log (ArquivoLog)
  // [fila]
  size_t fila = 32;
  std::chrono::milliseconds espera{60000};
  // [registro]
  std::string registro; // one line per request; standard output when empty
  // [saude]
  int intervaloSaude = 30;  // seconds: the device's status is asked at most this often for the
                            // page and {base}/saude (0: every time), and the page reloads so
  int certificadoDias = 60; // attention when the certificate expires within this many days
  int relogioMinutos = 5;   // attention when the SAT's clock is further than this from satd's
  // [metricas]: a second credential, good for GET /metrics only (a monitor's, read-only)
  std::string metricasUsuario;
  std::string metricasSenha;
  // [arquivo]: the accountant's credential, good for the archive of CF-e only (read-only):
  // GET {base}/cfe/{chave}, {base}/cfe?... and {base}/arquivo/AAAA-MM.zip
  std::string arquivoUsuario;
  std::string arquivoSenha;
  // [central]: the chain's PostgreSQL, to which every archived CF-e is forwarded (central.h)
  std::string centralConexao;            // a libpq connection string or URI; "": none
  std::string centralArquivoSenha;       // holds the password (the first line)
  std::string centralSenha;              // read from it
  std::string centralLoja;               // written with each document; the host name by default
  size_t centralLote = 200;              // documents per transaction
  std::chrono::seconds centralPrazo{10}; // each connection, query and commit ends within this
  // [impressora]: the shop's receipt printer, for the extratos the checkouts ask satd to print
  std::string impressora;        // a device, tcp://HOST[:PORTA] or cups:FILA; "": none
  int impressoraPapel = 80;      // millimetres: 80 or 58
  bool impressoraImagem = false; // the whole extrato as an image, for printers without QR codes
};

// Reads and checks the file. False, with `erro` naming the key and the fault, when it cannot be
// read, has an unknown key or a value of the wrong type or range, or asks for something unsafe:
// an address beyond loopback with neither credentials nor clientes, or without TLS and clientes.
bool LeConfiguracao(const std::string &arquivo, Configuracao &configuracao, std::string &erro);

// True for a literal address of 127.0.0.0/8 (::ffff:127.x.x.x included, as a dual-stack socket
// shows IPv4 clients) and for ::1; never for a name.
bool Loopback(const std::string &endereco);

// Listening beyond loopback in plain HTTP (allowed for clientes only): worth a warning at start.
bool HttpSemTls(const Configuracao &configuracao);

// Activation codes: 8 to 32 visible ASCII characters, no '|'.
bool CodigoAtivacaoValido(const std::string &codigo);

// Reads the activation code from its file (the first line) / writes it there (a temporary file
// renamed over the old one, readable by the owner only).
bool LeArquivoCodigo(const std::string &arquivo, std::string &codigo, std::string &erro);
bool GravaArquivoCodigo(const std::string &arquivo, const std::string &codigo, std::string &erro);

} // namespace satd
