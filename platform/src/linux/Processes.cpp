// Processes through pidfds (Linux 5.3 and later): a pidfd becomes readable
// when its process ends, whether or not it is our child.
#include "platform/Processes.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <csignal>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace platform {
namespace {

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Polls fd for readability up to timeout (negative: forever), across signals.
bool waitReadable(int fd, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

// True when /proc says the process is a zombie or dead (pidfds unavailable).
bool procSaysEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  // The state follows the command name, which is in parentheses and may
  // itself hold ")" and spaces: look after the last one.
  auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return true;
  char state = text[close + 2];
  return state == 'Z' || state == 'X' || state == 'x';
}

// The parent and state of a process from /proc/PID/stat; nothing when it
// cannot be read.
struct StatLine {
  pid_t parent = 0;
  char state = '?';
};

std::optional<StatLine> readStat(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return std::nullopt;
  auto close = text.rfind(')');
  if (close == std::string::npos || close + 4 >= text.size()) return std::nullopt;
  StatLine line;
  line.state = text[close + 2];
  line.parent = static_cast<pid_t>(std::atol(text.c_str() + close + 4));
  return line;
}

struct DirClose {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Every numbered entry of /proc; nothing when /proc cannot be read.
std::optional<std::vector<pid_t>> allProcesses() {
  std::unique_ptr<DIR, DirClose> proc(::opendir("/proc"));
  if (!proc) return std::nullopt;
  std::vector<pid_t> pids;
  while (dirent* entry = ::readdir(proc.get())) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    pids.push_back(static_cast<pid_t>(std::atol(name)));
  }
  return pids;
}

bool endedState(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

}  // namespace

std::optional<std::vector<pid_t>> livingProcessTree(const std::vector<pid_t>& roots, std::size_t limit) {
  const std::optional<std::vector<pid_t>> all = allProcesses();
  if (!all) return std::nullopt;
  std::multimap<pid_t, pid_t> children;
  std::map<pid_t, bool> living;
  for (pid_t pid : *all) {
    const std::optional<StatLine> stat = readStat(pid);
    if (!stat) continue;
    living[pid] = !endedState(stat->state);
    children.emplace(stat->parent, pid);
  }
  std::vector<pid_t> tree;
  std::set<pid_t> seen;
  std::vector<pid_t> pending(roots.begin(), roots.end());
  while (!pending.empty() && tree.size() < limit) {
    const pid_t pid = pending.back();
    pending.pop_back();
    if (pid <= 0 || !seen.insert(pid).second) continue;
    auto alive = living.find(pid);
    if (alive == living.end()) continue;
    // A zombie's children still count: they have not been handed to another
    // parent yet.
    if (alive->second) tree.push_back(pid);
    auto [from, to] = children.equal_range(pid);
    for (auto it = from; it != to; ++it) pending.push_back(it->second);
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

std::vector<pid_t> processesRunning(const std::vector<std::string>& programs, const std::vector<std::string>& folders,
                                    const std::vector<pid_t>& excluding) {
  std::vector<pid_t> found;
  const std::optional<std::vector<pid_t>> all = allProcesses();
  if (!all) return found;
  const pid_t self = ::getpid();
  for (pid_t pid : *all) {
    if (pid == self || std::find(excluding.begin(), excluding.end(), pid) != excluding.end()) continue;
    const std::optional<std::string> exe = processExecutablePath(pid);
    if (!exe) continue;
    bool match = std::find(programs.begin(), programs.end(), *exe) != programs.end();
    for (const auto& folder : folders) {
      if (!folder.empty() && exe->size() > folder.size() && exe->compare(0, folder.size(), folder) == 0 &&
          (*exe)[folder.size()] == '/') {
        match = true;
      }
    }
    if (match && isProcessRunning(pid)) found.push_back(pid);
  }
  return found;
}

std::optional<ProcessHandle> ProcessHandle::open(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  int fd = pidfdOpen(pid);
  if (fd < 0) return std::nullopt;
  return ProcessHandle(pid, fd);
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : pid_(other.pid_), fd_(other.fd_) { other.fd_ = -1; }

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    pid_ = other.pid_;
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ProcessHandle::~ProcessHandle() {
  if (fd_ >= 0) ::close(fd_);
}

bool ProcessHandle::isRunning() const { return !waitReadable(fd_, std::chrono::milliseconds(0)); }

bool ProcessHandle::waitForExit(std::chrono::milliseconds timeout) const { return waitReadable(fd_, timeout); }

bool isProcessRunning(pid_t pid) {
  if (pid <= 0) return false;
  if (auto handle = ProcessHandle::open(pid)) return handle->isRunning();
  if (errno == ESRCH) return false;
  // No pidfds here: fall back to a signal probe and the process state.
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  return !procSaysEnded(pid);
}

bool waitForProcessExit(pid_t pid, std::chrono::milliseconds timeout) {
  if (pid <= 0) return true;
  if (auto handle = ProcessHandle::open(pid)) return handle->waitForExit(timeout);
  if (errno == ESRCH) return true;
  // No pidfds: look every 10 ms.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!isProcessRunning(pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(10000);
  }
}

std::optional<std::string> processExecutablePath(pid_t pid) {
  std::vector<char> buf(4096);
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  std::string path(buf.data(), static_cast<std::size_t>(n));
  // A program replaced on disk after it started reads "PATH (deleted)".
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    path.erase(path.size() - kDeleted.size());
  }
  return path;
}

}  // namespace platform
