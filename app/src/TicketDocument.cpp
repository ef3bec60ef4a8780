#include "app/TicketDocument.h"

namespace app {

std::vector<std::string> splitCRLF(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      return lines;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 2;
  }
}

std::string replaceAll(std::string_view text, std::string_view what, std::string_view with) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = what.empty() ? std::string_view::npos : text.find(what, start);
    if (at == std::string_view::npos) {
      out.append(text.substr(start));
      return out;
    }
    out.append(text.substr(start, at - start));
    out.append(with);
    start = at + what.size();
  }
}

std::string removeMarkers(std::string_view line) { return replaceAll(line, "###", ""); }

std::string soapEndpoint(std::string_view base) {
  return std::string(base) + "/Paginas/Tickets/SubirTicket.asmx";
}

std::string downloadAddress(std::string_view base, std::string_view ticket, std::string_view instance) {
  return std::string(base) + "/Paginas/Tickets/DescargarTicket.aspx?t=" + std::string(ticket) +
         "&i=" + std::string(instance);
}

std::string localDocumentPath(std::string_view ticketPath, std::string_view extension) {
  return replaceAll(ticketPath, ".vldoc", "." + std::string(extension));
}

bool isPlainExtension(std::string_view extension) {
  if (extension.empty()) return false;
  for (char c : extension) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

bool isWebAddress(std::string_view base) {
  std::string_view rest;
  if (base.substr(0, 7) == "http://") {
    rest = base.substr(7);
  } else if (base.substr(0, 8) == "https://") {
    rest = base.substr(8);
  } else {
    return false;
  }
  if (rest.empty() || rest.front() == '/' || rest.front() == ':') return false;
  for (char c : rest) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace app
