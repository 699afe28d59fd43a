// The XML reader of the Windows build: XmlLite, the system's own (xmllite.dll, loaded when first
// needed: mingw-w64 has its header but no import library), with DTDs prohibited. It builds the
// same tree as the Linux build's libxml2 reader: local names, namespace declarations left out of
// the attributes, text, CDATA and whitespace kept, no more than 64 levels below the root.
#include "documento.h"

#include <windows.h>

#include <ole2.h>
#include <xmllite.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace extrato {

namespace {

constexpr int kMaiorProfundidade = 64;

using CriaLeitor = HRESULT(WINAPI *)(REFIID, void **, IMalloc *);

// CreateXmlReader from the system folder's xmllite.dll (never one beside the program), or null
// with why in `erro`. The DLL stays loaded for the life of the process.
CriaLeitor Criador(std::string &erro) {
  static DWORD falha = 0;
  static const CriaLeitor criador = []() -> CriaLeitor {
    wchar_t caminho[MAX_PATH];
    const UINT n = GetSystemDirectoryW(caminho, MAX_PATH);
    const wchar_t nome[] = L"\\xmllite.dll";
    if (n == 0 || n + sizeof nome / sizeof nome[0] > MAX_PATH) {
      falha = n == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
      return nullptr;
    }
    std::wmemcpy(caminho + n, nome, sizeof nome / sizeof nome[0]);
    HMODULE modulo = LoadLibraryW(caminho);
    if (modulo == nullptr) {
      falha = GetLastError();
      return nullptr;
    }
    FARPROC funcao = GetProcAddress(modulo, "CreateXmlReader");
    if (funcao == nullptr) {
      falha = GetLastError();
      FreeLibrary(modulo);
      return nullptr;
    }
    return reinterpret_cast<CriaLeitor>(reinterpret_cast<void *>(funcao));
  }();
  if (criador == nullptr) {
    erro = "o Windows não carregou o xmllite.dll (erro " + std::to_string(falha) + ")";
  }
  return criador;
}

std::string Hex(HRESULT hr) {
  char texto[16];
  std::snprintf(texto, sizeof texto, "0x%08lX", static_cast<unsigned long>(hr));
  return texto;
}

// Appends `tamanho` UTF-16 units as UTF-8; false on an unpaired surrogate.
bool Utf8(const WCHAR *texto, UINT tamanho, std::string &destino) {
  if (tamanho == 0) {
    return true;
  }
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, texto, static_cast<int>(tamanho),
                                    nullptr, 0, nullptr, nullptr);
  if (n <= 0) {
    return false;
  }
  const size_t antes = destino.size();
  destino.resize(antes + static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, texto, static_cast<int>(tamanho),
                             &destino[antes], n, nullptr, nullptr) == n;
}

template <typename T> struct Libera {
  T *p = nullptr;
  Libera() = default;
  Libera(const Libera &) = delete;
  Libera &operator=(const Libera &) = delete;
  ~Libera() {
    if (p != nullptr) {
      p->Release();
    }
  }
};

// Why the reader stopped at `hr`, with the line it reached.
std::string Invalido(IXmlReader *leitor, HRESULT hr) {
  if (hr == static_cast<HRESULT>(WC_E_DTDPROHIBITED)) {
    return "o XML traz uma DTD";
  }
  std::string erro = "XML inválido";
  UINT linha = 0;
  if (leitor->GetLineNumber(&linha) == S_OK && linha > 0) {
    erro += " (linha " + std::to_string(linha) + ")";
  }
  return erro + ": erro " + Hex(hr) + " do XmlLite";
}

constexpr wchar_t kNamespaceXmlns[] = L"http://www.w3.org/2000/xmlns/";

// The attributes of the element the reader is on, but the namespace declarations (libxml2 keeps
// those apart from the attributes too). One qualified name twice fails, as in libxml2, whether
// or not the reader has said so.
bool Atributos(IXmlReader *leitor, No &no, std::string &erro) {
  std::vector<std::wstring> nomes;
  HRESULT hr;
  for (hr = leitor->MoveToFirstAttribute(); hr == S_OK; hr = leitor->MoveToNextAttribute()) {
    const WCHAR *uri = nullptr;
    UINT tamanhoUri = 0;
    const WCHAR *qualificado = nullptr;
    UINT tamanhoQualificado = 0;
    const WCHAR *nome = nullptr;
    UINT tamanhoNome = 0;
    const WCHAR *valor = nullptr;
    UINT tamanhoValor = 0;
    if ((hr = leitor->GetNamespaceUri(&uri, &tamanhoUri)) != S_OK ||
        (hr = leitor->GetQualifiedName(&qualificado, &tamanhoQualificado)) != S_OK ||
        (hr = leitor->GetLocalName(&nome, &tamanhoNome)) != S_OK ||
        (hr = leitor->GetValue(&valor, &tamanhoValor)) != S_OK) {
      break;
    }
    constexpr UINT kTamanhoXmlns = sizeof kNamespaceXmlns / sizeof kNamespaceXmlns[0] - 1;
    if (tamanhoUri == kTamanhoXmlns && std::wmemcmp(uri, kNamespaceXmlns, kTamanhoXmlns) == 0) {
      continue;
    }
    std::wstring nomeQualificado(qualificado, tamanhoQualificado);
    for (const std::wstring &outro : nomes) {
      if (outro == nomeQualificado) {
        erro = "XML inválido: um atributo repetido";
        return false;
      }
    }
    nomes.push_back(std::move(nomeQualificado));
    std::pair<std::string, std::string> atributo;
    if (!Utf8(nome, tamanhoNome, atributo.first) || !Utf8(valor, tamanhoValor, atributo.second)) {
      erro = "XML inválido: um atributo não é UTF-16 válido";
      return false;
    }
    no.atributos.push_back(std::move(atributo));
  }
  if (hr != S_FALSE) {
    erro = Invalido(leitor, hr);
    return false;
  }
  return true;
}

bool Le(IXmlReader *leitor, No &raiz, std::string &erro) {
  std::vector<No *> pilha;
  bool temRaiz = false;
  XmlNodeType tipo;
  HRESULT hr;
  while ((hr = leitor->Read(&tipo)) == S_OK) {
    const WCHAR *valor = nullptr;
    UINT tamanho = 0;
    switch (tipo) {
    case XmlNodeType_Element: {
      // The root is level 0: an element deeper than 64 fails, as in libxml2's reader.
      if (pilha.size() > static_cast<size_t>(kMaiorProfundidade)) {
        erro = "o XML tem mais de " + std::to_string(kMaiorProfundidade) + " níveis";
        return false;
      }
      No *no = nullptr;
      if (pilha.empty()) {
        if (temRaiz) {
          erro = "XML inválido: mais de um elemento raiz";
          return false;
        }
        temRaiz = true;
        no = &raiz;
      } else {
        pilha.back()->filhos.push_back(std::make_unique<No>());
        no = pilha.back()->filhos.back().get();
      }
      if ((hr = leitor->GetLocalName(&valor, &tamanho)) != S_OK) {
        erro = Invalido(leitor, hr);
        return false;
      }
      if (!Utf8(valor, tamanho, no->nome)) {
        erro = "XML inválido: um nome não é UTF-16 válido";
        return false;
      }
      // Asked before the attributes: it tells of the element the reader is on.
      const bool vazio = leitor->IsEmptyElement() != FALSE;
      if (!Atributos(leitor, *no, erro)) {
        return false;
      }
      if (!vazio) {
        pilha.push_back(no);
      }
      break;
    }
    case XmlNodeType_EndElement:
      if (pilha.empty()) {
        erro = "XML inválido: fim de um elemento que não começou";
        return false;
      }
      pilha.pop_back();
      break;
    case XmlNodeType_Text:
    case XmlNodeType_CDATA:
    case XmlNodeType_Whitespace:
      if (pilha.empty()) {
        break; // whitespace around the root: not in any element
      }
      if ((hr = leitor->GetValue(&valor, &tamanho)) != S_OK) {
        erro = Invalido(leitor, hr);
        return false;
      }
      if (!Utf8(valor, tamanho, pilha.back()->texto)) {
        erro = "XML inválido: um texto não é UTF-16 válido";
        return false;
      }
      break;
    case XmlNodeType_DocumentType:
      // Never met with DtdProcessing_Prohibit (Read fails first), but never let one through.
      erro = "o XML traz uma DTD";
      return false;
    default:
      break; // the declaration, comments, processing instructions
    }
  }
  if (hr != S_FALSE) {
    erro = Invalido(leitor, hr);
    return false;
  }
  if (!temRaiz || !pilha.empty()) {
    erro = temRaiz ? "XML inválido: o documento termina antes do fim da raiz"
                   : "o XML não tem elemento";
    return false;
  }
  return true;
}

} // namespace

bool LeXml(std::string_view xml, No &raiz, std::string &erro) {
  const CriaLeitor criador = Criador(erro);
  if (criador == nullptr) {
    return false;
  }
  // A stream of its own memory (a null handle: CreateStreamOnHGlobal allocates it), written
  // with the document and rewound.
  Libera<IStream> fluxo;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &fluxo.p);
  if (hr != S_OK) {
    erro = "sem memória para ler o XML (CreateStreamOnHGlobal: " + Hex(hr) + ")";
    return false;
  }
  ULONG escritos = 0;
  LARGE_INTEGER inicio;
  inicio.QuadPart = 0;
  if ((hr = fluxo.p->Write(xml.data(), static_cast<ULONG>(xml.size()), &escritos)) != S_OK ||
      escritos != xml.size() || (hr = fluxo.p->Seek(inicio, STREAM_SEEK_SET, nullptr)) != S_OK) {
    erro = "sem memória para ler o XML (IStream: " + Hex(hr) + ")";
    return false;
  }
  Libera<IXmlReader> leitor;
  if ((hr = criador(__uuidof(IXmlReader), reinterpret_cast<void **>(&leitor.p), nullptr)) != S_OK ||
      (hr = leitor.p->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) !=
          S_OK ||
      (hr = leitor.p->SetInput(fluxo.p)) != S_OK) {
    erro = "o XmlLite não pôde ler o documento (" + Hex(hr) + ")";
    return false;
  }
  raiz = No{};
  return Le(leitor.p, raiz, erro);
}

} // namespace extrato
