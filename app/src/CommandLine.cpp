#include "app/CommandLine.h"

#include "app/Pendientes.h"

#ifndef VLA_VERSION
#error "VLA_VERSION comes from the project's version"
#endif

namespace app {

Invocacion leerArgumentos(const std::vector<std::string>& argumentos) {
  Invocacion invocacion;
  bool pendientes = false;
  bool opciones = true;
  for (const std::string& argumento : argumentos) {
    // A lone "-" is a file name, as elsewhere.
    if (!opciones || argumento.size() < 2 || argumento[0] != '-') {
      invocacion.tickets.push_back(argumento);
    } else if (argumento == "--") {
      opciones = false;
    } else if (argumento == "--help" || argumento == "-h") {
      return {Accion::Ayuda, {}, {}};
    } else if (argumento == "--version") {
      return {Accion::Version, {}, {}};
    } else if (argumento == "--pendientes") {
      pendientes = true;
    } else {
      return {Accion::Error, {}, "opción desconocida: " + argumento};
    }
  }
  if (pendientes) {
    if (!invocacion.tickets.empty()) return {Accion::Error, {}, "--pendientes no admite tickets"};
    invocacion.accion = Accion::Pendientes;
  }
  return invocacion;
}

std::optional<int> atenderOpciones(const Invocacion& invocacion, std::ostream& out, std::ostream& err) {
  switch (invocacion.accion) {
    case Accion::Abrir: return std::nullopt;
    case Accion::Pendientes: return listarPendientes(out, err);
    case Accion::Ayuda: out << textoDeUso(); return 0;
    case Accion::Version: out << textoDeVersion() << '\n'; return 0;
    case Accion::Error: err << "vla: " << invocacion.error << "\nPruebe «vla --help».\n"; return 2;
  }
  return 2;
}

std::string textoDeVersion() { return std::string("vla ") + VLA_VERSION; }

std::string textoDeUso() {
  return "Uso: vla [--] TICKET.vldoc...\n"
         "     vla --pendientes\n"
         "     vla --help | --version\n"
         "\n"
         "Abre cada ticket de Velmora Web: descarga su documento, lo abre en el editor\n"
         "por defecto y, cuando el editor lo suelta, sube lo guardado al servidor o\n"
         "descarta el ticket si no hubo cambios. Una edición que no se pudo subir se\n"
         "conserva.\n"
         "\n"
         "  --pendientes  muestra las ediciones conservadas: ticket, estado y ruta\n"
         "  -h, --help    muestra esta ayuda\n"
         "  --version     muestra la versión\n"
         "  --            lo que sigue son tickets, aunque empiece por un guion\n"
         "\n"
         "Estado de salida: 0 si cada ticket terminó subido, o descartado sin cambios;\n"
         "1 si no (también tras SIGTERM, SIGINT o SIGHUP); 2 si la orden está mal\n"
         "formada o VLA_LIMITE_DESCARGA no es válido. Más en vla(1).\n";
}

}  // namespace app
