// Whether another process holds a document, from what Linux shows of it:
// locks (F_OFD_GETLK, /proc/locks), editor lock files beside it, and the open
// descriptors of every process (/proc/PID/fd). None of this takes a lock:
// an editor that locks the document while loading it must never find it taken
// ("document locked for editing").
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "UniqueFd.h"
#include "platform/DocumentHold.h"

namespace platform {
namespace {

struct DirClose {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirClose>;

using Fd = detail::UniqueFd;

HoldReport held(HoldKind kind, std::string reason, pid_t holder = 0) {
  return {HoldState::Held, std::move(reason), kind, holder, {}};
}

std::string errnoText(int err) { return std::strerror(err); }

// The identity of a file as /proc/locks and fdinfo write it: "MAJ:MIN:INO"
// with the device numbers in hex.
std::string lockId(dev_t dev, ino_t ino) {
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(dev), minor(dev), static_cast<unsigned long long>(ino));
  return id;
}

struct LockEntry {
  std::string type;    // "POSIX", "OFDLCK", "FLOCK", "LEASE", ...
  std::string access;  // "READ" or "WRITE"
  pid_t pid;           // -1 for OFD locks, whose owner is a file description
};

// The locks granted on the file, from lines such as
//   "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
// ("-> " after the number marks a request still waiting, which holds
// nothing). The same lines appear as "lock:\t..." in /proc/PID/fdinfo/N.
std::vector<LockEntry> locksIn(std::istream& in, const std::string& id, bool fdinfo) {
  std::vector<LockEntry> found;
  std::string line;
  while (std::getline(in, line)) {
    if (fdinfo) {
      if (line.rfind("lock:", 0) != 0) continue;
      line.erase(0, 5);
    }
    std::istringstream fields(line);
    std::string number;
    std::string type;
    std::string mode;
    std::string access;
    std::string pid;
    std::string fileId;
    fields >> number >> type;
    if (type == "->") continue;
    fields >> mode >> access >> pid >> fileId;
    if (fileId != id) continue;
    found.push_back({type, access, static_cast<pid_t>(std::atol(pid.c_str()))});
  }
  return found;
}

// How many OFD locks on the file this process holds (they carry no pid).
std::size_t ownOfdLocks(const std::string& id) {
  std::size_t count = 0;
  DirPtr fds(::opendir("/proc/self/fdinfo"));
  if (!fds) return 0;
  while (dirent* entry = ::readdir(fds.get())) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
    for (const auto& lock : locksIn(info, id, true)) count += static_cast<unsigned long>(lock.type == "OFDLCK");
  }
  return count;
}

// A lock that another process holds on the file. F_OFD_GETLK on a read-only
// descriptor asks for a whole-file write lock without taking it, so every
// POSIX or OFD lock conflicts; /proc/locks adds flock locks, which fcntl does
// not see, and the owners of OFD locks are told apart from this process's own
// by counting those listed in its fdinfo.
std::optional<HoldReport> lockByAnother(int fd, dev_t dev, ino_t ino) {
  const pid_t self = ::getpid();
  const std::string id = lockId(dev, ino);
  std::ifstream procLocks("/proc/locks");
  const std::vector<LockEntry> locks = locksIn(procLocks, id, false);

  if (fd >= 0) {
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK) {
      const std::string access = query.l_type == F_RDLCK ? "de lectura" : "de escritura";
      if (query.l_pid > 0 && query.l_pid != self) {
        return held(HoldKind::Lock, "bloqueo POSIX " + access + " del proceso " + std::to_string(query.l_pid),
                    query.l_pid);
      }
      if (query.l_pid <= 0) {
        std::size_t ofd = 0;
        for (const auto& lock : locks) ofd += static_cast<unsigned long>(lock.type == "OFDLCK");
        // Without /proc/locks nothing says whose it is: count it as another's.
        if (ofd == 0 || ofd > ownOfdLocks(id)) return held(HoldKind::Lock, "bloqueo OFD " + access);
      }
    }
  }
  for (const auto& lock : locks) {
    if (lock.pid <= 0 || lock.pid == self) continue;
    return held(HoldKind::Lock, "bloqueo " + lock.type + " " + lock.access + " del proceso " + std::to_string(lock.pid),
                lock.pid);
  }
  return std::nullopt;
}

// Other processes with a descriptor open on the file (the first few).
// Descriptor links that are not paths (pipes, sockets, anonymous inodes) are
// passed over without a stat; processes whose descriptors cannot be read
// (other users') are skipped.
std::optional<HoldReport> openInSomeProcess(dev_t dev, ino_t ino) {
  constexpr std::size_t kMaxHolders = 32;
  DirPtr proc(::opendir("/proc"));
  if (!proc) return std::nullopt;
  const pid_t self = ::getpid();
  char link[4096];
  std::vector<pid_t> holders;
  while (dirent* entry = ::readdir(proc.get())) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    auto pid = static_cast<pid_t>(std::atol(name));
    if (pid == self) continue;
    std::string fdPath = std::string("/proc/") + name + "/fd";
    DirPtr fds(::opendir(fdPath.c_str()));
    if (!fds) continue;
    int dirFd = ::dirfd(fds.get());
    while (dirent* fdEntry = ::readdir(fds.get())) {
      if (fdEntry->d_name[0] == '.') continue;
      ssize_t n = ::readlinkat(dirFd, fdEntry->d_name, link, sizeof link);
      if (n <= 0 || link[0] != '/') continue;
      struct stat st {};
      if (::fstatat(dirFd, fdEntry->d_name, &st, 0) != 0) continue;
      if (st.st_dev == dev && st.st_ino == ino) {
        holders.push_back(pid);
        break;
      }
    }
    if (holders.size() >= kMaxHolders) break;
  }
  if (holders.empty()) return std::nullopt;
  HoldReport report =
      held(HoldKind::Open, "abierto por el proceso " + std::to_string(holders.front()), holders.front());
  report.holders = std::move(holders);
  return report;
}

}  // namespace

std::vector<std::string> editorLockFileNames(const std::string& name) {
  std::vector<std::string> names = {
      ".~lock." + name + "#",  // office suites of the OpenOffice family
      "~$" + name,             // word processors of the Office family
      "." + name + ".swp",     // vi-style editors and nano
      "." + name + ".swo",     // a second vi editing the same file
      ".#" + name,             // Emacs (a symbolic link, usually dangling)
      "." + name + ".kate-swp",
  };
  // The Office family shortens long names: a stem of seven characters loses
  // its first one, a longer stem its first two.
  auto dot = name.rfind('.');
  std::size_t stem = dot == std::string::npos ? name.size() : dot;
  if (stem == 7) names.push_back("~$" + name.substr(1));
  if (stem >= 8) names.push_back("~$" + name.substr(2));
  return names;
}

std::optional<std::string> lockedDocumentName(const std::string& lock) {
  auto between = [&](std::string_view head, std::string_view tail) -> std::optional<std::string> {
    if (lock.size() <= head.size() + tail.size()) return std::nullopt;
    if (lock.compare(0, head.size(), head) != 0) return std::nullopt;
    if (lock.compare(lock.size() - tail.size(), tail.size(), tail) != 0) return std::nullopt;
    return lock.substr(head.size(), lock.size() - head.size() - tail.size());
  };
  for (auto [head, tail] : {std::pair<std::string_view, std::string_view>{".~lock.", "#"},
                            {".", ".kate-swp"},
                            {".", ".swp"},
                            {".", ".swo"},
                            {".#", ""},
                            {"~$", ""}}) {
    if (auto name = between(head, tail); name && name->find('/') == std::string::npos) return name;
  }
  return std::nullopt;
}

HoldReport probeDocumentHold(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return {HoldState::Missing, "no se puede examinar: " + errnoText(errno), HoldKind::None, 0, {}};
  }

  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (const auto& lockName : editorLockFileNames(name)) {
    struct stat lockSt {};
    std::string lockPath = (slash == std::string::npos ? "" : folder) + lockName;
    if (::lstat(lockPath.c_str(), &lockSt) == 0) {
      return held(HoldKind::LockFile, "fichero de bloqueo " + lockPath);
    }
  }

  // Read-only, never blocking (a FIFO would wait for a writer), and the
  // identity taken from the descriptor: the file looked at is the file
  // judged, even if a save renames another over the path meanwhile.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() >= 0) {
    struct stat opened {};
    if (::fstat(fd.get(), &opened) == 0) st = opened;
  }
  if (auto report = lockByAnother(fd.get(), st.st_dev, st.st_ino)) return *report;
  if (auto report = openInSomeProcess(st.st_dev, st.st_ino)) return *report;
  return {HoldState::Free, "libre", HoldKind::None, 0, {}};
}

}  // namespace platform
