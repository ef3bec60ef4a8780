#include "app/vlaAppDelegate.h"

#include "app/TicketDocument.h"
#include "platform/Dialogs.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"

namespace app {

using platform::log;

vlaAppDelegate::~vlaAppDelegate() = default;

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
  (void)local;  // the download and the editor follow in the ticket flow
}

void vlaAppDelegate::cargarApp(const std::string& extension) {
  log("Vamos a recuperar la aplicación para abrir docs");
  auto ref = platform::LSGetApplicationForInfo(extension);
  if (!ref) return;
  dispName = platform::CFURLCreateFromFSRef(*ref);
  dispDisplayName_ = platform::LSCopyDisplayNameForRef(*ref);
  log("exe: " + *dispName);
}

void vlaAppDelegate::descargarFichero(const std::string&, const std::string&) {}

void vlaAppDelegate::appLaunched(const platform::Notification&) {}

// ---------------------------------------------------------------------------
// The exchange with the ticket web service.

void vlaAppDelegate::connection(platform::URLConnection&, const platform::URLResponse&) {}
void vlaAppDelegate::connection(platform::URLConnection&, const platform::Data&) {}
void vlaAppDelegate::connectionDidFinishLoading(platform::URLConnection&) {}
void vlaAppDelegate::connection(platform::URLConnection&, const platform::Error&) {}

}  // namespace app
