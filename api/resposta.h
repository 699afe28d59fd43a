// Reading a reply's leading fields and turning them into the error record's message.
#pragma once

#include <cstddef>

// One field of a reply: where it starts in the reply text and how many bytes it has.
struct CampoResposta {
  const char *texto = "";
  size_t tamanho = 0;
};

// Reads the fields after the first one (the session number), as the commands read a reply:
// field 1 is passed over (it must not be empty), then field 2 goes to campos[0], field 3 to
// campos[1], and so on, each field ending at its '|' or at the end of the text. A field is
// taken when it is not empty and has fewer bytes than its area (areas[i], in bytes, terminator
// included); the first field that is empty or does not fit ends the scan, and so does a field
// that the end of the text closes. Returns how many fields were taken; the rest stay empty.
size_t LeCamposResposta(const char *resposta, const size_t *areas, CampoResposta *campos,
                        size_t quantos);

// Writes "Codigo: <codigo>.\n<mensagem>" into RegistroErro's message, cut to 799 characters,
// and leaves its code as it is.
void DefineMensagemCodigo(const CampoResposta &codigo, const CampoResposta &mensagem);

// The first `quantos` '|' of the reply text, searched from the start; the position after the
// last of them, or null when the text has fewer.
const char *AposBarras(const char *resposta, int quantos);
