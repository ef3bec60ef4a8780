#pragma once
// Desktop notifications: short notices that tell the user what became of their
// document without stopping them. Every notice is logged; it is also shown by
// the notifier in force: the desktop's notification service (when a session
// bus is reachable), or a scripted notifier installed by tests.

#include <chrono>
#include <memory>
#include <string>

namespace platform {

// Shows notices. Implementations: the desktop's (default) and scripted ones.
class UserNotifier {
 public:
  virtual ~UserNotifier() = default;
  // Shows one notice. Returns without waiting for the desktop; any thread.
  virtual void notify(const std::string& summary, const std::string& body) = 0;
  // Waits up to limit for the notices still on their way; true when none is left.
  virtual bool flush(std::chrono::milliseconds limit) {
    (void)limit;
    return true;
  }
};

// Logs "Aviso: SUMMARY: BODY" and hands the notice to the notifier in force.
// Never blocks on the desktop; any thread.
void notifyUser(const std::string& summary, const std::string& body);

// Waits up to limit for the notifier in force to deliver what it was given
// (call before the process ends); true when nothing is left.
bool flushNotifications(std::chrono::milliseconds limit);

// The notifier in force (the desktop's unless one was installed).
std::shared_ptr<UserNotifier> userNotifier();
// Installs a notifier; nullptr restores the desktop's. Returns the previous one.
std::shared_ptr<UserNotifier> setUserNotifier(std::shared_ptr<UserNotifier> notifier);

// The desktop's notifier: notices go, in order, to a thread of its own that
// passes them to the desktop's notification service when a session bus is
// reachable, and drops them (they are in the log) when none is. A notice the
// service does not take is logged.
std::shared_ptr<UserNotifier> makeDesktopNotifier();

}  // namespace platform
