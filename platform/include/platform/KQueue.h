#pragma once
// Kernel event queues with the BSD calling convention: kqueue(), kevent(),
// open() with O_EVTONLY and close(). On BSD and macOS these forward to the
// system's own calls; on Linux they are built over inotify and keep the BSD
// behaviour the watchers rely on (see the notes on each declaration).
//
// Only the vnode filter (file changes) and the user filter (wake-ups) exist.
// The constants carry the BSD values so that code written against them reads
// as it would on BSD.

#include <cstdint>
#include <ctime>

namespace platform {

// One change record (in) or event record (out).
struct kevent {
  std::uintptr_t ident = 0;  // the descriptor (vnode filter) or any number (user filter)
  std::int16_t filter = 0;   // EVFILT_*
  std::uint16_t flags = 0;   // EV_*
  std::uint32_t fflags = 0;  // NOTE_* of the filter
  std::intptr_t data = 0;    // filter data; the error number on EV_ERROR
  void* udata = nullptr;     // handed back unchanged with every event
};
using KEvent = struct kevent;

// Filters.
inline constexpr std::int16_t EVFILT_VNODE = -4;
inline constexpr std::int16_t EVFILT_USER = -11;

// Actions and flags of a change record.
inline constexpr std::uint16_t EV_ADD = 0x0001;      // add, or modify the existing registration
inline constexpr std::uint16_t EV_DELETE = 0x0002;   // remove the registration
inline constexpr std::uint16_t EV_ENABLE = 0x0004;   // report its events
inline constexpr std::uint16_t EV_DISABLE = 0x0008;  // keep it but report nothing
inline constexpr std::uint16_t EV_ONESHOT = 0x0010;  // remove it after its first event
inline constexpr std::uint16_t EV_CLEAR = 0x0020;    // reset its state once it has been read
inline constexpr std::uint16_t EV_ERROR = 0x4000;    // out: data holds the error of a change

// Vnode filter flags (fflags).
inline constexpr std::uint32_t NOTE_DELETE = 0x01;  // the file's last name was removed
inline constexpr std::uint32_t NOTE_WRITE = 0x02;   // contents written (entries, for a folder)
inline constexpr std::uint32_t NOTE_EXTEND = 0x04;  // a write made the file longer
inline constexpr std::uint32_t NOTE_ATTRIB = 0x08;  // attributes changed
inline constexpr std::uint32_t NOTE_LINK = 0x10;    // the link count changed
inline constexpr std::uint32_t NOTE_RENAME = 0x20;  // the file was renamed
inline constexpr std::uint32_t NOTE_REVOKE = 0x40;  // access was revoked (file system unmounted)

// User filter flags (fflags).
inline constexpr std::uint32_t NOTE_FFNOP = 0x00000000;       // keep the stored flags
inline constexpr std::uint32_t NOTE_FFAND = 0x40000000;       // AND the low 24 bits in
inline constexpr std::uint32_t NOTE_FFOR = 0x80000000;        // OR the low 24 bits in
inline constexpr std::uint32_t NOTE_FFCOPY = 0xc0000000;      // replace with the low 24 bits
inline constexpr std::uint32_t NOTE_FFCTRLMASK = 0xc0000000;  // the operation bits
inline constexpr std::uint32_t NOTE_FFLAGSMASK = 0x00ffffff;  // the stored flags
inline constexpr std::uint32_t NOTE_TRIGGER = 0x01000000;     // make the event fire

// open() flag: a descriptor used only to watch the file for events. It needs
// no read permission on the file and does not keep a volume busy for writing.
inline constexpr int O_EVTONLY = 0x8000;

// Creates an event queue; its descriptor, or -1 with errno set.
int kqueue();

// Applies nchanges change records, then, when nevents > 0, waits for up to
// nevents events: at once when some are ready, otherwise until one arrives or
// the time-out passes (nullptr: no time-out; zero: do not wait). Returns the
// number of event records written (0 on time-out), or -1 with errno set.
// A change that fails is reported as an EV_ERROR event record when there is
// room for it, else the call fails with its errno.
//
// Vnode registrations (ident = a descriptor, usually from open() with
// O_EVTONLY) report only the flags of their fflags mask. With EV_CLEAR the
// flags that built up since the event was last read arrive together in one
// event. A registration follows its descriptor's file through renames; the
// same file registered through two descriptors reports each change to both.
//
// Thread-safe: one thread may wait on a queue while others register.
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist, int nevents,
           const std::timespec* timeout);

// open(2) that also understands O_EVTONLY. Returns a descriptor, or -1 with
// errno set.
int open(const char* path, int flags, int mode = 0);

// close(2) for descriptors of this layer: closing a watched descriptor ends
// its registrations in every queue; closing a queue wakes its waiters (their
// kevent() fails with EBADF) and frees the queue. Returns 0, or -1 with errno.
int close(int fd);

}  // namespace platform
