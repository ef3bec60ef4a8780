#include "watch/WQMainThreadProxy.h"

#include <stdexcept>

#include "platform/RunLoop.h"

namespace watch {
namespace {

// The messages every object answers (the root object class and its
// mainThreadProxy category).
bool isRootSelector(std::string_view selector) {
  return selector == "description" || selector == "className" || selector == "mainThreadProxy" ||
         selector == "copyMainThreadProxy";
}

bool targetResponds(const platform::Object* target, std::string_view selector) {
  if (target == nullptr) return false;
  if (isRootSelector(selector)) return true;
  if (selector == kWatcherReceivedNotificationForPath) {
    return dynamic_cast<const WQFileWatcherDelegate*>(target) != nullptr;
  }
  const auto* named = dynamic_cast<const SelectorTarget*>(target);
  return named != nullptr && named->respondsToSelector(selector);
}

}  // namespace

WQMainThreadProxy::WQMainThreadProxy(std::shared_ptr<platform::Object> target) : target_(std::move(target)) {}

bool WQMainThreadProxy::respondsToSelector(std::string_view selector) const {
  return isRootSelector(selector) || targetResponds(target_.get(), selector);
}

std::shared_ptr<platform::Object> WQMainThreadProxy::performSelector(std::string_view selector) {
  return performSelector(selector, nullptr);
}

std::shared_ptr<platform::Object> WQMainThreadProxy::performSelector(std::string_view selector,
                                                                     std::shared_ptr<platform::Object> withObject) {
  if (isRootSelector(selector)) {
    // Answered by the proxy itself, on the calling thread.
    std::shared_ptr<WQMainThreadProxy> self = weak_from_this().lock();
    if (selector == "mainThreadProxy" || selector == "copyMainThreadProxy") return self;
    if (selector == "description") return std::make_shared<TextObject>(description());
    return std::make_shared<TextObject>(className());
  }
  if (!targetResponds(target_.get(), selector)) {
    throw platform::UnrecognizedSelector(std::string(selector));
  }
  if (selector == kWatcherReceivedNotificationForPath) {
    throw std::invalid_argument(std::string(selector) + " takes three arguments");
  }
  // Only a SelectorTarget answers other names. The call holds the target and
  // the argument until it has run; its result is not passed back.
  std::shared_ptr<platform::Object> target = target_;
  std::string name(selector);
  platform::RunLoop::main().performAndWait(
      [&target, &name, &withObject] { dynamic_cast<SelectorTarget&>(*target).performSelector(name, withObject); });
  return nullptr;
}

void WQMainThreadProxy::watcher(WQFileWatcher& watcher, const std::string& receivedNotification,
                                const std::string& forPath) {
  // Decide on the sending thread whether the target understands the message,
  // so that an unrecognised one never reaches the main thread.
  auto* delegate = dynamic_cast<WQFileWatcherDelegate*>(target_.get());
  if (delegate == nullptr) throw platform::UnrecognizedSelector(kWatcherReceivedNotificationForPath);
  // The sender blocks until the call has run, so the watcher it passed stays
  // valid; the target and the strings are held by the call itself, so that
  // the target may even replace this proxy from inside its method.
  platform::RunLoop::main().performAndWait([&watcher, target = target_, delegate, name = receivedNotification,
                                            path = forPath] { delegate->watcher(watcher, name, path); });
}

std::shared_ptr<WQMainThreadProxy> mainThreadProxy(std::shared_ptr<platform::Object> object) {
  if (!object) return nullptr;
  if (auto proxy = std::dynamic_pointer_cast<WQMainThreadProxy>(object)) return proxy;
  return std::make_shared<WQMainThreadProxy>(std::move(object));
}

std::shared_ptr<WQMainThreadProxy> copyMainThreadProxy(std::shared_ptr<platform::Object> object) {
  return mainThreadProxy(std::move(object));
}

}  // namespace watch
