#pragma once
// Notification centres: observers register a callback for a notification name
// (or for every name) and for an object (or any object); posting calls the
// matching observers synchronously on the posting thread, in the order they
// registered.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A process started by the desktop, as launch notifications describe it.
struct RunningApplication {
  pid_t processIdentifier = 0;
  std::string executableURL;  // file URL of the running executable
  std::string localizedName;  // display name, may be empty
  // The document whose open request launched it (empty when not known): a
  // launch is recognised by what it was for, whatever program it runs (a
  // terminal emulator for an editor that runs in a terminal, a script).
  std::string document;
  // "<RunningApplication: pid=P name=N executable=URL>"
  std::string description() const;
  // Path of executableURL (the URL without "file://" and percent-decoded).
  std::string executablePath() const;
};

using UserInfoValue = std::variant<std::string, std::shared_ptr<const RunningApplication>>;
using UserInfo = std::map<std::string, UserInfoValue>;

struct Notification {
  std::string name;
  const void* object = nullptr;  // identity of the sender, never dereferenced
  UserInfo userInfo;
  // "<Notification name = N; object = 0x…; userInfo = {k = v; …}>"
  std::string description() const;
  // The text stored under key, when present and text.
  std::optional<std::string> string(const std::string& key) const;
  // The running application stored under key, when present.
  std::shared_ptr<const RunningApplication> runningApplication(const std::string& key) const;
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;

  // Registers observer (an identity used by removeObserver) for notifications
  // called name (nullopt: every name) sent by object (nullptr: any sender).
  void addObserver(const void* observer, Callback callback, std::optional<std::string> name,
                   const void* object = nullptr);
  // Removes every registration of the observer. An observer removed while a
  // notification is being posted is not called for it any more.
  void removeObserver(const void* observer);
  // Calls the matching observers on the calling thread.
  void postNotification(const Notification& notification);
  void postNotificationName(std::string name, const void* object, UserInfo userInfo = {});
  std::size_t observerCount() const;

 private:
  struct Registration {
    std::size_t id;
    const void* observer;
    std::shared_ptr<Callback> callback;
    std::optional<std::string> name;
    const void* object;
  };
  mutable std::mutex mutex_;
  std::vector<Registration> registrations_;
  std::size_t nextId_ = 1;
};

}  // namespace platform
