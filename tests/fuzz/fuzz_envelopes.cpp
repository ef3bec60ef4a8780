// Builds both envelopes from arbitrary ids and document bytes and reads each
// back through the XML reader: every clean id must come back as it went in
// (entities resolved as for the server's texts), and the upload's file element
// must decode to the document. The streamed upload envelope must equal the
// whole one byte for byte.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/Envelopes.h"
#include "app/TicketDocument.h"
#include "codec/Compression.h"
#include "xml/KDXML.h"

namespace {

std::string textOf(const xml::_KDXMLElement* parent, const char* name) {
  const xml::_KDXMLElement* element = xml::KDXML::childElementNamed(name, parent);
  if (!element) std::abort();
  return app::textoDe(element);
}

void check(const std::string& envelope, const char* operation, const std::string& instancia, const std::string& guid,
           const platform::Data* document) {
  auto doc = xml::KDXML::kdxmlWithXMLString(envelope);
  if (!doc || !doc->rootXMLElement()) std::abort();
  const xml::_KDXMLElement* body = xml::KDXML::childElementNamed("soap:Body", doc->rootXMLElement());
  const xml::_KDXMLElement* op = body ? xml::KDXML::childElementNamed(operation, body) : nullptr;
  if (!op) std::abort();
  if (textOf(op, "instancia") != instancia || textOf(op, "ticket") != guid) std::abort();
  if (document && KDXML_Compression::dataWithBase64EncodedString(textOf(op, "file")) != *document) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // instancia \0 guid \0 document
  std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t a = input.find('\0');
  const std::size_t b = a == std::string::npos ? std::string::npos : input.find('\0', a + 1);
  if (b == std::string::npos) return 0;
  const std::string instancia = input.substr(0, a);
  const std::string guid = input.substr(a + 1, b - a - 1);
  const platform::Data document(data + b + 1, data + size);
  if (!app::isCleanId(instancia) || !app::isCleanId(guid)) return 0;

  const std::string whole = app::sobreSubirFichero(instancia, guid, KDXML_Compression::base64Encoding(document));
  check(whole, "SubirFichero", instancia, guid, &document);
  check(app::sobreBorrarTicket(instancia, guid), "BorrarTicket", instancia, guid, nullptr);

  // The streamed envelope, from a file holding the document.
  char path[] = "/tmp/fuzz-envelope-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return 0;
  if (!document.empty() && ::write(fd, document.data(), document.size()) != static_cast<ssize_t>(document.size())) {
    std::abort();
  }
  ::close(fd);
  auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(path).first);
  ::unlink(path);
  if (!file) std::abort();
  auto source = app::sobreSubirFicheroEnPiezas(instancia, guid, file);
  if (!source || source->length != whole.size()) std::abort();
  std::string streamed;
  std::uint8_t buffer[4099];
  for (;;) {
    auto n = source->pull(buffer, 1 + streamed.size() % sizeof buffer);
    if (!n) std::abort();
    if (*n == 0) break;
    streamed.append(reinterpret_cast<const char*>(buffer), *n);
  }
  if (streamed != whole) std::abort();
  return 0;
}
