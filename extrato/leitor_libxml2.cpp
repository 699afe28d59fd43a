// The XML reader of the Linux build: libxml2, with no network, no DTD and no entity expansion.
#include "documento.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

namespace extrato {

namespace {

constexpr int kMaiorProfundidade = 64;

bool Copia(const xmlNode *origem, No &destino, int profundidade, std::string &erro) {
  if (profundidade > kMaiorProfundidade) {
    erro = "o XML tem mais de " + std::to_string(kMaiorProfundidade) + " níveis";
    return false;
  }
  destino.nome = reinterpret_cast<const char *>(origem->name);
  for (const xmlAttr *a = origem->properties; a != nullptr; a = a->next) {
    xmlChar *valor = xmlNodeListGetString(origem->doc, a->children, 1);
    destino.atributos.emplace_back(reinterpret_cast<const char *>(a->name),
                                   valor != nullptr ? reinterpret_cast<const char *>(valor) : "");
    xmlFree(valor);
  }
  for (const xmlNode *f = origem->children; f != nullptr; f = f->next) {
    if (f->type == XML_TEXT_NODE || f->type == XML_CDATA_SECTION_NODE) {
      if (f->content != nullptr) {
        destino.texto += reinterpret_cast<const char *>(f->content);
      }
    } else if (f->type == XML_ELEMENT_NODE) {
      destino.filhos.push_back(std::make_unique<No>());
      if (!Copia(f, *destino.filhos.back(), profundidade + 1, erro)) {
        return false;
      }
    } else if (f->type == XML_ENTITY_REF_NODE) {
      erro = "o XML usa uma entidade que não é das do XML";
      return false;
    }
  }
  return true;
}

} // namespace

bool LeXml(std::string_view xml, No &raiz, std::string &erro) {
  xmlParserCtxtPtr contexto = xmlNewParserCtxt();
  if (contexto == nullptr) {
    erro = "sem memória para ler o XML";
    return false;
  }
  xmlDocPtr doc = xmlCtxtReadMemory(
      contexto, xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA);
  bool ok = false;
  if (doc == nullptr) {
    const xmlError *e = xmlCtxtGetLastError(contexto);
    erro = "XML inválido";
    if (e != nullptr && e->message != nullptr) {
      std::string mensagem = e->message;
      while (!mensagem.empty() && (mensagem.back() == '\n' || mensagem.back() == ' ')) {
        mensagem.pop_back();
      }
      erro += " (linha " + std::to_string(e->line) + "): " + mensagem;
    }
  } else if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
    erro = "o XML traz uma DTD";
  } else if (xmlDocGetRootElement(doc) == nullptr) {
    erro = "o XML não tem elemento";
  } else {
    raiz = No{};
    ok = Copia(xmlDocGetRootElement(doc), raiz, 0, erro);
  }
  xmlFreeDoc(doc);
  xmlFreeParserCtxt(contexto);
  return ok;
}

} // namespace extrato
