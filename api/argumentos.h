// The arguments of the command exports: refusing a text argument that is a null pointer, and
// joining parameter texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct ArgumentoTexto {
  const char *valor;
  const char *nome; // the parameter's name, as in the export's declaration
};

// True when one of `argumentos` is a null pointer. Then nothing is sent: BufferResposta holds
// "%06d|9999|Argumento nulo: <name>" with the session number, the same text is logged, and
// RegistroErro is ERRO_RECUSADO (9999) with the message "Argumento nulo: <name>". The first
// null argument is named. Use at the top of an export:
//
//   if (ArgumentoNulo(numeroSessao, {{codigoDeAtivacao, "codigoDeAtivacao"}}))
//     return BufferResposta;
bool ArgumentoNulo(int32_t numeroSessao, std::initializer_list<ArgumentoTexto> argumentos);

// A new zero-terminated text holding the `quantas` texts of `partes` joined by '|' (one '|'
// between each two, so an empty part still keeps its place), to be released with std::free.
// Null when it cannot be allocated; then BufferResposta, the log and RegistroErro are set as
// for a refused call, with a message saying that memory ran out.
char *JuntaParametros(int32_t numeroSessao, const char *const *partes, size_t quantas);
char *JuntaParametros(int32_t numeroSessao, std::initializer_list<const char *> partes);
