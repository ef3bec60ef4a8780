#pragma once
// The stand-in ticket web service: issues tickets for documents, serves the
// download page and the SOAP 1.1 operations SubirFichero and BorrarTicket the
// way an ASP.NET web service answers them, stores uploads and keeps a
// journal. It can be told to refuse uploads, fail them in several ways, or
// answer late, so that tests and the demo can drive every path of the client.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ticketservice {

using Bytes = std::vector<std::uint8_t>;

// The service namespace of the SOAP operations.
inline constexpr char kServiceNamespace[] = "http://tempuri.org/";
inline constexpr char kDownloadPath[] = "/Paginas/Tickets/DescargarTicket.aspx";
inline constexpr char kSoapPath[] = "/Paginas/Tickets/SubirTicket.asmx";

// How SubirFichero is answered.
enum class UploadMode {
  Accept,  // store the document, empty result
  Refuse,  // result holds the refusal text; nothing stored
  Fault,   // status 500 with a SOAP Fault (BorrarTicket too)
  NotXml,  // status 200 with a body that is not XML
  Drop,    // the connection is closed in the middle of the reply
  Cut,     // an accepting reply cut short after "<SubirFicheroResult>", then the connection closes
};

// How the download page sends a document's body.
enum class DownloadCut {
  None,         // whole, with its Content-Length
  NoLength,     // half of it, no Content-Length, then the connection closes
  WrongLength,  // half of it under a Content-Length for the whole
};

struct Behaviour {
  UploadMode mode = UploadMode::Accept;
  std::string refusal = "El ticket no admite más cambios";
  std::chrono::milliseconds delay{0};  // before every SOAP answer
  int status = 0;                      // when set, the HTTP status of every SOAP answer, whatever its body
};

// How the download page and the SOAP endpoint misbehave at the HTTP level.
struct TransportBehaviour {
  int downloadStatus = 200;  // status of a document download (the body is sent whatever it is)
  DownloadCut downloadCut = DownloadCut::None;
  std::chrono::milliseconds downloadDelay{0};  // before a download answers
  std::string redirectTo;                      // when set, SOAP requests get 307 to this base address
};

// Parses "accept", "refuse", "fault", "notxml", "drop", "cut".
std::optional<UploadMode> uploadModeNamed(const std::string& name);
std::string nameOfUploadMode(UploadMode mode);

struct Ticket {
  std::string id;
  std::string instance;
  std::string extension;
  std::string name;  // the document's file name, for the journal
  Bytes document;
  bool open = true;  // false once uploaded or deleted
};

// One SOAP request as it arrived.
struct SoapCall {
  std::string operation;  // "SubirFichero" or "BorrarTicket" (or what arrived)
  std::string soapAction;
  std::string contentType;
  std::string body;  // the envelope, byte for byte
  std::string ticket;
  std::string instance;
  std::optional<Bytes> file;  // decoded upload, when there was a file element
  std::string outcome;        // "ok", "rechazado", "fault", "noxml", "cortado", ...
  std::string storedPath;     // where an accepted upload was written
};

class TicketService {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 0;                 // 0: any free port
    std::string dataDir;          // uploads and journal.log go here (optional)
    std::string placeholderPath;  // the expired-ticket placeholder to serve
  };

  explicit TicketService(Options options);
  ~TicketService();
  TicketService(const TicketService&) = delete;
  TicketService& operator=(const TicketService&) = delete;

  // Binds and starts answering on a thread of its own; false when the address
  // cannot be bound or the placeholder cannot be read.
  bool start(std::string* error = nullptr);
  // Stops answering and joins the thread. Idempotent.
  void stop();
  // Makes the service stop answering; returns at once. Thread-safe.
  void requestStop();
  // Blocks until the service has stopped answering (for the command line).
  void wait();

  int port() const { return port_; }
  // "http://HOST:PORT"
  std::string baseURL() const;

  // Creates a ticket for a document; returns its id.
  std::string issue(const Bytes& document, const std::string& extension, const std::string& instance,
                    const std::string& name = "");
  // The text of a ticket document for a ticket: id, base address, extension
  // and instance, each ended by CRLF.
  std::string ticketDocument(const std::string& ticketId) const;

  void setBehaviour(Behaviour behaviour);
  Behaviour behaviour() const;
  void setTransportBehaviour(TransportBehaviour behaviour);
  TransportBehaviour transportBehaviour() const;

  std::optional<Ticket> ticket(const std::string& id) const;
  std::vector<SoapCall> calls() const;
  std::vector<std::string> journal() const;
  std::string journalText() const;
  std::size_t downloads() const;

 private:
  struct Impl;
  void note(const std::string& line);
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  Options options_;
};

// Helpers exposed for tests.
// Standard Base64 (RFC 4648) strict decoding; nothing on any stray character.
std::optional<Bytes> decodeBase64(const std::string& text);
// The text of the first element whose local name is name ("" when absent),
// with the five predefined entities and character references resolved.
std::optional<std::string> elementText(const std::string& xml, const std::string& name);
// The reply envelopes as the service writes them.
std::string uploadResponse(const std::string& result);
std::string deleteResponse();
std::string faultResponse(const std::string& faultString);

}  // namespace ticketservice
