// Feeds arbitrary text to the ticket reader as a ticket document's contents
// and its path, and checks what a usable ticket promises: four clean fields,
// a local document beside the ticket (same folder, never the ticket itself)
// and a download address whose query cannot be extended.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/TicketDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first line names the ticket document; the rest is its text.
  const std::size_t newline = input.find('\n');
  const std::string ticketPath(newline == std::string_view::npos ? "/u/x.vldoc" : input.substr(0, newline));
  const std::string_view text = newline == std::string_view::npos ? input : input.substr(newline + 1);

  app::TicketReading reading = app::interpretTicketText(text);
  if (reading.problem == app::TicketProblem::None) {
    if (!reading.fields || !reading.reason.empty()) std::abort();
    const app::TicketFields& f = *reading.fields;
    if (!app::isCleanId(f.guid) || !app::isCleanId(f.instancia) || !app::isPlainExtension(f.extension)) {
      std::abort();
    }
    const std::string local = app::localDocumentPath(ticketPath, f.extension);
    const std::size_t slash = ticketPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : ticketPath.substr(0, slash + 1);
    if (local == ticketPath || local.compare(0, folder.size(), folder) != 0 ||
        local.find('/', folder.size()) != std::string::npos) {
      std::abort();
    }
    const std::string address = app::downloadAddress(f.base, f.guid, f.instancia);
    const std::string query = address.substr(address.find("DescargarTicket.aspx?") + 21);
    if (query.find('&') != query.rfind('&') || query.find('#') != std::string::npos ||
        query.find(' ') != std::string::npos) {
      std::abort();
    }
  } else if (reading.fields || reading.reason.empty()) {
    std::abort();
  }
  return 0;
}
