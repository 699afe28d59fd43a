// Bytes for a receipt printer (ESC/POS, already laid out), sent as they are to one of three kinds
// of destination:
//   a path          a printer's device (/dev/usb/lp0, /dev/ttyUSB0) or a file, appended to
//   tcp://HOST[:P]  the printer's raw port (9100 when P is not given), HOST a name or an address
//                   ([...] for IPv6)
//   cups:NOME       the CUPS queue NOME, as a raw job (no filter touches the bytes), on the
//                   server libcups is set up for ($CUPS_SERVER, client.conf)
// Linux only. Every wait is bounded: nothing here blocks for good on a printer that is off.
#pragma once

#include <string>
#include <string_view>

namespace comum {

// Why `destino` is not a destination of the forms above, or an empty text: for a command line's
// check before anything is done. It does not look at the printer.
std::string ConfereImpressora(const std::string &destino);

// Sends all of `bytes` to `destino`. False with `erro` telling why in Portuguese, naming the
// destination. True means the device, the file, the printer's port or the CUPS queue took all
// of them (a CUPS job is then queued, not yet printed).
bool EnviaParaImpressora(const std::string &destino, std::string_view bytes, std::string &erro);

} // namespace comum
