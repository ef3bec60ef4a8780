#pragma once
// The desktop notices (platform::notifyUser) that tell the user what became
// of their document: one when it reached the server, one when an edit was
// kept instead of uploaded.

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
  return "Su edición no se ha subido y está en " + ruta +
         ". «vla --pendientes» muestra las ediciones conservadas.";
}

}  // namespace app
