#include "ticketservice/TicketService.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace ticketservice {

namespace {

std::string readWhole(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string newGuid() {
  static std::mutex mutex;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard lock(mutex);
  const char* hex = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
    out += hex[rng() & 15];
  }
  return out;
}

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void appendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string xmlUnescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    auto semi = text.find(';', i);
    if (semi == std::string::npos) {
      out += text.substr(i);
      break;
    }
    std::string ent = text.substr(i + 1, semi - i - 1);
    if (ent == "amp") out += '&';
    else if (ent == "lt") out += '<';
    else if (ent == "gt") out += '>';
    else if (ent == "quot") out += '"';
    else if (ent == "apos") out += '\'';
    else if (ent.size() > 1 && ent[0] == '#') {
      unsigned long cp =
          ent[1] == 'x' ? std::strtoul(ent.c_str() + 2, nullptr, 16) : std::strtoul(ent.c_str() + 1, nullptr, 10);
      appendUtf8(out, cp);
    } else {
      out += text.substr(i, semi - i + 1);
    }
    i = semi;
  }
  return out;
}

std::string stripQuotes(std::string s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return s;
}

constexpr char kEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr char kEnvelopeEnd[] = "</soap:Body></soap:Envelope>";

}  // namespace

std::optional<UploadMode> uploadModeNamed(const std::string& name) {
  if (name == "accept") return UploadMode::Accept;
  if (name == "refuse") return UploadMode::Refuse;
  if (name == "fault") return UploadMode::Fault;
  if (name == "notxml") return UploadMode::NotXml;
  if (name == "drop") return UploadMode::Drop;
  if (name == "cut") return UploadMode::Cut;
  return std::nullopt;
}

std::string nameOfUploadMode(UploadMode mode) {
  switch (mode) {
    case UploadMode::Accept: return "accept";
    case UploadMode::Refuse: return "refuse";
    case UploadMode::Fault: return "fault";
    case UploadMode::NotXml: return "notxml";
    case UploadMode::Drop: return "drop";
    case UploadMode::Cut: return "cut";
  }
  return "?";
}

std::optional<Bytes> decodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pads = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=') {
        // Padding only in the last group, and only at its end.
        if (i + 4 != text.size() || k < 2) return std::nullopt;
        v[k] = 0;
        ++pads;
      } else {
        if (pads) return std::nullopt;
        v[k] = value(c);
        if (v[k] < 0) return std::nullopt;
      }
    }
    std::uint32_t group = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (pads < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
    if (pads < 1) out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

std::optional<std::string> elementText(const std::string& xml, const std::string& name) {
  std::size_t pos = 0;
  while ((pos = xml.find('<', pos)) != std::string::npos) {
    std::size_t start = pos + 1;
    if (start >= xml.size() || xml[start] == '/' || xml[start] == '?' || xml[start] == '!') {
      pos = start;
      continue;
    }
    std::size_t end = xml.find_first_of(" \t\r\n/>", start);
    if (end == std::string::npos) return std::nullopt;
    std::string tag = xml.substr(start, end - start);
    auto colon = tag.find(':');
    std::string local = colon == std::string::npos ? tag : tag.substr(colon + 1);
    std::size_t close = xml.find('>', end);
    if (close == std::string::npos) return std::nullopt;
    if (local == name) {
      if (xml[close - 1] == '/') return std::string();
      std::size_t stop = xml.find("</", close + 1);
      if (stop == std::string::npos) return std::nullopt;
      return xmlUnescape(xml.substr(close + 1, stop - close - 1));
    }
    pos = close + 1;
  }
  return std::nullopt;
}

std::string uploadResponse(const std::string& result) {
  std::string inner =
      result.empty() ? "<SubirFicheroResult />" : "<SubirFicheroResult>" + xmlEscape(result) + "</SubirFicheroResult>";
  return std::string(kEnvelopeStart) + "<SubirFicheroResponse xmlns=\"" + kServiceNamespace + "\">" + inner +
         "</SubirFicheroResponse>" + kEnvelopeEnd;
}

std::string deleteResponse() {
  return std::string(kEnvelopeStart) + "<BorrarTicketResponse xmlns=\"" + kServiceNamespace + "\" />" + kEnvelopeEnd;
}

std::string faultResponse(const std::string& faultString) {
  return std::string(kEnvelopeStart) + "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>" +
         xmlEscape(faultString) + "</faultstring><detail /></soap:Fault>" + kEnvelopeEnd;
}

struct TicketService::Impl {
  httplib::Server server;
  std::thread thread;
  mutable std::mutex mutex;
  std::map<std::string, Ticket> tickets;
  std::vector<SoapCall> calls;
  std::vector<std::string> journal;
  Behaviour behaviour;
  TransportBehaviour transport;
  std::string placeholder;
  std::size_t downloads = 0;
  int uploadsStored = 0;
  std::atomic<bool> running{false};
};

TicketService::TicketService(Options options) : impl_(std::make_unique<Impl>()), options_(std::move(options)) {}

TicketService::~TicketService() { stop(); }

std::string TicketService::baseURL() const { return "http://" + options_.host + ":" + std::to_string(port_); }

void TicketService::note(const std::string& line) {
  // Called with impl_->mutex held.
  impl_->journal.push_back(line);
  if (!options_.dataDir.empty()) {
    std::ofstream out(options_.dataDir + "/journal.log", std::ios::app | std::ios::binary);
    out << line << '\n';
  }
}

std::string TicketService::issue(const Bytes& document, const std::string& extension, const std::string& instance,
                                 const std::string& name) {
  Ticket t;
  t.id = newGuid();
  t.instance = instance;
  t.extension = extension;
  t.name = name;
  t.document = document;
  std::lock_guard lock(impl_->mutex);
  note("emitido ticket=" + t.id + " instancia=" + instance + " ext=" + extension +
       (name.empty() ? "" : " nombre=" + name) + " bytes=" + std::to_string(document.size()));
  std::string id = t.id;
  impl_->tickets.emplace(id, std::move(t));
  return id;
}

std::string TicketService::ticketDocument(const std::string& ticketId) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->tickets.find(ticketId);
  if (it == impl_->tickets.end()) return {};
  return it->second.id + "\r\n" + baseURL() + "\r\n" + it->second.extension + "\r\n" + it->second.instance + "\r\n";
}

void TicketService::setBehaviour(Behaviour behaviour) {
  std::lock_guard lock(impl_->mutex);
  note("comportamiento " + nameOfUploadMode(behaviour.mode) +
       (behaviour.mode == UploadMode::Refuse ? " texto=" + behaviour.refusal : "") +
       " retardo_ms=" + std::to_string(behaviour.delay.count()));
  impl_->behaviour = std::move(behaviour);
}

void TicketService::setTransportBehaviour(TransportBehaviour behaviour) {
  std::lock_guard lock(impl_->mutex);
  note("transporte estado_descarga=" + std::to_string(behaviour.downloadStatus) +
       " corte=" + std::to_string(static_cast<int>(behaviour.downloadCut)) +
       " retardo_descarga_ms=" + std::to_string(behaviour.downloadDelay.count()) +
       (behaviour.redirectTo.empty() ? "" : " redirige=" + behaviour.redirectTo));
  impl_->transport = std::move(behaviour);
}

TransportBehaviour TicketService::transportBehaviour() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->transport;
}

Behaviour TicketService::behaviour() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->behaviour;
}

std::optional<Ticket> TicketService::ticket(const std::string& id) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->tickets.find(id);
  if (it == impl_->tickets.end()) return std::nullopt;
  return it->second;
}

std::vector<SoapCall> TicketService::calls() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->calls;
}

std::vector<std::string> TicketService::journal() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->journal;
}

std::string TicketService::journalText() const {
  std::string out;
  for (const auto& line : journal()) out += line + "\n";
  return out;
}

std::size_t TicketService::downloads() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->downloads;
}

bool TicketService::start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  bool ok = false;
  impl_->placeholder = readWhole(options_.placeholderPath, ok);
  if (!ok || options_.placeholderPath.empty()) {
    return fail("no se puede leer el documento de ticket caducado: " + options_.placeholderPath);
  }
  if (!options_.dataDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options_.dataDir + "/uploads", ec);
    if (ec) return fail("no se puede crear " + options_.dataDir + ": " + ec.message());
  }

  auto& svr = impl_->server;

  // The download page: the document of an open ticket, the placeholder for
  // anything else (unknown, closed, wrong instance).
  svr.Get(kDownloadPath, [this](const httplib::Request& req, httplib::Response& res) {
    std::string t = req.get_param_value("t");
    std::string i = req.get_param_value("i");
    TransportBehaviour behaviour = transportBehaviour();
    if (behaviour.downloadDelay.count() > 0) std::this_thread::sleep_for(behaviour.downloadDelay);
    std::lock_guard lock(impl_->mutex);
    ++impl_->downloads;
    auto it = impl_->tickets.find(t);
    if (it != impl_->tickets.end() && it->second.open && it->second.instance == i) {
      // The provider holds its own copy: the reply is sent after the lock is let go.
      auto doc = std::make_shared<Bytes>(it->second.document);
      res.status = behaviour.downloadStatus;
      if (behaviour.downloadCut == DownloadCut::None) {
        res.set_content(reinterpret_cast<const char*>(doc->data()), doc->size(), "application/octet-stream");
      } else {
        // Half the body, then the connection closes.
        const std::size_t half = doc->size() / 2;
        auto provider = [doc, half](std::size_t offset, httplib::DataSink& sink) {
          if (offset < half) sink.write(reinterpret_cast<const char*>(doc->data()) + offset, half - offset);
          return false;
        };
        if (behaviour.downloadCut == DownloadCut::NoLength) {
          res.set_content_provider("application/octet-stream", [provider](std::size_t offset, httplib::DataSink& sink) {
            provider(offset, sink);
            sink.done();
            return true;
          });
          res.set_header("Connection", "close");
        } else {
          res.set_content_provider(
              doc->size(), "application/octet-stream",
              [provider](std::size_t offset, std::size_t, httplib::DataSink& sink) { return provider(offset, sink); });
        }
      }
      note("descarga ticket=" + t + " instancia=" + i + " -> documento (" + std::to_string(doc->size()) + " bytes)");
    } else {
      res.set_content(impl_->placeholder, "application/msword");
      note("descarga ticket=" + t + " instancia=" + i + " -> caducado.doc");
    }
  });

  svr.Post(kSoapPath, [this](const httplib::Request& req, httplib::Response& res) {
    SoapCall call;
    call.body = req.body;
    call.soapAction = req.get_header_value("SOAPAction");
    call.contentType = req.get_header_value("Content-Type");
    std::string action = stripQuotes(call.soapAction);
    const std::string ns = kServiceNamespace;
    if (action.rfind(ns, 0) == 0) call.operation = action.substr(ns.size());
    call.ticket = elementText(req.body, "ticket").value_or("");
    call.instance = elementText(req.body, "instancia").value_or("");

    Behaviour behaviour = this->behaviour();
    if (behaviour.delay.count() > 0) std::this_thread::sleep_for(behaviour.delay);
    if (const std::string redirect = transportBehaviour().redirectTo; !redirect.empty()) {
      res.status = 307;
      res.set_header("Location", redirect + kSoapPath);
      std::lock_guard lock(impl_->mutex);
      note(call.operation + " ticket=" + call.ticket + " -> 307 " + redirect);
      call.outcome = "redirigido";
      impl_->calls.push_back(std::move(call));
      return;
    }

    auto soapReply = [&](int status, const std::string& xml) {
      res.status = behaviour.status ? behaviour.status : status;
      res.set_content(xml, "text/xml; charset=utf-8");
    };

    std::lock_guard lock(impl_->mutex);
    std::string who = " ticket=" + call.ticket + " instancia=" + call.instance;
    if (call.operation == "BorrarTicket" && behaviour.mode == UploadMode::Fault) {
      call.outcome = "fault";
      soapReply(500, faultResponse("Server was unable to process request. ---> Simulated failure."));
      note("BorrarTicket" + who + " -> fault");
    } else if (call.operation == "BorrarTicket") {
      auto it = impl_->tickets.find(call.ticket);
      if (it != impl_->tickets.end() && it->second.instance == call.instance) it->second.open = false;
      call.outcome = "ok";
      soapReply(200, deleteResponse());
      note("BorrarTicket" + who + " -> ok");
    } else if (call.operation == "SubirFichero") {
      auto fileText = elementText(req.body, "file");
      if (fileText) call.file = decodeBase64(*fileText);
      std::string what =
          "SubirFichero" + who + (call.file ? " bytes=" + std::to_string(call.file->size()) : std::string());
      auto it = impl_->tickets.find(call.ticket);
      if (!fileText || !call.file) {
        call.outcome = "fault";
        soapReply(500, faultResponse("Server was unable to read request. ---> Invalid file element."));
        note(what + " -> fault (fichero no válido)");
      } else if (behaviour.mode == UploadMode::Fault) {
        call.outcome = "fault";
        soapReply(500, faultResponse("Server was unable to process request. ---> Simulated failure."));
        note(what + " -> fault");
      } else if (behaviour.mode == UploadMode::NotXml) {
        call.outcome = "noxml";
        res.status = 200;
        res.set_content("Service Unavailable: the upload could not be processed.", "text/plain");
        note(what + " -> noxml");
      } else if (behaviour.mode == UploadMode::Drop) {
        call.outcome = "cortado";
        // Headers announce a body that never comes: the client sees the
        // connection closed in the middle of the reply.
        res.set_content_provider(64, "text/xml; charset=utf-8",
                                 [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        note(what + " -> cortado");
      } else if (behaviour.mode == UploadMode::Cut) {
        call.outcome = "cortada";
        // An accepting reply stopped after the result's start tag; no
        // Content-Length, so the closed connection ends it.
        std::string reply = uploadResponse("");
        reply = reply.substr(0, reply.find("<SubirFicheroResult")) + "<SubirFicheroResult>";
        res.status = 200;
        res.set_content_provider("text/xml; charset=utf-8", [reply](std::size_t offset, httplib::DataSink& sink) {
          if (offset < reply.size()) sink.write(reply.data() + offset, reply.size() - offset);
          sink.done();
          return true;
        });
        res.set_header("Connection", "close");
        note(what + " -> cortada");
      } else if (behaviour.mode == UploadMode::Refuse) {
        call.outcome = "rechazado";
        soapReply(200, uploadResponse(behaviour.refusal));
        note(what + " -> rechazado: " + behaviour.refusal);
      } else if (it == impl_->tickets.end() || !it->second.open || it->second.instance != call.instance) {
        call.outcome = "rechazado";
        soapReply(200, uploadResponse("El ticket no existe o ha caducado"));
        note(what + " -> rechazado: ticket desconocido o cerrado");
      } else {
        call.outcome = "ok";
        it->second.document = *call.file;
        it->second.open = false;
        ++impl_->uploadsStored;
        if (!options_.dataDir.empty()) {
          call.storedPath = options_.dataDir + "/uploads/" + std::to_string(impl_->uploadsStored) + "-" + call.ticket +
                            "." + it->second.extension;
          std::ofstream out(call.storedPath, std::ios::binary);
          out.write(reinterpret_cast<const char*>(call.file->data()), static_cast<std::streamsize>(call.file->size()));
        }
        soapReply(200, uploadResponse(""));
        note(what + " -> ok" + (call.storedPath.empty() ? "" : " guardado=" + call.storedPath));
      }
    } else {
      call.outcome = "fault";
      soapReply(
          500, faultResponse("Server did not recognize the value of HTTP Header SOAPAction: " + call.soapAction + "."));
      note("SOAP desconocido SOAPAction=" + call.soapAction + " -> fault");
    }
    impl_->calls.push_back(std::move(call));
  });

  // Administration, for the command line and scripts.
  svr.Post("/admin/tickets", [this](const httplib::Request& req, httplib::Response& res) {
    std::string ext = req.has_param("ext") ? req.get_param_value("ext") : "doc";
    std::string instance = req.has_param("instance") ? req.get_param_value("instance") : "1";
    std::string id = issue(toBytes(req.body), ext, instance, req.get_param_value("name"));
    res.set_content(ticketDocument(id), "text/plain; charset=utf-8");
  });
  svr.Post("/admin/behaviour", [this](const httplib::Request& req, httplib::Response& res) {
    Behaviour b;
    auto mode = uploadModeNamed(req.has_param("mode") ? req.get_param_value("mode") : "accept");
    if (!mode) {
      res.status = 400;
      res.set_content("modo desconocido\n", "text/plain");
      return;
    }
    b.mode = *mode;
    if (req.has_param("text")) b.refusal = req.get_param_value("text");
    if (req.has_param("delay_ms"))
      b.delay = std::chrono::milliseconds(std::atoi(req.get_param_value("delay_ms").c_str()));
    setBehaviour(b);
    TransportBehaviour t;
    if (req.has_param("download_status")) t.downloadStatus = std::atoi(req.get_param_value("download_status").c_str());
    if (req.has_param("download_delay_ms")) {
      t.downloadDelay = std::chrono::milliseconds(std::atoi(req.get_param_value("download_delay_ms").c_str()));
    }
    if (req.has_param("download_cut")) {
      const std::string cut = req.get_param_value("download_cut");
      t.downloadCut = cut == "nolength"      ? DownloadCut::NoLength
                      : cut == "wronglength" ? DownloadCut::WrongLength
                                             : DownloadCut::None;
    }
    if (req.has_param("redirect")) t.redirectTo = req.get_param_value("redirect");
    // Replies as they should be unless a transport option was given.
    for (const char* key : {"download_status", "download_delay_ms", "download_cut", "redirect"}) {
      if (req.has_param(key) || transportBehaviour().downloadStatus != 200 ||
          !transportBehaviour().redirectTo.empty() || transportBehaviour().downloadCut != DownloadCut::None ||
          transportBehaviour().downloadDelay.count() > 0) {
        setTransportBehaviour(t);
        break;
      }
    }
    res.set_content("ok\n", "text/plain");
  });
  svr.Get("/admin/journal", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(journalText(), "text/plain; charset=utf-8");
  });
  svr.Post("/admin/shutdown", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok\n", "text/plain");
    impl_->server.stop();
  });

  if (options_.port == 0) {
    port_ = svr.bind_to_any_port(options_.host);
    if (port_ <= 0) return fail("no se puede escuchar en " + options_.host);
  } else {
    if (!svr.bind_to_port(options_.host, options_.port)) {
      return fail("no se puede escuchar en " + options_.host + ":" + std::to_string(options_.port));
    }
    port_ = options_.port;
  }
  impl_->running = true;
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  {
    std::lock_guard lock(impl_->mutex);
    note("servicio en " + baseURL());
  }
  return true;
}

void TicketService::requestStop() { impl_->server.stop(); }

void TicketService::wait() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

void TicketService::stop() {
  if (!impl_->running.exchange(false)) return;
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace ticketservice
