#pragma once
// The ticket document (".vldoc") and what is derived from it.

#include <cstddef>
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
// Percent-encodes every byte but the unreserved ones (A-Z a-z 0-9 - . _ ~),
// as "%XX" with capital hex digits.
std::string percentEncode(std::string_view value);
// "B/Paginas/Tickets/DescargarTicket.aspx?t=T&i=I", the ticket id and the
// instance id percent-encoded.
std::string downloadAddress(std::string_view base, std::string_view ticket, std::string_view instance);
// The path of the local document: the ticket document's path with the last
// ".vldoc" of its file name replaced by ".EXT"; the folder part is never
// changed. A file name without ".vldoc" gets ".EXT" appended, so the result
// never names the ticket document itself.
std::string localDocumentPath(std::string_view ticketPath, std::string_view extension);

// True when the text holds a C0 control character, DEL, or a C1 control
// character (U+0080 to U+009F in UTF-8).
bool hasControlCharacters(std::string_view text);
// An id that can go into a query and an envelope: not empty, valid UTF-8,
// no control characters, no space at either end.
bool isCleanId(std::string_view id);

// The largest ticket document read.
inline constexpr std::size_t kMaxTicketBytes = std::size_t{64} * 1024;

// Why a ticket document cannot be used.
enum class TicketProblem {
  None,
  Missing,            // no file at the path
  NotRegularFile,     // a link, folder, FIFO, socket or device
  TooLarge,           // more than kMaxTicketBytes
  Unreadable,         // a read error
  NotUTF8,            // the text is not UTF-8
  TooFewLines,        // fewer than four lines
  BadExtension,       // not a plain name, or "vldoc"
  ExecutableType,     // a type the desktop would run
  BadAddress,         // not an http(s) address
  ControlCharacters,  // the ticket id or the instance is empty or holds control characters
};

// The four values of a ticket, "###" removed.
struct TicketFields {
  std::string guid;
  std::string base;
  std::string extension;
  std::string instancia;
};

struct TicketReading {
  TicketProblem problem = TicketProblem::None;
  std::vector<std::string> lines;      // the lines as read, whenever the text was read
  std::optional<TicketFields> fields;  // set exactly when problem is None
  std::string reason;                  // Spanish, one line, for the log and the alert; empty when fine
};

// Checks and splits the text of a ticket document (a byte-order mark at its
// start is skipped). Does not look at the desktop: see readTicket.
TicketReading interpretTicketText(std::string_view text);
// Reads the ticket document at path (a regular file, never through a link,
// never blocking on a FIFO, at most kMaxTicketBytes read), interprets it, and
// refuses extensions that the desktop would run.
TicketReading readTicket(const std::string& path);

// An extension that is a plain name: ASCII letters and digits only.
bool isPlainExtension(std::string_view extension);
// An http:// or https:// address with a host.
bool isWebAddress(std::string_view base);

}  // namespace app
