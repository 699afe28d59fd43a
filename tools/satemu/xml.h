// The XML documents the device reads and writes, through libxml2: a document is read by its own
// declaration and written back as UTF-8.
#pragma once

#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

// How a document that declares no encoding is read: as XML says (UTF-8), or as Windows-1252, as
// some devices do for the POS programs on Windows that send it.
enum class SemDeclaracao { Utf8, Windows1252 };

struct LiberaDocumento {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using Documento = std::unique_ptr<xmlDoc, LiberaDocumento>;

// Parses a whole document. False, with the parser's reason and line, when it is not well-formed
// XML in its encoding, has a DOCTYPE (no document of the device has one) or holds text beside
// child elements.
bool LeXml(std::string_view texto, SemDeclaracao semDeclaracao, Documento &doc,
           std::string &motivo);

xmlNode *Raiz(const Documento &doc);
std::string Nome(const xmlNode *no);

// The child elements, all of them or those of one name, in document order.
std::vector<xmlNode *> Filhos(const xmlNode *pai, const char *nome = nullptr);
xmlNode *Filho(const xmlNode *pai, const char *nome);

// The text of an element, UTF-8.
std::string Texto(const xmlNode *no);
// The text of the first child of that name; none when there is no such child.
std::optional<std::string> TextoFilho(const xmlNode *pai, const char *nome);
std::optional<std::string> Atributo(const xmlNode *no, const char *nome);

// A new element at the end of `pai`'s children, with `texto` (escaped when written) if any.
xmlNode *Acrescenta(xmlNode *pai, const char *nome, std::optional<std::string_view> texto = {});
void DefineAtributo(xmlNode *no, const char *nome, std::string_view valor);

// A copy of a received element under `pai`: its attributes, its child elements or its text;
// the blanks that indent a document are left out.
xmlNode *Copia(xmlNode *pai, const xmlNode *original);

// The element and what it holds as UTF-8 text, without an XML declaration.
std::string Serializa(const xmlNode *no);

// Text for a message or a log line: at most `limite` bytes, bytes outside printable ASCII and
// '|' shown as '?'.
std::string Mostra(std::string_view valor, std::size_t limite = 40);

} // namespace satemu
