#include "app/Pendientes.h"

#include "app/TicketRecord.h"

namespace app {

int listarPendientes(std::ostream& out) {
  bool alguna = false;
  for (const RegistroTicket& r : registros()) {
    if (r.estado == EstadoTicket::Terminado) continue;
    if (!alguna) out << "Ediciones pendientes:\n";
    alguna = true;
    out << "\nTicket: " << r.ticket << "\n";
    out << "  Estado: " << nombreEstado(r.estado) << "\n";
    out << "  Documento: " << (r.keptPath.empty() ? r.documentPath : r.keptPath) << "\n";
    if (!r.keptPath.empty() && r.keptPath != r.documentPath) out << "  Descargado en: " << r.documentPath << "\n";
    out << "  Fichero vldoc: " << r.ticketPath << "\n";
    if (!r.motivo.empty()) out << "  Motivo: " << r.motivo << "\n";
    out << "  Actualizado: " << r.updatedAt << "\n";
  }
  if (!alguna) out << "No hay ediciones pendientes.\n";
  return 0;
}

}  // namespace app
