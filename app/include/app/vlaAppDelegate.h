#pragma once
// The application delegate: holds the state of the one ticket being handled
// and carries every step of it, from the open-file request to the upload or
// the ticket's deletion. Everything here runs on the main thread.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "platform/Application.h"
#include "platform/Data.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"
#include "watch/WQFileWatcher.h"

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
  double editorGrace = 60.0;   // for the editor to take the document
  double probeInterval = 0.5;  // between two looks at the document
};

class vlaAppDelegate : public platform::Object,
                       public platform::ApplicationDelegate,
                       public platform::URLConnectionDelegate,
                       public watch::WQFileWatcherDelegate,
                       public std::enable_shared_from_this<vlaAppDelegate> {
 public:
  vlaAppDelegate() = default;
  ~vlaAppDelegate() override;
  std::string className() const override { return "vlaAppDelegate"; }

  // Fields, in declaration order. They are public and read and written
  // directly, as the operations do; the owned properties also have setters.
  std::shared_ptr<ReceiveBuffer> webData;               // upload reply buffer
  std::shared_ptr<platform::URLConnection> conn;        // upload connection
  std::shared_ptr<platform::URLConnection> conn2;       // ticket-deletion connection
  std::optional<std::string> dispName;                  // file URL of the editor's bundle
  bool abierto = false;                                 // editor recognised, chain run
  const void* window = nullptr;                         // outlet; never set or read
  std::optional<platform::Date> firstDate;              // modification date after the open request
  std::string uploadURL;                                // SOAP endpoint
  std::string guid;                                     // ticket id (line 0)
  std::string instancia;                                // instance id (line 3)
  std::string fileP;                                    // local document path
  std::string fileN;                                    // ticket document path
  bool first = false;                                   // end-of-editing handling begun

  void setWebData(std::shared_ptr<ReceiveBuffer> v) { webData = std::move(v); }
  void setConn(std::shared_ptr<platform::URLConnection> v) { conn = std::move(v); }
  void setConn2(std::shared_ptr<platform::URLConnection> v) { conn2 = std::move(v); }
  void setWindow(const void* v) { window = v; }
  void setFirstDate(std::optional<platform::Date> v) { firstDate = v; }
  void setUploadURL(std::string v) { uploadURL = std::move(v); }
  void setGuid(std::string v) { guid = std::move(v); }
  void setInstancia(std::string v) { instancia = std::move(v); }
  void setFileP(std::string v) { fileP = std::move(v); }
  void setFileN(std::string v) { fileN = std::move(v); }
  void setFirst(bool v) { first = v; }

  // The waits (see Timing) and the desktop the handling talks to.
  Timing timing;
  void setDesktop(std::shared_ptr<Desktop> desktop) { desktop_ = std::move(desktop); }
  Desktop& desktop();
  // True from the open request until the ticket has ended (request started
  // and, for an upload, its reply handled; or given up).
  bool ticketInProgress() const { return ticketActivity_ != nullptr; }

  // Operations the platform calls (application:openFile: and the like).
  bool applicationOpenFile(platform::Application& app, const std::string& path) override;
  bool applicationOpenFileWithoutUI(platform::Application& app, const std::string& path) override;
  void applicationDidFinishLaunching(const platform::Notification& notification) override;
  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application& app) override;
  bool processFile(const void* anything);
  void openFileManually(const void* sender);
  bool windowShouldClose(const void* sender);
  void modificado(const void* anything);

  // The ticket document.
  std::vector<std::string> obtenerLineasDeFichero(const std::string& path);

  // Opening a ticket.
  void abrirVLdoc(const std::string& path);
  void cargarApp(const std::string& extension);
  void descargarFichero(const std::string& address, const std::string& fileToSave);
  void appLaunched(const platform::Notification& notification);

  // End of editing and the upload decision.
  void notificarCambio(const std::string& path);
  // watcher:receivedNotification:forPath: — on the main thread.
  void watcher(watch::WQFileWatcher& watcher, const std::string& receivedNotification,
               const std::string& forPath) override;
  void notificado(const std::string& path);
  // Waits until the editor seems to have let go of the document, then probes.
  bool checkFile1(const std::string& path);
  // One probe: true when the document is free.
  bool continuaLibreFile(const std::string& path);
  void continuar(const std::string& path);

  // The exchange with the ticket web service (connection callbacks below).
  void UploadFile(const std::string& path);
  void BorrarTicket(const std::string& path);
  void ShowMsg(const std::string& message, const std::string& andTitle);
  void connection(platform::URLConnection& connection, const platform::URLResponse& response) override;
  void connection(platform::URLConnection& connection, const platform::Data& piece) override;
  void connectionDidFinishLoading(platform::URLConnection& connection) override;
  void connection(platform::URLConnection& connection, const platform::Error& error) override;

 private:
  // Reads the ticket document; nothing (after a log line and an alert) when it
  // cannot be used.
  bool leerTicket(const std::string& path, std::vector<std::string>& lines);
  void rechazarTicket(const std::string& logLine, const std::string& detail);
  // Ends the ticket without a request: tells the user, keeps the ticket
  // document for another try.
  void abandonarTicket(const std::string& logLine, const std::string& title, const std::string& detail);
  // The ticket is over: the application may end once nothing else is pending.
  void terminarTicket();
  void dejarDeObservar();
  bool nombreAceptable(const std::optional<std::string>& name) const;
  // The refused-upload path: alert, save dialog, then the local files.
  void subidaRechazada(const std::string& reason);
  void iniciarSOAP(const std::string& operation, const std::string& envelope, bool upload);
  // The blocking part of checkFile1: returns once the editor seems done.
  void esperarAlEditor(const std::string& path);
  DocumentProbe sondear(const std::string& path);
  void documentoDesaparecido(const std::string& path);

  // The display name of the editor found by cargarApp (for the name test).
  std::optional<std::string> dispDisplayName_;
  bool editorFound_ = false;                 // cargarApp found an editor for this ticket
  std::shared_ptr<Desktop> desktop_;
  platform::Activity ticketActivity_;        // held from the open request to the ticket's end
  bool observing_ = false;                   // registered for workspace notifications
  std::optional<pid_t> editorPid_;           // the launched editor's process

  // The wait for the editor to let go of the document (one per ticket).
  struct Wait {
    std::chrono::steady_clock::time_point start;
    bool sawHeld = false;          // the document was seen held at least once
    bool released = false;         // the launched process ended, or the user said so
    std::optional<bool> runningAtGraceEnd;  // the launched process, when the grace ended
    bool asked = false;            // the user has been asked (or could not be)
    bool gone = false;             // the document disappeared
    std::string lastReason;
  } wait_;

  long uploadStatus_ = 0;          // HTTP status of the upload reply
  bool uploadHandled_ = true;      // the upload's outcome has been dealt with
};

}  // namespace app
