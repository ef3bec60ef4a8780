// The exchange with the ticket web service: the two SOAP requests, the
// upload reply, and what happens to the local files after it.
#include <cmath>

#include "app/Avisos.h"
#include "app/Envelopes.h"
#include "app/TicketSession.h"
#include "codec/Compression.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

namespace {
// "%C" of the message is U+2028 LINE SEPARATOR.
constexpr char kMensajeSubida[] =
    "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una copia de seguridad y vuelva a "
    "adjuntarlo a Velmora Web.";
constexpr char kMotivoDesconocido[] = "resultado desconocido";

bool es2xx(long status) { return status >= 200 && status <= 299; }

// Failures after which the request cannot have reached the service whole.
bool nuncaLlego(const platform::Error& error) {
  switch (error.code) {
    case platform::NSURLErrorBadURL:
    case platform::NSURLErrorUnsupportedURL:
    case platform::NSURLErrorCannotFindHost:
    case platform::NSURLErrorCannotConnectToHost:
    case platform::NSURLErrorSecureConnectionFailed:
    case platform::NSURLErrorServerCertificateUntrusted:
    case platform::NSURLErrorRequestBodyStreamExhausted:
      return true;
    default:
      return false;
  }
}

std::string carpetaDe(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string extensionDe(const std::string& path) {
  const std::string name = platform::lastPathComponent(path);
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string porQue(platform::OpenFailure failure) {
  switch (failure) {
    case platform::OpenFailure::Missing: return "no existe";
    case platform::OpenFailure::NotRegular: return "es un enlace u otra cosa que no es un fichero normal";
    default: return "no se puede leer";
  }
}
}  // namespace

void TicketSession::UploadFile(const std::string& path) {
  uploadHandled_ = false;
  // Never through a link, never a FIFO or a device: only the regular file
  // that is there now.
  auto [opened, failure] = platform::ReadableFile::open(path);
  std::shared_ptr<platform::ReadableFile> file = std::move(opened);
  std::shared_ptr<platform::BodySource> body = file ? sobreSubirFicheroEnPiezas(instancia, guid, file) : nullptr;
  if (!body) {
    const std::string why = file ? "el ticket no es válido" : porQue(failure);
    uploadHandled_ = true;
    log("No se envía " + path + ": " + why);
    noEnviado("No se puede enviar el documento.",
              "No se ha enviado " + path + " a Velmora Web: " + why + ". No se ha borrado nada; el ticket " +
                  fileN + " se conserva para volver a abrirlo.",
              why);
    return;
  }
  log(lineaConstruimosEnvio(instancia, guid, *file));
  actualizarRegistro(EstadoTicket::Subiendo, fileP, "");
  iniciarSOAP(solicitudSOAP(uploadURL, "SubirFichero", std::move(body)), true);
}

void TicketSession::BorrarTicket(const std::string&) {
  iniciarSOAP(solicitudSOAP(uploadURL, "BorrarTicket", sobreBorrarTicket(instancia, guid)), false);
}

void TicketSession::iniciarSOAP(platform::URLRequest request, bool upload) {
  if (timing_.replyDeadline) {
    platform::TransferPolicy policy = request.transferPolicy();
    policy.deadlineSeconds = *timing_.replyDeadline;
    policy.deadlineBytesPerSecond = 0;
    request.setTransferPolicy(policy);
  }
  if (upload) log("Vamos a hacer el envio");
  std::shared_ptr<platform::URLConnection> connection =
      platform::URLConnection::start(std::move(request), shared_from_this());
  if (upload) {
    conn = connection;
    uploadStatus_ = 0;
  } else {
    conn2 = connection;
    conn2Open_ = connection != nullptr;
    borradoBytes_.clear();
    borradoStatus_ = 0;
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
    if (upload) esperarRespuesta(0);
  } else if (upload) {
    subidaRechazada("no se puede conectar con " + uploadURL);
  } else {
    log("No se puede conectar con " + uploadURL + " para borrar el ticket");
    resultado(false, "sin cambios; no se ha podido pedir el borrado del ticket");
  }
}

void TicketSession::esperarRespuesta(double waited) {
  despues(timing_.waitLogInterval, [waited](TicketSession& self) {
    if (self.uploadHandled_) return;
    const double now = waited + self.timing_.waitLogInterval;
    log("Esperando la respuesta del servidor (" + std::to_string(std::lround(now)) + " s)");
    self.esperarRespuesta(now);
  });
}

void TicketSession::connection(platform::URLConnection& connection, const platform::URLResponse& response) {
  auto context = contexto();
  if (&connection == conn.get()) {
    if (webData) webData->bytes.clear();
    uploadStatus_ = response.statusCode;
  } else if (&connection == conn2.get()) {
    borradoStatus_ = response.statusCode;
  }
  log("recibida respuesta");
}

void TicketSession::connection(platform::URLConnection& connection, const platform::Data& piece) {
  auto context = contexto();
  if (&connection == conn2.get()) {
    // Read only for its status and Fault text; the exchange bounds its size.
    borradoBytes_.insert(borradoBytes_.end(), piece.begin(), piece.end());
    return;
  }
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
    if (&connection == conn2.get()) {
      borradoTerminado(connection, "");
      return;
    }
    // Only the upload's own connection answers for the upload.
    if (&connection != conn.get() || uploadHandled_) return;

    const std::string_view text = platform::stringView(buffer->bytes);
    log(platform::isValidUTF8(text)
            ? std::string(text)
            : "(respuesta de " + std::to_string(buffer->bytes.size()) + " bytes que no es UTF-8)");
    const bool complete = connection.transferComplete();
    const UploadVerdict verdict = leerRespuestaSubida(buffer->bytes, uploadStatus_, complete);
    if (verdict.accepted) {
      subidaAceptada();
    } else if (complete && (!verdict.resultText.empty() || (uploadStatus_ != 0 && !es2xx(uploadStatus_) &&
                                                            uploadStatus_ != 408 && uploadStatus_ != 504))) {
      // The service answered, and its answer is no.
      subidaRechazada(verdict.reason);
    } else {
      // Something answered, but not the service's whole answer: it may have
      // stored the document.
      resultadoDesconocido(verdict.reason);
    }
  } catch (const std::exception& e) {
    log(std::string("error al leer la respuesta ") + e.what());
    if (&connection == conn.get() && !uploadHandled_) resultadoDesconocido("error al leer la respuesta");
  } catch (...) {
    log("error al leer la respuesta (error desconocido)");
    if (&connection == conn.get() && !uploadHandled_) resultadoDesconocido("error al leer la respuesta");
  }
}

void TicketSession::connection(platform::URLConnection& connection, const platform::Error& error) {
  auto context = contexto();
  log("Error en la conexión: " + error.description());
  if (&connection == conn2.get()) {
    borradoTerminado(connection, "error de conexión: " + error.description());
  } else if (&connection == conn.get() && !uploadHandled_) {
    if (nuncaLlego(error)) {
      subidaRechazada("error de conexión: " + error.description());
    } else {
      resultadoDesconocido("error de conexión: " + error.description());
    }
  }
}

void TicketSession::borradoTerminado(platform::URLConnection& connection, const std::string& error) {
  if (!conn2Open_) return;
  conn2Open_ = false;
  const RespuestaBorrado borrado =
      error.empty() ? leerRespuestaBorrado(borradoBytes_, borradoStatus_, connection.transferComplete())
                    : RespuestaBorrado{false, borradoStatus_, "", error};
  if (borrado.ok) {
    log("Ticket borrado en el servidor (estado HTTP " + std::to_string(borrado.statusCode) + ")");
    resultado(true, "borrado");
  } else {
    log("El servidor no ha borrado el ticket: " + borrado.reason);
    resultado(false, "sin cambios; el borrado no se ha confirmado (" + borrado.reason + ")");
  }
  quizasFin();
}

void TicketSession::subidaAceptada() {
  uploadHandled_ = true;
  if (fileP != delUsuario_) platform::removeItem(fileP);
  platform::removeItem(fileN);
  actualizarRegistro(EstadoTicket::Terminado, "", "");
  platform::notifyUser(kAvisoDocumentoEnviado, avisoDocumentoEnviado(platform::lastPathComponent(fileP)));
  resultado(true, "subido");
  terminarTicket();
}

void TicketSession::subidaRechazada(const std::string& reason) {
  uploadHandled_ = true;
  pasarA(Fase::Decidido);
  log("La subida no se ha confirmado: " + reason);
  log("Fichero no accesible en este momento");
  // Recorded before anything is asked: the edit is kept whatever happens next.
  actualizarRegistro(EstadoTicket::Conservado, fileP, reason);
  ShowMsg(std::string(kMensajeSubida) + "\n\nMotivo: " + reason + ".\nSu edición está en " + fileP + ".",
          "Error subiendo el fichero", [this, reason] {
            platform::SavePanel panel;
            // The document's own type, whatever it is.
            const std::string extension = extensionDe(fileP);
            if (!extension.empty()) panel.setAllowedFileTypes({extension});
            std::weak_ptr<TicketSession> weak = weak_from_this();
            panel.beginModalForDirectory(carpetaDe(fileP), platform::lastPathComponent(fileP),
                                         [weak, reason](platform::ModalResponse response, std::string filename) {
                                           auto self = weak.lock();
                                           if (!self || self->terminado()) return;
                                           auto context = self->contexto();
                                           self->guardarCopia(response, filename, reason);
                                         });
          });
}

void TicketSession::guardarCopia(platform::ModalResponse response, const std::string& destination,
                                 const std::string& motivo) {
  if (response == platform::ModalResponse::Cancel) {
    preguntarDescartar(motivo);
    return;
  }
  if (response == platform::ModalResponse::NotShown) {
    // Not the user's cancel: nobody has decided to drop the changes.
    log("No se ha podido mostrar el diálogo para guardar; el fichero se conserva en " + fileP);
    conservar(fileP, motivo);
    return;
  }
  if (destination == fileP || platform::absolutePath(destination) == platform::absolutePath(fileP)) {
    conservar(fileP, motivo);
    return;
  }
  platform::MoveOutcome moved = platform::moveWithoutReplacing(fileP, destination);
  // The dialog has asked the user before offering a file that is there.
  if (moved == platform::MoveOutcome::DestinationExists &&
      platform::pathKind(destination) == platform::PathKind::Regular && platform::removeItem(destination)) {
    moved = platform::moveWithoutReplacing(fileP, destination);
  }
  if (moved == platform::MoveOutcome::Failed && platform::moveItem(fileP, destination)) {
    moved = platform::MoveOutcome::Moved;  // another file system
  }
  if (moved == platform::MoveOutcome::Moved) {
    log("Fichero guardado en " + destination);
    conservar(destination, motivo);
  } else {
    log("No se ha podido mover el fichero a " + destination + "; se conserva en " + fileP);
    conservar(fileP, motivo);
  }
}

void TicketSession::preguntarDescartar(const std::string& motivo) {
  platform::Alert alert;
  alert.setMessageText("El documento se conserva en " + fileP);
  alert.setInformativeText("Su edición no se ha subido a Velmora Web. Puede conservarla ahí o descartar los "
                           "cambios.");
  alert.addButtonWithTitle("Conservar");  // first: what dismissing chooses
  alert.addButtonWithTitle("Descartar los cambios");
  std::weak_ptr<TicketSession> weak = weak_from_this();
  alert.beginModal([weak, motivo](platform::ModalResponse response, std::optional<std::size_t> button) {
    auto self = weak.lock();
    if (!self || self->terminado()) return;
    auto context = self->contexto();
    if (response == platform::ModalResponse::OK && button == 1u) {
      log("El usuario descarta los cambios de " + self->fileP);
      platform::removeItem(self->fileP);
      self->actualizarRegistro(EstadoTicket::Terminado, "", "cambios descartados por el usuario");
      self->resultado(false, "cambios descartados por el usuario");
      self->terminarTicket();
      return;
    }
    self->conservar(self->fileP, motivo);
  });
}

void TicketSession::resultadoDesconocido(const std::string& reason) {
  uploadHandled_ = true;
  pasarA(Fase::Decidido);
  log("No se sabe si la subida ha llegado: " + reason);
  actualizarRegistro(EstadoTicket::Conservado, fileP, kMotivoDesconocido);
  alerta("Puede que el documento no haya llegado a Velmora Web.",
         "No se ha recibido la confirmación del servidor (" + reason + "). Su edición se conserva en " + fileP +
             " y el ticket en " + fileN + ": vuelva a abrir el ticket para enviarla de nuevo.",
         [this] { conservar(fileP, kMotivoDesconocido); });
}

void TicketSession::noEnviado(const std::string& title, const std::string& detail, const std::string& motivo) {
  pasarA(Fase::Decidido);
  actualizarRegistro(EstadoTicket::Conservado, fileP, motivo);
  alerta(title, detail, [this, motivo] { conservar(fileP, motivo); });
}

void TicketSession::conservar(const std::string& path, const std::string& motivo) {
  log("El fichero se conserva en " + path);
  actualizarRegistro(EstadoTicket::Conservado, path, motivo);
  platform::notifyUser(kAvisoEdicionConservada, avisoEdicionConservada(path));
  resultado(false, "conservado en " + path + " (" + motivo + ")");
  terminarTicket();
}

void TicketSession::actualizarRegistro(EstadoTicket estado, const std::string& keptPath, const std::string& motivo) {
  if (guid.empty()) return;
  if (!registro_) {  // a ticket that ends before its document was ready
    registro_ = RegistroTicket{};
    registro_->ticket = guid, registro_->instancia = instancia, registro_->ticketPath = fileN, registro_->documentPath = fileP;
  }
  registro_->estado = estado;
  registro_->keptPath = keptPath;
  registro_->motivo = motivo;
  if (!guardarRegistro(*registro_)) log("No se ha podido guardar el registro del ticket en " + carpetaRegistros());
}

void TicketSession::resultado(bool asIntended, const std::string& text) {
  asIntended_ = asIntended;
  resultado_ = text;
}

void TicketSession::ShowMsg(const std::string& message, const std::string& andTitle, std::function<void()> then) {
  alerta(andTitle, message, std::move(then));
}

// ---------------------------------------------------------------------------
// The end of a session.

void TicketSession::terminarTicket() {
  pasarA(Fase::Decidido);
  quizasFin();
}

void TicketSession::quizasFin() {
  // The deletion's reply is only logged, but the session lasts until it is in.
  if (fase_ != Fase::Decidido || conn2Open_) return;
  abandonar();
}

void TicketSession::abandonar() {
  if (fase_ == Fase::Terminado) return;
  pasarA(Fase::Terminado);
  pregunta_.reset();
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
  // The ticket's last line says how it ended.
  log("Ticket " + (guid.empty() ? fileN : guid) + " terminado: " + resultado_.value_or("sin enviar nada"));
  if (auto owner = owner_.lock()) {
    owner->ticketEnded(this, asIntended_ && resultado_);
    owner->sessionEnded(this);
  }
}

}  // namespace app
