#include "app/TicketDocument.h"

#include "platform/Data.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"

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

std::string soapEndpoint(std::string_view base) { return std::string(base) + "/Paginas/Tickets/SubirTicket.asmx"; }

std::string percentEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string downloadAddress(std::string_view base, std::string_view ticket, std::string_view instance) {
  return std::string(base) + "/Paginas/Tickets/DescargarTicket.aspx?t=" + percentEncode(ticket) +
         "&i=" + percentEncode(instance);
}

std::string localDocumentPath(std::string_view ticketPath, std::string_view extension) {
  const std::size_t slash = ticketPath.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t at = ticketPath.rfind(".vldoc");
  std::string out(ticketPath);
  if (at == std::string_view::npos || at < nameStart) return out + "." + std::string(extension);
  return out.replace(at, 6, "." + std::string(extension));
}

bool hasControlCharacters(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

bool isCleanId(std::string_view id) {
  // Spaces around an id would not survive the reply's reading (XML readers
  // trim text), so the server could be sent one id and answer for another.
  return !id.empty() && id.front() != ' ' && id.back() != ' ' && platform::isValidUTF8(id) && !hasControlCharacters(id);
}

namespace {

TicketReading problem(TicketReading reading, TicketProblem what, std::string reason) {
  reading.problem = what;
  reading.fields.reset();
  reading.reason = std::move(reason);
  return reading;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

TicketReading interpretTicketText(std::string_view text) {
  TicketReading reading;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!platform::isValidUTF8(text)) {
    return problem(std::move(reading), TicketProblem::NotUTF8, "el fichero del ticket no está en UTF-8");
  }
  reading.lines = splitCRLF(text);
  if (reading.lines.size() < 4) {
    return problem(std::move(reading), TicketProblem::TooFewLines,
                   "el fichero del ticket tiene menos de cuatro líneas");
  }
  TicketFields fields{removeMarkers(reading.lines[0]), removeMarkers(reading.lines[1]), removeMarkers(reading.lines[2]),
                      removeMarkers(reading.lines[3])};
  if (!isPlainExtension(fields.extension) || equalsIgnoringCase(fields.extension, "vldoc")) {
    return problem(std::move(reading), TicketProblem::BadExtension,
                   "la extensión del documento del ticket no es válida");
  }
  if (!isWebAddress(fields.base)) {
    return problem(std::move(reading), TicketProblem::BadAddress,
                   "la dirección del servidor del ticket "
                   "no es válida");
  }
  if (!isCleanId(fields.guid) || !isCleanId(fields.instancia)) {
    return problem(std::move(reading), TicketProblem::ControlCharacters,
                   "el identificador del ticket o de la instancia está vacío o tiene caracteres de control");
  }
  reading.fields = std::move(fields);
  return reading;
}

TicketReading readTicket(const std::string& path) {
  platform::BoundedRead read = platform::readRegularFile(path, kMaxTicketBytes);
  switch (read.failure) {
    case platform::OpenFailure::None: break;
    case platform::OpenFailure::Missing: return problem({}, TicketProblem::Missing, "el fichero del ticket no existe");
    case platform::OpenFailure::NotRegular:
      return problem({}, TicketProblem::NotRegularFile,
                     "el ticket no es un fichero normal (es un enlace, una carpeta o un dispositivo)");
    case platform::OpenFailure::TooLarge:
      return problem({}, TicketProblem::TooLarge, "el fichero del ticket ocupa más de 64 KiB");
    case platform::OpenFailure::Unreadable:
      return problem({}, TicketProblem::Unreadable, "no se puede leer el fichero del ticket");
  }
  TicketReading reading = interpretTicketText(platform::stringView(*read.data));
  if (reading.fields && platform::isExecutableExtension(reading.fields->extension)) {
    const std::string extension = reading.fields->extension;
    return problem(std::move(reading), TicketProblem::ExecutableType,
                   "el documento del ticket es de un tipo que el escritorio ejecutaría (." + extension + ")");
  }
  return reading;
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
  // The service's paths are appended to the base: a query or fragment in it
  // would swallow them (the request would go to another page), and user
  // information in it could hide the real host from whoever reads the log.
  for (char c : rest) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    if (c == '?' || c == '#' || c == '@' || c == '\\') return false;
  }
  return true;
}

}  // namespace app
