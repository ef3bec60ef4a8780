#include "app/Envelopes.h"

#include "xml/KDXML.h"

namespace app {

namespace {

// The lines that open both envelopes; each but the first ends with a space.
std::string cabecera() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<soap:Envelope \n"
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" \n"
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
         "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"> \n"
         "<soap:Body> \n";
}

std::string ids(const std::string& instancia, const std::string& guid) {
  return "  <instancia>" + xmlEscape(instancia) + "</instancia> \n"
         "  <ticket>" + xmlEscape(guid) + "</ticket> ";
}

std::string_view localName(std::string_view name) {
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The child called name: by its full name first, then by its local name, so
// "s:Body" or "m:SubirFicheroResponse" are found as well.
const xml::_KDXMLElement* hijo(const xml::_KDXMLElement* parent, std::string_view name) {
  if (!parent) return nullptr;
  if (auto* exact = xml::KDXML::childElementNamed(name, parent)) return exact;
  for (auto* child = parent->firstChild; child; child = child->nextSibling) {
    if (child->name && localName(child->name) == localName(name)) return child;
  }
  return nullptr;
}

}  // namespace

std::string xmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string sobreSubirFichero(const std::string& instancia, const std::string& guid,
                              const std::string& base64) {
  return cabecera() + "<SubirFichero xmlns=\"" + kServiceNamespace + "\" > \n" + ids(instancia, guid) +
         "\n  <file>" + base64 + "</file>\n</SubirFichero> \n</soap:Body> \n</soap:Envelope>";
}

std::string sobreBorrarTicket(const std::string& instancia, const std::string& guid) {
  return cabecera() + "<BorrarTicket xmlns=\"" + kServiceNamespace + "\" > \n" + ids(instancia, guid) +
         "\n</BorrarTicket> \n</soap:Body> \n</soap:Envelope>";
}

platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   const std::string& envelope) {
  platform::URLRequest request(endpoint);
  request.addValue("text/xml; charset=utf-8", "Content-Type");
  request.addValue(std::string(kServiceNamespace) + operation, "Soapaction");
  request.addValue(std::to_string(envelope.size()), "Content-Length");
  request.setHTTPMethod("POST");
  request.setHTTPBody(platform::dataFromString(envelope));
  return request;
}

UploadVerdict leerRespuestaSubida(const platform::Data& reply, long statusCode) {
  UploadVerdict verdict;
  auto document = xml::KDXML::kdxmlWithXMLData(reply);
  const xml::_KDXMLElement* root = document ? document->rootXMLElement() : nullptr;
  if (!root) {
    verdict.reason = "la respuesta no es XML (estado HTTP " + std::to_string(statusCode) + ")";
    return verdict;
  }
  const xml::_KDXMLElement* body = hijo(root, "soap:Body");
  if (const xml::_KDXMLElement* fault = hijo(body, "soap:Fault")) {
    const xml::_KDXMLElement* faultString = hijo(fault, "faultstring");
    verdict.reason = "fallo SOAP: " +
                     (faultString ? xml::KDXML::textForElement(faultString).value_or("") : std::string()) +
                     " (estado HTTP " + std::to_string(statusCode) + ")";
    return verdict;
  }
  const xml::_KDXMLElement* result = hijo(hijo(body, "SubirFicheroResponse"), "SubirFicheroResult");
  if (!result) {
    verdict.reason = "la respuesta no trae SubirFicheroResult (estado HTTP " + std::to_string(statusCode) + ")";
    return verdict;
  }
  verdict.resultText = xml::KDXML::textForElement(result).value_or("");
  if (statusCode >= 400) {
    verdict.reason = "estado HTTP " + std::to_string(statusCode);
    return verdict;
  }
  if (!verdict.resultText.empty()) {
    verdict.reason = "el servicio rechaza el fichero: " + verdict.resultText;
    return verdict;
  }
  verdict.accepted = true;
  return verdict;
}

}  // namespace app
