// The SAT's health as JSON, the same for satcli --json and satd's {base}/saude.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "saude.h"

namespace saude {

// {"nivel", "codigo", "verificacoes": [{"id", "titulo", "nivel", "mensagem", "dados": {...}}],
//  "campos": {NSERIE: ...}}. `utf8` turns the Windows-1252 texts into UTF-8 (each tool has its
// own conversion).
nlohmann::ordered_json ParaJson(const Avaliacao &avaliacao,
                                std::string (*utf8)(std::string_view texto));

} // namespace saude
