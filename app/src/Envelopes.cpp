#include "app/Envelopes.h"

#include <algorithm>
#include <cstring>

#include "app/TicketDocument.h"
#include "codec/Compression.h"
#include "platform/Log.h"
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
  return "  <instancia>" + xmlEscape(instancia) +
         "</instancia> \n"
         "  <ticket>" +
         xmlEscape(guid) + "</ticket> ";
}

// The upload envelope around the Base64 text.
std::string cabezaSubida(const std::string& instancia, const std::string& guid) {
  return cabecera() + "<SubirFichero xmlns=\"" + kServiceNamespace + "\" > \n" + ids(instancia, guid) + "\n  <file>";
}
constexpr char kColaSubida[] = "</file>\n</SubirFichero> \n</soap:Body> \n</soap:Envelope>";

// Produces the upload envelope in pieces for the transfer thread.
class SubidaEnPiezas {
 public:
  SubidaEnPiezas(std::string head, std::shared_ptr<platform::ReadableFile> file)
      : head_(std::move(head)), file_(std::move(file)), left_(file_->size()) {}

  std::optional<std::size_t> pull(std::uint8_t* out, std::size_t capacity) {
    std::size_t written = 0;
    while (written < capacity) {
      if (at_ == staged_.size() && !refill()) return failed_ ? std::nullopt : std::optional(written);
      const std::size_t n = std::min(capacity - written, staged_.size() - at_);
      std::memcpy(out + written, staged_.data() + at_, n);
      at_ += n;
      written += n;
    }
    return written;
  }

 private:
  enum class Stage { Head, File, Tail, Done };

  // Stages the next piece; false at the end or on failure.
  bool refill() {
    staged_.clear();
    at_ = 0;
    switch (stage_) {
      case Stage::Head:
        staged_ = std::move(head_);
        stage_ = Stage::File;
        return true;
      case Stage::File: {
        if (left_ == 0) {
          encoder_.finish(staged_);
          staged_ += kColaSubida;
          stage_ = Stage::Done;
          return true;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left_, block_.size()));
        std::optional<std::size_t> got = file_->read(block_.data(), want);
        if (!got || *got == 0) {
          failed_ = true;  // the file ended sooner than its size said, or a read error
          return false;
        }
        left_ -= *got;
        encoder_.update(block_.data(), *got, staged_);
        return true;
      }
      case Stage::Tail:
      case Stage::Done: return false;
    }
    return false;
  }

  std::string head_;
  std::shared_ptr<platform::ReadableFile> file_;
  std::uint64_t left_;
  Stage stage_ = Stage::Head;
  std::string staged_;
  std::size_t at_ = 0;
  bool failed_ = false;
  // 48 KiB of file (a multiple of 3) give 64 KiB of text.
  std::vector<std::uint8_t> block_ = std::vector<std::uint8_t>(std::size_t{48} * 1024);
  KDXML_Compression::Base64Encoder encoder_;
};

std::string_view localName(std::string_view name) {
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The child called name: by its full name first, then by its local name, so
// "s:Body" or "m:SubirFicheroResponse" are found as well.
const xml::_KDXMLElement* hijo(const xml::_KDXMLElement* parent, std::string_view name) {
  if (!parent) return nullptr;
  if (const auto* exact = xml::KDXML::childElementNamed(name, parent)) return exact;
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

std::string textoDe(const xml::_KDXMLElement* element) {
  // Text that is not UTF-8 is still text: a result that holds some is a
  // refusal, never the empty result of an accepted upload.
  const std::string raw =
      element ? xml::KDXML::textForElement(element).value_or("(texto que no es UTF-8)") : std::string();
  static const std::pair<std::string_view, char> kEntidades[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string text;
  for (std::size_t i = 0; i < raw.size();) {
    const auto* found = std::find_if(std::begin(kEntidades), std::end(kEntidades),
                                     [&](const auto& e) { return raw.compare(i, e.first.size(), e.first) == 0; });
    if (found == std::end(kEntidades)) {
      text += raw[i++];
    } else {
      text += found->second;
      i += found->first.size();
    }
  }
  return text;
}

std::string sobreSubirFichero(const std::string& instancia, const std::string& guid, const std::string& base64) {
  return cabezaSubida(instancia, guid) + base64 + kColaSubida;
}

std::string sobreBorrarTicket(const std::string& instancia, const std::string& guid) {
  return cabecera() + "<BorrarTicket xmlns=\"" + kServiceNamespace + "\" > \n" + ids(instancia, guid) +
         "\n</BorrarTicket> \n</soap:Body> \n</soap:Envelope>";
}

std::shared_ptr<platform::BodySource> sobreSubirFicheroEnPiezas(const std::string& instancia, const std::string& guid,
                                                                std::shared_ptr<platform::ReadableFile> file) {
  if (!file || !isCleanId(instancia) || !isCleanId(guid)) return nullptr;
  auto source = std::make_shared<platform::BodySource>();
  source->length = longitudSobreSubirFichero(instancia, guid, file->size());
  auto pieces = std::make_shared<SubidaEnPiezas>(cabezaSubida(instancia, guid), std::move(file));
  source->pull = [pieces](std::uint8_t* out, std::size_t capacity) { return pieces->pull(out, capacity); };
  return source;
}

std::uint64_t longitudSobreSubirFichero(const std::string& instancia, const std::string& guid, std::uint64_t n) {
  return cabezaSubida(instancia, guid).size() + KDXML_Compression::Base64Encoder::encodedLength(n) +
         (sizeof kColaSubida - 1);
}

std::string lineaConstruimosEnvio(const std::string& instancia, const std::string& guid,
                                  const platform::ReadableFile& file) {
  const std::string prefix = "Construimos envio ";
  const std::uint64_t total = prefix.size() + longitudSobreSubirFichero(instancia, guid, file.size());
  // Enough of the file for the part of the line that log() keeps.
  const std::size_t needed = platform::kMaxLogLineBytes / 4 * 3 + 3;
  std::vector<std::uint8_t> start(static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), needed)));
  std::size_t have = 0;
  while (have < start.size()) {
    std::optional<std::size_t> got = file.readAt(have, start.data() + have, start.size() - have);
    if (!got || *got == 0) break;
    have += *got;
  }
  start.resize(have);
  std::string line = prefix + cabezaSubida(instancia, guid);
  KDXML_Compression::Base64Encoder encoder;
  encoder.update(start.data(), start.size(), line);
  if (have == file.size()) {
    encoder.finish(line);
    line += kColaSubida;
  }
  return platform::limitLogLine(line, static_cast<std::size_t>(std::max<std::uint64_t>(total, line.size())));
}

platform::TransferPolicy politicaSOAP(std::uint64_t bodyLength) {
  (void)bodyLength;  // the deadline grows with the body as it is sent
  platform::TransferPolicy policy;
  policy.followRedirects = false;
  policy.identityEncodingOnly = true;
  policy.maxReplyBytes = kLimiteRespuesta;
  // A server may store a large document for minutes before it answers, and
  // sends nothing meanwhile: the low-speed limit only ends a transfer that
  // has been silent for as long as the whole answer may take.
  policy.lowSpeedBytesPerSecond = 256;
  policy.lowSpeedSeconds = 600;
  policy.deadlineSeconds = 600;
  policy.deadlineBytesPerSecond = 16 * 1024;
  return policy;
}

namespace {

platform::URLRequest peticionSOAP(const std::string& endpoint, const std::string& operation, std::uint64_t length) {
  platform::URLRequest request(endpoint);
  request.addValue("text/xml; charset=utf-8", "Content-Type");
  request.addValue(std::string(kServiceNamespace) + operation, "Soapaction");
  request.addValue(std::to_string(length), "Content-Length");
  request.setHTTPMethod("POST");
  request.setTransferPolicy(politicaSOAP(length));
  return request;
}

}  // namespace

platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   const std::string& envelope) {
  platform::URLRequest request = peticionSOAP(endpoint, operation, envelope.size());
  request.setHTTPBody(platform::dataFromString(envelope));
  return request;
}

platform::URLRequest solicitudSOAP(const std::string& endpoint, const std::string& operation,
                                   std::shared_ptr<platform::BodySource> body) {
  platform::URLRequest request = peticionSOAP(endpoint, operation, body ? body->length : 0);
  request.setHTTPBodySource(std::move(body));
  return request;
}

namespace {

bool esEspacio(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The reply is a whole envelope: its root is an Envelope element and the
// text ends with that element's closing tag (nothing but white space after).
bool sobreCompleto(const platform::Data& reply, const xml::_KDXMLElement* root) {
  if (!root || !root->name || localName(root->name) != "Envelope") return false;
  std::string_view text = platform::stringView(reply);
  while (!text.empty() && esEspacio(text.back())) text.remove_suffix(1);
  if (text.empty() || text.back() != '>') return false;
  text.remove_suffix(1);
  while (!text.empty() && esEspacio(text.back())) text.remove_suffix(1);
  const std::string closing = "</" + std::string(root->name);
  return text.size() >= closing.size() && text.substr(text.size() - closing.size()) == closing;
}

std::string estado(long statusCode) { return " (estado HTTP " + std::to_string(statusCode) + ")"; }

// The checks both replies share; the parsed document when they pass.
struct Lectura {
  std::unique_ptr<xml::KDXML> document;
  const xml::_KDXMLElement* body = nullptr;
  std::optional<std::string> fault;  // faultstring of a SOAP Fault
  std::string reason;                // set when the reply cannot be used
};

Lectura leerSobre(const platform::Data& reply, long statusCode, bool complete) {
  Lectura lectura;
  if (reply.size() > kLimiteRespuesta) {
    lectura.reason = "la respuesta supera " + std::to_string(kLimiteRespuesta) + " bytes" + estado(statusCode);
    return lectura;
  }
  if (!complete) {
    lectura.reason = "la respuesta llegó incompleta" + estado(statusCode);
    return lectura;
  }
  lectura.document = xml::KDXML::kdxmlWithXMLData(reply);
  const xml::_KDXMLElement* root = lectura.document ? lectura.document->rootXMLElement() : nullptr;
  if (!root) {
    lectura.reason = "la respuesta no es XML" + estado(statusCode);
    return lectura;
  }
  if (!sobreCompleto(reply, root)) {
    lectura.reason = "la respuesta no es un sobre SOAP completo" + estado(statusCode);
    return lectura;
  }
  lectura.body = hijo(root, "soap:Body");
  if (const xml::_KDXMLElement* fault = hijo(lectura.body, "soap:Fault")) {
    const xml::_KDXMLElement* faultString = hijo(fault, "faultstring");
    lectura.fault = textoDe(faultString);
    lectura.reason = "fallo SOAP: " + *lectura.fault + estado(statusCode);
    return lectura;
  }
  if (statusCode < 200 || statusCode > 299) {
    lectura.reason = "estado HTTP " + std::to_string(statusCode);
    return lectura;
  }
  return lectura;
}

}  // namespace

UploadVerdict leerRespuestaSubida(const platform::Data& reply, long statusCode, bool complete) {
  UploadVerdict verdict;
  Lectura lectura = leerSobre(reply, statusCode, complete);
  if (!lectura.reason.empty()) {
    verdict.reason = std::move(lectura.reason);
    return verdict;
  }
  const xml::_KDXMLElement* result = hijo(hijo(lectura.body, "SubirFicheroResponse"), "SubirFicheroResult");
  if (!result) {
    verdict.reason = "la respuesta no trae SubirFicheroResult" + estado(statusCode);
    return verdict;
  }
  verdict.resultText = textoDe(result);
  if (!verdict.resultText.empty()) {
    verdict.reason = "el servicio rechaza el fichero: " + verdict.resultText;
    return verdict;
  }
  verdict.accepted = true;
  return verdict;
}

RespuestaBorrado leerRespuestaBorrado(const platform::Data& reply, long statusCode, bool complete) {
  RespuestaBorrado outcome;
  outcome.statusCode = statusCode;
  Lectura lectura = leerSobre(reply, statusCode, complete);
  if (lectura.fault) outcome.fault = *lectura.fault;
  if (!lectura.reason.empty()) {
    outcome.reason = std::move(lectura.reason);
    return outcome;
  }
  if (!hijo(lectura.body, "BorrarTicketResponse")) {
    outcome.reason = "la respuesta no trae BorrarTicketResponse" + estado(statusCode);
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

std::string describirFalloDescarga(const platform::DownloadResult& result, std::uint64_t limit) {
  using platform::DownloadFailure;
  switch (result.failure) {
    case DownloadFailure::None: return "la descarga terminó bien";
    case DownloadFailure::HttpStatus: {
      const std::string status = std::to_string(result.statusCode);
      return "el servidor respondió con el estado " + status;
    }
    case DownloadFailure::Connection:
      return result.statusCode == 0 ? "no se pudo conectar con el servidor o se cortó la conexión"
                                    : "se cortó la conexión";
    case DownloadFailure::TimedOut: return "el servidor tardó demasiado en enviar el documento";
    case DownloadFailure::TooLarge:
      return "el documento supera el tamaño máximo permitido (" + std::to_string(limit) + " bytes)";
    case DownloadFailure::Truncated: return "el documento llegó incompleto";
    case DownloadFailure::DiskFull: return "el disco está lleno";
    case DownloadFailure::LocalFile: return "no se pudo guardar el documento en la carpeta del ticket";
    case DownloadFailure::Encoding: return "el servidor envió el documento comprimido";
    case DownloadFailure::DestinationExists: return "ya hay otro fichero con el nombre del documento";
  }
  return "error desconocido";
}

}  // namespace app
