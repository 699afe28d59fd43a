// Bytes for a receipt printer (ESC/POS, already laid out), sent as they are to one of three kinds
// of destination:
//   a path          a printer's device or a file, appended to: on Linux /dev/usb/lp0 or
//                   /dev/ttyUSB0; on Windows COM3, LPT1 or \\.\COM10 (a port's name alone is
//                   reached through \\.\, which COM10 and above need)
//   tcp://HOST[:P]  the printer's raw port (9100 when P is not given), HOST a name or an address
//                   ([...] for IPv6)
//   a raw queue     Linux: cups:NOME, the CUPS queue NOME on the server libcups is set up for
//                   ($CUPS_SERVER, client.conf). Windows: fila:NOME, the printer NOME as the
//                   spooler knows it (\\SERVIDOR\NOME for a shared one). No filter nor driver
//                   touches the bytes. Each system refuses the other's prefix, naming its own.
// impressora.cpp (Linux) and impressora_win32.cpp. Every wait on a device or a port is bounded:
// nothing here blocks for good on a printer that is off. A Windows queue's job is handed to the
// spooler, which prints it later.
#pragma once

#include <string>
#include <string_view>

namespace comum {

// Why `destino` is not a destination of the forms above, or an empty text: for a command line's
// check before anything is done. It does not look at the printer.
std::string ConfereImpressora(const std::string &destino);

// Sends all of `bytes` to `destino`. False with `erro` telling why in Portuguese, naming the
// destination. True means the device, the file, the printer's port or the queue took all of them
// (a queue's job is then queued, not yet printed).
bool EnviaParaImpressora(const std::string &destino, std::string_view bytes, std::string &erro);

} // namespace comum
