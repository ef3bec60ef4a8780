// Feeds arbitrary text to the reader of ticket records and checks what a
// record it accepts promises: bounded fields, absolute paths, the ticket
// document and its document in the ticket's folder, a known state, a hash
// where one is due, and a text that reads back as the same record.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/TicketDocument.h"
#include "app/TicketRecord.h"

namespace {

bool sameRecord(const app::RegistroTicket& a, const app::RegistroTicket& b) {
  return app::textoRegistro(a) == app::textoRegistro(b);
}

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<app::RegistroTicket> r = app::registroDeTexto(text);
  if (!r) return 0;
  if (text.size() > app::kMaxRegistro || !app::isCleanId(r->ticket) || !app::isCleanId(r->instancia) ||
      r->servidor.empty()) {
    std::abort();
  }
  for (const std::string* path : {&r->carpeta, &r->ticketPath, &r->documentPath}) {
    if (path->empty() || (*path)[0] != '/' || path->find('\0') != std::string::npos) std::abort();
  }
  if (!r->keptPath.empty() && r->keptPath[0] != '/') std::abort();
  if (folderOf(r->ticketPath) != r->carpeta && !(r->carpeta == "/" && folderOf(r->ticketPath).empty())) std::abort();
  if (r->estado != app::EstadoTicket::Descargando && r->estado != app::EstadoTicket::Terminado &&
      r->sha256.size() != 64) {
    std::abort();
  }
  // Written back, it reads as the same record under the same key.
  const std::optional<app::RegistroTicket> again = app::registroDeTexto(app::textoRegistro(*r));
  if (!again || !sameRecord(*r, *again) || app::claveRegistro(*again) != app::claveRegistro(*r)) std::abort();
  return 0;
}
