// The exchange with the ticket web service: the two SOAP requests, the
// upload reply, and what happens to the local files after it.
#include "app/Envelopes.h"
#include "app/TicketSession.h"
#include "codec/Compression.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

namespace {
// "%C" of the message is U+2028 LINE SEPARATOR.
constexpr char kMensajeSubida[] =
    "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia de seguridad y vuelva a "
    "adjuntarlo a Velmora Web.";
}  // namespace

void TicketSession::UploadFile(const std::string& path) {
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

void TicketSession::BorrarTicket(const std::string&) {
  iniciarSOAP("BorrarTicket", sobreBorrarTicket(instancia, guid), false);
}

void TicketSession::iniciarSOAP(const std::string& operation, const std::string& envelope, bool upload) {
  platform::URLRequest request = solicitudSOAP(uploadURL, operation, envelope);
  if (upload) log("Vamos a hacer el envio");
  std::shared_ptr<platform::URLConnection> connection =
      platform::URLConnection::start(std::move(request), shared_from_this());
  if (upload) {
    conn = connection;
    uploadStatus_ = 0;
  } else {
    conn2 = connection;
    conn2Open_ = connection != nullptr;
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

void TicketSession::connection(platform::URLConnection& connection, const platform::URLResponse& response) {
  auto context = contexto();
  if (&connection == conn.get()) {
    if (webData) webData->bytes.clear();
    uploadStatus_ = response.statusCode;
  }
  log("recibida respuesta");
}

void TicketSession::connection(platform::URLConnection& connection, const platform::Data& piece) {
  auto context = contexto();
  if (&connection != conn.get()) return;
  if (webData) webData->bytes.insert(webData->bytes.end(), piece.begin(), piece.end());
  log("datos recibidos");
}

void TicketSession::connectionDidFinishLoading(platform::URLConnection& connection) {
  auto context = contexto();
  try {
    const std::shared_ptr<ReceiveBuffer> buffer = webData;
    if (!buffer) return;
    std::lock_guard lock(buffer->lock);
    log("Terminamos de recibir la respuesta");
    if (&connection != conn.get() || uploadHandled_) {
      conexionTerminada(connection);
      return;
    }

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

void TicketSession::connection(platform::URLConnection& connection, const platform::Error& error) {
  auto context = contexto();
  if (&connection == conn.get() && !uploadHandled_) {
    subidaRechazada("error de conexión: " + error.description());
    return;
  }
  log("Error en la conexión: " + error.description());
  conexionTerminada(connection);
}

void TicketSession::conexionTerminada(platform::URLConnection& connection) {
  if (&connection != conn2.get()) return;
  conn2Open_ = false;
  quizasFin();
}

void TicketSession::subidaRechazada(const std::string& reason) {
  uploadHandled_ = true;
  decided_ = true;
  log("La subida no se ha confirmado: " + reason);
  log("Fichero no accesible en este momento");
  ShowMsg(kMensajeSubida, "Error subiendo el fichero", [this] {
    platform::SavePanel panel;
    panel.setAllowedFileTypes({"doc"});
    std::weak_ptr<TicketSession> weak = weak_from_this();
    panel.beginModalForDirectory("", "", [weak](platform::ModalResponse response, std::string filename) {
      auto self = weak.lock();
      if (!self || self->ended_) return;
      auto context = self->contexto();
      self->guardarCopia(response, filename);
    });
  });
}

void TicketSession::guardarCopia(platform::ModalResponse response, const std::string& destination) {
  switch (response) {
    case platform::ModalResponse::OK: {
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

void TicketSession::ShowMsg(const std::string& message, const std::string& andTitle, std::function<void()> then) {
  alerta(andTitle, message, std::move(then));
}

// ---------------------------------------------------------------------------
// The end of a session.

void TicketSession::terminarTicket() {
  decided_ = true;
  quizasFin();
}

void TicketSession::quizasFin() {
  // The deletion's reply is only logged, but the session lasts until it is in.
  if (ended_ || !decided_ || conn2Open_) return;
  abandonar();
}

void TicketSession::abandonar() {
  if (ended_) return;
  ended_ = true;
  for (platform::Timer& timer : timers_) timer.cancel();
  timers_.clear();
  dejarDeObservar();
  if (watcher_) {
    // Its thread ends and lets go of this session.
    watcher_->setDelegate(nullptr);
    watcher_->stop();
    watcher_.reset();
  }
  // Connections still running are let go (a decided ticket has none left).
  for (auto* c : {&conn, &conn2}) {
    if (*c) (*c)->cancel();
  }
  activity_.reset();
  if (auto owner = owner_.lock()) owner->sessionEnded(this);
}

}  // namespace app
