// File-system change subscriptions on Linux, built over one inotify instance
// read by a delivery thread of its own (started with the first
// subscription). Every event read in one go is reported once per
// subscription it concerns, so a burst of changes gives one callback.

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/FNSubscribe.h"
#include "platform/Log.h"

namespace platform {

struct FNSubscription {
  std::uint64_t serial = 0;  // tells a subscription from a later one at the same address
  FNSubscriptionProc callback = nullptr;
  void* clientData = nullptr;
  OptionBits options = 0;
  int wd = -1;
};

namespace {

constexpr std::uint32_t kChangeEvents =
    IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF;

class Service {
 public:
  OSStatus subscribe(const char* path, FNSubscriptionProc callback, void* clientData, OptionBits options,
                     FNSubscriptionRef* out) {
    if (path == nullptr || callback == nullptr || out == nullptr) return -EINVAL;
    std::lock_guard lock(mutex_);
    if (OSStatus status = start(); status != 0) return status;
    int wd = ::inotify_add_watch(fd_, path, kChangeEvents);
    if (wd < 0) return -errno;
    auto sub = std::make_unique<FNSubscription>();
    sub->serial = nextSerial_++;
    sub->callback = callback;
    sub->clientData = clientData;
    sub->options = options;
    sub->wd = wd;
    FNSubscriptionRef ref = sub.get();
    byWatch_[wd].push_back(ref);
    subscriptions_.emplace(ref, std::move(sub));
    *out = ref;
    return 0;
  }

  OSStatus unsubscribe(FNSubscriptionRef ref) {
    std::unique_lock lock(mutex_);
    auto it = subscriptions_.find(ref);
    if (it == subscriptions_.end()) return -EINVAL;
    const std::uint64_t serial = ref->serial;
    const int wd = ref->wd;
    subscriptions_.erase(it);
    if (auto w = byWatch_.find(wd); w != byWatch_.end()) {
      std::erase(w->second, ref);
      if (w->second.empty()) {
        ::inotify_rm_watch(fd_, wd);
        byWatch_.erase(w);
      }
    }
    // A callback for this subscription may be running; its client data must
    // stay valid until it returns. The callback itself may unsubscribe.
    if (std::this_thread::get_id() != deliveryThread_) {
      delivered_.wait(lock, [&] { return delivering_ != serial; });
    }
    return 0;
  }

 private:
  OSStatus start() {
    if (fd_ >= 0) return 0;
    int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) return -errno;
    fd_ = fd;
    std::thread thread([this] { deliverForever(); });
    deliveryThread_ = thread.get_id();
    thread.detach();
    return 0;
  }

  void deliverForever() {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      std::vector<std::pair<FNSubscriptionRef, std::uint64_t>> touched;
      {
        std::lock_guard lock(mutex_);
        for (char* p = buffer; p < buffer + n;) {
          const auto* e = reinterpret_cast<const struct inotify_event*>(p);
          p += sizeof(struct inotify_event) + e->len;
          if (e->mask & IN_Q_OVERFLOW) {
            for (auto& [ref, sub] : subscriptions_) note(touched, ref);
            continue;
          }
          auto w = byWatch_.find(e->wd);
          if (w == byWatch_.end()) continue;
          if (e->mask & kChangeEvents) {
            for (FNSubscriptionRef ref : w->second) note(touched, ref);
          }
          if (e->mask & IN_IGNORED) byWatch_.erase(w);  // the path's inode is gone
        }
      }
      for (auto& [ref, serial] : touched) deliver(ref, serial);
    }
  }

  static void note(std::vector<std::pair<FNSubscriptionRef, std::uint64_t>>& touched, FNSubscriptionRef ref) {
    for (auto& t : touched) {
      if (t.first == ref) return;
    }
    touched.emplace_back(ref, ref->serial);
  }

  void deliver(FNSubscriptionRef ref, std::uint64_t serial) {
    FNSubscription copy;
    {
      std::lock_guard lock(mutex_);
      auto it = subscriptions_.find(ref);
      if (it == subscriptions_.end() || it->second->serial != serial) return;
      copy = *it->second;
      delivering_ = serial;
    }
    try {
      copy.callback(kFNDirectoryModifiedMessage, copy.options, copy.clientData, ref);
    } catch (const std::exception& e) {
      log(std::string("FNSubscribe callback failed: ") + e.what());
    } catch (...) {
      log("FNSubscribe callback failed");
    }
    {
      std::lock_guard lock(mutex_);
      delivering_ = 0;
    }
    delivered_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable delivered_;
  int fd_ = -1;
  std::thread::id deliveryThread_;
  std::uint64_t nextSerial_ = 1;
  std::uint64_t delivering_ = 0;  // serial of the subscription being called back, 0: none
  std::unordered_map<FNSubscriptionRef, std::unique_ptr<FNSubscription>> subscriptions_;
  std::unordered_map<int, std::vector<FNSubscriptionRef>> byWatch_;
};

Service& service() {
  static auto* s = new Service();  // its thread runs until the process ends
  return *s;
}

}  // namespace

OSStatus FNSubscribeByPath(const char* path, FNSubscriptionProc callback, void* clientData, OptionBits options,
                           FNSubscriptionRef* subscription) {
  return service().subscribe(path, callback, clientData, options, subscription);
}

OSStatus FNUnsubscribe(FNSubscriptionRef subscription) { return service().unsubscribe(subscription); }

}  // namespace platform
