// Loading and unloading the library. It sits at the top because it reaches every layer: unload
// closes the port (link/) and releases zlib and the buffers (support/).
#pragma once

// The version text, also the log's start banner (Windows-1252).
extern const char VERSAO_BIBLIOTECA[];

// Reasons the loader gives the entry handler.
constexpr int MOTIVO_DESCARGA = 0;
constexpr int MOTIVO_CARGA = 1;
constexpr int MOTIVO_THREAD_INICIO = 2;
constexpr int MOTIVO_THREAD_FIM = 3;

// Static initialisation, before the entry handler: the five transaction buffers.
void InicializacaoEstatica();

// The entry handler's work for each reason. Always answers 1.
int EntradaBiblioteca(int motivo);
