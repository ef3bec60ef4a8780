// The end of editing: watching the local document, following the editor
// until it is done with it, and the upload decision.
//
// Editors on Linux rarely hold advisory locks on what they edit, and many
// read the document and let it go at once, so "nobody has it open" says
// little. The wait follows what was launched and weighs what it sees, in
// this order:
//   1. The editor's lock-file protocol (".~lock.NAME#", ".NAME.swp", ".#NAME",
//      "~$NAME"): while the document's lock file is there the editor has it;
//      when it goes (and nothing else holds the document) the editor is done
//      with it. A lock file for another name appearing instead, or a new file
//      with the document's stem beside it, means the editor went on with
//      another file (Save As): the user is told, and the wait goes on.
//   2. The editor's processes: the process the launch started and every
//      process it starts (a terminal emulator and the editor inside it, an
//      office suite's launcher and its program, an image editor's plug-ins).
//      While they run the editor is not done, whatever the document looks
//      like: a plug-in that reads or writes the document and ends is not the
//      end, nor is a document let go unchanged.
//   3. The end of all of them is the strongest end: decided at the next look,
//      whatever the time since the launch, once nothing holds the document.
//   4. Where nothing can be followed (the launch handed the document to an
//      editor that was already running, or gave no process), vla never
//      decides alone: it follows the running editor's processes when it can
//      find them, asks the user quietly at once, and waits for either.
// Each look is a step of its own; between looks a timer waits, so the main
// thread stays free for the other tickets.
#include <algorithm>
#include <cmath>

#include "app/Avisos.h"
#include "app/TicketSession.h"
#include "platform/Data.h"
#include "platform/Dialogs.h"
#include "platform/DocumentHold.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "watch/WQKQueue.h"

namespace app {

using platform::log;

namespace {

std::string carpeta(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string junto(const std::string& path, const std::string& name) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

// "informe" and "doc" of "informe.doc" (no extension: all stem).
std::pair<std::string, std::string> raizYExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {name, ""};
  return {name.substr(0, dot), name.substr(dot + 1)};
}

std::string minusculas(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Programs that start other programs and say nothing of the editor: a shell
// running a launcher script, env, GLib's launch helper.
bool esLanzador(const std::string& program) {
  const std::string name = platform::lastPathComponent(program);
  return name == "sh" || name == "dash" || name == "bash" || name == "env" || name == "gio-launch-desktop";
}

// A name found in the folder, for the log and the user: its control
// characters shown as \xNN, never raw.
std::string legible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      static const char* const digits = "0123456789abcdef";
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string lista(const std::vector<pid_t>& pids) {
  std::string text;
  for (pid_t pid : pids) text += (text.empty() ? "" : ", ") + std::to_string(pid);
  return text;
}

}  // namespace

const char* nombreFase(Fase fase) {
  switch (fase) {
    case Fase::Preparando: return "Preparando";
    case Fase::Lanzando: return "Lanzando";
    case Fase::Arrancando: return "Arrancando";
    case Fase::Observando: return "Observando";
    case Fase::Siguiendo: return "Siguiendo";
    case Fase::Protocolo: return "Protocolo";
    case Fase::OtroFichero: return "OtroFichero";
    case Fase::Soltando: return "Soltando";
    case Fase::SinSenal: return "SinSenal";
    case Fase::Comprobando: return "Comprobando";
    case Fase::Decidido: return "Decidido";
    case Fase::Terminado: return "Terminado";
  }
  return "?";
}

void TicketSession::pasarA(Fase fase) {
  // An ended session stays ended.
  if (fase == fase_ || fase_ == Fase::Terminado) return;
  log(std::string("ESTADO: ") + nombreFase(fase_) + " => " + nombreFase(fase));
  fase_ = fase;
}

void TicketSession::nota(const std::string& line) {
  if (line == ev_.ultimaNota) return;
  ev_.ultimaNota = line;
  log(line);
}

void TicketSession::notificarCambio(const std::string& path) {
  // The session keeps its watcher, and stops it when it ends.
  if (auto queue = watch::WQKQueue::create()) {
    queue->addPath(path);
    queue->setDelegate(shared_from_this());
    watcher_ = std::move(queue);
  }
  log("TERMINADO");
  pasarA(Fase::Observando);
  despues(timing_.watchDelay, [path](TicketSession& self) { self.enCadena([&] { self.notificado(path); }); });
}

void TicketSession::watcher(watch::WQFileWatcher&, const std::string&, const std::string& forPath) {
  if (fase_ != Fase::Observando) return;
  auto context = contexto();
  enCadena([&] { notificado(forPath); });
}

void TicketSession::notificado(const std::string& path) {
  if (fase_ != Fase::Observando) return;
  ev_ = Evidencia{};
  ev_.carpeta = platform::folderEntries(carpeta(path));
  if (editorPid_) ev_.arbol = {*editorPid_};
  pasarA(Fase::Siguiendo);
  checkFile1(path);
}

void TicketSession::checkFile1(const std::string& path) {
  log("Esperaremos por el fichero");
  mirar(path);
}

void TicketSession::seguirEsperando(const std::string& path) {
  despues(timing_.probeInterval, [path](TicketSession& self) { self.enCadena([&] { self.mirar(path); }); });
}

void TicketSession::actualizarArbol() {
  if (ev_.arbol.empty()) return;
  const std::optional<std::vector<pid_t>> tree = desktop_->processTree(ev_.arbol);
  if (!tree) return;  // nothing more can be known: the last answer stands
  // The first few processes it starts are logged (an image editor starts
  // dozens of plug-ins when it first runs).
  constexpr int kLoggedProcesses = 8;
  for (pid_t pid : *tree) {
    if (std::find(ev_.arbol.begin(), ev_.arbol.end(), pid) != ev_.arbol.end()) continue;
    if (++ev_.procesosNuevos > kLoggedProcesses) continue;
    const std::optional<std::string> program = desktop_->programOf(pid);
    log("El editor ha iniciado el proceso " + std::to_string(pid) + (program ? " (" + *program + ")" : "") +
        (ev_.procesosNuevos == kLoggedProcesses ? "; no se registran más" : ""));
  }
  for (pid_t pid : *tree) {
    const std::optional<std::string> program = desktop_->programOf(pid);
    if (program && !esLanzador(*program) &&
        std::find(ev_.programas.begin(), ev_.programas.end(), *program) == ev_.programas.end()) {
      ev_.programas.push_back(*program);
    }
  }
  if (tree->empty()) log("Han terminado los procesos del editor (" + lista(ev_.arbol) + ")");
  ev_.arbol = *tree;
}

std::string TicketSession::ficheroNuevo(bool porBloqueo) {
  if (!ev_.otroFichero.empty()) return ev_.otroFichero;
  const std::string name = platform::lastPathComponent(fileP);
  const auto [stem, extension] = raizYExtension(name);
  constexpr std::size_t kMaxEntries = 20000;  // a folder this large is not looked through
  std::vector<std::string> now = platform::folderEntries(carpeta(fileP));
  if (now.size() > kMaxEntries || ev_.carpeta.size() > kMaxEntries) return "";
  std::sort(ev_.carpeta.begin(), ev_.carpeta.end());
  auto owner = owner_.lock();
  // Another ticket's document (opened meanwhile, perhaps in the same editor)
  // is not where this one went.
  auto candidate = [&](const std::string& path) {
    return platform::pathKind(path) == platform::PathKind::Regular &&
           !(owner && owner->documentOfOtherTicket(path, this));
  };
  std::string found;
  for (const auto& entry : now) {
    if (entry == name || std::binary_search(ev_.carpeta.begin(), ev_.carpeta.end(), entry)) continue;
    // An editor's lock file for another document, just as the editor's own
    // lock file for this one went: the editor went on with that one.
    if (const std::optional<std::string> locked = platform::lockedDocumentName(entry)) {
      if (porBloqueo && *locked != name && candidate(junto(fileP, *locked))) found = junto(fileP, *locked);
      continue;
    }
    // A new document with the same stem: the same text in another format.
    if (entry.empty() || entry[0] == '.' || entry.back() == '~') continue;
    const auto [otherStem, otherExtension] = raizYExtension(entry);
    if (otherStem == stem && !otherExtension.empty() && minusculas(otherExtension) != "tmp" &&
        candidate(junto(fileP, entry))) {
      found = junto(fileP, entry);
    }
    if (!found.empty()) break;
  }
  // Seen once is a candidate; seen again at the next look, it is the file.
  if (found.empty() || found != ev_.candidato) {
    ev_.candidato = found;
    return "";
  }
  return found;
}

DocumentProbe TicketSession::sondear(const std::string& path) {
  DocumentProbe probe = desktop_->probeDocument(path);
  if (probe.state == DocumentState::Held) {
    if (probe.reason != ev_.ultimoMotivo) log("El fichero está abierto: " + probe.reason);
    for (pid_t holder : probe.holders) {
      if (std::find(ev_.arbol.begin(), ev_.arbol.end(), holder) != ev_.arbol.end()) ev_.arbolConDocumento = true;
    }
  }
  ev_.ultimoMotivo = probe.state == DocumentState::Held ? probe.reason : std::string();
  return probe;
}

void TicketSession::mirar(const std::string& path) {
  // The editor's processes first, so that a process it has just started and
  // that holds the document counts as the editor's.
  std::optional<bool> editorVivo;
  if (!ev_.arbol.empty()) {
    actualizarArbol();
    editorVivo = !ev_.arbol.empty();
  } else if (editorPid_) {
    editorVivo = false;
  }
  const DocumentProbe probe = sondear(path);
  if (probe.state == DocumentState::Missing) {
    // An editor that saves by moving the old file aside leaves the path
    // empty for a moment; gone twice in a row is gone.
    if (ev_.ausente) {
      log("Fin de espera. Comprobaremos el fichero");
      documentoDesaparecido(path);
      return;
    }
    ev_.ausente = true;
    seguirEsperando(path);
    return;
  }
  ev_.ausente = false;
  // Nobody could be asked and only the editor can end the wait now: the log
  // says so now and then, so that a long wait is never a silent one. The
  // ticket stays reopenable (its record and both files are kept).
  if (ev_.sinPregunta >= 0 && (fase_ == Fase::SinSenal || fase_ == Fase::OtroFichero) &&
      ++ev_.sinPregunta % vistas(timing_.waitLogInterval) == 0) {
    log("Seguimos esperando al editor de " + fileP + " sin poder preguntar al usuario; el ticket " + fileN +
        " se conserva (vla --pendientes)");
  }
  const bool lockFile = probe.sign == HoldSign::LockFile;
  const bool held = probe.state == DocumentState::Held;
  if (lockFile) {
    // Whatever is beside the document while the editor's lock file is there
    // (another document open in the same editor and its lock file) is not
    // where the editor goes next.
    ev_.candidato.clear();
    ev_.carpeta = platform::folderEntries(carpeta(path));
  }
  const std::string otro = lockFile ? std::string() : ficheroNuevo(fase_ == Fase::Protocolo);

  switch (fase_) {
    case Fase::Siguiendo:
      if (aSenalDelEditor(lockFile, otro)) break;
      if (!editorVivo) {
        sinSenal("No se sabe qué proceso es el editor");
        break;
      }
      if (*editorVivo) {
        if (held) {
          ev_.sinSenales = 0;
          nota("El editor tiene el documento");
          break;
        }
        if (ev_.arbolConDocumento || !ev_.ultimaNota.empty()) {
          // Let go, changed or not, while the editor runs: a plug-in that read
          // or wrote it, or an editor that keeps nothing open. Not the end.
          nota("El editor ha soltado el documento pero sigue abierto; esperaremos a que termine");
        }
        // Its end will be seen; meanwhile the user may end the ticket sooner:
        // soon when its lock file went unchanged, later when nothing showed.
        if (!pregunta_ && ev_.soltadoSinCambios > 0) {
          if (--ev_.soltadoSinCambios == 0) preguntar();
        } else if (!pregunta_ && ++ev_.sinSenales >= vistas(timing_.offerAfter)) {
          log("Nada muestra que el editor tenga el documento; esperaremos a que termine o a que responda el usuario");
          preguntar();
        }
        break;
      }
      if (held) {
        log("El editor ha terminado y el documento sigue abierto; esperaremos a que lo suelten");
        pasarA(Fase::Soltando);
        // Something else has it: the user may say they are done.
        preguntar();
        break;
      }
      if (!ev_.arbolConDocumento) {
        // The launch may have handed the document to an editor that was
        // already running and ended: that editor is followed instead, and
        // the user is asked, as nothing says when it is done with it.
        const std::vector<pid_t> otros = desktop_->programRunningElsewhere(
            ev_.programas, dispName ? platform::pathForFileURL(*dispName) : std::string(), {});
        if (!otros.empty()) {
          ev_.arbol = otros;
          sinSenal("El proceso lanzado ha terminado y el editor sigue en marcha (procesos " + lista(otros) +
                   "); no se puede saber cuándo termina con el documento");
          break;
        }
      }
      comprobar("El editor ha terminado" + (editorPid_ ? " (proceso " + std::to_string(*editorPid_) + ")" : ""));
      return;

    case Fase::Protocolo:
      if (lockFile) break;
      if (!otro.empty()) {
        aOtroFichero(otro);
        break;
      }
      if (held) {
        nota("El editor ha quitado su fichero de bloqueo pero el documento sigue abierto");
        break;
      }
      if (!ev_.candidato.empty()) break;  // one more look says whether the editor went on with it
      if (editorVivo == true && !cambiado(path)) {
        // Let go unchanged while the editor still runs: perhaps saved under
        // another name elsewhere, perhaps only closed. Not the end: the
        // editor's processes are followed again, and the user is asked if
        // they still run after a grace (an office suite quitting removes its
        // lock file a moment before it ends: no question for that).
        log("El editor ha quitado su fichero de bloqueo sin cambios en el documento y sigue abierto; no es el final");
        pasarA(Fase::Siguiendo);
        ev_.soltadoSinCambios = static_cast<int>(vistas(timing_.quitGrace));
        break;
      }
      comprobar("El editor ha quitado su fichero de bloqueo");
      return;

    case Fase::Soltando:
      if (lockFile) {
        pasarA(Fase::Protocolo);
        break;
      }
      if (held) break;
      comprobar("El editor ha terminado y nadie tiene ya el documento");
      return;

    case Fase::SinSenal:
      if (aSenalDelEditor(lockFile, otro)) break;
      if (editorVivo == false && !held) {
        comprobar("El editor ha terminado");
        return;
      }
      if (timing_.handOffGrace > 0 && ++ev_.sinSenales == vistas(timing_.handOffGrace)) {
        preguntar();
      }
      break;

    case Fase::OtroFichero:
      if (lockFile) {
        log("El editor vuelve a tener el documento del ticket");
        retirarPregunta();
        ev_.otroFichero.clear();
        ev_.carpeta = platform::folderEntries(carpeta(path));
        pasarA(Fase::Protocolo);
        break;
      }
      if (editorVivo != false || held) break;
      if (cambiado(path)) {
        comprobar("El editor ha terminado; el documento del ticket tiene cambios");
        return;
      }
      if (!pregunta_) {
        // Nobody can be told or asked, and the user's work is in the other
        // file: nothing is sent and the ticket stays for another try.
        pasarA(Fase::Decidido);
        log("El editor ha terminado sin cambios en " + path + "; se conserva el ticket " + fileN);
        platform::notifyUser(kAvisoTicketConservado, avisoTicketConservado(legible(ev_.otroFichero), fileN));
        resultado(false, "sin cambios en el documento del ticket; se conserva el ticket " + fileN);
        terminarTicket();
        return;
      }
      nota("El editor ha terminado sin cambios en el documento del ticket; esperamos la respuesta del usuario");
      break;

    default: return;  // not waiting: nothing to look at
  }
  seguirEsperando(path);
}

bool TicketSession::cambiado(const std::string& path) const {
  const std::optional<platform::Date> date = platform::modificationDate(path);
  // A document that could not be dated when it was opened counts as changed.
  return date && (!firstDate || *date > *firstDate);
}

void TicketSession::comprobar(const std::string& porque) {
  log(porque);
  log("Fin de espera. Comprobaremos el fichero");
  vuelta_ = fase_;
  pasarA(Fase::Comprobando);
  // One more look confirms it: one interval later while the editor's lock
  // file or processes may come back, at once after the editor's end (no
  // editor is left to save over the document, and a quick close is decided
  // quickly).
  const std::string path = fileP;
  const bool editorGone = vuelta_ != Fase::Protocolo || (editorPid_ && ev_.arbol.empty());
  despues(editorGone ? timing_.probeInterval / 5 : timing_.probeInterval,
          [path](TicketSession& self) { self.enCadena([&] { self.confirmar(path); }); });
}

void TicketSession::confirmar(const std::string& path) {
  if (fase_ != Fase::Comprobando) return;
  // A file the editor may have gone on with since: looked at again first.
  // Coming from OtroFichero that file is already known (and always found
  // again): the check is whether the ticket's own document is done.
  if (vuelta_ != Fase::OtroFichero && (!ficheroNuevo(vuelta_ == Fase::Protocolo).empty() || !ev_.candidato.empty())) {
    log("Puede que el editor haya seguido con " + legible(ev_.candidato));
  } else if (continuaLibreFile(path)) {
    continuar(path);
    return;
  }
  pasarA(vuelta_);
  checkFile1(path);
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

long TicketSession::vistas(double segundos) const {
  return std::max(1L, std::lround(segundos / timing_.probeInterval));
}

bool TicketSession::aSenalDelEditor(bool lockFile, const std::string& otro) {
  if (lockFile) {
    aProtocolo();
  } else if (!otro.empty()) {
    aOtroFichero(otro);
  } else {
    return false;
  }
  return true;
}

void TicketSession::aProtocolo() {
  log("El editor usa un fichero de bloqueo: esperaremos a que lo quite");
  ev_.soltadoSinCambios = 0;
  retirarPregunta();
  pasarA(Fase::Protocolo);
}

void TicketSession::aOtroFichero(const std::string& otro) {
  ev_.otroFichero = otro;
  log("El editor ha seguido con el fichero " + legible(otro) + "; el documento del ticket es " + fileP + " y " +
      legible(otro) + " no se enviará");
  retirarPregunta();
  pasarA(Fase::OtroFichero);
  preguntar();
}

void TicketSession::sinSenal(const std::string& porque) {
  log(porque);
  log("No se sabe cuándo termina el editor; preguntaremos al usuario");
  pasarA(Fase::SinSenal);
  // An editor that was already running may still show its lock file in a
  // moment (an office suite loading the document): the question waits that
  // long, so that it does not come and go at once.
  ev_.sinSenales = 0;
  if (timing_.handOffGrace <= 0) preguntar();
}

void TicketSession::preguntar() {
  const std::string nombre = platform::lastPathComponent(fileP);
  platform::QuietQuestion question;
  std::vector<std::string> opciones;
  if (fase_ == Fase::OtroFichero) {
    const std::string otroNombre = legible(platform::lastPathComponent(ev_.otroFichero));
    const bool mismaExtension =
        minusculas(raizYExtension(otroNombre).second) == minusculas(raizYExtension(nombre).second);
    const bool conCambios = cambiado(fileP);
    question.summary = "El documento del ticket es «" + nombre + "»";
    question.body = ev_.nadaQueEnviar && !conCambios ? "«" + nombre + "» no tiene cambios: no hay nada que enviar. "
                                                     : std::string();
    question.body += "El editor ha guardado o abierto «" + otroNombre + "». El documento del ticket es " + fileP +
                     "; «" + otroNombre + "» no se enviará a Velmora Web.";
    if (mismaExtension && !conCambios) {
      question.body += " Puede enviar «" + otroNombre + "» en su lugar; el fichero seguirá siendo suyo.";
      question.buttons.push_back("Enviar «" + otroNombre + "» en su lugar");
      opciones.emplace_back("otro");
    } else {
      question.body += " Para enviar sus cambios, guárdelos en «" + nombre + "» con el mismo formato.";
    }
    question.body += " vla sigue esperando a que termine.";
  } else if (fase_ == Fase::Siguiendo) {
    question.summary = "¿Ha terminado de editar «" + nombre + "»?";
    question.body = "vla enviará " + fileP +
                    " a Velmora Web cuando se cierre el editor; un fichero guardado con otro nombre o en otra "
                    "carpeta no se enviará. Si ya lo ha guardado y ha terminado, pulse «Enviar ahora», o "
                    "«Descartar» para cerrar el ticket sin enviar nada.";
  } else {
    question.summary = "¿Ha terminado de editar «" + nombre + "»?";
    question.body = "vla no puede saber cuándo termina el editor con " + fileP +
                    ". Cuando lo haya guardado y cerrado, pulse «Enviar ahora» para devolverlo a Velmora Web, o "
                    "«Descartar» para cerrar el ticket sin enviar nada.";
  }
  question.buttons.emplace_back("Enviar ahora");
  opciones.emplace_back("enviar");
  question.buttons.emplace_back("Descartar");
  opciones.emplace_back("descartar");

  std::weak_ptr<TicketSession> weak = weak_from_this();
  pregunta_ = platform::askQuietly(question, [weak, opciones](std::size_t button) {
    auto self = weak.lock();
    if (!self || self->terminado() || button >= opciones.size()) return;
    auto context = self->contexto();
    self->enCadena([&] { self->respuesta(opciones[button]); });
  });
  if (!pregunta_) {
    log("No se puede preguntar al usuario; esperaremos al editor");
    ev_.sinPregunta = 0;
  } else {
    ev_.sinPregunta = -1;
  }
}

void TicketSession::retirarPregunta() { pregunta_.reset(); }

void TicketSession::abiertoOtraVez() {
  auto context = contexto();
  const std::string nombre = platform::lastPathComponent(fileP.empty() ? fileN : fileP);
  const bool esperaRespuesta = fase_ == Fase::SinSenal || fase_ == Fase::OtroFichero;
  switch (fase_) {
    case Fase::Siguiendo:
    case Fase::Protocolo:
    case Fase::Soltando:
    case Fase::Comprobando:
    case Fase::SinSenal:
    case Fase::OtroFichero: {
      if (esperaRespuesta) {
        // The question may have been dismissed: it comes back.
        retirarPregunta();
        preguntar();
      }
      // The editor's window with the document comes forward, when it can be
      // found; the user is told either way.
      std::weak_ptr<TicketSession> weak = weak_from_this();
      const std::string path = fileP;
      desktop_->bringForward(ev_.arbol, nombre, [weak, nombre, path, esperaRespuesta](std::size_t windows) {
        auto self = weak.lock();
        if (!self || self->terminado()) return;
        auto context = self->contexto();
        log(windows > 0 ? "Se trae al frente la ventana del editor con " + path
                        : "No se encuentra la ventana del editor con " + path);
        platform::notifyUser("«" + nombre + "» ya está abierto",
                             std::string(windows > 0 ? "Está en la ventana del editor que se ha traído al frente"
                                                     : "Sigue abierto en el editor") +
                                 " (" + path + "); " +
                                 (esperaRespuesta ? "vla espera su respuesta." : "vla lo enviará cuando termine."));
      });
      return;
    }
    default:
      platform::notifyUser("«" + nombre + "» ya está en curso", "El ticket " + fileN + " ya se está atendiendo.");
      return;
  }
}

void TicketSession::respuesta(const std::string& eleccion) {
  switch (fase_) {
    case Fase::Siguiendo:
    case Fase::Protocolo:
    case Fase::Soltando:
    case Fase::SinSenal:
    case Fase::OtroFichero:
    case Fase::Comprobando: break;
    default: return;  // decided meanwhile: the answer comes too late
  }
  pregunta_.reset();
  if (eleccion == "enviar" && fase_ == Fase::OtroFichero && !cambiado(fileP)) {
    // The edit went to the other file and the ticket's document is as it
    // was downloaded: sending it would only drop the ticket, which is not
    // what "send" asks for. The user is told, and asked again.
    log("El usuario pide enviar " + fileP + ", que no tiene cambios (el editor siguió con " + legible(ev_.otroFichero) +
        "); no se envía nada y se sigue esperando");
    ev_.nadaQueEnviar = true;
    preguntar();
  } else if (eleccion == "enviar") {
    decidirAhora("El usuario ha terminado de editar");
  } else if (eleccion == "otro" && !ev_.otroFichero.empty()) {
    enviarOtro(ev_.otroFichero);
  } else if (eleccion == "descartar") {
    descartarTicket();
  }
}

void TicketSession::decidirAhora(const std::string& quien) {
  log(quien);
  continuar(fileP);
}

void TicketSession::enviarOtro(const std::string& otro) {
  log("El usuario envía " + legible(otro) + " en lugar de " + fileP);
  log("Cerrado");
  pasarA(Fase::Decidido);
  // The downloaded document was not changed: it goes. The other file is the
  // user's: it is sent, and stays where it is whatever the answer.
  if (platform::modificationDate(fileP) && !cambiado(fileP)) platform::removeItem(fileP);
  fileP = otro;
  delUsuario_ = otro;
  log("Subiremos el fichero");
  UploadFile(otro);
  avisarEnvio();
}

void TicketSession::descartarTicket() {
  log("El usuario descarta el ticket");
  log("Cerrado");
  pasarA(Fase::Decidido);
  log("No subiremos el fichero");
  if (!cambiado(fileP)) {
    sinCambios(fileP, true);
    return;
  }
  // Changes are never thrown away on a click meant for the ticket: they
  // stay, recorded, and the user is told where.
  BorrarTicket(fileP);
  platform::removeItem(fileN);
  conservar(fileP, "ticket descartado por el usuario");
}

void TicketSession::avisarEnvio() {
  // A reply that takes a while: the user sees that the document is on its way.
  const std::string path = fileP;
  despues(timing_.sendingNotice, [path](TicketSession& self) {
    if (self.fase_ != Fase::Decidido || self.uploadHandled_) return;
    std::optional<std::uint64_t> size;
    if (auto file = platform::ReadableFile::open(path).first) size = file->size();
    platform::notifyUser(kAvisoEnviando, avisoEnviando(platform::lastPathComponent(path), size));
  });
}

void TicketSession::documentoDesaparecido(const std::string& path) {
  retirarPregunta();
  pasarA(Fase::Decidido);
  log("El fichero " + path + " ha desaparecido; no se envía nada y se conserva el ticket " + fileN);
  alerta("El documento ha desaparecido.",
         "El documento " + path + " ya no existe, así que no se ha enviado nada a Velmora Web. El ticket " + fileN +
             " se conserva para volver a abrirlo.",
         [this] { terminarTicket(); });
  resultado(false, "el documento ha desaparecido; se conserva el ticket " + fileN);
}

void TicketSession::continuar(const std::string& path) {
  log("Cerrado");
  retirarPregunta();
  pasarA(Fase::Decidido);
  if (cambiado(path)) {
    log("Subiremos el fichero");
    UploadFile(path);
    avisarEnvio();
    return;
  }
  log("No subiremos el fichero");
  // Unchanged copies of the server's document: nothing of the user's goes.
  sinCambios(path);
}

}  // namespace app
