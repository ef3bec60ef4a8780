#pragma once
// The desktop notices (platform::notifyUser) that tell the user what became
// of their document: one when it reached the server, one when an edit was
// kept instead of uploaded.

#include <cstdint>
#include <optional>
#include <string>

namespace app {

inline constexpr const char* kAvisoDocumentoEnviado = "Documento enviado";

// Body of "Documento enviado", naming the document (its file name):
// "«informe.doc» ha llegado al servidor."
inline std::string avisoDocumentoEnviado(const std::string& documento) {
  return "«" + documento + "» ha llegado al servidor.";
}

inline constexpr const char* kAvisoEdicionConservada = "Edición conservada";

// Body of "Edición conservada", with where the edit is:
// "Su edición no se ha subido y está en /home/ana/informe.doc. «vla --pendientes»
// muestra las ediciones conservadas."
inline std::string avisoEdicionConservada(const std::string& ruta) {
  return "Su edición no se ha subido y está en " + ruta + ". «vla --pendientes» muestra las ediciones conservadas.";
}

inline constexpr const char* kAvisoTicketDescartado = "Ticket descartado";

// Body of "Ticket descartado": "«informe.doc»: sin cambios: ticket descartado"
// when the editor is done and nothing changed, "«informe.doc»: ticket
// descartado" when the user discarded it.
inline std::string avisoTicketDescartado(const std::string& documento, bool sinCambios) {
  return "«" + documento + "»: " + (sinCambios ? "sin cambios: " : "") + "ticket descartado";
}

inline constexpr const char* kAvisoTicketConservado = "Ticket conservado";

// Body of "Ticket conservado", when the editor went on with another file and
// ended without changing the ticket's document: nothing was sent.
inline std::string avisoTicketConservado(const std::string& otro, const std::string& ticket) {
  return "El editor guardó en " + otro + ", que no se ha enviado; el documento del ticket no cambió. El ticket " +
         ticket + " se conserva para volver a abrirlo.";
}

inline constexpr const char* kAvisoEnviando = "Enviando el documento";

// Body of "Enviando el documento", with its size when known:
// "«informe.doc» (12345 bytes) se está enviando a Velmora Web."
inline std::string avisoEnviando(const std::string& documento, std::optional<std::uint64_t> bytes) {
  return "«" + documento + "»" + (bytes ? " (" + std::to_string(*bytes) + " bytes)" : std::string()) +
         " se está enviando a Velmora Web.";
}

}  // namespace app
