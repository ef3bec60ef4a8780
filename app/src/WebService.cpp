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

bool es2xx(long status) { return status >= 200 && status <= 299; }

// The service's answer to a ticket it no longer has.
bool ticketInexistente(const std::string& reason) {
  return reason.find("no existe") != std::string::npos || reason.find("No existe") != std::string::npos;
}

// Failures after which the request cannot have reached the service whole.
bool nuncaLlego(const platform::Error& error) {
  switch (error.code) {
    case platform::NSURLErrorBadURL:
    case platform::NSURLErrorUnsupportedURL:
    case platform::NSURLErrorCannotFindHost:
    case platform::NSURLErrorCannotConnectToHost:
    case platform::NSURLErrorSecureConnectionFailed:
    case platform::NSURLErrorServerCertificateUntrusted:
    case platform::NSURLErrorRequestBodyStreamExhausted: return true;
    default: return false;
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
              "No se ha enviado " + path + " a Velmora Web: " + why + ". No se ha borrado nada; el ticket " + fileN +
                  " se conserva para volver a abrirlo.",
              why);
    return;
  }
  // What is sent is never the document as it was downloaded (that ends the
  // ticket without an upload) nor the expired-ticket placeholder.
  const std::optional<platform::FileIdentity> identity =
      platform::identifyFile(path, registro_ && registro_->fichero ? &*registro_->fichero : nullptr);
  if (identity && registro_ && identity->sha256 == registro_->sha256 && identity->size == registro_->size) {
    uploadHandled_ = true;
    log("El documento no ha cambiado desde la descarga; no se sube");
    sinCambios(path);
    return;
  }
  if (identity && esMarcadorCaducado(*identity)) {
    uploadHandled_ = true;
    log("No se envía " + path + ": es el documento de ticket caducado");
    noEnviado("No se puede enviar el documento.",
              "El fichero " + path +
                  " es el documento que Velmora Web envía para un ticket caducado, no una "
                  "edición, así que no se ha enviado. No se ha borrado nada.",
              "es el documento de ticket caducado");
    return;
  }
  log(lineaConstruimosEnvio(instancia, guid, *file));
  // Written before the request leaves: from here on the server may have it.
  // The identity just taken is the record's, so the file is not hashed again.
  if (identity && registro_ && path == fileP) registro_->fichero = identity;
  actualizarRegistro(EstadoTicket::Subiendo, fileP, "");
  iniciarSOAP(solicitudSOAP(uploadURL, "SubirFichero", std::move(body)), true);
}

void TicketSession::sinCambios(const std::string& path, bool porUsuario) {
  pasarA(Fase::Decidido);
  // Recorded first: a crash before the removals leaves the server's own
  // document, which the next open recognises by its bytes.
  actualizarRegistro(EstadoTicket::Terminado, "", porUsuario ? "descartado por el usuario" : "sin cambios");
  BorrarTicket(path);
  puntoDeControl("borrar:documento");
  if (fileP != delUsuario_) platform::removeItem(fileP);
  puntoDeControl("borrar:ticket");
  platform::removeItem(fileN);
  platform::notifyUser(kAvisoTicketDescartado, avisoTicketDescartado(platform::lastPathComponent(fileP), !porUsuario));
  terminarTicket();
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
    if (&connection == conn.get() && !uploadHandled_) puntoDeControl("respuesta");
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
  // The server's word is recorded before anything local goes: a crash from
  // here on only leaves the removals to finish.
  actualizarRegistro(EstadoTicket::Confirmado, fileP, "");
  puntoDeControl("borrar:documento");
  // A file the user chose in the save dialog is theirs: it stays.
  if (fileP != delUsuario_) platform::removeItem(fileP);
  puntoDeControl("borrar:ticket");
  platform::removeItem(fileN);
  actualizarRegistro(EstadoTicket::Terminado, "", "");
  platform::notifyUser(kAvisoDocumentoEnviado, avisoDocumentoEnviado(platform::lastPathComponent(fileP)));
  resultado(true, "subido");
  terminarTicket();
}

void TicketSession::subidaRechazada(const std::string& reason) {
  uploadHandled_ = true;
  pasarA(Fase::Decidido);
  if (reenvio_ && ticketInexistente(reason)) {
    // The earlier upload of this edit was cut short; a server that no longer
    // has the ticket has most likely taken it then.
    const std::string motivo = std::string(kPosibleLlegada) + " (" + reason + ")";
    log("El servidor ya no tiene el ticket: probablemente el envío anterior llegó (" + reason + ")");
    actualizarRegistro(EstadoTicket::Conservado, fileP, motivo);
    alerta("Probablemente el documento ya llegó a Velmora Web.",
           "Un envío anterior de esta edición se interrumpió y ahora el servidor dice que el ticket ya no existe (" +
               reason +
               "), así que lo más probable es que aquel envío llegara. Compruebe el documento en Velmora "
               "Web. Su edición se conserva en " +
               fileP + " y el ticket en " + fileN + ".",
           [this, motivo] { conservar(fileP, motivo); });
    return;
  }
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
                                         [weak, reason](platform::ModalResponse response, const std::string& filename) {
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
  // The record names the destination before the move: after a crash in
  // between, the edit is still found by what it is, at either path.
  actualizarRegistro(EstadoTicket::Conservado, destination, motivo, true, fileP);
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
  alert.setMessageText(platform::escapeControlCharacters("El documento se conserva en " + fileP, true));
  alert.setInformativeText(
      "Su edición no se ha subido a Velmora Web. Puede conservarla ahí o descartar los "
      "cambios.");
  alert.addButtonWithTitle("Conservar");  // first: what dismissing chooses
  alert.addButtonWithTitle("Descartar los cambios");
  std::weak_ptr<TicketSession> weak = weak_from_this();
  alert.beginModal([weak, motivo](platform::ModalResponse response, std::optional<std::size_t> button) {
    auto self = weak.lock();
    if (!self || self->terminado()) return;
    auto context = self->contexto();
    if (response == platform::ModalResponse::OK && button == 1U) {
      log("El usuario descarta los cambios de " + self->fileP);
      self->actualizarRegistro(EstadoTicket::Terminado, "", "cambios descartados por el usuario");
      puntoDeControl("borrar:documento");
      platform::removeItem(self->fileP);
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

bool TicketSession::actualizarRegistro(EstadoTicket estado, const std::string& keptPath, const std::string& motivo,
                                       bool tell, const std::string& identidadDe) {
  // Nothing is recorded for a ticket that ended before its first record.
  if (!registro_) return true;
  registro_->estado = estado;
  registro_->keptPath = keptPath;
  registro_->motivo = motivo;
  // What the file the record points at is now, so that a later vla takes
  // only that file for this ticket's.
  const std::string& ruta = keptPath.empty() ? registro_->documentPath : keptPath;
  const bool conFichero = estado != EstadoTicket::Descargando && estado != EstadoTicket::Terminado;
  // The hash is read again only when the file changed since it was last taken.
  const platform::FileIdentity* known = registro_->fichero ? &*registro_->fichero : nullptr;
  if (auto identity =
          conFichero ? platform::identifyFile(identidadDe.empty() ? ruta : identidadDe, known) : std::nullopt) {
    registro_->fichero = identity;
  }
  if (!conFichero) registro_->fichero.reset();
  const std::string paso = nombreEstado(estado);
  puntoDeControl(("antes:" + paso).c_str());
  const std::optional<std::string> problema = guardarRegistro(*registro_);
  puntoDeControl(("despues:" + paso).c_str());
  if (!problema) return true;
  problemaRegistro_ = *problema;
  log("No se ha podido guardar el registro del ticket (estado " + paso + "): " + *problema);
  if (tell && !registroFallido_) {
    alerta("No se ha podido anotar el estado del ticket.",
           "vla anota cada ticket para no perder ediciones, y esta vez no ha podido: " + *problema +
               ". El documento está en " + (ruta.empty() ? fileP : ruta) + " y el ticket en " + fileN + ".",
           [] {});
  }
  registroFallido_ = registroFallido_ || tell;
  return false;
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

void TicketSession::interrumpir(const char* signal) {
  if (fase_ == Fase::Terminado) return;
  auto context = contexto();
  log(std::string("Se ha recibido ") + signal + ": vla termina sin enviar nada; " +
      (fileP.empty() ? std::string("no hay documento descargado") : "el documento se conserva en " + fileP) +
      " y el ticket en " + fileN + (registro_ ? " (estado " + std::string(nombreEstado(registro_->estado)) + ")" : ""));
  resultado(false, std::string("interrumpido por ") + signal);
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
    // A record that could not be kept makes the ending not as intended.
    owner->ticketEnded(this, asIntended_ && resultado_ && !registroFallido_);
    owner->sessionEnded(this);
  }
}

}  // namespace app
