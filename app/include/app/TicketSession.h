#pragma once
// One ticket, from its open request to the end of its web-service exchange.
// Each ticket document that is opened gets a session of its own, so that any
// number of tickets run side by side; vlaAppDelegate owns them and routes to
// them what the platform delivers. A session never holds the main thread: its
// waits are run-loop timers, the download runs on a worker thread and its
// dialogs are queued; every step runs on the main thread.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/TicketDocument.h"
#include "app/TicketRecord.h"
#include "platform/Application.h"
#include "platform/Data.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"
#include "platform/Questions.h"
#include "platform/RunLoop.h"
#include "watch/WQFileWatcher.h"

namespace watch {
class WQKQueue;
}

namespace app {

// The receive buffer of the upload reply. Its lock is the buffer object's own
// monitor: a request start takes it on the buffer it replaces, and the end of
// a reply takes it on the current buffer for the whole handling.
struct ReceiveBuffer {
  std::recursive_mutex lock;
  platform::Data bytes;
};

// The waits of the ticket handling, in seconds. Fixed in the application;
// tests shorten them.
struct Timing {
  double openDelay = 4.0;      // between the expiry check and the open request
  double launchDelay = 1.0;    // between recognising the editor and watching
  double watchDelay = 0.5;     // after the watcher has started
  double probeInterval = 0.5;  // between two looks at the document and the editor
  double sendingNotice = 2.0;  // an upload without a reply by then is told
  // An editor whose processes run while nothing shows that it has the
  // document (an image editor after loading it) is followed until it ends;
  // after this long the user is offered to end the ticket sooner.
  double offerAfter = 10.0;
  // Nothing can be followed: the user is asked once this has passed without
  // the editor showing its lock file.
  double handOffGrace = 2.0;
  // The editor's lock file went, the document unchanged, while its processes
  // still run: the user is asked only when they still run after this (an
  // office suite that quits removes its lock file up to a second before it
  // ends).
  double quitGrace = 2.0;
  // Overall limit of a SOAP exchange whatever its size; none: the exchange's
  // own, which grows with the document.
  std::optional<double> replyDeadline = std::nullopt;
  double waitLogInterval = 30.0;  // between two log lines while a reply is awaited
};

// Why an edit was kept when the upload may have reached the server: no whole
// answer came back, or a re-sent upload found the ticket gone.
inline constexpr char kMotivoDesconocido[] = "resultado desconocido";
inline constexpr char kPosibleLlegada[] = "probablemente ya llegó";
// True when the recorded edit's last upload may have reached the server.
inline bool puedeHaberLlegado(const RegistroTicket& r) {
  return r.estado == EstadoTicket::Subiendo || r.motivo.starts_with(kMotivoDesconocido) ||
         r.motivo.starts_with(kPosibleLlegada);
}
// True for the bytes of the expired-ticket placeholder, which is never an edit.
bool esMarcadorCaducado(const platform::FileIdentity& identity);
// Where a session stands. Every change goes through TicketSession::pasarA,
// which logs "ESTADO: A => B"; each event (a launch, a look at the document,
// an answer of the user) is handled by a switch on it.
enum class Fase {
  Preparando,   // reading the ticket, downloading the document
  Lanzando,     // the open request went out: waiting for the editor's launch
  Arrancando,   // the launch is recognised: a moment before watching
  Observando,   // the watcher runs: a moment before the first look
  Siguiendo,    // following the editor's processes; the document is theirs
  Protocolo,    // the editor's lock file for the document is there: it says when
  OtroFichero,  // the editor went on with another file (Save As): told; waiting
  Soltando,     // the editor's processes ended; something still has the document
  SinSenal,     // nothing tells when the editor is done: the user was asked
  Comprobando,  // the end was seen: one more look confirms it
  Decidido,     // decided: only replies and dialogs are left
  Terminado,    // the session has ended
};
const char* nombreFase(Fase fase);

// What a session needs of the delegate that owns it.
class SessionOwner {
 public:
  virtual ~SessionOwner() = default;
  // True when another session already follows this launched application.
  virtual bool editorTakenByOther(const platform::RunningApplication& app, const void* session) const = 0;
  // True when path is the document of another session's ticket.
  virtual bool documentOfOtherTicket(const std::string& path, const void* session) const {
    (void)path;
    (void)session;
    return false;
  }
  // The session has ended; called once, on the main thread.
  virtual void sessionEnded(const void* session) = 0;
  // How the session's ticket ended: uploaded or deleted as intended, or not.
  // Called once, just before sessionEnded.
  virtual void ticketEnded(const void* session, bool asIntended) {
    (void)session;
    (void)asIntended;
  }
  // True when another session in progress has the record of this key (the
  // same ticket opened from another ticket document of the same folder).
  virtual bool registroEnUso(const std::string& clave, const void* session) const {
    (void)clave;
    (void)session;
    return false;
  }
};

class TicketSession : public platform::Object,
                      public platform::URLConnectionDelegate,
                      public watch::WQFileWatcherDelegate,
                      public std::enable_shared_from_this<TicketSession> {
 public:
  TicketSession(std::weak_ptr<SessionOwner> owner, std::shared_ptr<Desktop> desktop, Timing timing);
  ~TicketSession() override;
  std::string className() const override { return "TicketSession"; }

  // The ticket's state. Read and written directly, as the operations do.
  std::shared_ptr<ReceiveBuffer> webData;          // upload reply buffer
  std::shared_ptr<platform::URLConnection> conn;   // upload connection
  std::shared_ptr<platform::URLConnection> conn2;  // ticket-deletion connection
  std::optional<std::string> dispName;             // file URL of the editor's bundle
  std::optional<platform::Date> firstDate;         // modification date after the open request
  std::string uploadURL;                           // SOAP endpoint
  std::string guid;                                // ticket id (line 0)
  std::string instancia;                           // instance id (line 3)
  std::string fileP;                               // local document path
  std::string fileN;                               // ticket document path

  // True until the ticket has ended (decided and its replies handled, or
  // given up).
  bool inProgress() const { return fase_ != Fase::Terminado; }
  Fase fase() const { return fase_; }
  // The ticket was opened again while in progress: says where its document
  // is and shows again a question that is waiting for an answer.
  void abiertoOtraVez();
  // The local document, once there is one.
  const std::string& documento() const { return fileP; }
  // The launched application this ticket follows, once recognised.
  const std::shared_ptr<const platform::RunningApplication>& editorApplication() const { return editorApp_; }

  // The ticket document.
  std::vector<std::string> obtenerLineasDeFichero(const std::string& path);

  // Opening a ticket.
  void abrirVLdoc(const std::string& path);
  void cargarApp(const std::string& extension);
  void appLaunched(const platform::Notification& notification);

  // End of editing and the upload decision.
  void notificarCambio(const std::string& path);
  // watcher:receivedNotification:forPath: — on the main thread.
  void watcher(watch::WQFileWatcher& watcher, const std::string& receivedNotification,
               const std::string& forPath) override;
  void notificado(const std::string& path);
  // Starts one round of waiting until the editor seems to have let go of the
  // document; the round ends with one more probe.
  void checkFile1(const std::string& path);
  // One probe: true when the document is free.
  bool continuaLibreFile(const std::string& path);
  void continuar(const std::string& path);

  // The exchange with the ticket web service (connection callbacks below).
  void UploadFile(const std::string& path);
  void BorrarTicket(const std::string& path);
  // Shows the alert; then runs once it has been answered.
  void ShowMsg(const std::string& message, const std::string& andTitle, std::function<void()> then);
  void connection(platform::URLConnection& connection, const platform::URLResponse& response) override;
  void connection(platform::URLConnection& connection, const platform::Data& piece) override;
  void connectionDidFinishLoading(platform::URLConnection& connection) override;
  void connection(platform::URLConnection& connection, const platform::Error& error) override;

  // Ends the session at once, whatever it was doing (the owner is going away):
  // its timers, watcher, registrations and connections end with it.
  void abandonar();
  // A signal ends vla: the edit, the ticket document and the record stay as
  // they are (the ticket can be opened again), the log says why, and the
  // ticket ends not as intended.
  void interrumpir(const char* signal);
  // The name of this ticket's record, once the ticket has been read.
  const std::string& claveRegistro() const { return clave_; }

 private:
  // The ticket this thread's log lines belong to, while it lives.
  platform::LogContext contexto() const;
  // Runs a step of the chain on the main thread after the given seconds,
  // unless the session has ended by then.
  void despues(double seconds, std::function<void(TicketSession&)> step);
  // Runs a step of the chain that follows a recognised editor inside the
  // error boundary of that chain.
  void enCadena(const std::function<void()>& step);
  std::optional<TicketFields> leerTicket(const std::string& path);
  // Reads the ticket document (bounded, regular files only) and logs its
  // lines, or "Error reading file" when there are none.
  TicketReading leerYRegistrarTicket(const std::string& path);
  void rechazarTicket(const std::string& logLine, const std::string& detail);
  // Ends the ticket without a request: tells the user, keeps the ticket
  // document for another try.
  void abandonarTicket(const std::string& logLine, const std::string& title, const std::string& detail);
  void alerta(const std::string& title, const std::string& detail, std::function<void()> then);
  void abrirEnEditor(const std::string& extension);
  // The ticket is decided: the session ends once its replies are in.
  void terminarTicket();
  void quizasFin();
  void dejarDeObservar();
  bool nombreAceptable(const std::optional<std::string>& name) const;
  void subidaRechazada(const std::string& reason);
  void guardarCopia(platform::ModalResponse response, const std::string& destination, const std::string& motivo);
  void iniciarSOAP(platform::URLRequest request, bool upload);
  // One look of the wait for the editor, and what follows from it.
  void mirar(const std::string& path);
  void seguirEsperando(const std::string& path);
  void finDeEspera(const std::string& path);
  DocumentProbe sondear(const std::string& path);
  void documentoDesaparecido(const std::string& path);

  std::weak_ptr<SessionOwner> owner_;
  std::shared_ptr<Desktop> desktop_;
  Timing timing_;
  platform::Activity activity_;          // held from the open request to the end
  std::vector<platform::Timer> timers_;  // the waits in progress
  std::shared_ptr<watch::WQKQueue> watcher_;
  Fase fase_ = Fase::Preparando;
  // The one setter of fase_: logs "ESTADO: A => B" when it changes.
  void pasarA(Fase fase);
  bool terminado() const { return fase_ == Fase::Terminado; }
  std::optional<std::string> dispDisplayName_;
  bool editorFound_ = false;
  std::shared_ptr<const platform::RunningApplication> editorApp_;
  std::optional<pid_t> editorPid_;

  // What the looks at the document and at the editor's processes have seen.
  struct Evidencia {
    std::vector<pid_t> arbol;            // the editor's processes that ran at the last look
    std::vector<std::string> programas;  // the programs they ran
    int procesosNuevos = 0;              // processes they started, seen so far
    int sinSenales = 0;                  // looks in a row with the editor running and nothing held
    bool arbolConDocumento = false;      // one of them was seen holding the document
    bool ausente = false;                // the last look found nothing at the path
    std::vector<std::string> carpeta;    // the folder's entries when the wait began
    std::string otroFichero;             // the file the editor went on with, once seen
    std::string candidato;               // the same, seen once: a second look confirms it
    std::string ultimoMotivo;            // the last holder logged
    std::string ultimaNota;              // the last observation logged
    int sinPregunta = -1;                // looks since a question could not be shown (-1: none pending)
    bool nadaQueEnviar = false;          // "send" was asked with the document unchanged
    int soltadoSinCambios = 0;           // looks left before asking, once the lock file went unchanged
  } ev_;
  Fase vuelta_ = Fase::Siguiendo;                        // where a look that finds no end goes back to
  std::unique_ptr<platform::PendingQuestion> pregunta_;  // the question on screen, if any
  std::string delUsuario_;  // a file of the user's sent instead of the document: never removed

  // The wait's steps.
  void nota(const std::string& line);  // logs an observation once until it changes
  void actualizarArbol();
  // A file the editor went on with, or "": a new file with the document's
  // stem, or (porBloqueo: the editor's own lock file is gone) a new lock file
  // for another document. Seen on two looks in a row.
  std::string ficheroNuevo(bool porBloqueo);
  long vistas(double segundos) const;  // the looks that make up a time, one at least
  // The editor's own signs, before anything else while it is followed: its
  // lock file (to Protocolo) or a file it went on with (to OtroFichero).
  // False when it shows neither.
  bool aSenalDelEditor(bool lockFile, const std::string& otro);
  void aProtocolo();  // the editor's lock file is there: it says when
  void aOtroFichero(const std::string& otro);
  void sinSenal(const std::string& porque);
  // Saved since it was opened (or not dated then).
  bool cambiado(const std::string& path) const;
  void comprobar(const std::string& porque);
  void confirmar(const std::string& path);
  void preguntar();
  void respuesta(const std::string& eleccion);
  void retirarPregunta();
  void decidirAhora(const std::string& quien);
  void enviarOtro(const std::string& otro);
  void descartarTicket();
  void avisarEnvio();

  long uploadStatus_ = 0;      // HTTP status of the upload reply
  bool uploadHandled_ = true;  // the upload's outcome has been dealt with
  bool conn2Open_ = false;     // the deletion's reply has not finished

  // Opening
  // Where the document goes: a kept edit of this ticket to reopen, the
  // document path, or a free name beside a file vla did not make there.
  // Nothing when the document path cannot be used (it is told and ends).
  std::optional<std::string> destinoDocumento(const std::string& local);
  // The record says Descargando, then the document is downloaded to local on
  // a worker thread.
  void descargar(const std::string& download, const std::string& local, const std::string& extension);
  void descargado(const std::string& download, const std::string& local, const std::string& extension,
                  const platform::DownloadResult& result);
  // A free name beside local ("informe (2).doc"); nothing (told, ended) when
  // there is none.
  std::optional<std::string> nombreLibre(const std::string& local);
  // True when the file at path is the one the record r names (same device,
  // inode and birth time, or the same size and SHA-256) and not the
  // expired-ticket placeholder.
  bool esPropio(const std::string& path, const RegistroTicket& r) const;
  // The server had confirmed the upload: removes what vla recorded, ends.
  void terminarLimpieza(const RegistroTicket& previo);
  // The document is at fileP (downloaded or reopened): on to its editor.
  void documentoListo(const std::string& extension);
  std::optional<RegistroTicket> registro_;  // this ticket's record, as last written or read
  bool reabierto_ = false;                  // fileP is a kept edit of this ticket, reopened
  std::string ocupado_;                     // a file vla did not make, left at the document path
  std::vector<std::string> extranos_;       // paths the record names whose files are not the recorded ones
  std::string servidor_;                    // server base address (line 1)
  std::string carpeta_;                     // the ticket document's folder, resolved
  std::string clave_;                       // the name of this ticket's record
  bool recuperar_ = false;                  // the file at the document path may be this ticket's own download
  bool reenvio_ = false;                    // the reopened edit's earlier upload may have reached the server
  bool registroFallido_ = false;            // a write of the record failed (the user was told)
  std::string problemaRegistro_;            // why the last write of the record failed

  // Outcome
  // The upload's outcome: confirmed, refused by the server (or never sent),
  // or unknown (the request went out and no whole answer came back).
  void subidaAceptada();
  void resultadoDesconocido(const std::string& reason);
  void noEnviado(const std::string& title, const std::string& detail, const std::string& motivo);
  void preguntarDescartar(const std::string& motivo);
  // The edit stays at path: recorded, notified, and the ticket ends.
  void conservar(const std::string& path, const std::string& motivo);
  void borradoTerminado(platform::URLConnection& connection, const std::string& error);
  // The only writer of this ticket's record: sets its state (and where the
  // edit is kept, and why, and what the file there is) and writes it. False
  // when it could not be written: unless tell is false, the user is told
  // (once) and the ticket does not end as intended.
  // identidadDe: the file whose identity is recorded, when it is not yet at
  // the path recorded (a move about to happen).
  bool actualizarRegistro(EstadoTicket estado, const std::string& keptPath, const std::string& motivo, bool tell = true,
                          const std::string& identidadDe = "");
  // The document is what was downloaded (or the user discards it unchanged):
  // the ticket is dropped, not uploaded; a file the user chose stays.
  void sinCambios(const std::string& path, bool porUsuario = false);
  void esperarRespuesta(double waited);
  // How the ticket ended, for its last log line and the owner.
  void resultado(bool asIntended, const std::string& text);
  platform::Data borradoBytes_;  // the deletion's reply
  long borradoStatus_ = 0;
  std::optional<std::string> resultado_;  // "subido", "borrado", "conservado en PATH (motivo)", ...
  bool asIntended_ = false;
};

}  // namespace app
