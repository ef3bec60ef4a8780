#pragma once
// A file watcher over the platform's file-system change subscriptions. It has
// no thread of its own: when something changes at a subscribed path the
// platform calls back on its own thread, and the watcher posts
// WQKQueueFileWrittenToNotification to the workspace's notification centre
// and then sends the same name to its delegate, directly on that thread.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/FNSubscribe.h"
#include "platform/Object.h"
#include "watch/WQFileWatcher.h"

namespace watch {

class WQFNSubscribeFileWatcher : public platform::Object,
                                 public WQFileWatcher,
                                 public std::enable_shared_from_this<WQFNSubscribeFileWatcher> {
 public:
  // init: a watcher with no subscriptions.
  static std::shared_ptr<WQFNSubscribeFileWatcher> create();
  // The process-wide watcher, made on first use.
  static std::shared_ptr<WQFNSubscribeFileWatcher> sharedFileWatcher();

  // Ends every subscription; no callback reaches the watcher afterwards.
  ~WQFNSubscribeFileWatcher() override;
  WQFNSubscribeFileWatcher(const WQFNSubscribeFileWatcher&) = delete;
  WQFNSubscribeFileWatcher& operator=(const WQFNSubscribeFileWatcher&) = delete;

  // Subscribes to path, replacing (and ending) an earlier subscription of the
  // same path. A failure is logged and changes nothing.
  void addPath(const std::string& path) override;
  // Ends the subscription of path, if any.
  void removePath(const std::string& path) override;
  std::shared_ptr<platform::Object> delegate() const override;
  void setDelegate(std::shared_ptr<platform::Object> delegate) override;

  // Reports a change for the path subscribed with forSubscription; a handle
  // that is not (or no longer) subscribed reports nothing. Raises
  // platform::UnrecognizedSelector when the delegate does not implement the
  // delegate message (after the notification was posted).
  void sendDelegateMessage(platform::FNMessage message, platform::FNSubscriptionRef forSubscription);

  // The subscribed paths and their handles.
  std::map<std::string, platform::FNSubscriptionRef> subscriptions() const;

  std::string className() const override { return "WQFNSubscribeFileWatcher"; }

 private:
  WQFNSubscribeFileWatcher() = default;

  mutable std::recursive_mutex lock_;
  std::shared_ptr<platform::Object> delegate_;
  std::map<std::string, platform::FNSubscriptionRef> subscriptions_;
};

// The callback given to the platform: message 1 reports a change to the
// watcher given as client data; any other message is logged.
void WQFileSubscriptionProc(platform::FNMessage message, platform::OptionBits flags, void* refcon,
                            platform::FNSubscriptionRef subscription);

}  // namespace watch
