#include "watch/WQFNSubscribeFileWatcher.h"

#include <atomic>
#include <optional>
#include <vector>

#include "platform/Log.h"
#include "platform/Workspace.h"

namespace watch {
namespace {

// The callback handed to the platform, set by the first addPath().
std::atomic<platform::FNSubscriptionProc> gSubscriptionProc{nullptr};

}  // namespace

std::shared_ptr<WQFNSubscribeFileWatcher> WQFNSubscribeFileWatcher::create() {
  return std::shared_ptr<WQFNSubscribeFileWatcher>(new WQFNSubscribeFileWatcher());
}

std::shared_ptr<WQFNSubscribeFileWatcher> WQFNSubscribeFileWatcher::sharedFileWatcher() {
  static std::shared_ptr<WQFNSubscribeFileWatcher>& instance = *new std::shared_ptr<WQFNSubscribeFileWatcher>(create());
  return instance;
}

WQFNSubscribeFileWatcher::~WQFNSubscribeFileWatcher() {
  // Each FNUnsubscribe waits for a callback of its subscription that is still
  // running, so none touches this watcher once the loop is done.
  for (const auto& [path, subscription] : subscriptions_) platform::FNUnsubscribe(subscription);
}

void WQFNSubscribeFileWatcher::addPath(const std::string& path) {
  platform::FNSubscriptionProc expected = nullptr;
  gSubscriptionProc.compare_exchange_strong(expected, &WQFileSubscriptionProc);
  platform::FNSubscriptionRef subscription = nullptr;
  platform::OSStatus status =
      platform::FNSubscribeByPath(path.c_str(), gSubscriptionProc.load(), this, 0, &subscription);
  if (status != 0) {
    platform::log("WQFNSubscribeFileWatcher addPath: " + path + " failed due to error ID=" + std::to_string(status) +
                  ".");
    return;
  }
  platform::FNSubscriptionRef replaced = nullptr;
  {
    std::lock_guard lock(lock_);
    platform::FNSubscriptionRef& slot = subscriptions_[path];
    replaced = slot;
    slot = subscription;
  }
  // A replaced subscription would otherwise stay registered with this
  // watcher as its client data, beyond the watcher's life.
  if (replaced != nullptr) platform::FNUnsubscribe(replaced);
}

void WQFNSubscribeFileWatcher::removePath(const std::string& path) {
  platform::FNSubscriptionRef subscription = nullptr;
  {
    std::lock_guard lock(lock_);
    auto it = subscriptions_.find(path);
    if (it == subscriptions_.end()) return;
    subscription = it->second;
    subscriptions_.erase(it);
  }
  platform::FNUnsubscribe(subscription);
}

std::shared_ptr<platform::Object> WQFNSubscribeFileWatcher::delegate() const {
  std::lock_guard lock(lock_);
  return delegate_;
}

void WQFNSubscribeFileWatcher::setDelegate(std::shared_ptr<platform::Object> delegate) {
  std::lock_guard lock(lock_);
  std::swap(delegate_, delegate);  // the previous one is released after the lock
}

std::map<std::string, platform::FNSubscriptionRef> WQFNSubscribeFileWatcher::subscriptions() const {
  std::lock_guard lock(lock_);
  return subscriptions_;
}

void WQFNSubscribeFileWatcher::sendDelegateMessage(platform::FNMessage, platform::FNSubscriptionRef forSubscription) {
  // Hold the watcher for the whole report: the delegate may drop the last
  // other reference from inside its method. A watcher already being
  // destroyed reports nothing.
  std::shared_ptr<WQFNSubscribeFileWatcher> self = weak_from_this().lock();
  if (!self) return;
  std::optional<std::string> path;
  std::shared_ptr<platform::Object> delegate;
  {
    std::lock_guard lock(lock_);
    for (const auto& [subscribedPath, subscription] : subscriptions_) {
      if (subscription == forSubscription) {
        path = subscribedPath;
        break;
      }
    }
    delegate = delegate_;
  }
  if (!path) return;
  platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(
      WQKQueueFileWrittenToNotification, static_cast<const platform::Object*>(this), {{WQFileWatcherPathKey, *path}});
  if (!delegate) return;
  auto* receiver = dynamic_cast<WQFileWatcherDelegate*>(delegate.get());
  if (receiver == nullptr) throw platform::UnrecognizedSelector("watcher:receivedNotification:forPath:");
  receiver->watcher(*this, WQKQueueFileWrittenToNotification, *path);
}

void WQFileSubscriptionProc(platform::FNMessage message, platform::OptionBits, void* refcon,
                            platform::FNSubscriptionRef subscription) {
  if (message != platform::kFNDirectoryModifiedMessage) {
    platform::log("WQFileSubscriptionProc: Unknown message " + std::to_string(message));
    return;
  }
  static_cast<WQFNSubscribeFileWatcher*>(refcon)->sendDelegateMessage(message, subscription);
}

}  // namespace watch
