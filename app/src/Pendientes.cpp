#include "app/Pendientes.h"

#include "app/TicketRecord.h"
#include "platform/Log.h"

namespace app {

int listarPendientes(std::ostream& out, std::ostream& err) {
  // Every value comes from a file: paths, ids and the server's texts are
  // written with their control characters escaped.
  const auto seguro = [](const std::string& v) { return platform::escapeControlCharacters(v); };
  std::string problema;
  const std::vector<RegistroTicket> todos = registros(&problema);
  if (!problema.empty()) {
    err << "vla: no se pueden leer las ediciones pendientes: " << seguro(problema) << ".\n";
    return 1;
  }
  bool alguna = false;
  for (const RegistroTicket& r : todos) {
    if (r.estado == EstadoTicket::Terminado) continue;
    if (!alguna) out << "Ediciones pendientes:\n";
    alguna = true;
    out << "\nTicket: " << seguro(r.ticket) << "\n";
    out << "  Estado: " << nombreEstado(r.estado) << "\n";
    out << "  Documento: " << seguro(r.keptPath.empty() ? r.documentPath : r.keptPath) << "\n";
    if (!r.keptPath.empty() && r.keptPath != r.documentPath)
      out << "  Descargado en: " << seguro(r.documentPath) << "\n";
    out << "  Fichero vldoc: " << seguro(r.ticketPath) << "\n";
    if (!r.motivo.empty()) out << "  Motivo: " << seguro(r.motivo) << "\n";
    out << "  Actualizado: " << seguro(r.updatedAt) << "\n";
  }
  if (!alguna) out << "No hay ediciones pendientes.\n";
  return 0;
}

}  // namespace app
