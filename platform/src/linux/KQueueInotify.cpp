// Kernel event queues on Linux, built over inotify.
//
// Each queue is one inotify instance (its descriptor is the queue's
// descriptor) plus an eventfd that wakes waiters for user events and for the
// queue's closing. A vnode registration watches the inode behind its
// descriptor by adding the watch through /proc/self/fd/N: the watch belongs
// to the inode, so it follows the file through renames and stays valid after
// the file's last name is gone. inotify keeps one watch per inode and
// instance, so registrations of the same file through several descriptors
// share a watch and each one gets its own copy of every change.
//
// Translation of inotify events into vnode flags:
//   IN_MODIFY                -> NOTE_WRITE, plus NOTE_EXTEND when the size grew
//   IN_ATTRIB                -> NOTE_DELETE when the link count reached 0,
//                               NOTE_LINK when it changed otherwise,
//                               NOTE_ATTRIB when it did not change
//   IN_MOVE_SELF             -> NOTE_RENAME
//   IN_DELETE_SELF           -> NOTE_DELETE (unless already reported)
//   IN_UNMOUNT               -> NOTE_REVOKE
//   entry created, removed or moved in a watched folder -> NOTE_WRITE, plus
//                               NOTE_LINK when the folder's link count changed
// The descriptor we hold keeps the inode alive, so inotify never reports its
// deletion (that comes with the last close); the link count read on
// IN_ATTRIB is how a removal is noticed.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/KQueue.h"

namespace platform {
namespace {

constexpr std::uint32_t kSelfEvents = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr std::uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// What we last knew of a watched inode, to tell which kind of change an
// inotify event stands for.
struct Snapshot {
  bool valid = false;
  off_t size = 0;
  nlink_t nlink = 0;
  struct timespec mtime {};
  struct timespec ctime {};
};

Snapshot snapshotOf(const struct stat& st) {
  Snapshot s;
  s.valid = true;
  s.size = st.st_size;
  s.nlink = st.st_nlink;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

Snapshot snapshotOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return snapshotOf(st);
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct Key {
  std::int16_t filter;
  std::uintptr_t ident;
  bool operator<(const Key& o) const { return filter != o.filter ? filter < o.filter : ident < o.ident; }
  bool operator==(const Key& o) const { return filter == o.filter && ident == o.ident; }
};

struct Registration {
  Key key;
  std::uint16_t flags = 0;   // EV_CLEAR / EV_ONESHOT as registered
  std::uint32_t fflags = 0;  // vnode: the mask; user: the stored flags
  void* udata = nullptr;
  bool enabled = true;
  std::uint32_t pending = 0;  // vnode: flags since last read; user: non-zero when triggered
  bool queued = false;        // present in the ready list
  int wd = -1;                // vnode: the inotify watch, -1 once the watch is gone
};

// One inotify watch, that is one inode, and the registrations that share it.
struct Watch {
  std::vector<Key> registrations;
  Snapshot last;
};

class Queue {
 public:
  Queue(int inotifyFd, int wakeFd) : inotifyFd_(inotifyFd), wakeFd_(wakeFd) {}
  ~Queue() {
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    ::close(wakeFd_);
  }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // Applies the changes; failed ones become EV_ERROR records in out while
  // there is room. Returns the number of error records, or -1 with errno.
  int applyChanges(const struct kevent* changes, int n, struct kevent* out, int room) {
    std::lock_guard lock(mutex_);
    if (closed_) return fail(EBADF);
    int errors = 0;
    for (int i = 0; i < n; ++i) {
      int err = apply(changes[i]);
      if (err == 0) continue;
      if (errors >= room) return fail(err);
      out[errors] = changes[i];
      out[errors].flags = EV_ERROR;
      out[errors].data = err;
      ++errors;
    }
    // A trigger or a re-enabled registration may have made an event ready
    // that no inotify activity will announce to a waiting thread.
    if (!ready_.empty()) wake();
    return errors;
  }

  // Waits for up to n events; see kevent().
  int wait(struct kevent* out, int n, const struct timespec* timeout) {
    using Clock = std::chrono::steady_clock;
    const bool bounded = timeout != nullptr;
    Clock::time_point deadline{};
    if (bounded) {
      deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec);
    }
    std::unique_lock lock(mutex_);
    for (;;) {
      if (closed_) return fail(EBADF);
      readInotify();
      int got = collect(out, n);
      if (got > 0) {
        // Other waiters may have slept through the wake-up we consumed.
        if (!ready_.empty()) wake();
        return got;
      }
      struct timespec remaining {};
      if (bounded) {
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
        remaining.tv_nsec = static_cast<long>(ns % 1000000000);
      }
      struct pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      lock.unlock();
      int r = ::ppoll(fds, 2, bounded ? &remaining : nullptr, nullptr);
      int pollErrno = errno;
      lock.lock();
      if (r < 0 && pollErrno != EINTR) return fail(pollErrno);
      if (r > 0 && (fds[1].revents & POLLIN) && !closed_) {
        std::uint64_t count;
        [[maybe_unused]] auto ignored = ::read(wakeFd_, &count, sizeof count);
      }
    }
  }

  // Closes the queue: waiters wake and fail with EBADF. Returns the result
  // of closing the inotify descriptor, with errno.
  int shutdown() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    regs_.clear();
    watches_.clear();
    ready_.clear();
    int r = ::close(inotifyFd_);
    int closeErrno = errno;
    inotifyFd_ = -1;
    wake();
    errno = closeErrno;
    return r;
  }

  // Ends the vnode registrations of a descriptor that is being closed.
  void forget(int fd) {
    std::lock_guard lock(mutex_);
    auto it = regs_.find(Key{EVFILT_VNODE, static_cast<std::uintptr_t>(fd)});
    if (it != regs_.end()) remove(it);
  }

 private:
  static int fail(int err) {
    errno = err;
    return -1;
  }

  void wake() const {
    std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
  }

  int apply(const struct kevent& c) {
    if (c.filter != EVFILT_VNODE && c.filter != EVFILT_USER) return EINVAL;
    const Key key{c.filter, c.ident};
    auto it = regs_.find(key);
    if (c.flags & EV_DELETE) {
      if (it == regs_.end()) return ENOENT;
      remove(it);
      return 0;
    }
    if (it == regs_.end()) {
      if (!(c.flags & EV_ADD)) return ENOENT;
      Registration r;
      r.key = key;
      if (c.filter == EVFILT_VNODE) {
        if (int err = attach(r)) return err;
      }
      it = regs_.emplace(key, r).first;
    }
    Registration& r = it->second;
    if (c.flags & EV_ADD) {
      r.flags = c.flags & (EV_CLEAR | EV_ONESHOT);
      r.udata = c.udata;
      if (c.filter == EVFILT_VNODE) r.fflags = c.fflags;
    }
    if (c.filter == EVFILT_USER) {
      std::uint32_t value = c.fflags & NOTE_FFLAGSMASK;
      switch (c.fflags & NOTE_FFCTRLMASK) {
        case NOTE_FFAND: r.fflags &= value; break;
        case NOTE_FFOR: r.fflags |= value; break;
        case NOTE_FFCOPY: r.fflags = value; break;
        default: break;
      }
      if (c.fflags & NOTE_TRIGGER) r.pending = 1;
    }
    if (c.flags & EV_DISABLE) r.enabled = false;
    if (c.flags & (EV_ENABLE | EV_ADD) && !(c.flags & EV_DISABLE)) r.enabled = true;
    if (r.enabled && r.pending != 0) enqueue(r);
    return 0;
  }

  // Starts watching the inode behind the registration's descriptor.
  int attach(Registration& r) {
    if (r.key.ident > static_cast<std::uintptr_t>(INT_MAX)) return EBADF;
    const int fd = static_cast<int>(r.key.ident);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return EBADF;
    // Changes already queued by inotify happened before this registration;
    // take them now so that they are not reported to it.
    readInotify();
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    int wd = ::inotify_add_watch(inotifyFd_, link.c_str(), kSelfEvents | kEntryEvents);
    if (wd < 0) return errno;
    auto [wit, fresh] = watches_.try_emplace(wd);
    if (fresh) wit->second.last = snapshotOf(st);
    wit->second.registrations.push_back(r.key);
    r.wd = wd;
    return 0;
  }

  void remove(std::map<Key, Registration>::iterator it) {
    const Registration& r = it->second;
    if (r.wd >= 0) {
      auto wit = watches_.find(r.wd);
      if (wit != watches_.end()) {
        std::erase(wit->second.registrations, r.key);
        if (wit->second.registrations.empty()) {
          ::inotify_rm_watch(inotifyFd_, r.wd);
          watches_.erase(wit);
        }
      }
    }
    if (r.queued) std::erase(ready_, r.key);
    regs_.erase(it);
  }

  void enqueue(Registration& r) {
    if (r.queued) return;
    r.queued = true;
    ready_.push_back(r.key);
  }

  // Moves ready registrations into event records, in the order they became
  // ready.
  int collect(struct kevent* out, int n) {
    int got = 0;
    std::vector<Key> stillReady;  // registrations without EV_CLEAR fire again
    while (got < n && !ready_.empty()) {
      const Key key = ready_.front();
      ready_.pop_front();
      auto it = regs_.find(key);
      if (it == regs_.end()) continue;
      Registration& r = it->second;
      r.queued = false;
      if (!r.enabled || r.pending == 0) continue;
      struct kevent& ev = out[got++];
      ev.ident = key.ident;
      ev.filter = key.filter;
      ev.flags = r.flags;
      ev.fflags = key.filter == EVFILT_VNODE ? r.pending : r.fflags;
      ev.data = 0;
      ev.udata = r.udata;
      if (r.flags & EV_ONESHOT) {
        remove(it);
      } else if (r.flags & EV_CLEAR) {
        r.pending = 0;
      } else {
        stillReady.push_back(key);
      }
    }
    for (const Key& key : stillReady) enqueue(regs_.at(key));
    return got;
  }

  // Takes every event inotify has queued and turns it into pending flags.
  void readInotify() {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
      if (n <= 0) return;  // EAGAIN: nothing more
      for (char* p = buffer; p < buffer + n;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(p);
        handle(*e);
        p += sizeof(struct inotify_event) + e->len;
      }
    }
  }

  int anyDescriptor(const Watch& w) const {
    for (const Key& key : w.registrations) return static_cast<int>(key.ident);
    return -1;
  }

  void handle(const struct inotify_event& e) {
    if (e.mask & IN_Q_OVERFLOW) {
      rescanAll();
      return;
    }
    auto wit = watches_.find(e.wd);
    if (wit == watches_.end()) return;  // a watch already removed
    Watch& w = wit->second;
    std::uint32_t notes = 0;
    if (e.len > 0) {
      // An entry of a watched folder: only entries coming and going change
      // the folder itself.
      if (e.mask & kEntryEvents) notes |= NOTE_WRITE | linkNotes(w);
    } else {
      if (e.mask & IN_MODIFY) notes |= writeNotes(w);
      if (e.mask & IN_ATTRIB) {
        std::uint32_t link = linkNotes(w);
        notes |= link != 0 ? link : NOTE_ATTRIB;
      }
      if (e.mask & IN_MOVE_SELF) notes |= NOTE_RENAME;
      if (e.mask & IN_DELETE_SELF) {
        if (!w.last.valid || w.last.nlink != 0) notes |= NOTE_DELETE;
        w.last.nlink = 0;
      }
      if (e.mask & IN_UNMOUNT) notes |= NOTE_REVOKE;
    }
    deliver(w, notes);
    if (e.mask & IN_IGNORED) {
      // The kernel dropped the watch (inode gone, file system unmounted).
      for (const Key& key : w.registrations) regs_.at(key).wd = -1;
      watches_.erase(wit);
    }
  }

  std::uint32_t writeNotes(Watch& w) {
    Snapshot now = snapshotOf(anyDescriptor(w));
    std::uint32_t notes = NOTE_WRITE;
    if (now.valid) {
      if (w.last.valid && now.size > w.last.size) notes |= NOTE_EXTEND;
      w.last.size = now.size;
      w.last.mtime = now.mtime;
    }
    return notes;
  }

  // NOTE_DELETE when the last name is gone, NOTE_LINK when the link count
  // changed otherwise, 0 when it did not change.
  std::uint32_t linkNotes(Watch& w) {
    Snapshot now = snapshotOf(anyDescriptor(w));
    if (!now.valid) return 0;
    std::uint32_t notes = 0;
    if (w.last.valid && now.nlink != w.last.nlink) notes = now.nlink == 0 ? NOTE_DELETE : NOTE_LINK;
    w.last.nlink = now.nlink;
    w.last.ctime = now.ctime;
    w.last.valid = true;
    return notes;
  }

  // After an inotify overflow nothing says which files changed: compare
  // every watched inode with what we last knew of it.
  void rescanAll() {
    for (auto& [wd, w] : watches_) {
      Snapshot now = snapshotOf(anyDescriptor(w));
      if (!now.valid || !w.last.valid) continue;
      std::uint32_t notes = 0;
      if (now.size > w.last.size) notes |= NOTE_WRITE | NOTE_EXTEND;
      if (now.size != w.last.size || !sameTime(now.mtime, w.last.mtime)) notes |= NOTE_WRITE;
      if (now.nlink != w.last.nlink) notes |= now.nlink == 0 ? NOTE_DELETE : NOTE_LINK;
      if (notes == 0 && !sameTime(now.ctime, w.last.ctime)) notes |= NOTE_ATTRIB;
      w.last = now;
      deliver(w, notes);
    }
  }

  void deliver(const Watch& w, std::uint32_t notes) {
    if (notes == 0) return;
    for (const Key& key : w.registrations) {
      Registration& r = regs_.at(key);
      std::uint32_t mine = notes & r.fflags;
      if (mine == 0) continue;
      r.pending |= mine;
      if (r.enabled) enqueue(r);
    }
  }

  std::mutex mutex_;
  int inotifyFd_;
  const int wakeFd_;
  bool closed_ = false;
  std::map<Key, Registration> regs_;
  std::unordered_map<int, Watch> watches_;
  std::deque<Key> ready_;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<int, std::shared_ptr<Queue>> queues;
};

Registry& registry() {
  static auto* r = new Registry();  // waiters may still use it at exit
  return *r;
}

std::shared_ptr<Queue> findQueue(int kq) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.queues.find(kq);
  return it == reg.queues.end() ? nullptr : it->second;
}

}  // namespace

int kqueue() {
  int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (in < 0) return -1;
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    int err = errno;
    ::close(in);
    errno = err;
    return -1;
  }
  auto queue = std::make_shared<Queue>(in, wake);
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.queues[in] = std::move(queue);
  return in;
}

int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist, int nevents,
           const std::timespec* timeout) {
  if (nchanges < 0 || nevents < 0 || (nchanges > 0 && changelist == nullptr) || (nevents > 0 && eventlist == nullptr)) {
    errno = EINVAL;
    return -1;
  }
  std::shared_ptr<Queue> queue = findQueue(kq);
  if (!queue) {
    errno = EBADF;
    return -1;
  }
  if (nchanges > 0) {
    int errors = queue->applyChanges(changelist, nchanges, eventlist, nevents);
    if (errors != 0) return errors;  // -1, or error records to report at once
  }
  if (nevents == 0) return 0;
  return queue->wait(eventlist, nevents, timeout);
}

int open(const char* path, int flags, int mode) {
  if (flags & O_EVTONLY) {
    // A path-only descriptor: enough to fstat and watch the file, needs no
    // read permission, and cannot be used for I/O by mistake.
    // (Some architectures give O_NOFOLLOW the value of O_EVTONLY; there the
    // flag always means O_EVTONLY.)
    int kept = flags & ~O_EVTONLY & (O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
    return ::open(path, O_PATH | O_CLOEXEC | kept);
  }
  return ::open(path, flags, static_cast<mode_t>(mode));
}

int close(int fd) {
  std::shared_ptr<Queue> queue;
  std::vector<std::shared_ptr<Queue>> queues;
  {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.queues.find(fd);
    if (it != reg.queues.end()) {
      queue = std::move(it->second);
      reg.queues.erase(it);
    } else {
      queues.reserve(reg.queues.size());
      for (auto& [kq, q] : reg.queues) queues.push_back(q);
    }
  }
  if (queue) return queue->shutdown();
  // End the registrations before the number can be reused.
  for (auto& q : queues) q->forget(fd);
  return ::close(fd);
}

}  // namespace platform
