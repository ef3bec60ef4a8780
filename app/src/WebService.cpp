// The exchange with the ticket web service: the two SOAP requests, the
// upload reply, and what happens to the local files after it.
#include "app/Envelopes.h"
#include "app/vlaAppDelegate.h"
#include "codec/Compression.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace app {

using platform::log;

namespace {
// "%C" of the message is U+2028 LINE SEPARATOR.
constexpr char kMensajeSubida[] =
    "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia de seguridad y vuelva a "
    "adjuntarlo a Velmora Web.";
}  // namespace

void vlaAppDelegate::UploadFile(const std::string& path) {
  uploadHandled_ = false;
  const std::optional<platform::Data> bytes = platform::readFile(path);
  if (!bytes) {
    // Sending an empty file in its place would overwrite the document on the
    // server with nothing.
    subidaRechazada("no se puede leer " + path);
    return;
  }
  const std::string envelope = sobreSubirFichero(instancia, guid, KDXML_Compression::base64Encoding(*bytes));
  log("Construimos envio " + envelope);
  iniciarSOAP("SubirFichero", envelope, true);
}

void vlaAppDelegate::BorrarTicket(const std::string&) {
  iniciarSOAP("BorrarTicket", sobreBorrarTicket(instancia, guid), false);
}

void vlaAppDelegate::iniciarSOAP(const std::string& operation, const std::string& envelope, bool upload) {
  platform::URLRequest request = solicitudSOAP(uploadURL, operation, envelope);
  if (upload) log("Vamos a hacer el envio");
  std::shared_ptr<platform::URLConnection> connection =
      platform::URLConnection::start(std::move(request), shared_from_this());
  if (upload) {
    conn = connection;
    uploadStatus_ = 0;
  } else {
    conn2 = connection;
  }
  if (connection) {
    auto previous = webData;
    auto fresh = std::make_shared<ReceiveBuffer>();
    if (previous) {
      std::lock_guard lock(previous->lock);
      webData = fresh;
    } else {
      webData = fresh;
    }
  } else if (upload) {
    subidaRechazada("no se puede conectar con " + uploadURL);
  } else {
    log("No se puede conectar con " + uploadURL + " para borrar el ticket");
  }
}

void vlaAppDelegate::connection(platform::URLConnection& connection, const platform::URLResponse& response) {
  if (&connection == conn.get()) {
    if (webData) webData->bytes.clear();
    uploadStatus_ = response.statusCode;
  }
  log("recibida respuesta");
}

void vlaAppDelegate::connection(platform::URLConnection& connection, const platform::Data& piece) {
  if (&connection != conn.get()) return;
  if (webData) webData->bytes.insert(webData->bytes.end(), piece.begin(), piece.end());
  log("datos recibidos");
}

void vlaAppDelegate::connectionDidFinishLoading(platform::URLConnection& connection) {
  try {
    const std::shared_ptr<ReceiveBuffer> buffer = webData;
    if (!buffer) return;
    std::lock_guard lock(buffer->lock);
    log("Terminamos de recibir la respuesta");
    if (&connection != conn.get() || uploadHandled_) return;

    const std::string_view text = platform::stringView(buffer->bytes);
    log(platform::isValidUTF8(text)
            ? std::string(text)
            : "(respuesta de " + std::to_string(buffer->bytes.size()) + " bytes que no es UTF-8)");
    const UploadVerdict verdict = leerRespuestaSubida(buffer->bytes, uploadStatus_);
    if (!verdict.accepted) {
      subidaRechazada(verdict.reason);
      return;
    }
    uploadHandled_ = true;
    platform::removeItem(fileP);
    platform::removeItem(fileN);
    terminarTicket();
  } catch (const std::exception& e) {
    // Nothing is removed: the local document stays where it is.
    log(std::string("error al leer la respuesta ") + e.what());
    uploadHandled_ = true;
    terminarTicket();
  } catch (...) {
    log("error al leer la respuesta (error desconocido)");
    uploadHandled_ = true;
    terminarTicket();
  }
}

void vlaAppDelegate::connection(platform::URLConnection& connection, const platform::Error& error) {
  if (&connection == conn.get() && !uploadHandled_) {
    subidaRechazada("error de conexión: " + error.description());
    return;
  }
  log("Error en la conexión: " + error.description());
}

void vlaAppDelegate::subidaRechazada(const std::string& reason) {
  uploadHandled_ = true;
  log("La subida no se ha confirmado: " + reason);
  log("Fichero no accesible en este momento");
  ShowMsg(kMensajeSubida, "Error subiendo el fichero");

  platform::SavePanel panel;
  panel.setAllowedFileTypes({"doc"});
  panel.runModalForDirectory("", "");
  switch (panel.response()) {
    case platform::ModalResponse::OK: {
      const std::string destination = panel.filename();
      if (destination == fileP) {
        log("El fichero se conserva en " + fileP);
        break;
      }
      // The user confirmed replacing what is there.
      if (platform::fileExists(destination)) platform::removeItem(destination);
      if (platform::moveItem(fileP, destination)) {
        log("Fichero guardado en " + destination);
      } else {
        log("No se ha podido mover el fichero a " + destination + "; se conserva en " + fileP);
      }
      break;
    }
    case platform::ModalResponse::Cancel:
      platform::removeItem(fileP);
      break;
    case platform::ModalResponse::NotShown:
      // Not the user's cancel: nobody has decided to drop the changes.
      log("No se ha podido mostrar el diálogo para guardar; el fichero se conserva en " + fileP);
      break;
  }
  platform::removeItem(fileN);
  terminarTicket();
}

void vlaAppDelegate::ShowMsg(const std::string& message, const std::string& andTitle) {
  platform::Alert alert;
  alert.setMessageText(andTitle);
  alert.setInformativeText(message);
  alert.runModal();
}

}  // namespace app
