#include "app/vlaAppDelegate.h"

#include "app/TicketDocument.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "platform/Workspace.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

// ---------------------------------------------------------------------------
// The delegate: one session per ticket document.

vlaAppDelegate::~vlaAppDelegate() {
  auto sessions = std::move(sessions_);
  for (auto& [path, session] : sessions) session->abandonar();
}

Desktop& vlaAppDelegate::desktop() {
  if (!desktop_) desktop_ = std::make_shared<SystemDesktop>();
  return *desktop_;
}

namespace {
// The same ticket document under another spelling of its path is the same
// ticket.
std::string sessionKey(const std::string& path) { return platform::absolutePath(path).value_or(path); }
}  // namespace

std::shared_ptr<TicketSession> vlaAppDelegate::session(const std::string& ticketPath) const {
  auto it = sessions_.find(sessionKey(ticketPath));
  return it == sessions_.end() ? nullptr : it->second;
}

bool vlaAppDelegate::yaAbierto(const std::string& path) const {
  if (!session(path)) return false;
  log("El ticket " + path + " ya está abierto");
  return true;
}

bool vlaAppDelegate::applicationOpenFile(platform::Application&, const std::string& path) {
  log("1");
  if (yaAbierto(path)) return true;
  log("Vamos a realizar el resto del proceso");
  abrirVLdoc(path);
  return true;
}

void vlaAppDelegate::abrirVLdoc(const std::string& path) {
  if (yaAbierto(path)) return;
  desktop();
  auto session = std::make_shared<TicketSession>(weak_from_this(), desktop_, timing);
  sessions_.emplace(sessionKey(path), session);
  session->abrirVLdoc(path);
}

bool vlaAppDelegate::applicationOpenFileWithoutUI(platform::Application&, const std::string&) { return true; }

void vlaAppDelegate::applicationDidFinishLaunching(const platform::Notification&) {}

bool vlaAppDelegate::applicationShouldTerminateAfterLastWindowClosed(platform::Application&) {
  return true;
}

bool vlaAppDelegate::processFile(const void*) { return true; }

void vlaAppDelegate::openFileManually(const void*) {}

bool vlaAppDelegate::windowShouldClose(const void*) { return true; }

void vlaAppDelegate::modificado(const void*) { log("Modificado"); }

bool vlaAppDelegate::editorTakenByOther(const platform::RunningApplication& app, const void* session) const {
  for (const auto& [path, other] : sessions_) {
    if (other.get() == session || !other->editorApplication()) continue;
    // Each launch is announced once, by one object.
    if (other->editorApplication().get() == &app) return true;
  }
  return false;
}

void vlaAppDelegate::sessionEnded(const void* session) {
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->second.get() != session) continue;
    // The session may be running the step that ended it: it goes once that
    // step has returned.
    platform::RunLoop::main().perform([ended = std::move(it->second)] {});
    sessions_.erase(it);
    return;
  }
}

// ---------------------------------------------------------------------------
// A session: the ticket document and the opening of the ticket.

TicketSession::TicketSession(std::weak_ptr<SessionOwner> owner, std::shared_ptr<Desktop> desktop, Timing timing)
    : owner_(std::move(owner)), desktop_(std::move(desktop)), timing_(timing) {}

TicketSession::~TicketSession() {
  platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
}

platform::LogContext TicketSession::contexto() const {
  return platform::LogContext(guid, platform::lastPathComponent(fileN));
}

void TicketSession::despues(double seconds, std::function<void(TicketSession&)> step) {
  std::weak_ptr<TicketSession> weak = weak_from_this();
  timers_.push_back(platform::RunLoop::main().performAfter(seconds, [weak, step = std::move(step)] {
    auto self = weak.lock();
    if (!self || self->ended_) return;
    auto context = self->contexto();
    step(*self);
  }));
  // Timers that have run or were cancelled need not be kept.
  std::erase_if(timers_, [](const platform::Timer& t) { return !t.isPending(); });
}

std::vector<std::string> TicketSession::obtenerLineasDeFichero(const std::string& path) {
  auto bytes = platform::readFile(path);
  std::string_view text = bytes ? platform::stringView(*bytes) : std::string_view();
  // The document is UTF-8; a byte-order mark at its start is not part of line 0.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!bytes || !platform::isValidUTF8(text)) {
    log("Error reading file");
    return {};
  }
  std::vector<std::string> lines = splitCRLF(text);
  for (const auto& line : lines) log(line);
  return lines;
}

void TicketSession::alerta(const std::string& title, const std::string& detail, std::function<void()> then) {
  platform::Alert alert;
  alert.setMessageText(title);
  alert.setInformativeText(detail);
  std::weak_ptr<TicketSession> weak = weak_from_this();
  alert.beginModal([weak, then = std::move(then)](platform::ModalResponse, std::optional<std::size_t>) {
    auto self = weak.lock();
    if (!self || self->ended_) return;
    auto context = self->contexto();
    then();
  });
}

void TicketSession::rechazarTicket(const std::string& logLine, const std::string& detail) {
  abandonarTicket(logLine, "No se puede abrir el ticket.", detail);
}

void TicketSession::abandonarTicket(const std::string& logLine, const std::string& title,
                                    const std::string& detail) {
  log(logLine);
  decided_ = true;
  alerta(title, detail, [this] { terminarTicket(); });
}

void TicketSession::dejarDeObservar() {
  platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
  observing_ = false;
}

bool TicketSession::leerTicket(const std::string& path, std::vector<std::string>& lines) {
  lines = obtenerLineasDeFichero(path);
  if (lines.empty()) {
    // Nothing came back: the file could not be read, or it is not UTF-8.
    if (!platform::readFile(path)) {
      rechazarTicket("No se puede leer el fichero vldoc " + path,
                     "No se ha podido leer el fichero " + path + ".");
    } else {
      rechazarTicket("El fichero vldoc " + path + " no está en UTF-8",
                     "El fichero " + path + " no es un ticket válido.");
    }
    return false;
  }
  if (lines.size() < 4) {
    rechazarTicket("El fichero vldoc " + path + " tiene menos de cuatro líneas",
                   "El fichero " + path + " no es un ticket válido.");
    return false;
  }
  return true;
}

void TicketSession::abrirVLdoc(const std::string& path) {
  // From here until the ticket ends, whichever way, the application keeps
  // running.
  activity_ = platform::Application::sharedApplication().beginActivity("ticket " + path);
  fileN = path;
  auto context = contexto();
  log("Vamos a abrir el fichero " + path);

  std::vector<std::string> lines;
  if (!leerTicket(path, lines)) return;
  // A path without ".vldoc" would make the local document the ticket
  // document itself, and the download would overwrite it.
  if (path.find(".vldoc") == std::string::npos) {
    rechazarTicket("La ruta " + path + " no contiene .vldoc",
                   "El fichero " + path + " no tiene la extensión .vldoc.");
    return;
  }

  guid = removeMarkers(lines[0]);
  auto ticketContext = contexto();
  const std::string base = removeMarkers(lines[1]);
  const std::string extension = removeMarkers(lines[2]);
  // The ticket comes from the web: an extension that is not a plain name could
  // put the download outside the ticket's folder, and an address that is not
  // http(s) could copy local files.
  if (!isPlainExtension(extension)) {
    rechazarTicket("Extensión no válida en el fichero vldoc: " + extension,
                   "La extensión del documento del ticket no es válida.");
    return;
  }
  if (!isWebAddress(base)) {
    rechazarTicket("Dirección del servidor no válida en el fichero vldoc: " + base,
                   "La dirección del servidor del ticket no es válida.");
    return;
  }

  cargarApp(extension);
  instancia = removeMarkers(lines[3]);
  uploadURL = soapEndpoint(base);
  const std::string download = downloadAddress(base, guid, instancia);
  log(download);
  const std::string local = localDocumentPath(path, extension);

  // The download runs on a worker thread; the ticket goes on on the main
  // thread once it is over.
  std::weak_ptr<TicketSession> weak = weak_from_this();
  platform::globalQueue().async([weak, download, local, path, extension] {
    descargarFichero(download, local);
    platform::RunLoop::main().perform([weak, local, path, extension] {
      auto self = weak.lock();
      if (!self || self->ended_) return;
      auto context = self->contexto();
      self->descargado(path, local, extension);
    });
  });
}

void descargarFichero(const std::string& address, const std::string& fileToSave) {
  std::optional<platform::Data> bytes = platform::dataWithContentsOfURL(address);
  if (bytes && !bytes->empty()) platform::writeAtomically(fileToSave, *bytes);
}

void TicketSession::descargado(const std::string& path, const std::string& local, const std::string& extension) {
  const std::optional<std::string> placeholder = platform::pathForResource("caducado.doc");
  log("Comparamos " + local + " con " + placeholder.value_or("(null)"));
  if (!platform::fileExists(local)) {
    // Nothing came and nothing was there before: there is nothing to edit.
    abandonarTicket("No se ha podido descargar el fichero " + local,
                    "No se ha podido descargar el documento.",
                    "No se ha podido descargar el documento del ticket desde Velmora Web. "
                    "Compruebe la conexión y vuelva a abrir el fichero " + path + ".");
    return;
  }
  if (placeholder && platform::contentsEqual(local, *placeholder)) {
    decided_ = true;
    alerta("El fichero vldoc está caducado.", "", [this] { terminarTicket(); });
    return;
  }
  if (!editorFound_) {
    abandonarTicket("No hay aplicación para abrir documentos ." + extension,
                    "No se puede abrir el documento.",
                    "No hay ninguna aplicación instalada para editar documentos ." + extension +
                        ". El ticket " + path + " se conserva para volver a abrirlo.");
    return;
  }
  fileP = local;
  despues(timing_.openDelay, [extension](TicketSession& self) { self.abrirEnEditor(extension); });
}

void TicketSession::abrirEnEditor(const std::string& extension) {
  // Registered twice, as the launch may come under either registration; the
  // first match removes both.
  auto& center = platform::Workspace::sharedWorkspace().notificationCenter();
  std::weak_ptr<TicketSession> weak = weak_from_this();
  auto handler = [weak](const platform::Notification& n) {
    if (auto self = weak.lock(); self && !self->ended_) self->appLaunched(n);
  };
  center.addObserver(this, handler, std::string(platform::NSWorkspaceDidLaunchApplicationNotification));
  center.addObserver(this, handler, std::nullopt);
  observing_ = true;

  log("Vamos a abrir el fichero " + fileP);
  const bool launched = desktop_->openFile(fileP);
  log("Se ha mandado abrir el fichero " + fileP);
  if (!launched) {
    dejarDeObservar();
    abandonarTicket("No se ha podido lanzar el editor para " + fileP, "No se puede abrir el documento.",
                    "No se ha podido abrir el editor de documentos ." + extension + ". El ticket " + fileN +
                        " se conserva para volver a abrirlo.");
    return;
  }
  firstDate = platform::modificationDate(fileP);
}

void TicketSession::cargarApp(const std::string& extension) {
  log("Vamos a recuperar la aplicación para abrir docs");
  editorFound_ = false;
  auto ref = desktop_->editorFor(extension);
  if (!ref) return;
  editorFound_ = true;
  dispName = platform::CFURLCreateFromFSRef(*ref);
  dispDisplayName_ = platform::LSCopyDisplayNameForRef(*ref);
  log("exe: " + *dispName);
}

bool TicketSession::nombreAceptable(const std::optional<std::string>& name) const {
  // The name the workspace gives a launched application is the editor's
  // display name; a notification without a name passes.
  return !name || (dispDisplayName_ && *name == *dispDisplayName_);
}

void TicketSession::enCadena(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    log(std::string("error con la notificación ") + e.what());
    // Once the registrations are gone no later notification can take the
    // ticket on: it ends here, with the local document left in place.
    if (!observing_) terminarTicket();
  } catch (...) {
    log("error con la notificación (error desconocido)");
    if (!observing_) terminarTicket();
  }
}

void TicketSession::appLaunched(const platform::Notification& notification) {
  auto context = contexto();
  enCadena([&] {
    log("Se recibe una notificación " + notification.description());
    log(abierto ? "abierto" : "cerrado");
    if (abierto || !observing_) return;
    for (const auto& entry : notification.userInfo) log("Key " + entry.first);

    const std::optional<std::string> name = notification.string(platform::NSApplicationNameKey);
    const auto running = notification.runningApplication(platform::NSWorkspaceApplicationKey);
    log("nombre de la aplicación " + name.value_or("(null)"));
    log("Key de la aplicación " + (running ? running->description() : std::string("(null)")));
    log("nombre de la aplicación buscada " + dispName.value_or("(null)"));
    if (!name && !running) return;

    log("nombre de la aplicación " + name.value_or("(null)"));
    log("url " + (running ? running->executableURL : std::string("(null)")));
    log("str " + dispName.value_or("(null)"));
    if (!running || !dispName) return;
    const std::string editorPath = platform::pathForFileURL(*dispName);
    if (running->executablePath().compare(0, editorPath.size(), editorPath) != 0) return;
    if (!nombreAceptable(name)) return;
    // Each launch belongs to one ticket: the one whose open request came first
    // takes it, as the launches come in the order of the open requests.
    if (auto owner = owner_.lock(); owner && owner->editorTakenByOther(*running, this)) {
      log("El proceso " + std::to_string(running->processIdentifier) + " es el editor de otro ticket");
      return;
    }

    editorApp_ = running;
    if (running->processIdentifier > 0) editorPid_ = running->processIdentifier;
    // Matched: no later notification is for this ticket.
    dejarDeObservar();
    despues(timing_.launchDelay, [](TicketSession& self) {
      self.enCadena([&] {
        log("fileP es " + self.fileP);
        self.notificarCambio(self.fileP);
      });
    });
  });
}

}  // namespace app
