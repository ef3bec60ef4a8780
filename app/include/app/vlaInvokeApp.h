#pragma once
// Waits for the launch and the end of one application, named by its
// application name: logs the launch, and on the end stops the run loop of the
// thread that handles the notification, so that a caller running that loop
// until the application has ended regains control.

#include <optional>
#include <string>

#include "platform/NotificationCenter.h"
#include "platform/Workspace.h"

namespace app {

class vlaInvokeApp {
 public:
  // init: — registers for the workspace's launch and termination
  // notifications. The registrations are not removed on destruction unless
  // the caller removes them; this object removes them in its destructor so
  // that no callback reaches a destroyed object.
  explicit vlaInvokeApp(platform::Workspace& workspace);
  ~vlaInvokeApp();
  vlaInvokeApp(const vlaInvokeApp&) = delete;
  vlaInvokeApp& operator=(const vlaInvokeApp&) = delete;

  const std::optional<std::string>& application() const { return application_; }
  void setApplication(std::optional<std::string> name) { application_ = std::move(name); }
  const void* terminado() const { return terminado_; }
  void setTerminado(const void* selector) { terminado_ = selector; }

  void appLaunched(const platform::Notification& notification);
  void appTerminated(const platform::Notification& notification);

 private:
  bool matches(const platform::Notification& notification) const;

  std::optional<std::string> application_;
  const void* terminado_ = nullptr;
  platform::Workspace& workspace_;
};

}  // namespace app
