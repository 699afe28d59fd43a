#include "saude_json.h"

#include <cmath>

namespace saude {

nlohmann::ordered_json ParaJson(const Avaliacao &avaliacao,
                                std::string (*utf8)(std::string_view texto)) {
  using nlohmann::ordered_json;
  ordered_json verificacoes = ordered_json::array();
  for (const Verificacao &v : avaliacao.verificacoes) {
    ordered_json dados = ordered_json::object();
    for (const Dado &d : v.dados) {
      if (!d.numerico) {
        dados[d.nome] = utf8(d.texto);
      } else if (std::floor(d.numero) == d.numero && std::fabs(d.numero) < 1e15) {
        dados[d.nome] = static_cast<long long>(d.numero); // whole figures stay whole in JSON
      } else {
        dados[d.nome] = d.numero;
      }
    }
    verificacoes.push_back({{"id", v.id},
                            {"titulo", utf8(v.titulo)},
                            {"nivel", NomeDoNivel(v.nivel)},
                            {"mensagem", utf8(v.mensagem)},
                            {"dados", dados}});
  }
  ordered_json campos = ordered_json::object();
  for (const auto &[nome, valor] : avaliacao.campos) {
    campos[nome] = utf8(valor);
  }
  return {{"nivel", NomeDoNivel(avaliacao.nivel)},
          {"codigo", avaliacao.codigo},
          {"verificacoes", verificacoes},
          {"campos", campos}};
}

} // namespace saude
