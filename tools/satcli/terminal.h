// What satcli asks of the operating system, one file per system (terminal_posix.cpp,
// terminal_win32.cpp): the terminal, the text encoding, and the last steps of a file written
// whole (parcial.h).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

struct Terminal {
  FILE *saida = stdout; // satcli's own output; the library's lines go to standard error
  bool saidaEhTerminal = false;
  bool erroEhTerminal = false; // standard error: where the waiting line goes
  bool cores = false;          // colour on the terminal (not with NO_COLOR or TERM=dumb)
};

// Called once, before the library runs: satcli keeps standard output for itself and points the
// process's standard output, where the library writes its own lines, at standard error.
Terminal PreparaTerminal();

// Bytes pass untranslated (no CR LF on Windows): --bruto's output, a document read from stdin.
void ModoBinario(FILE *arquivo);

// Where a text goes: standard output, standard error (each in its own encoding on Windows, where
// one may be the console and the other a file), or JSON.
enum class Destino { Terminal, Erro, Utf8 };
// Windows-1252 text in the destination's encoding; a character the destination cannot show
// becomes '?'.
std::string DeWindows1252(std::string_view texto, Destino destino);
// satcli's own texts, UTF-8 in the sources, in the destination's encoding, likewise.
std::string DeUtf8(std::string_view texto, Destino destino);

// A written file's data on the disk (fsync, _commit): false with errno set.
bool GravaNoDisco(FILE *arquivo);
// `de` renamed to `para`, replacing a file there in one step: false with errno set.
bool Substitui(const std::string &de, const std::string &para);
