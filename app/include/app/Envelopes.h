#pragma once
// The SOAP 1.1 exchange with the ticket web service: the two request
// envelopes, the request that carries them, and the reading of the upload
// reply.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"
#include "platform/Files.h"
#include "platform/Http.h"

namespace xml {
struct _KDXMLElement;
}

namespace app {

// The namespace of the ticket web service's operations.
inline constexpr char kServiceNamespace[] = "http://tempuri.org/";

// Escapes the five characters that XML text and attribute values cannot hold
// as they are (& < > " ').
std::string xmlEscape(std::string_view text);

// The text of an element as the server meant it: the five predefined
// entities resolved (the reader keeps text as it is in the document).
std::string textoDe(const xml::_KDXMLElement* element);

// The SubirFichero envelope: 13 lines separated by "\n", with the trailing
// spaces of its layout, the ids escaped for XML and the document in Base64.
std::string sobreSubirFichero(const std::string& instancia, const std::string& guid, const std::string& base64);
// The BorrarTicket envelope: 12 lines, the same layout without the file.
std::string sobreBorrarTicket(const std::string& instancia, const std::string& guid);

// The SubirFichero envelope streamed: its head, the Base64 of the file read
// in blocks, its tail; byte for byte sobreSubirFichero of the whole file, with
// its exact length known in advance. Memory stays at a few blocks whatever
// the file's size. The file's size is the one it had when opened; a file that
// ends sooner fails the body (and so the exchange). Nothing when an id is
// not clean (isCleanId).
std::shared_ptr<platform::BodySource> sobreSubirFicheroEnPiezas(const std::string& instancia, const std::string& guid,
                                                                std::shared_ptr<platform::ReadableFile> file);
// Exact byte length of the SubirFichero envelope for a document of n bytes.
std::uint64_t longitudSobreSubirFichero(const std::string& instancia, const std::string& guid, std::uint64_t n);
// The log line "Construimos envio %@" for that envelope, cut as log() cuts
// long lines, built from the first few KiB of the file only (read in place,
// without moving the file's position).
std::string lineaConstruimosEnvio(const std::string& instancia, const std::string& guid,
                                  const platform::ReadableFile& file);

// The largest SOAP reply read (1 MiB); a longer one fails the exchange.
inline constexpr std::uint64_t kLimiteRespuesta = 1 << 20;

// The limits of a SOAP exchange whose request body has bodyLength bytes: no
// redirects (a 3xx reply is then the answer, and it is no success), identity
// encoding only, replies up to kLimiteRespuesta, at least 256 bytes/s over any
// 120 s, and an overall deadline of 10 minutes plus the body at 16 KiB/s
// (the reply may come long after the body was sent).
platform::TransferPolicy politicaSOAP(std::uint64_t bodyLength);

// The POST of an envelope to the endpoint with the headers "Content-Type",
// "Soapaction" (namespace + operation) and "Content-Length", in that order,
// and politicaSOAP.
platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   const std::string& envelope);
// The same with a streamed body.
platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   std::shared_ptr<platform::BodySource> body);

// What the upload reply says.
struct UploadVerdict {
  bool accepted = false;   // the result element was found and its text is empty
  std::string resultText;  // the result element's text, when found
  std::string reason;      // why the upload does not count as done (Spanish, for the log)
};

// Reads a SubirFichero reply. statusCode is the HTTP status (0 when unknown);
// complete tells that the whole reply arrived (URLConnection::
// transferComplete()). Only a complete reply of at most kLimiteRespuesta
// bytes, with a 2xx status, that parses, is a whole envelope (its root is an
// Envelope element whose closing tag ends the text), is no SOAP Fault and
// holds Body/SubirFicheroResponse/SubirFicheroResult with empty text is
// accepted. Names are matched exactly first ("soap:Body"), then by the part
// after the prefix, so other prefixes are read as well.
UploadVerdict leerRespuestaSubida(const platform::Data& reply, long statusCode, bool complete = true);

// What the BorrarTicket reply says.
struct RespuestaBorrado {
  bool ok = false;  // a complete, whole envelope with status 2xx, BorrarTicketResponse and no Fault
  long statusCode = 0;
  std::string fault;   // the Fault's faultstring, when there is one
  std::string reason;  // why it does not count as done (Spanish, for the log)
};
RespuestaBorrado leerRespuestaBorrado(const platform::Data& reply, long statusCode, bool complete);

// The cause of a failed download in one Spanish line, for the alert: "el
// servidor respondió con el estado 404", "se cortó la conexión", "el disco
// está lleno", ...
std::string describirFalloDescarga(const platform::DownloadResult& result,
                                   std::uint64_t limit = platform::DownloadLimits::fromEnvironment().maxBytes);

}  // namespace app
