#include "app/vlaAppDelegate.h"

#include "app/TicketDocument.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

namespace app {

using platform::log;

vlaAppDelegate::~vlaAppDelegate() {
  platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
}

Desktop& vlaAppDelegate::desktop() {
  if (!desktop_) desktop_ = std::make_shared<SystemDesktop>();
  return *desktop_;
}

// ---------------------------------------------------------------------------
// Operations the platform calls.

bool vlaAppDelegate::applicationOpenFile(platform::Application&, const std::string& path) {
  log("1");
  abierto = false;
  first = false;
  log("Vamos a realizar el resto del proceso");
  abrirVLdoc(path);
  return true;
}

bool vlaAppDelegate::applicationOpenFileWithoutUI(platform::Application&, const std::string&) {
  first = false;
  return true;
}

void vlaAppDelegate::applicationDidFinishLaunching(const platform::Notification&) {}

bool vlaAppDelegate::applicationShouldTerminateAfterLastWindowClosed(platform::Application&) {
  return true;
}

bool vlaAppDelegate::processFile(const void*) { return true; }

void vlaAppDelegate::openFileManually(const void*) {}

bool vlaAppDelegate::windowShouldClose(const void*) { return true; }

void vlaAppDelegate::modificado(const void*) { log("Modificado"); }

// ---------------------------------------------------------------------------
// The ticket document.

std::vector<std::string> vlaAppDelegate::obtenerLineasDeFichero(const std::string& path) {
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

void vlaAppDelegate::rechazarTicket(const std::string& logLine, const std::string& detail) {
  log(logLine);
  platform::Alert alert;
  alert.setMessageText("No se puede abrir el ticket.");
  alert.setInformativeText(detail);
  alert.runModal();
  terminarTicket();
}

void vlaAppDelegate::abandonarTicket(const std::string& logLine, const std::string& title,
                                     const std::string& detail) {
  log(logLine);
  platform::Alert alert;
  alert.setMessageText(title);
  alert.setInformativeText(detail);
  alert.runModal();
  terminarTicket();
}

void vlaAppDelegate::terminarTicket() { ticketActivity_.reset(); }

void vlaAppDelegate::dejarDeObservar() {
  platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
  observing_ = false;
}

bool vlaAppDelegate::leerTicket(const std::string& path, std::vector<std::string>& lines) {
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

// ---------------------------------------------------------------------------
// Opening a ticket.

void vlaAppDelegate::abrirVLdoc(const std::string& path) {
  // From here until the ticket ends, whichever way, the application keeps
  // running. A ticket still waiting for its editor is given up: the fields
  // now describe this one.
  ticketActivity_ = platform::Application::sharedApplication().beginActivity("ticket " + path);
  dejarDeObservar();
  editorPid_.reset();
  editorFound_ = false;

  log("Vamos a abrir el fichero " + path);
  fileN = path;

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

  descargarFichero(download, local);
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
    platform::Alert alert;
    alert.setMessageText("El fichero vldoc está caducado.");
    alert.runModal();
    terminarTicket();
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
  platform::sleepForTimeInterval(timing.openDelay);

  // Registered twice, as the launch may come under either registration; the
  // first match removes both.
  auto& center = platform::Workspace::sharedWorkspace().notificationCenter();
  auto handler = [this](const platform::Notification& n) { appLaunched(n); };
  center.addObserver(this, handler, std::string(platform::NSWorkspaceDidLaunchApplicationNotification));
  center.addObserver(this, handler, std::nullopt);
  observing_ = true;

  log("Vamos a abrir el fichero " + fileP);
  const bool launched = desktop().openFile(fileP);
  log("Se ha mandado abrir el fichero " + fileP);
  if (!launched) {
    dejarDeObservar();
    abandonarTicket("No se ha podido lanzar el editor para " + fileP,
                    "No se puede abrir el documento.",
                    "No se ha podido abrir el editor de documentos ." + extension +
                        ". El ticket " + path + " se conserva para volver a abrirlo.");
    return;
  }
  firstDate = platform::modificationDate(fileP);
}

void vlaAppDelegate::cargarApp(const std::string& extension) {
  log("Vamos a recuperar la aplicación para abrir docs");
  editorFound_ = false;
  auto ref = desktop().editorFor(extension);
  if (!ref) return;
  editorFound_ = true;
  dispName = platform::CFURLCreateFromFSRef(*ref);
  dispDisplayName_ = platform::LSCopyDisplayNameForRef(*ref);
  log("exe: " + *dispName);
}

void vlaAppDelegate::descargarFichero(const std::string& address, const std::string& fileToSave) {
  std::optional<platform::Data> bytes = platform::dataWithContentsOfURL(address);
  if (bytes && !bytes->empty()) platform::writeAtomically(fileToSave, *bytes);
}

bool vlaAppDelegate::nombreAceptable(const std::optional<std::string>& name) const {
  // The name the workspace gives a launched application is the editor's
  // display name; a notification without a name passes.
  return !name || (dispDisplayName_ && *name == *dispDisplayName_);
}

void vlaAppDelegate::appLaunched(const platform::Notification& notification) {
  try {
    log("Se recibe una notificación " + notification.description());
    log(abierto ? "abierto" : "cerrado");
    if (abierto) return;
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

    platform::sleepForTimeInterval(timing.launchDelay);
    log("fileP es " + fileP);
    dejarDeObservar();
    if (running->processIdentifier > 0) editorPid_ = running->processIdentifier;
    notificarCambio(fileP);
    abierto = true;
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

}  // namespace app
