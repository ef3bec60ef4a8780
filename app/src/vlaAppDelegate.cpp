#include "app/vlaAppDelegate.h"

#include <chrono>

#include "app/Avisos.h"
#include "app/Envelopes.h"
#include "app/TicketDocument.h"
#include "app/TicketRecord.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/PrivateFolder.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Signals.h"
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

std::string carpetaDe(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

std::shared_ptr<TicketSession> vlaAppDelegate::session(const std::string& ticketPath) const {
  auto it = sessions_.find(sessionKey(ticketPath));
  return it == sessions_.end() ? nullptr : it->second;
}

bool vlaAppDelegate::yaAbierto(const std::string& path) const {
  auto open = session(path);
  if (!open) return false;
  log("El ticket " + path + " ya está abierto");
  open->abiertoOtraVez();
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

bool vlaAppDelegate::applicationShouldTerminateAfterLastWindowClosed(platform::Application&) { return true; }

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

bool vlaAppDelegate::registroEnUso(const std::string& clave, const void* session) const {
  for (const auto& [path, other] : sessions_) {
    if (other.get() != session && other->inProgress() && other->claveRegistro() == clave) return true;
  }
  return false;
}

bool vlaAppDelegate::documentOfOtherTicket(const std::string& path, const void* session) const {
  const std::string wanted = platform::absolutePath(path).value_or(path);
  for (const auto& [ticket, other] : sessions_) {
    if (other.get() == session || other->documento().empty()) continue;
    if (platform::absolutePath(other->documento()).value_or(other->documento()) == wanted) return true;
  }
  return false;
}

void vlaAppDelegate::interrumpir(int signal) {
  interrumpido_ = true;
  const char* name = platform::signalName(signal);
  log(std::string("Se ha recibido ") + name + "; vla termina");
  // Each session removes itself from the map as it ends.
  std::vector<std::shared_ptr<TicketSession>> enCurso;
  for (const auto& [path, session] : sessions_) enCurso.push_back(session);
  for (auto& session : enCurso) session->interrumpir(name);
  platform::Application::sharedApplication().terminate();
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

TicketSession::~TicketSession() { platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this); }

platform::LogContext TicketSession::contexto() const {
  return platform::LogContext(guid, platform::lastPathComponent(fileN));
}

void TicketSession::despues(double seconds, std::function<void(TicketSession&)> step) {
  std::weak_ptr<TicketSession> weak = weak_from_this();
  timers_.push_back(platform::RunLoop::main().performAfter(seconds, [weak, step = std::move(step)] {
    auto self = weak.lock();
    if (!self || self->terminado()) return;
    auto context = self->contexto();
    step(*self);
  }));
  // Timers that have run or were cancelled need not be kept.
  std::erase_if(timers_, [](const platform::Timer& t) { return !t.isPending(); });
}

std::vector<std::string> TicketSession::obtenerLineasDeFichero(const std::string& path) {
  return leerYRegistrarTicket(path).lines;
}

TicketReading TicketSession::leerYRegistrarTicket(const std::string& path) {
  // Read with the ticket's bound, never through a link, never from a FIFO.
  TicketReading reading = readTicket(path);
  if (reading.lines.empty()) log("Error reading file");
  for (const auto& line : reading.lines) log(line);
  return reading;
}

void TicketSession::alerta(const std::string& title, const std::string& detail, std::function<void()> then) {
  // Alerts name files and carry the server's texts: shown escaped.
  platform::Alert alert;
  alert.setMessageText(platform::escapeControlCharacters(title, true));
  alert.setInformativeText(platform::escapeControlCharacters(detail, true));
  std::weak_ptr<TicketSession> weak = weak_from_this();
  alert.beginModal([weak, then = std::move(then)](platform::ModalResponse, std::optional<std::size_t>) {
    auto self = weak.lock();
    if (!self || self->terminado()) return;
    auto context = self->contexto();
    then();
  });
}

void TicketSession::rechazarTicket(const std::string& logLine, const std::string& detail) {
  abandonarTicket(logLine, "No se puede abrir el ticket.", detail);
}

void TicketSession::abandonarTicket(const std::string& logLine, const std::string& title, const std::string& detail) {
  log(logLine);
  pasarA(Fase::Decidido);
  alerta(title, detail, [this] { terminarTicket(); });
}

void TicketSession::dejarDeObservar() {
  platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
}

std::optional<TicketFields> TicketSession::leerTicket(const std::string& path) {
  TicketReading reading = leerYRegistrarTicket(path);
  if (reading.fields) return std::move(reading.fields);
  rechazarTicket("No se puede abrir el ticket " + path + ": " + reading.reason,
                 "El fichero " + path + " no es un ticket válido: " + reading.reason + ".");
  return std::nullopt;
}

void TicketSession::abrirVLdoc(const std::string& path) {
  // From here until the ticket ends, whichever way, the application keeps
  // running.
  activity_ = platform::Application::sharedApplication().beginActivity("ticket " + path);
  fileN = path;
  auto context = contexto();
  log("Vamos a abrir el fichero " + path);

  // The ticket comes from the web: its size, type, extension, address and
  // ids are checked before anything is derived from them.
  const std::optional<TicketFields> fields = leerTicket(path);
  if (!fields) return;
  guid = fields->guid;
  auto ticketContext = contexto();
  const std::string extension = fields->extension;

  // No ticket starts without a record it can keep: the records' folder must
  // be the user's alone.
  if (CarpetaRegistros carpeta = abrirCarpetaRegistros(true); !carpeta.carpeta) {
    const std::string why = carpeta.problema.empty() ? "no se puede crear" : carpeta.problema;
    rechazarTicket("No se puede usar la carpeta de registros: " + why,
                   "No se puede usar la carpeta donde vla anota los tickets: " + why +
                       ". No se ha descargado nada; el ticket " + fileN + " se conserva para volver a abrirlo.");
    return;
  }
  const std::optional<std::string> ticketFolder = platform::absolutePath(carpetaDe(path));
  if (!ticketFolder) {
    rechazarTicket("No se puede resolver la carpeta del ticket " + path,
                   "No se puede saber en qué carpeta está el ticket " + path + ".");
    return;
  }
  carpeta_ = *ticketFolder;
  servidor_ = fields->base;
  instancia = fields->instancia;
  clave_ = app::claveRegistro(servidor_, guid, instancia, carpeta_);
  if (auto owner = owner_.lock(); owner && owner->registroEnUso(clave_, this)) {
    pasarA(Fase::Decidido);
    log("El ticket " + guid + " ya está abierto desde otro fichero vldoc de la misma carpeta");
    terminarTicket();
    return;
  }

  cargarApp(extension);
  uploadURL = soapEndpoint(fields->base);
  const std::string download = downloadAddress(fields->base, guid, instancia);
  log(download);
  const std::string local = carpeta_ + "/" + platform::lastPathComponent(localDocumentPath(path, extension));
  const std::optional<std::string> destino = destinoDocumento(local);
  if (!destino) return;
  if (reabierto_) {
    fileP = *destino;
    documentoListo(extension);
    return;
  }
  descargar(download, *destino, extension);
}

void TicketSession::descargar(const std::string& download, const std::string& local, const std::string& extension) {
  // Written before the download: a partial file left by a crash is then
  // known as this ticket's, and so is a download that ended just before it.
  registro_ = RegistroTicket{};
  registro_->servidor = servidor_, registro_->ticket = guid, registro_->instancia = instancia;
  registro_->carpeta = carpeta_;
  registro_->ticketPath = carpeta_ + "/" + platform::lastPathComponent(fileN);
  registro_->documentPath = local;
  if (!actualizarRegistro(EstadoTicket::Descargando, "", "", false)) {
    rechazarTicket("No se ha podido guardar el registro del ticket; no se descarga nada",
                   "No se ha podido anotar el ticket en " + carpetaRegistros().value_or("(sin carpeta)") + ": " +
                       problemaRegistro_ +
                       ". Sin esa nota una edición podría perderse, así que no se ha "
                       "descargado nada. El ticket " +
                       fileN + " se conserva para volver a abrirlo.");
    return;
  }
  // The download runs on a worker thread; the ticket goes on on the main
  // thread once it is over.
  std::weak_ptr<TicketSession> weak = weak_from_this();
  const std::string path = fileN;
  platform::globalQueue().async([weak, download, local, path, extension] {
    platform::DownloadResult result = platform::downloadToFile(download, local);
    platform::RunLoop::main().perform([weak, download, local, path, extension, result = std::move(result)] {
      auto self = weak.lock();
      if (!self || self->terminado()) return;
      auto context = self->contexto();
      self->descargado(download, local, extension, result);
    });
  });
}

namespace {

// "informe (2).doc" beside "informe.doc".
std::string conNumero(const std::string& path, int n) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = path.size();
  return path.substr(0, dot) + " (" + std::to_string(n) + ")" + path.substr(dot);
}

std::optional<std::string> shaDelMarcador() {
  static const std::optional<std::string> sha = []() -> std::optional<std::string> {
    const std::optional<std::string> path = platform::pathForResource("caducado.doc");
    if (!path) return std::nullopt;
    const auto identity = platform::identifyFile(*path);
    return identity ? std::optional<std::string>(identity->sha256) : std::nullopt;
  }();
  return sha;
}

}  // namespace

bool esMarcadorCaducado(const platform::FileIdentity& identity) {
  const std::optional<std::string> sha = shaDelMarcador();
  return sha && *sha == identity.sha256;
}

bool TicketSession::esPropio(const std::string& path, const RegistroTicket& r) const {
  if (path.empty() || !r.fichero) return false;
  const std::optional<platform::FileIdentity> there = platform::identifyFile(path);
  if (!there || esMarcadorCaducado(*there)) return false;
  return platform::sameFile(*there, *r.fichero) ||
         (there->size == r.fichero->size && there->sha256 == r.fichero->sha256);
}

std::optional<std::string> TicketSession::nombreLibre(const std::string& local) {
  for (int n = 2; n < 1000; ++n) {
    std::string libre = conNumero(local, n);
    if (platform::pathKind(libre) != platform::PathKind::Absent) continue;
    std::string linea = "Ya existe el fichero " + local;
    linea += ", que no es de este ticket; el documento se descarga en " + libre;
    log(linea);
    ocupado_ = local;
    return libre;
  }
  abandonarTicket("No hay un nombre libre junto a " + local + "; no se descarga nada", "No se puede abrir el ticket.",
                  "Ya existe el fichero " + local +
                      " y no hay un nombre libre a su lado para el documento. El ticket " + fileN +
                      " se conserva para volver a abrirlo.");
  return std::nullopt;
}

std::optional<std::string> TicketSession::destinoDocumento(const std::string& local) {
  std::optional<RegistroTicket> previo = leerRegistro(clave_);
  // A download a killed vla left half done is only in the way.
  for (const std::string& p : {local, previo ? previo->documentPath : local}) {
    if (int n = platform::removePartialDownloads(p); n > 0)
      log("Se han quitado " + std::to_string(n) + " descargas a medias de " + p);
  }
  // The document path is one vla gave this ticket: its own name, or a free
  // name beside it.
  const auto rutaPropia = [&local](const std::string& p) {
    if (p == local) return true;
    for (int n = 2; n < 1000; ++n) {
      if (p == conNumero(local, n)) return true;
    }
    return false;
  };
  if (previo && !rutaPropia(previo->documentPath)) {
    log("El registro del ticket nombra un documento que no es de este ticket (" + previo->documentPath +
        "); no se usa");
    previo.reset();
  }

  if (previo && previo->estado == EstadoTicket::Confirmado) {
    terminarLimpieza(*previo);
    return std::nullopt;
  }
  const bool conEdicion =
      previo && previo->estado != EstadoTicket::Descargando && previo->estado != EstadoTicket::Terminado;
  if (conEdicion) {
    // The edit is reopened only where vla put it, and only when the file
    // there is the one vla recorded.
    for (const std::string& propio : {previo->keptPath, previo->documentPath}) {
      if (propio.empty() || !esPropio(propio, *previo)) continue;
      log("Reabrimos la edición conservada del ticket en " + propio + " (estado " + nombreEstado(previo->estado) +
          "); no se descarga el documento");
      reenvio_ = puedeHaberLlegado(*previo);
      // A place the user chose in the save dialog is theirs: sent from
      // there, never removed afterwards.
      if (propio == previo->keptPath && previo->keptPath != previo->documentPath) delUsuario_ = propio;
      registro_ = std::move(previo);
      reabierto_ = true;
      return propio;
    }
    for (const std::string& otro : {previo->keptPath, previo->documentPath}) {
      if (otro.empty() || platform::pathKind(otro) == platform::PathKind::Absent) continue;
      log("En " + otro + " hay un fichero que no es el que vla dejó para este ticket; no se toca ni se envía");
      extranos_.push_back(otro);
    }
  }

  // A ticket that had ended (nothing to send: its deletion was on its way)
  // and left its download behind, still the bytes the server gave: nothing
  // of the user's is in it, and the server may no longer have the ticket,
  // so it is not compared with a new download but removed.
  if (previo && previo->estado == EstadoTicket::Terminado && !previo->sha256.empty()) {
    const std::optional<platform::FileIdentity> there = platform::identifyFile(previo->documentPath);
    if (there && there->size == previo->size && there->sha256 == previo->sha256) {
      log("En " + previo->documentPath + " queda el documento sin cambios de este ticket, ya terminado; se quita");
      puntoDeControl("borrar:descarga-anterior");
      platform::removeItem(previo->documentPath);
    }
  }

  // This ticket's own earlier download (vla ended before its record said
  // so, or after the ticket ended) is known by its bytes once the document
  // is downloaded again: it goes to the same path.
  if (previo && !conEdicion && previo->documentPath != local &&
      platform::pathKind(previo->documentPath) == platform::PathKind::Regular) {
    recuperar_ = true;
    return previo->documentPath;
  }
  switch (platform::pathKind(local)) {
    case platform::PathKind::Absent: return local;
    case platform::PathKind::Regular: break;
    default:
      // Whatever a link points to, or a folder, FIFO or device, is not the
      // document: nothing is read from it or written through it.
      abandonarTicket(
          "En la ruta del documento " + local + " hay un enlace o algo que no es un fichero; no se descarga nada",
          "No se puede abrir el ticket.",
          "En " + local +
              " hay un enlace, una carpeta u otro elemento que no es un documento, así que no "
              "se ha descargado nada. El ticket " +
              fileN + " se conserva para volver a abrirlo.");
      return std::nullopt;
  }
  if (previo && !conEdicion && previo->documentPath == local) {
    recuperar_ = true;
    return local;
  }
  // A file vla did not make for this ticket: it is left as it is, and the
  // document goes to a free name beside it.
  return nombreLibre(local);
}

void TicketSession::terminarLimpieza(const RegistroTicket& previo) {
  // The server had confirmed the upload; vla ended before the local files
  // were gone. Only what vla recorded is removed.
  log("El servidor ya había confirmado la subida del ticket; se termina de limpiar");
  registro_ = previo;
  for (const std::string& propio : {previo.keptPath, previo.documentPath}) {
    if (propio.empty() || platform::pathKind(propio) == platform::PathKind::Absent) continue;
    if (esPropio(propio, previo)) {
      puntoDeControl("borrar:documento");
      platform::removeItem(propio);
    } else {
      log("En " + propio + " hay un fichero que no es el que se envió; se deja como está");
    }
  }
  puntoDeControl("borrar:ticket");
  platform::removeItem(fileN);
  actualizarRegistro(EstadoTicket::Terminado, "", "");
  platform::notifyUser(kAvisoDocumentoEnviado, avisoDocumentoEnviado(platform::lastPathComponent(previo.documentPath)));
  resultado(true, "subido (confirmado antes; limpieza terminada)");
  terminarTicket();
}

void TicketSession::descargado(const std::string& download, const std::string& local, const std::string& extension,
                               const platform::DownloadResult& result) {
  std::optional<platform::FileIdentity> identity;
  if (!result.ok && result.failure == platform::DownloadFailure::DestinationExists && recuperar_) {
    identity = platform::identifyFile(local);
    if (identity && identity->sha256 == result.sha256) {
      log("En " + local + " ya está el documento que este ticket descargó antes; se usa ese");
    } else {
      // Not this ticket's after all: it stays, and the document goes beside it.
      recuperar_ = false;
      const std::string propia = carpeta_ + "/" + platform::lastPathComponent(localDocumentPath(fileN, extension));
      if (const std::optional<std::string> libre = nombreLibre(propia)) descargar(download, *libre, extension);
      return;
    }
  } else if (!result.ok) {
    // Nothing was written at the document path: nothing is opened or sent.
    actualizarRegistro(EstadoTicket::Terminado, "", "no se pudo descargar");
    abandonarTicket(
        "No se ha podido descargar el fichero " + local + ": " + result.detail,
        "No se ha podido descargar el documento.",
        "No se ha podido descargar el documento del ticket desde Velmora Web: " + describirFalloDescarga(result) +
            ". El ticket " + fileN + " se conserva para volver a abrirlo.");
    return;
  }
  const std::optional<std::string> placeholder = platform::pathForResource("caducado.doc");
  log("Comparamos " + local + " con " + placeholder.value_or("(null)"));
  registro_->size = result.size;
  registro_->downloadedAt = platform::dateDescription(std::chrono::system_clock::now());
  registro_->sha256 = result.sha256;
  if (placeholder && platform::contentsEqual(local, *placeholder)) {
    // The placeholder is never an edit of this ticket: the record says so
    // before anything else happens.
    actualizarRegistro(EstadoTicket::Terminado, "", "ticket caducado");
    pasarA(Fase::Decidido);
    alerta("El fichero vldoc está caducado.", "", [this] { terminarTicket(); });
    return;
  }
  fileP = local;
  // The download's own hash: the file is not read again to record it.
  if (auto located = platform::locateFile(local); located && located->size == result.size) {
    located->sha256 = result.sha256;
    registro_->fichero = located;
  }
  actualizarRegistro(EstadoTicket::Descargado, "", "");
  documentoListo(extension);
}

void TicketSession::documentoListo(const std::string& extension) {
  if (!editorFound_) {
    abandonarTicket("No hay aplicación para abrir documentos ." + extension, "No se puede abrir el documento.",
                    "No hay ninguna aplicación instalada para editar documentos ." + extension + ". El ticket " +
                        fileN + " se conserva para volver a abrirlo.");
    return;
  }
  if (!extranos_.empty()) {
    std::string lista;
    for (const std::string& p : extranos_) lista += (lista.empty() ? "" : ", ") + p;
    alerta("Hay ficheros que vla no reconoce como suyos.",
           "El registro de este ticket nombra " + lista +
               ", pero lo que hay ahí no es el fichero que vla dejó, así "
               "que no se ha tocado ni enviado. El documento se ha descargado de nuevo en " +
               fileP + ".",
           [] {});
  }
  if (!ocupado_.empty()) {
    // Told without waiting for an answer: the ticket goes on.
    alerta("El documento se ha guardado con otro nombre.",
           "Ya existía el fichero " + ocupado_ +
               ", que no es de este ticket, así que se ha dejado como estaba y el "
               "documento se ha descargado en " +
               fileP + ".",
           [] {});
  }
  despues(timing_.openDelay, [extension](TicketSession& self) { self.abrirEnEditor(extension); });
}

void TicketSession::abrirEnEditor(const std::string& extension) {
  // Written before the editor gets the document: from here on the file may
  // hold the user's work.
  actualizarRegistro(EstadoTicket::Editando, registro_ ? registro_->keptPath : "",
                     reenvio_    ? kMotivoDesconocido
                     : registro_ ? registro_->motivo
                                 : "");
  // A reopened edit that differs from the download has changes the server
  // does not have, saved again or not; one that is still the download is
  // uploaded only when it is saved again.
  bool cambiada = false;
  if (reabierto_ && registro_) {
    const auto identity = platform::identifyFile(fileP, registro_->fichero ? &*registro_->fichero : nullptr);
    cambiada = !identity || identity->sha256 != registro_->sha256 || identity->size != registro_->size;
  }
  // Registered twice, as the launch may come under either registration; the
  // first match removes both.
  auto& center = platform::Workspace::sharedWorkspace().notificationCenter();
  std::weak_ptr<TicketSession> weak = weak_from_this();
  auto handler = [weak](const platform::Notification& n) {
    // The file watchers of other tickets post on the same centre from their
    // own threads; the session's state is the main thread's alone.
    if (!platform::RunLoop::isMainThread()) {
      platform::RunLoop::main().perform([weak, n] {
        if (auto self = weak.lock(); self && !self->terminado()) self->appLaunched(n);
      });
      return;
    }
    if (auto self = weak.lock(); self && !self->terminado()) self->appLaunched(n);
  };
  center.addObserver(this, handler, std::string(platform::NSWorkspaceDidLaunchApplicationNotification));
  center.addObserver(this, handler, std::nullopt);
  pasarA(Fase::Lanzando);

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
  // The earliest date there is makes any modification date later, so a
  // changed edit is uploaded when the user is done.
  firstDate = cambiada ? std::optional<platform::Date>(platform::Date::min()) : platform::modificationDate(fileP);
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
    if (fase_ != Fase::Lanzando) terminarTicket();
  } catch (...) {
    log("error con la notificación (error desconocido)");
    if (fase_ != Fase::Lanzando) terminarTicket();
  }
}

void TicketSession::appLaunched(const platform::Notification& notification) {
  auto context = contexto();
  enCadena([&] {
    log("Se recibe una notificación " + notification.description());
    log(fase_ != Fase::Preparando && fase_ != Fase::Lanzando ? "abierto" : "cerrado");
    if (fase_ != Fase::Lanzando) return;
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
    // A launch that says which document it was for is this ticket's when it
    // was for its document, whatever program it runs (a terminal emulator
    // running the editor, a launcher script); otherwise the program must be
    // the editor's.
    if (!running->document.empty()) {
      if (running->document != fileP) return;
    } else {
      const std::string editorPath = platform::pathForFileURL(*dispName);
      if (running->executablePath().compare(0, editorPath.size(), editorPath) != 0) return;
      if (!nombreAceptable(name)) return;
    }
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
    pasarA(Fase::Arrancando);
    despues(timing_.launchDelay, [](TicketSession& self) {
      self.enCadena([&] {
        log("fileP es " + self.fileP);
        self.notificarCambio(self.fileP);
      });
    });
  });
}

}  // namespace app
