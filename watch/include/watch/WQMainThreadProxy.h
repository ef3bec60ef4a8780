#pragma once
// A proxy that carries out the messages sent to it on the main thread: the
// target's method runs on the main run loop while the sending thread waits,
// and the sender receives its result (or its exception). A sender that is
// the main thread runs the call at once.
//
// Messages are C++ calls of the interfaces the proxy forwards (today the
// watcher delegate message). Where a message is chosen by name
// (respondsToSelector(), performSelector()) these names are known:
//   "description", "className", "mainThreadProxy", "copyMainThreadProxy":
//       every object's own (root object class); a proxy answers them itself;
//   "watcher:receivedNotification:forPath:": objects that implement
//       WQFileWatcherDelegate;
//   and whatever names an object that derives from SelectorTarget answers.

#include <memory>
#include <string>
#include <string_view>

#include "platform/Object.h"
#include "watch/WQFileWatcher.h"

namespace watch {

// The selector of the watcher delegate message.
inline constexpr char kWatcherReceivedNotificationForPath[] = "watcher:receivedNotification:forPath:";

// An object that answers further messages by name, each taking at most one
// object argument.
class SelectorTarget {
 public:
  virtual ~SelectorTarget() = default;
  // True when performSelector() understands selector.
  virtual bool respondsToSelector(std::string_view selector) const = 0;
  // Carries out the message; its result, or null.
  virtual std::shared_ptr<platform::Object> performSelector(std::string_view selector,
                                                            std::shared_ptr<platform::Object> withObject) = 0;
};

// A text as an object (what "description" and "className" return by name).
class TextObject : public platform::Object {
 public:
  explicit TextObject(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  std::string description() const override { return text_; }
  std::string className() const override { return "TextObject"; }

 private:
  std::string text_;
};

class WQMainThreadProxy : public platform::Object,
                          public WQFileWatcherDelegate,
                          public std::enable_shared_from_this<WQMainThreadProxy> {
 public:
  // initWithTarget: the proxy keeps target alive. A null target makes every
  // forwarded message raise platform::UnrecognizedSelector.
  explicit WQMainThreadProxy(std::shared_ptr<platform::Object> target);

  const std::shared_ptr<platform::Object>& target() const { return target_; }

  // True for the root object class's names, else whatever the target
  // answers. Any thread.
  bool respondsToSelector(std::string_view selector) const;

  // A root object class name is performed on the proxy itself, on the calling
  // thread, and its result returned. Any other name the target answers is
  // performed by the target on the main thread while the caller waits, and
  // the result is null whatever the target returned. A name the target does
  // not answer raises platform::UnrecognizedSelector on the calling thread; a
  // message that needs more arguments than one object raises
  // std::invalid_argument.
  std::shared_ptr<platform::Object> performSelector(std::string_view selector);
  std::shared_ptr<platform::Object> performSelector(std::string_view selector,
                                                    std::shared_ptr<platform::Object> withObject);

  // Forwarded: the target's watcher() runs on the main thread while the
  // caller waits; the strings are copied for the call. Raises
  // platform::UnrecognizedSelector on the calling thread, without involving
  // the main thread, when the target does not implement the message.
  void watcher(WQFileWatcher& watcher, const std::string& receivedNotification, const std::string& forPath) override;

  std::string className() const override { return "WQMainThreadProxy"; }

 private:
  std::shared_ptr<platform::Object> target_;
};

// A proxy around object (null for a null object); a proxy given a proxy
// returns that same proxy. The two differ only in name here: shared
// ownership makes every caller an owner.
std::shared_ptr<WQMainThreadProxy> mainThreadProxy(std::shared_ptr<platform::Object> object);
std::shared_ptr<WQMainThreadProxy> copyMainThreadProxy(std::shared_ptr<platform::Object> object);

}  // namespace watch
