// The end of editing: watching the local document, waiting until the editor
// has let go of it, and the upload decision.
//
// Editors on Linux rarely hold advisory locks on what they edit, so "the
// editor has let go" cannot be an exclusive lock that finally succeeds: that
// would succeed at once and end the ticket while the user is still editing.
// Instead the wait follows what the desktop can see of the document (locks,
// editor lock files, other processes having it open) and of the launched
// editor process:
//   - the document seen held at least once, then free on two looks at least
//     one probe interval apart, means the editor let go;
//   - a document never held within the grace period: if the launched process
//     is still running then, its end means the editor let go; if it had
//     already ended (it handed the document to an instance that was running)
//     or nothing is known of it, the user is asked to say when they are done;
//   - a document that is gone on two looks ends the wait without a request.
// Each look is a step of its own; between looks a timer waits, so the main
// thread stays free for the other tickets.
#include "app/TicketSession.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

void TicketSession::notificarCambio(const std::string& path) {
  first = false;
  // The session keeps its watcher, and stops it when it ends.
  if (auto queue = watch::WQKQueue::create()) {
    queue->addPath(path);
    queue->setDelegate(shared_from_this());
    watcher_ = std::move(queue);
  }
  log("TERMINADO");
  // The watcher's messages are taken once the first look has been made.
  despues(timing_.watchDelay, [path](TicketSession& self) {
    self.watching_ = true;
    self.enCadena([&] {
      if (!self.first) self.notificado(path);
    });
  });
}

void TicketSession::watcher(watch::WQFileWatcher&, const std::string&, const std::string& forPath) {
  if (ended_ || !watching_) return;
  auto context = contexto();
  enCadena([&] { notificado(forPath); });
}

void TicketSession::notificado(const std::string& path) {
  if (first) return;
  first = true;
  wait_ = Wait{};
  wait_.start = std::chrono::steady_clock::now();
  checkFile1(path);
}

void TicketSession::checkFile1(const std::string& path) {
  log("Esperaremos por el fichero");
  wait_.graceOver = false;
  wait_.missingBefore = false;
  mirar(path);
}

void TicketSession::seguirEsperando(const std::string& path) {
  despues(timing_.probeInterval, [path](TicketSession& self) { self.enCadena([&] { self.mirar(path); }); });
}

void TicketSession::finDeEspera(const std::string& path) {
  log("Fin de espera. Comprobaremos el fichero");
  if (wait_.gone) {
    documentoDesaparecido(path);
    return;
  }
  // The second look, one interval after the one that found it free.
  despues(timing_.probeInterval, [path](TicketSession& self) {
    self.enCadena([&] {
      if (self.continuaLibreFile(path)) {
        self.continuar(path);
      } else {
        self.checkFile1(path);
      }
    });
  });
}

bool TicketSession::continuaLibreFile(const std::string& path) {
  DocumentProbe probe = sondear(path);
  if (probe.state == DocumentState::Free) {
    log("Fichero desbloqueado");
    return true;
  }
  if (probe.state == DocumentState::Missing) {
    log("El fichero " + path + " no está");
  } else {
    log("Fichero bloqueado");
  }
  return false;
}

DocumentProbe TicketSession::sondear(const std::string& path) {
  DocumentProbe probe = desktop_->probeDocument(path);
  if (probe.state == DocumentState::Held) {
    wait_.sawHeld = true;
    if (probe.reason != wait_.lastReason) log("El fichero está abierto: " + probe.reason);
  }
  wait_.lastReason = probe.state == DocumentState::Held ? probe.reason : std::string();
  return probe;
}

void TicketSession::mirar(const std::string& path) {
  const DocumentProbe probe = sondear(path);
  if (probe.state == DocumentState::Missing) {
    // An editor that saves by moving the old file aside leaves the path
    // empty for a moment; gone twice in a row is gone.
    if (wait_.missingBefore) {
      wait_.gone = true;
      finDeEspera(path);
      return;
    }
    wait_.missingBefore = true;
    seguirEsperando(path);
    return;
  }
  wait_.missingBefore = false;
  if (probe.state == DocumentState::Held) {
    seguirEsperando(path);
    return;
  }

  // Free.
  if (wait_.sawHeld || wait_.released) {
    finDeEspera(path);
    return;
  }
  const auto grace = std::chrono::duration<double>(timing_.editorGrace);
  if (std::chrono::steady_clock::now() - wait_.start < grace) {
    seguirEsperando(path);
    return;
  }
  if (!wait_.graceOver) {
    wait_.graceOver = true;
    if (!wait_.runningAtGraceEnd && editorPid_) wait_.runningAtGraceEnd = desktop_->isProcessRunning(*editorPid_);
    if (wait_.runningAtGraceEnd == true) {
      log("El editor no ha tomado el fichero; esperaremos a que termine el proceso " +
          std::to_string(*editorPid_));
    }
  }
  if (wait_.runningAtGraceEnd == true && !wait_.asked) {
    const std::optional<bool> running = desktop_->isProcessRunning(*editorPid_);
    if (running == false) {
      log("El editor ha terminado (proceso " + std::to_string(*editorPid_) + ")");
      wait_.released = true;
      finDeEspera(path);
      return;
    }
    if (running == true) {
      seguirEsperando(path);
      return;
    }
    // Nothing more can be known of the process: ask instead.
  }
  if (wait_.asked) {
    seguirEsperando(path);
    return;
  }
  wait_.asked = true;
  log("No se sabe cuándo termina el editor; preguntaremos al usuario");
  platform::Alert alert;
  alert.setMessageText("¿Ha terminado de editar el documento?");
  alert.setInformativeText("Cuando haya guardado y cerrado el documento " + path +
                           " en el editor, pulse Aceptar para devolverlo a Velmora Web.");
  std::weak_ptr<TicketSession> weak = weak_from_this();
  alert.beginModal([weak, path](platform::ModalResponse response, std::optional<std::size_t>) {
    auto self = weak.lock();
    if (!self || self->ended_) return;
    auto context = self->contexto();
    self->enCadena([&] {
      if (response != platform::ModalResponse::NotShown) {
        log("El usuario ha terminado de editar");
        self->wait_.released = true;
        self->finDeEspera(path);
        return;
      }
      // Nobody can be asked: only the editor taking the document and letting
      // it go again (or the document disappearing) ends the wait now.
      log("No se puede preguntar al usuario; esperaremos a que el editor tome y deje el fichero");
      self->seguirEsperando(path);
    });
  });
}

void TicketSession::documentoDesaparecido(const std::string& path) {
  decided_ = true;
  log("El fichero " + path + " ha desaparecido; no se envía nada y se conserva el ticket " + fileN);
  alerta("El documento ha desaparecido.",
         "El documento " + path + " ya no existe, así que no se ha enviado nada a Velmora Web. El ticket " +
             fileN + " se conserva para volver a abrirlo.",
         [this] { terminarTicket(); });
  resultado(false, "el documento ha desaparecido; se conserva el ticket " + fileN);
}

void TicketSession::continuar(const std::string& path) {
  log("Cerrado");
  decided_ = true;
  const std::optional<platform::Date> date = platform::modificationDate(path);
  // A document that could not be dated when it was opened counts as changed.
  const bool changed = date && (!firstDate || *date > *firstDate);
  if (changed) {
    log("Subiremos el fichero");
    UploadFile(path);
    abierto = true;
    return;
  }
  log("No subiremos el fichero");
  BorrarTicket(path);
  // Unchanged copies of the server's document: nothing of the user's goes.
  platform::removeItem(fileP);
  platform::removeItem(fileN);
  actualizarRegistro(EstadoTicket::Terminado, "", "");
  abierto = true;
  terminarTicket();
}

}  // namespace app
