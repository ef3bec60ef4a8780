// Kernel event queues on BSD and macOS: the system's own calls. Only the
// record layout and the user filter's number differ from ours.

#include "platform/KQueue.h"

namespace platform {
namespace {
// Our names, taken before <sys/event.h> defines the same names as macros.
constexpr std::int16_t kOurVnodeFilter = EVFILT_VNODE;
constexpr std::int16_t kOurUserFilter = EVFILT_USER;
constexpr int kOurEventOnly = O_EVTONLY;
}  // namespace
}  // namespace platform

#include <fcntl.h>
#include <sys/event.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace platform {
namespace {

#ifdef O_EVTONLY
constexpr int kNativeEventOnly = O_EVTONLY;
#else
constexpr int kNativeEventOnly = O_RDONLY;
#endif

short toNative(std::int16_t filter) { return filter == kOurUserFilter ? EVFILT_USER : filter; }
std::int16_t fromNative(short filter) { return filter == EVFILT_USER ? kOurUserFilter : filter; }

}  // namespace

static_assert(kOurVnodeFilter == EVFILT_VNODE);

int kqueue() { return ::kqueue(); }

int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist, int nevents,
           const std::timespec* timeout) {
  std::vector<struct ::kevent> in(nchanges > 0 ? nchanges : 0);
  for (int i = 0; i < nchanges; ++i) {
    const auto& c = changelist[i];
    EV_SET(&in[i], c.ident, toNative(c.filter), c.flags, c.fflags, c.data, c.udata);
  }
  std::vector<struct ::kevent> out(nevents > 0 ? nevents : 0);
  int n = ::kevent(kq, in.data(), nchanges, out.data(), nevents, timeout);
  for (int i = 0; i < n; ++i) {
    eventlist[i] = {
        out[i].ident, fromNative(out[i].filter), out[i].flags, out[i].fflags, static_cast<std::intptr_t>(out[i].data),
        out[i].udata};
  }
  return n;
}

int open(const char* path, int flags, int mode) {
  if (flags & kOurEventOnly) flags = (flags & ~kOurEventOnly) | kNativeEventOnly;
  return ::open(path, flags, mode);
}

int close(int fd) { return ::close(fd); }

}  // namespace platform
