// The Linux discovery over a sysfs tree built from the input, then the shared search over it,
// as AbrePorta runs it. The input describes the tree, one entry a line:
//   d PATH            a directory (with its parents)
//   f PATH<TAB>TEXT   a file holding TEXT
//   l PATH<TAB>TARGET a symbolic link to TARGET, relative; one that would climb out of the
//                     tree is not made, so the walk only ever meets what the input built
// PATH is relative to the tree's root. The walk must hand over terminated texts of bounded
// length, and the search a port name that fits NomePorta.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/descoberta.h"
#include "platform/posix/interno.h"
#include "tests/fuzz/apoio_fuzz.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t MAXIMO_ENTRADAS = 64;

// The path's parts, or none when it names the root itself or holds "." or "..".
std::vector<std::string> Partes(const std::string &caminho) {
  std::vector<std::string> partes;
  size_t inicio = 0;
  while (inicio <= caminho.size()) {
    size_t fim = caminho.find('/', inicio);
    if (fim == std::string::npos) {
      fim = caminho.size();
    }
    const std::string parte = caminho.substr(inicio, fim - inicio);
    if (parte == "." || parte == "..") {
      return {};
    }
    if (!parte.empty()) {
      partes.push_back(parte);
    }
    inicio = fim + 1;
  }
  return partes;
}

// A target that stays within the tree when followed from a link whose folder lies
// `profundidade` folders below the root and has no link on its way: some "..", at most that
// many, then names only (as the kernel's links read: ../../devices/...). A name on the way
// that is itself a link resolves within the tree by the same rule.
bool DentroDaArvore(const std::string &alvo, size_t profundidade) {
  if (alvo.empty() || alvo[0] == '/') {
    return false;
  }
  size_t subidas = 0;
  bool nomes = false;
  size_t inicio = 0;
  while (inicio <= alvo.size()) {
    size_t fim = alvo.find('/', inicio);
    if (fim == std::string::npos) {
      fim = alvo.size();
    }
    const std::string parte = alvo.substr(inicio, fim - inicio);
    if (parte == "..") {
      if (nomes || ++subidas > profundidade) {
        return false;
      }
    } else if (!parte.empty() && parte != ".") {
      nomes = true;
    }
    inicio = fim + 1;
  }
  return true;
}

// The folder holds no link between the root and itself.
bool SemLinkAte(const fs::path &raiz, const fs::path &pasta) {
  std::error_code erro;
  const fs::path real = fs::canonical(pasta, erro);
  const fs::path relativo = pasta.lexically_relative(raiz);
  const fs::path raizReal = fs::canonical(raiz, erro);
  return !erro && real == (relativo == "." ? raizReal : raizReal / relativo);
}

void ConstroiArvore(const fs::path &raiz, const std::string &descricao) {
  std::error_code erro;
  size_t entradas = 0;
  size_t inicio = 0;
  while (inicio < descricao.size() && entradas++ < MAXIMO_ENTRADAS) {
    size_t fim = descricao.find('\n', inicio);
    if (fim == std::string::npos) {
      fim = descricao.size();
    }
    const std::string linha = descricao.substr(inicio, fim - inicio);
    inicio = fim + 1;
    if (linha.size() < 3 || linha[1] != ' ') {
      continue;
    }
    const size_t tab = linha.find('\t');
    const std::vector<std::string> partes =
        Partes(linha.substr(2, tab == std::string::npos ? std::string::npos : tab - 2));
    const std::string valor = tab == std::string::npos ? "" : linha.substr(tab + 1);
    if (partes.empty()) {
      continue;
    }
    fs::path caminho = raiz;
    for (const std::string &p : partes) {
      caminho /= p;
    }
    fs::create_directories(caminho.parent_path(), erro);
    switch (linha[0]) {
    case 'd':
      fs::create_directories(caminho, erro);
      break;
    case 'f': {
      std::ofstream arquivo(caminho, std::ios::binary);
      arquivo << valor;
      break;
    }
    case 'l':
      if (DentroDaArvore(valor, partes.size() - 1) && SemLinkAte(raiz, caminho.parent_path())) {
        fs::create_symlink(valor, caminho, erro);
      }
      break;
    default:
      break;
    }
  }
}

// The tree lives in memory (/dev/shm) when it can: building and removing it on a disk costs
// a hundred times as much. The folder goes when the run ends.
struct PastaDoFuzz {
  fs::path pasta;
  PastaDoFuzz() {
    std::string modelo = fs::is_directory("/dev/shm") ? "/dev/shm/satfuzz-sysfs-XXXXXX"
                                                      : "/tmp/satfuzz-sysfs-XXXXXX";
    if (mkdtemp(&modelo[0]) == nullptr) {
      std::abort();
    }
    pasta = modelo;
    setenv("SAT_SYSFS_ROOT", (pasta / "sys").c_str(), 1);
  }
  ~PastaDoFuzz() {
    std::error_code erro;
    fs::remove_all(pasta, erro);
  }
};

const fs::path Raiz() {
  static const PastaDoFuzz pasta;
  return pasta.pasta / "sys";
}

int VerificaDispositivo(const DispositivoPorta *d, void *) {
  if (d->idInstancia == nullptr || strnlen(d->idInstancia, 512) >= 512 || d->nomePorta == nullptr ||
      d->nomePorta[0] == '\0' || std::strchr(d->nomePorta, '/') != nullptr ||
      (d->idsHardwareLidos != 0 && (d->idHardware == nullptr || strnlen(d->idHardware, 64) >= 64 ||
                                    std::strncmp(d->idHardware, "USB\\VID_", 8) != 0))) {
    __builtin_trap();
  }
  return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *dados, size_t tamanho) {
  Substituto &s = SubstitutoDoFuzz();
  static OperacoesPlataforma tabela = [&s] {
    OperacoesPlataforma t = *s.Instala();
    t.ListaPortas = PosixListaPortas;
    t.VerificaUSB = PosixVerificaUSB;
    return t;
  }();
  UsaPlataforma(&tabela);
  const fs::path raiz = Raiz();
  std::error_code erro;
  fs::remove_all(raiz, erro);
  fs::create_directories(raiz, erro);
  ConstroiArvore(raiz, std::string(reinterpret_cast<const char *>(dados), tamanho));

  PosixListaPortas(VerificaDispositivo, nullptr);
  PosixVerificaUSB();
  char nome[TAMANHO_NOME_PORTA];
  if (ProcuraPortaSAT(nome, sizeof nome) &&
      (nome[0] == '\0' || strnlen(nome, sizeof nome) >= sizeof nome)) {
    __builtin_trap();
  }
  return 0;
}
