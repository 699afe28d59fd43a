#include "painel.h"

#include <algorithm>

#include "comum/datas.h"
#include "funcoes.h"
#include "saude_json.h"
#include "texto.h"

namespace satd {

namespace {

std::string Utf8(std::string_view texto) { return Windows1252ParaUtf8(texto); }

// UTF-8 text made safe inside an element or an attribute.
std::string Escapa(std::string_view texto) {
  std::string saida;
  for (const char c : texto) {
    switch (c) {
    case '&':
      saida += "&amp;";
      break;
    case '<':
      saida += "&lt;";
      break;
    case '>':
      saida += "&gt;";
      break;
    case '"':
      saida += "&quot;";
      break;
    case '\'':
      saida += "&#39;";
      break;
    default:
      saida += c;
    }
  }
  return saida;
}

// A device's text (Windows-1252) for the page.
std::string Html(std::string_view texto) { return Escapa(Utf8(texto)); }

// AAAAMMDDHHMMSS and AAAAMMDD as the shop reads them; anything else as it came.
std::string Data(const std::string &valor) {
  const bool digitos = valor.find_first_not_of("0123456789") == std::string::npos;
  if (digitos && valor.size() == 14) {
    return valor.substr(6, 2) + "/" + valor.substr(4, 2) + "/" + valor.substr(0, 4) + " " +
           valor.substr(8, 2) + ":" + valor.substr(10, 2) + ":" + valor.substr(12, 2);
  }
  if (digitos && valor.size() == 8) {
    return valor.substr(6, 2) + "/" + valor.substr(4, 2) + "/" + valor.substr(0, 4);
  }
  return valor;
}

// AAAA-MM-DDTHH:MM:SS as DD/MM/AAAA HH:MM:SS.
std::string DeIso(const std::string &iso) {
  if (iso.size() != 19) {
    return iso;
  }
  return iso.substr(8, 2) + "/" + iso.substr(5, 2) + "/" + iso.substr(0, 4) + " " + iso.substr(11);
}

using comum::Duracao;

const char kEstilo[] = R"(
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,Arial,sans-serif;margin:0;
background:#f4f5f7;color:#1d2430}
main{max-width:980px;margin:0 auto;padding:16px 20px 32px}
header{border-radius:10px;padding:14px 20px;margin-bottom:16px;color:#fff}
header h1{margin:0 0 4px;font-size:1.6em}
header p{margin:0}
.nivel-ok{background:#1e7d3a}.nivel-atencao{background:#b7791f}.nivel-critico{background:#b3261e}
.alerta{border:2px solid #b3261e;background:#fdecea;color:#7a1711;border-radius:8px;
padding:10px 16px;margin-bottom:16px;font-weight:600}
.alerta ul{margin:6px 0 0;padding-left:20px}
section{background:#fff;border-radius:10px;padding:12px 20px;margin-bottom:16px;
box-shadow:0 1px 2px rgba(0,0,0,.08)}
h2{font-size:1.1em;margin:4px 0 10px}
table{border-collapse:collapse;width:100%}
td,th{text-align:left;padding:6px 8px;border-top:1px solid #e6e8eb;vertical-align:top}
th{white-space:nowrap;width:9em}
.rotulo{font-weight:700;text-transform:uppercase;font-size:.8em;border-radius:4px;padding:2px 8px;
color:#fff;white-space:nowrap}
tr.ok .rotulo{background:#1e7d3a}tr.atencao .rotulo{background:#b7791f}
tr.critico .rotulo{background:#b3261e}tr.critico td{color:#7a1711;font-weight:600}
dl{display:grid;grid-template-columns:max-content 1fr;gap:4px 18px;margin:0}
dt{color:#5b6472}dd{margin:0;word-break:break-all}
pre{white-space:pre-wrap;word-break:break-all;font-size:.85em;margin:0;color:#333}
footer{color:#5b6472;font-size:.85em;text-align:center}
)";

int64_t CentavosDe(const std::string &total) {
  int64_t centavos = 0;
  return Centavos(total, centavos) ? centavos : 0;
}

// Cents as the shop reads money: R$ 1.234,56.
std::string Reais(int64_t centavos) {
  const bool negativo = centavos < 0;
  const uint64_t valor =
      negativo ? 0 - static_cast<uint64_t>(centavos) : static_cast<uint64_t>(centavos);
  std::string inteiros = std::to_string(valor / 100);
  for (size_t i = inteiros.size(); i > 3; i -= 3) {
    inteiros.insert(i - 3, ".");
  }
  const unsigned resto = static_cast<unsigned>(valor % 100);
  return std::string(negativo ? "-" : "") + "R$ " + inteiros + "," + (resto < 10 ? "0" : "") +
         std::to_string(resto);
}

// Today's sales by hour as bars, drawn inline: the page fetches nothing.
std::string GraficoPorHora(const Diario::Dia &dia) {
  constexpr int kLargura = 24 * 30, kAltura = 120, kBase = 140;
  uint64_t maximo = 1;
  for (const Diario::Dia::Hora &h : dia.porHora) {
    maximo = std::max(maximo, h.vendas);
  }
  std::string svg =
      "<svg id=\"vendas-por-hora\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
      std::to_string(kLargura) +
      " 160\" width=\"100%\" role=\"img\" "
      "aria-label=\"Vendas de hoje por hora\">\n";
  svg += "<line x1=\"0\" y1=\"" + std::to_string(kBase) + "\" x2=\"" + std::to_string(kLargura) +
         "\" y2=\"" + std::to_string(kBase) + "\" stroke=\"#9aa3ad\"/>\n";
  for (size_t hora = 0; hora < dia.porHora.size(); ++hora) {
    const Diario::Dia::Hora &h = dia.porHora[hora];
    const int x = static_cast<int>(hora) * 30;
    const int altura = static_cast<int>(h.vendas * kAltura / maximo);
    const std::string hh = (hora < 10 ? "0" : "") + std::to_string(hora);
    svg += "<rect data-hora=\"" + hh + "\" data-vendas=\"" + std::to_string(h.vendas) + "\" x=\"" +
           std::to_string(x + 3) + "\" y=\"" + std::to_string(kBase - altura) +
           "\" width=\"24\" height=\"" + std::to_string(altura) + "\" fill=\"#2b6cb0\"><title>" +
           hh + " h: " + std::to_string(h.vendas) + (h.vendas == 1 ? " venda, " : " vendas, ") +
           Reais(h.centavos) + "</title></rect>\n";
    if (hora % 3 == 0) {
      svg += "<text x=\"" + std::to_string(x + 15) +
             "\" y=\"156\" font-size=\"11\" "
             "text-anchor=\"middle\" fill=\"#5b6472\">" +
             hh + "h</text>\n";
    }
  }
  return svg + "</svg>\n";
}

void Item(std::string &html, const char *nome, const std::string &valorHtml) {
  html += "<dt>";
  html += nome;
  html += "</dt><dd>" + valorHtml + "</dd>\n";
}

} // namespace

std::string PaginaHtml(const Painel &p) {
  const saude::Avaliacao &a = p.avaliacao;
  const std::string nivel = saude::NomeDoNivel(a.nivel);
  const std::string rotulo = Html(saude::RotuloDoNivel(a.nivel));
  const std::string serie = a.Campo("NSERIE");
  const std::string nome = serie.empty() ? "SAT" : "SAT " + Html(serie);

  std::string html = "<!DOCTYPE html>\n<html lang=\"pt-BR\">\n<head>\n<meta charset=\"utf-8\">\n";
  html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(p.recarga) + "\">\n";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  // No icon to fetch: the page asks satd for nothing but itself.
  html += "<link rel=\"icon\" href=\"data:,\">\n";
  html += "<title>" + nome + ": " + rotulo + "</title>\n<style>" + kEstilo + "</style>\n";
  html += "</head>\n<body>\n<main>\n";

  html += "<header id=\"resumo\" class=\"nivel-" + nivel + "\" data-nivel=\"" + nivel + "\">\n";
  html += "<h1>" + nome + "</h1>\n<p>Situa\xC3\xA7\xC3\xA3o: <strong>" + rotulo + "</strong>";
  if (p.consultado) {
    html += " &middot; consultado em " + Escapa(DeIso(p.consultadoEm)) + " (h\xC3\xA1 " +
            Duracao(p.idade) + ")";
  }
  html += "</p>\n";
  if (!p.nota.empty()) {
    html += "<p id=\"nota\">" + Html(p.nota) + "</p>\n";
  }
  html += "</header>\n";

  std::string criticos;
  for (const saude::Verificacao &v : a.verificacoes) {
    if (v.nivel == saude::Nivel::Critico) {
      criticos += "<li>" + Html(v.mensagem) + "</li>";
    }
  }
  if (!criticos.empty()) {
    html += "<div id=\"alerta\" class=\"alerta critico\" role=\"alert\">O SAT precisa de "
            "aten\xC3\xA7\xC3\xA3o agora:<ul>" +
            criticos + "</ul></div>\n";
  }

  html += "<section>\n<h2>Verifica\xC3\xA7\xC3\xB5"
          "es</h2>\n<table id=\"verificacoes\">\n";
  for (const saude::Verificacao &v : a.verificacoes) {
    const std::string classe = saude::NomeDoNivel(v.nivel);
    html += "<tr data-verificacao=\"" + Escapa(v.id) + "\" class=\"" + classe +
            "\"><td><span class=\"rotulo\">" + Html(saude::RotuloDoNivel(v.nivel)) +
            "</span></td><th>" + Html(v.titulo) + "</th><td>" + Html(v.mensagem) + "</td></tr>\n";
  }
  html += "</table>\n</section>\n";

  if (!a.campos.empty()) {
    html += "<section>\n<h2>Dispositivo</h2>\n<dl id=\"dispositivo\">\n";
    const auto campo = [&](const char *n) { return Html(a.Campo(n)); };
    Item(html, "N\xC3\xBAmero de s\xC3\xA9rie", campo("NSERIE"));
    Item(html, "Software b\xC3\xA1sico", campo("VER_SB"));
    Item(html, "Leiaute", campo("VER_LAYOUT"));
    Item(html, "Rede",
         campo("TIPO_LAN") + " " + campo("LAN_IP") + " (" + campo("STATUS_LAN") + ")");
    Item(html, "MAC", campo("LAN_MAC"));
    Item(html, "Rel\xC3\xB3gio do SAT", Html(Data(a.Campo("DH_ATUAL"))));
    Item(html, "\xC3\x9Altimo CF-e", campo("ULTIMO_CF_E_SAT"));
    Item(html, "Certificado",
         Html(Data(a.Campo("CERT_EMISSAO"))) + " a " + Html(Data(a.Campo("CERT_VENCIMENTO"))));
    std::string estado = campo("ESTADO_OPERACAO");
    for (const saude::Verificacao &v : a.verificacoes) {
      for (const saude::Dado &d : v.dados) {
        estado += d.nome == "descricao" ? " (" + Html(d.texto) + ")" : "";
      }
    }
    Item(html, "Estado de opera\xC3\xA7\xC3\xA3o", estado);
    html += "</dl>\n</section>\n";
  }

  html += "<section>\n<h2>Fila do SAT</h2>\n<dl id=\"fila\">\n";
  Item(html, "Esperando",
       std::to_string(p.fila.esperando) + " de " + std::to_string(p.fila.capacidade));
  Item(html, "Em curso", p.fila.emCurso ? "sim" : "n\xC3\xA3o");
  Item(html, "Atendidas", std::to_string(p.fila.feitas));
  Item(html, "Recusadas", std::to_string(p.fila.recusadas));
  // {base}/status and {base}/saude give the value "automatica"; the page, the word.
  Item(html, "Porta", p.porta == "automatica" ? "autom\xC3\xA1tica" : Escapa(p.porta));
  Item(html, "Em funcionamento h\xC3\xA1", Duracao(p.uptime));
  Item(html, "Biblioteca", Escapa(p.versao));
  Item(html, "Arquivo de CF-e",
       std::to_string(p.cfeVendas) + " vendas e " + std::to_string(p.cfeCancelamentos) +
           " cancelamentos, " + std::to_string(p.cfeBytes) + " bytes de XML" +
           (p.cfeMaisAntigo.empty() ? "" : ", o mais antigo de " + Escapa(p.cfeMaisAntigo)));
  html += "</dl>\n</section>\n";

  html += "<section>\n<h2>Vendas de hoje</h2>\n<p id=\"hoje\">" + std::to_string(p.dia.vendas) +
          (p.dia.vendas == 1 ? " venda, " : " vendas, ") + Reais(p.dia.centavos) + "; " +
          std::to_string(p.dia.cancelamentos) +
          (p.dia.cancelamentos == 1 ? " cancelamento, " : " cancelamentos, ") +
          Reais(p.dia.centavosCancelados) + "</p>\n" + GraficoPorHora(p.dia);
  if (!p.ultimos.empty()) {
    html += "<table id=\"ultimos\">\n<tr><th>Emitido em</th><th>Tipo</th><th>Caixa</th>"
            "<th>Total</th><th>Chave</th><th>Extrato</th></tr>\n";
    for (const Diario::Item &d : p.ultimos) {
      const std::string chave = "CFe" + d.chave;
      html += "<tr><td>" + Escapa(d.emitidoEm) + "</td><td>" + Escapa(d.tipo) + "</td><td>" +
              std::to_string(d.caixa) + "</td><td>" + Reais(CentavosDe(d.total)) +
              "</td><td><a href=\"" + Escapa(p.base) + "/cfe/" + chave + "\">" + chave +
              "</a></td><td><a href=\"" + Escapa(p.base) + "/cfe/" + chave +
              "/extrato.pdf\">PDF</a></td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";

  std::vector<std::string> avisos;
  if (p.semTls) {
    avisos.push_back("HTTP sem TLS al\xC3\xA9m do loopback: as requisi\xC3\xA7\xC3\xB5"
                     "es dos caixas de http.clientes trafegam em texto claro");
  }
  if (p.falhasDiario > 0) {
    avisos.push_back(std::to_string(p.falhasDiario) +
                     " grava\xC3\xA7\xC3\xB5"
                     "es do di\xC3\xA1rio falharam: veja o disco e o registro");
  }
  if (p.falhasRegistro > 0) {
    avisos.push_back(std::to_string(p.falhasRegistro) +
                     " linhas do registro n\xC3\xA3o puderam ser gravadas");
  }
  if (!avisos.empty()) {
    html += "<section>\n<h2>Avisos</h2>\n<ul id=\"avisos\">\n";
    for (const std::string &aviso : avisos) {
      html += "<li class=\"critico\">" + Escapa(aviso) + "</li>\n";
    }
    html += "</ul>\n</section>\n";
  }

  // The technician's functions are shown to the technician only.
  html += "<section>\n<h2>Fun\xC3\xA7\xC3\xB5"
          "es</h2>\n<p id=\"funcoes\">";
  for (size_t i = 0; i < kTotalFuncoes; ++i) {
    const Funcao &f = FuncaoDeIndice(i);
    if (p.tecnico || PapelDe(f) == Papel::Caixa) {
      html += std::string("<code>") + NomeDe(f) + "</code> ";
    }
  }
  html += "</p>\n</section>\n";

  html += "<section>\n<h2>\xC3\x9Altimas requisi\xC3\xA7\xC3\xB5"
          "es</h2>\n<pre id=\"registro\">";
  if (p.registro.empty()) {
    html += "(nenhuma ainda)";
  }
  for (auto linha = p.registro.rbegin(); linha != p.registro.rend(); ++linha) {
    html += Escapa(*linha) + "\n";
  }
  html += "</pre>\n</section>\n";
  html += "<footer>satd &middot; esta p\xC3\xA1gina se atualiza a cada " +
          std::to_string(p.recarga) + " s</footer>\n</main>\n</body>\n</html>\n";
  return html;
}

nlohmann::ordered_json SaudeJson(const Painel &p) {
  nlohmann::ordered_json j = saude::ParaJson(p.avaliacao, Utf8);
  j["consulta"] = {
      {"feita", p.consultado},
      {"em", p.consultado ? nlohmann::ordered_json(p.consultadoEm) : nlohmann::ordered_json()},
      {"idade_s", p.idade},
      {"sessao", p.sessao},
      {"nota", Utf8(p.nota)}};
  j["fila"] = {{"esperando", p.fila.esperando},
               {"capacidade", p.fila.capacidade},
               {"em_curso", p.fila.emCurso}};
  j["atendidas"] = p.fila.feitas;
  j["recusadas"] = p.fila.recusadas;
  j["porta"] = p.porta;
  j["uptime_s"] = p.uptime;
  j["biblioteca"] = p.versao;
  j["registro"] = p.registro;
  return j;
}

} // namespace satd
