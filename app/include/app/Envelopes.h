#pragma once
// The SOAP 1.1 exchange with the ticket web service: the two request
// envelopes, the request that carries them, and the reading of the upload
// reply.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"
#include "platform/Http.h"

namespace app {

// The namespace of the ticket web service's operations.
inline constexpr char kServiceNamespace[] = "http://tempuri.org/";

// Escapes the five characters that XML text and attribute values cannot hold
// as they are (& < > " ').
std::string xmlEscape(std::string_view text);

// The SubirFichero envelope: 13 lines separated by "\n", with the trailing
// spaces of its layout, the ids escaped for XML and the document in Base64.
std::string sobreSubirFichero(const std::string& instancia, const std::string& guid,
                              const std::string& base64);
// The BorrarTicket envelope: 12 lines, the same layout without the file.
std::string sobreBorrarTicket(const std::string& instancia, const std::string& guid);

// The POST of an envelope to the endpoint with the headers "Content-Type",
// "Soapaction" (namespace + operation) and "Content-Length", in that order.
platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   const std::string& envelope);

// What the upload reply says.
struct UploadVerdict {
  bool accepted = false;   // the result element was found and its text is empty
  std::string resultText;  // the result element's text, when found
  std::string reason;      // why the upload does not count as done (for the log)
};

// Reads a SubirFichero reply. statusCode is the HTTP status (0 when unknown).
// Only a reply that parses, is no SOAP Fault, came with a status below 400
// and holds Body/SubirFicheroResponse/SubirFicheroResult with empty text is
// accepted. Names are matched exactly first ("soap:Body"), then by the part
// after the prefix, so other prefixes are read as well.
UploadVerdict leerRespuestaSubida(const platform::Data& reply, long statusCode);

}  // namespace app
