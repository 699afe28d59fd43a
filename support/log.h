// The optional log file and its configuration (sat.ini).
#pragma once

// Fills CaminhoLog from sat.ini in the current directory while it is still empty.
void LeConfiguracao();

// Appends one timestamped record holding `texto` to the log when logging is on.
void GravaLog(const char *texto);

// Formats a record (snprintf-bounded to 4096 bytes) and logs it.
void GravaLogFormatado(const char *formato, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Stores a log file name in CaminhoLog (from ArquivoLog). A name that does not fit is
// refused: CaminhoLog is left as it was and 0 is returned; otherwise 1.
int DefineCaminhoLog(const char *nome);
