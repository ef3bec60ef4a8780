#pragma once
// The ticket document (".vldoc") and what is derived from it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Splits text into lines at every "\r\n"; a lone "\n" or "\r" separates
// nothing. A text ending in "\r\n" has an empty last line.
std::vector<std::string> splitCRLF(std::string_view text);
// Removes every occurrence of "###".
std::string removeMarkers(std::string_view line);
// Replaces every occurrence of what by with (exact case).
std::string replaceAll(std::string_view text, std::string_view what, std::string_view with);

// "B/Paginas/Tickets/SubirTicket.asmx"
std::string soapEndpoint(std::string_view base);
// "B/Paginas/Tickets/DescargarTicket.aspx?t=T&i=I"
std::string downloadAddress(std::string_view base, std::string_view ticket, std::string_view instance);
// The ticket document's path with every ".vldoc" replaced by ".EXT".
std::string localDocumentPath(std::string_view ticketPath, std::string_view extension);

// An extension that is a plain name: ASCII letters and digits only.
bool isPlainExtension(std::string_view extension);
// An http:// or https:// address with a host.
bool isWebAddress(std::string_view base);

}  // namespace app
