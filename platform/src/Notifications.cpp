#include "platform/Notifications.h"

#include <mutex>
#include <utility>

#include "platform/Log.h"

namespace platform {

namespace {

std::mutex& notifierMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<UserNotifier>& installedNotifier() {
  static std::shared_ptr<UserNotifier> notifier;
  return notifier;
}

}  // namespace

std::shared_ptr<UserNotifier> userNotifier() {
  std::lock_guard lock(notifierMutex());
  auto& notifier = installedNotifier();
  // Made on first use, so that a process that never notifies starts no thread.
  if (!notifier) notifier = makeDesktopNotifier();
  return notifier;
}

std::shared_ptr<UserNotifier> setUserNotifier(std::shared_ptr<UserNotifier> notifier) {
  std::lock_guard lock(notifierMutex());
  return std::exchange(installedNotifier(), std::move(notifier));
}

void notifyUser(const std::string& summary, const std::string& body) {
  log("Aviso: " + summary + ": " + body);
  // The body names files and carries the server's texts.
  userNotifier()->notify(escapeControlCharacters(summary, true), escapeControlCharacters(body, true));
}

bool flushNotifications(std::chrono::milliseconds limit) {
  std::shared_ptr<UserNotifier> notifier;
  {
    std::lock_guard lock(notifierMutex());
    notifier = installedNotifier();
  }
  return notifier ? notifier->flush(limit) : true;
}

}  // namespace platform
