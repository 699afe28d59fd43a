#include "xml.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace satemu {

namespace {

const xmlChar *X(const char *texto) { return reinterpret_cast<const xmlChar *>(texto); }

std::string ParaTexto(xmlChar *texto) {
  std::string saida = texto == nullptr ? std::string() : reinterpret_cast<const char *>(texto);
  xmlFree(texto);
  return saida;
}

bool SoBrancos(const xmlChar *texto) {
  for (; texto != nullptr && *texto != 0; ++texto)
    if (*texto != ' ' && *texto != '\t' && *texto != '\r' && *texto != '\n')
      return false;
  return true;
}

bool TemFilhoElemento(const xmlNode *no) {
  for (const xmlNode *f = no->children; f != nullptr; f = f->next)
    if (f->type == XML_ELEMENT_NODE)
      return true;
  return false;
}

// Text that stands beside child elements has no place in the device's documents; a value
// that would hide there is refused, not dropped.
const xmlNode *TextoSolto(const xmlNode *no) {
  const bool temElementos = TemFilhoElemento(no);
  for (const xmlNode *f = no->children; f != nullptr; f = f->next) {
    if (f->type == XML_ELEMENT_NODE) {
      if (const xmlNode *solto = TextoSolto(f))
        return solto;
    } else if (temElementos && (f->type == XML_TEXT_NODE || f->type == XML_CDATA_SECTION_NODE) &&
               !SoBrancos(f->content)) {
      return no;
    } else if (f->type == XML_ENTITY_REF_NODE) {
      return no;
    }
  }
  return nullptr;
}

// A byte order mark or an encoding in the XML declaration.
bool DeclaraCodificacao(std::string_view texto) {
  if (texto.substr(0, 3) == "\xEF\xBB\xBF" || texto.substr(0, 2) == "\xFE\xFF" ||
      texto.substr(0, 2) == "\xFF\xFE")
    return true;
  if (texto.substr(0, 5) != "<?xml")
    return false;
  return texto.substr(0, texto.find("?>")).find("encoding") != std::string_view::npos;
}

void IgnoraErro(void *, xmlErrorPtr) {}

} // namespace

bool LeXml(std::string_view texto, SemDeclaracao semDeclaracao, Documento &doc,
           std::string &motivo) {
  static const bool iniciado = [] {
    xmlInitParser();
    // The reasons are taken from the parser's context; nothing goes to standard error.
    xmlSetStructuredErrorFunc(nullptr, IgnoraErro);
    return true;
  }();
  (void)iniciado;
  doc.reset();
  if (texto.size() > INT_MAX) {
    motivo = "xml: documento grande demais";
    return false;
  }
  const char *codificacao =
      semDeclaracao == SemDeclaracao::Windows1252 && !DeclaraCodificacao(texto) ? "windows-1252"
                                                                                : nullptr;
  xmlParserCtxtPtr contexto = xmlNewParserCtxt();
  if (contexto == nullptr) {
    motivo = "xml: memória esgotada";
    return false;
  }
  doc.reset(xmlCtxtReadMemory(
      contexto, texto.data(), static_cast<int>(texto.size()), nullptr, codificacao,
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA));
  if (!doc) {
    const xmlError &erro = contexto->lastError;
    // libxml2's own message (in English) is given as it comes.
    std::string mensagem = erro.message != nullptr ? erro.message : "mal formado";
    mensagem.resize(std::min(mensagem.find('\n'), mensagem.size()));
    while (!mensagem.empty() && mensagem.back() == ' ')
      mensagem.pop_back();
    motivo = "xml: linha " + std::to_string(erro.line) + ": " + Mostra(mensagem, 120);
    xmlFreeParserCtxt(contexto);
    return false;
  }
  xmlFreeParserCtxt(contexto);
  if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
    motivo = "xml: o documento não pode ter DOCTYPE";
    doc.reset();
    return false;
  }
  if (const xmlNode *solto = TextoSolto(Raiz(doc))) {
    motivo = "xml: linha " + std::to_string(xmlGetLineNo(solto)) +
             ": texto ao lado dos elementos de <" + Nome(solto) + ">";
    doc.reset();
    return false;
  }
  return true;
}

xmlNode *Raiz(const Documento &doc) { return xmlDocGetRootElement(doc.get()); }

std::string Nome(const xmlNode *no) { return reinterpret_cast<const char *>(no->name); }

std::vector<xmlNode *> Filhos(const xmlNode *pai, const char *nome) {
  std::vector<xmlNode *> filhos;
  for (xmlNode *f = pai->children; f != nullptr; f = f->next)
    if (f->type == XML_ELEMENT_NODE &&
        (nome == nullptr || std::strcmp(reinterpret_cast<const char *>(f->name), nome) == 0))
      filhos.push_back(f);
  return filhos;
}

xmlNode *Filho(const xmlNode *pai, const char *nome) {
  for (xmlNode *f = pai->children; f != nullptr; f = f->next)
    if (f->type == XML_ELEMENT_NODE &&
        std::strcmp(reinterpret_cast<const char *>(f->name), nome) == 0)
      return f;
  return nullptr;
}

std::string Texto(const xmlNode *no) { return ParaTexto(xmlNodeGetContent(no)); }

std::optional<std::string> TextoFilho(const xmlNode *pai, const char *nome) {
  const xmlNode *filho = Filho(pai, nome);
  if (filho == nullptr)
    return std::nullopt;
  return Texto(filho);
}

std::optional<std::string> Atributo(const xmlNode *no, const char *nome) {
  if (!xmlHasProp(no, X(nome)))
    return std::nullopt;
  return ParaTexto(xmlGetProp(no, X(nome)));
}

xmlNode *Acrescenta(xmlNode *pai, const char *nome, std::optional<std::string_view> texto) {
  xmlNode *no = xmlNewDocNode(pai->doc, nullptr, X(nome), nullptr);
  xmlAddChild(pai, no);
  if (texto) {
    // Added as a text node: written escaped, never read as markup.
    const std::string conteudo(*texto);
    xmlNodeAddContent(no, X(conteudo.c_str()));
  }
  return no;
}

void DefineAtributo(xmlNode *no, const char *nome, std::string_view valor) {
  const std::string texto(valor);
  xmlSetProp(no, X(nome), X(texto.c_str()));
}

xmlNode *Copia(xmlNode *pai, const xmlNode *original) {
  xmlNode *no = xmlNewDocNode(pai->doc, nullptr, original->name, nullptr);
  xmlAddChild(pai, no);
  for (const xmlAttr *a = original->properties; a != nullptr; a = a->next) {
    const std::string valor = ParaTexto(xmlNodeListGetString(original->doc, a->children, 1));
    xmlSetProp(no, a->name, X(valor.c_str()));
  }
  if (TemFilhoElemento(original)) {
    for (const xmlNode *f : Filhos(original))
      Copia(no, f);
  } else {
    const std::string texto = Texto(original);
    if (!texto.empty())
      xmlNodeAddContent(no, X(texto.c_str()));
  }
  return no;
}

std::string Serializa(const xmlNode *no) {
  xmlBufferPtr area = xmlBufferCreate();
  xmlSaveCtxtPtr escrita = xmlSaveToBuffer(area, "UTF-8", XML_SAVE_NO_DECL);
  xmlSaveTree(escrita, const_cast<xmlNode *>(no));
  xmlSaveClose(escrita);
  std::string texto(reinterpret_cast<const char *>(xmlBufferContent(area)),
                    static_cast<std::size_t>(xmlBufferLength(area)));
  xmlBufferFree(area);
  return texto;
}

std::string Mostra(std::string_view valor, std::size_t limite) {
  std::string saida;
  for (const char c : valor.substr(0, limite)) {
    const unsigned char b = static_cast<unsigned char>(c);
    saida += b < 0x20 || b > 0x7E || c == '|' ? '?' : c;
  }
  if (valor.size() > limite)
    saida += "...";
  return saida;
}

} // namespace satemu
