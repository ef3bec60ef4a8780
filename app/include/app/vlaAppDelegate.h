#pragma once
// The application delegate: holds the state of the one ticket being handled
// and carries every step of it, from the open-file request to the upload or
// the ticket's deletion. Everything here runs on the main thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Data.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

namespace app {

// The receive buffer of the upload reply. Its lock is the buffer object's own
// monitor: a request start takes it on the buffer it replaces, and the end of
// a reply takes it on the current buffer for the whole handling.
struct ReceiveBuffer {
  std::recursive_mutex lock;
  platform::Data bytes;
};

class vlaAppDelegate : public platform::Object,
                       public platform::ApplicationDelegate,
                       public platform::URLConnectionDelegate,
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

  // The exchange with the ticket web service (connection callbacks below).
  void connection(platform::URLConnection& connection, const platform::URLResponse& response) override;
  void connection(platform::URLConnection& connection, const platform::Data& piece) override;
  void connectionDidFinishLoading(platform::URLConnection& connection) override;
  void connection(platform::URLConnection& connection, const platform::Error& error) override;

 private:
  // Reads the ticket document; nothing (after a log line and an alert) when it
  // cannot be used.
  bool leerTicket(const std::string& path, std::vector<std::string>& lines);
  void rechazarTicket(const std::string& logLine, const std::string& detail);

  // The display name of the editor found by cargarApp (for the name test).
  std::optional<std::string> dispDisplayName_;
};

}  // namespace app
