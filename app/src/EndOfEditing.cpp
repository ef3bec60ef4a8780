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
// The main thread is held for the whole wait, as the application is designed;
// between looks it sleeps.
#include "app/vlaAppDelegate.h"

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

void vlaAppDelegate::notificarCambio(const std::string& path) {
  first = false;
  // The watcher lives on by its own thread; the delegate does not keep it.
  if (auto queue = watch::WQKQueue::create()) {
    queue->addPath(path);
    queue->setDelegate(shared_from_this());
  }
  log("TERMINADO");
  platform::sleepForTimeInterval(timing.watchDelay);
  if (!first) notificado(path);
}

void vlaAppDelegate::watcher(watch::WQFileWatcher&, const std::string&, const std::string& forPath) {
  notificado(forPath);
}

void vlaAppDelegate::notificado(const std::string& path) {
  if (first) return;
  first = true;
  wait_ = Wait{};
  wait_.start = std::chrono::steady_clock::now();
  while (!checkFile1(path)) {
  }
  if (wait_.gone) {
    documentoDesaparecido(path);
    return;
  }
  continuar(path);
}

bool vlaAppDelegate::checkFile1(const std::string& path) {
  log("Esperaremos por el fichero");
  esperarAlEditor(path);
  log("Fin de espera. Comprobaremos el fichero");
  if (wait_.gone) return true;
  // The second look, one interval after the one that found it free.
  platform::sleepForTimeInterval(timing.probeInterval);
  return continuaLibreFile(path);
}

bool vlaAppDelegate::continuaLibreFile(const std::string& path) {
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

DocumentProbe vlaAppDelegate::sondear(const std::string& path) {
  DocumentProbe probe = desktop().probeDocument(path);
  if (probe.state == DocumentState::Held) {
    wait_.sawHeld = true;
    if (probe.reason != wait_.lastReason) log("El fichero está abierto: " + probe.reason);
  }
  wait_.lastReason = probe.state == DocumentState::Held ? probe.reason : std::string();
  return probe;
}

void vlaAppDelegate::esperarAlEditor(const std::string& path) {
  const auto grace = std::chrono::duration<double>(timing.editorGrace);
  bool graceOver = false;
  bool missingBefore = false;
  for (bool firstLook = true;; firstLook = false) {
    if (!firstLook) platform::sleepForTimeInterval(timing.probeInterval);
    const DocumentProbe probe = sondear(path);

    if (probe.state == DocumentState::Missing) {
      // An editor that saves by moving the old file aside leaves the path
      // empty for a moment; gone twice in a row is gone.
      if (missingBefore) {
        wait_.gone = true;
        return;
      }
      missingBefore = true;
      continue;
    }
    missingBefore = false;
    if (probe.state == DocumentState::Held) continue;

    // Free.
    if (wait_.sawHeld || wait_.released) return;
    if (std::chrono::steady_clock::now() - wait_.start < grace) continue;

    if (!graceOver) {
      graceOver = true;
      if (!wait_.runningAtGraceEnd && editorPid_) {
        wait_.runningAtGraceEnd = desktop().isProcessRunning(*editorPid_);
      }
      if (wait_.runningAtGraceEnd == true) {
        log("El editor no ha tomado el fichero; esperaremos a que termine el proceso " +
            std::to_string(*editorPid_));
      }
    }
    if (wait_.runningAtGraceEnd == true && !wait_.asked) {
      const std::optional<bool> running = desktop().isProcessRunning(*editorPid_);
      if (running == false) {
        log("El editor ha terminado (proceso " + std::to_string(*editorPid_) + ")");
        wait_.released = true;
        return;
      }
      if (running == true) continue;
      // Nothing more can be known of the process: ask instead.
    }
    if (!wait_.asked) {
      wait_.asked = true;
      log("No se sabe cuándo termina el editor; preguntaremos al usuario");
      platform::Alert alert;
      alert.setMessageText("¿Ha terminado de editar el documento?");
      alert.setInformativeText("Cuando haya guardado y cerrado el documento " + path +
                               " en el editor, pulse Aceptar para devolverlo a Velmora Web.");
      if (alert.runModal() != platform::ModalResponse::NotShown) {
        log("El usuario ha terminado de editar");
        wait_.released = true;
        return;
      }
      // Nobody can be asked: only the editor taking the document and letting
      // it go again (or the document disappearing) ends the wait now.
      log("No se puede preguntar al usuario; esperaremos a que el editor tome y deje el fichero");
    }
  }
}

void vlaAppDelegate::documentoDesaparecido(const std::string& path) {
  log("El fichero " + path + " ha desaparecido; no se envía nada y se conserva el ticket " + fileN);
  platform::Alert alert;
  alert.setMessageText("El documento ha desaparecido.");
  alert.setInformativeText("El documento " + path +
                           " ya no existe, así que no se ha enviado nada a Velmora Web. El ticket " +
                           fileN + " se conserva para volver a abrirlo.");
  alert.runModal();
  terminarTicket();
}

void vlaAppDelegate::continuar(const std::string& path) {
  log("Cerrado");
  const std::optional<platform::Date> date = platform::modificationDate(path);
  // A document that could not be dated when it was opened counts as changed.
  const bool changed = date && (!firstDate || *date > *firstDate);
  if (changed) {
    log("Subiremos el fichero");
    UploadFile(path);
    return;
  }
  log("No subiremos el fichero");
  BorrarTicket(path);
  platform::removeItem(fileP);
  platform::removeItem(fileN);
  terminarTicket();
}

}  // namespace app
