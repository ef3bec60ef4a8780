#pragma once
// The application delegate: takes the platform's open-file requests and gives
// each ticket document a session of its own (TicketSession), keyed by the
// ticket document's path. Workspace notifications, watcher messages and
// connection callbacks reach the session they belong to: each session
// registers for its own notifications and is the delegate of its own watcher
// and connections. Everything here runs on the main thread.

#include <map>
#include <memory>
#include <string>

#include "app/Desktop.h"
#include "app/TicketSession.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"

namespace app {

class vlaAppDelegate : public platform::Object,
                       public platform::ApplicationDelegate,
                       public SessionOwner,
                       public std::enable_shared_from_this<vlaAppDelegate> {
 public:
  vlaAppDelegate() = default;
  ~vlaAppDelegate() override;
  std::string className() const override { return "vlaAppDelegate"; }

  const void* window = nullptr;  // outlet; never set or read
  void setWindow(const void* v) { window = v; }

  // The waits (see Timing) and the desktop the sessions talk to; they apply
  // to sessions started afterwards.
  Timing timing;
  void setDesktop(std::shared_ptr<Desktop> desktop) { desktop_ = std::move(desktop); }
  Desktop& desktop();

  // The session of a ticket document in progress, or null.
  std::shared_ptr<TicketSession> session(const std::string& ticketPath) const;
  std::size_t sessionCount() const { return sessions_.size(); }

  // Operations the platform calls (application:openFile: and the like).
  bool applicationOpenFile(platform::Application& app, const std::string& path) override;
  bool applicationOpenFileWithoutUI(platform::Application& app, const std::string& path) override;
  void applicationDidFinishLaunching(const platform::Notification& notification) override;
  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application& app) override;
  bool processFile(const void* anything);
  void openFileManually(const void* sender);
  bool windowShouldClose(const void* sender);
  void modificado(const void* anything);

  // Starts the ticket of the document at path in a session of its own,
  // unless that ticket is already in progress.
  void abrirVLdoc(const std::string& path);

  bool editorTakenByOther(const platform::RunningApplication& app, const void* session) const override;
  bool registroEnUso(const std::string& clave, const void* session) const override;
  // A termination signal: every ticket in progress ends at once, keeping its
  // edit, ticket document and record, and vla ends with status 1.
  void interrumpir(int signal);
  void sessionEnded(const void* session) override;
  bool documentOfOtherTicket(const std::string& path, const void* session) const override;

  // Outcome
  void ticketEnded(const void*, bool asIntended) override { ticketsNotAsIntended_ += asIntended ? 0 : 1; }
  // The exit status: 0 when every ticket ended uploaded or deleted as
  // intended, 1 otherwise.
  int exitStatus() const { return ticketsNotAsIntended_ == 0 && !interrumpido_ ? 0 : 1; }

 private:
  std::size_t ticketsNotAsIntended_ = 0;
  bool interrumpido_ = false;
  // True (after a log line) when the ticket of path is in progress.
  bool yaAbierto(const std::string& path) const;

  std::shared_ptr<Desktop> desktop_;
  std::map<std::string, std::shared_ptr<TicketSession>> sessions_;
};

}  // namespace app
