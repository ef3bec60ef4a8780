#include "watch/WQKQueue.h"

#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/KQueue.h"
#include "platform/Log.h"
#include "platform/Workspace.h"

namespace watch {
namespace {

// The vnode flags in the order their changes are reported.
struct FlagName {
  std::uint32_t flag;
  const char* name;
};
constexpr FlagName kReportOrder[] = {
    {platform::NOTE_RENAME, WQKQueueFileRenamedNotification},
    {platform::NOTE_WRITE, WQKQueueFileWrittenToNotification},
    {platform::NOTE_DELETE, WQKQueueFileDeletedNotification},
    {platform::NOTE_ATTRIB, WQKQueueFileAttributesChangedNotification},
    {platform::NOTE_EXTEND, WQKQueueFileSizeIncreasedNotification},
    {platform::NOTE_LINK, WQKQueueFileLinkCountChangedNotification},
    {platform::NOTE_REVOKE, WQKQueueFileAccessRevocationNotification},
};

constexpr std::uintptr_t kWakeUpIdent = 1;  // the user event that stop() triggers

// Registration numbers are unique in the process, so that an event read just
// before its entry was removed can never be taken for a later entry's.
std::atomic<std::uintptr_t> gNextRegistration{1};

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

WQKQueue::WQKQueue(int queueFD) : queueFD_(queueFD) {}

std::shared_ptr<WQKQueue> WQKQueue::create() {
  int fd = platform::kqueue();
  if (fd == -1) return nullptr;
  std::shared_ptr<WQKQueue> watcher(new WQKQueue(fd));
  // The user event lets stop() wake the thread before its 5-second slice ends.
  platform::KEvent wakeUp{
      kWakeUpIdent, platform::EVFILT_USER, platform::EV_ADD | platform::EV_ENABLE | platform::EV_CLEAR, 0, 0, nullptr};
  const std::timespec zero{0, 0};
  platform::kevent(fd, &wakeUp, 1, nullptr, 0, &zero);
  try {
    std::thread(&WQKQueue::runThread, watcher, watcher->thread_).detach();
  } catch (const std::system_error&) {
    // No thread: nothing would ever close the queue or deliver.
    watcher->keepThreadRunning_ = false;
    std::lock_guard lock(watcher->thread_->mutex);
    platform::close(fd);
    watcher->thread_->queueClosed = true;
    watcher->thread_->finished = true;
    return nullptr;
  }
  return watcher;
}

std::shared_ptr<WQKQueue> WQKQueue::sharedFileWatcher() {
  static std::mutex& classLock = *new std::mutex();
  static std::shared_ptr<WQKQueue>& instance = *new std::shared_ptr<WQKQueue>();
  std::lock_guard lock(classLock);
  if (!instance) instance = create();
  return instance;
}

WQKQueue::~WQKQueue() {
  // Runs only once the watcher thread has let go (or never ran), so the
  // queue is already closed.
  std::shared_ptr<platform::Object> released;
  {
    std::lock_guard lock(delegateMutex_);
    released = std::move(delegate_);
  }
  released.reset();
  keepThreadRunning_ = false;
  for (const Entry& entry : watched_) {
    if (platform::close(entry.fd) == -1) {
      platform::log("dealloc: Couldn't close file descriptor (" + std::to_string(errno) + ")");
    }
  }
}

void WQKQueue::addPath(const std::string& path) { addPathToQueue(path, WQKQueueDefaultEventMask); }

void WQKQueue::addPathToQueue(const std::string& path) { addPath(path); }

void WQKQueue::addPathToQueue(const std::string& path, std::uint32_t notifyingAbout) {
  int fd = platform::open(path.c_str(), platform::O_EVTONLY, 0);
  if (fd < 0) return;
  const std::uintptr_t registration = gNextRegistration.fetch_add(1);
  platform::KEvent change{static_cast<std::uintptr_t>(fd),
                          platform::EVFILT_VNODE,
                          platform::EV_ADD | platform::EV_ENABLE | platform::EV_CLEAR,
                          notifyingAbout,
                          0,
                          reinterpret_cast<void*>(registration)};
  const std::timespec zero{0, 0};
  std::lock_guard lock(lock_);
  watched_.push_back(Entry{path, fd, registration});
  // A stopped watcher's queue is closed and its number may belong to
  // something else by now: register only while the queue is open.
  std::lock_guard threadLock(thread_->mutex);
  if (!thread_->queueClosed) platform::kevent(queueFD_, &change, 1, nullptr, 0, &zero);
}

void WQKQueue::removePath(const std::string& path) { removePathFromQueue(path); }

void WQKQueue::removePathFromQueue(const std::string& path) {
  int fd = -1;
  {
    std::lock_guard lock(lock_);
    for (auto it = watched_.begin(); it != watched_.end(); ++it) {
      if (it->path == path) {
        fd = it->fd;
        watched_.erase(it);
        break;
      }
    }
  }
  if (fd < 0) return;
  // Closing the descriptor is what ends its registration.
  if (platform::close(fd) == -1) {
    platform::log("removePathFromQueue: Couldn't close file descriptor (" + std::to_string(errno) + ")");
  }
}

void WQKQueue::removeAllPathsFromQueue() {
  std::lock_guard lock(lock_);
  for (const Entry& entry : watched_) platform::close(entry.fd);
  watched_.clear();
}

std::shared_ptr<platform::Object> WQKQueue::delegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_;
}

void WQKQueue::setDelegate(std::shared_ptr<platform::Object> delegate) {
  std::shared_ptr<WQMainThreadProxy> proxy = copyMainThreadProxy(delegate);
  // The previous delegate and proxy are released after the lock, since
  // their destructors may do anything.
  std::lock_guard lock(delegateMutex_);
  std::swap(delegate_, delegate);
  std::swap(delegateProxy_, proxy);
}

bool WQKQueue::alwaysNotify() const { return alwaysNotify_.load(); }

void WQKQueue::setAlwaysNotify(bool alwaysNotify) { alwaysNotify_.store(alwaysNotify); }

std::vector<std::string> WQKQueue::watchedPaths() const {
  std::lock_guard lock(lock_);
  std::vector<std::string> paths;
  for (const Entry& entry : watched_) paths.push_back(entry.path);
  return paths;
}

std::vector<int> WQKQueue::watchedFDs() const {
  std::lock_guard lock(lock_);
  std::vector<int> fds;
  for (const Entry& entry : watched_) fds.push_back(entry.fd);
  return fds;
}

std::string WQKQueue::description() const {
  std::string list = "(";
  for (const std::string& path : watchedPaths()) {
    if (list.size() > 1) list += ", ";
    list += quoted(path);
  }
  list += ")";
  return className() + " { watchedPaths = " + list + ", alwaysNotify = " + (alwaysNotify() ? "YES" : "NO") + " }";
}

void WQKQueue::postNotification(const std::string& name, const std::string& forFile) {
  std::shared_ptr<WQMainThreadProxy> proxy;
  {
    std::lock_guard lock(delegateMutex_);
    proxy = delegateProxy_;
  }
  // The local reference keeps the proxy alive through the call, even when the
  // delegate replaces or clears itself from inside its method.
  if (proxy) proxy->watcher(*this, name, forFile);
  {
    std::lock_guard lock(delegateMutex_);
    if (delegateProxy_ && !alwaysNotify()) return;
  }
  platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(
      name, static_cast<const platform::Object*>(this), {{WQFileWatcherPathKey, forFile}});
}

void WQKQueue::stop() {
  keepThreadRunning_ = false;
  std::lock_guard lock(thread_->mutex);
  if (thread_->queueClosed) return;
  platform::KEvent trigger{kWakeUpIdent, platform::EVFILT_USER, 0, platform::NOTE_TRIGGER, 0, nullptr};
  const std::timespec zero{0, 0};
  platform::kevent(queueFD_, &trigger, 1, nullptr, 0, &zero);
}

bool WQKQueue::waitUntilStopped(std::chrono::milliseconds limit) const {
  std::unique_lock lock(thread_->mutex);
  return thread_->ended.wait_for(lock, limit, [&] { return thread_->finished; });
}

// The thread's own copy of `state` (std::thread keeps its arguments until the
// call returns) keeps the state alive past the watcher.
void WQKQueue::runThread(std::shared_ptr<WQKQueue> self, const std::shared_ptr<ThreadState>& state) {
  self->watcherThread(nullptr);
  self.reset();  // the watcher may be destroyed here
  {
    std::lock_guard lock(state->mutex);
    state->finished = true;
  }
  state->ended.notify_all();
}

std::optional<std::string> WQKQueue::pathForRegistration(void* udata) const {
  const auto registration = reinterpret_cast<std::uintptr_t>(udata);
  std::lock_guard lock(lock_);
  for (const Entry& entry : watched_) {
    if (entry.registration == registration) return entry.path;
  }
  return std::nullopt;  // removed since the event was read
}

void WQKQueue::watcherThread(std::nullptr_t) {
  const std::timespec timeout{5, 0};
  while (keepThreadRunning_.load()) {
    try {
      platform::KEvent event;
      int n = platform::kevent(queueFD_, nullptr, 0, &event, 1, &timeout);
      if (n < 1) {
        // A queue closed under us can never deliver again; waiting on it
        // would only spin.
        if (n == -1 && errno == EBADF) break;
        continue;
      }
      if (event.filter != platform::EVFILT_VNODE || event.fflags == 0) continue;
      std::optional<std::string> path = pathForRegistration(event.udata);
      if (!path) continue;
      platform::Workspace::sharedWorkspace().noteFileSystemChanged(*path);
      for (const FlagName& entry : kReportOrder) {
        if (event.fflags & entry.flag) postNotification(entry.name, *path);
      }
    } catch (const std::exception& e) {
      platform::log(std::string("Error in WQKQueue watcherThread: ") + e.what());
    } catch (...) {
      platform::log("Error in WQKQueue watcherThread: unknown exception");
    }
  }
  std::lock_guard lock(thread_->mutex);
  if (platform::close(queueFD_) == -1) {
    platform::log("release: Couldn't close main kqueue (" + std::to_string(errno) + ")");
  }
  thread_->queueClosed = true;
}

}  // namespace watch
