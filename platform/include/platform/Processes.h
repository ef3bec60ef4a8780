#pragma once
// Other processes: whether one still runs, waiting for its end, and its
// executable. These work from any thread and never need the main loop, so a
// main thread that is blocked (as it is while a document is being edited) can
// still ask.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A process, held by a pidfd: unlike a bare pid it cannot come to name another
// process once this one has ended and its number is reused. Move-only.
class ProcessHandle {
 public:
  // The process with this pid, if it exists now.
  static std::optional<ProcessHandle> open(pid_t pid);

  ProcessHandle(ProcessHandle&& other) noexcept;
  ProcessHandle& operator=(ProcessHandle&& other) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  ~ProcessHandle();

  pid_t pid() const { return pid_; }
  // The descriptor that becomes readable when the process ends (for poll).
  int fd() const { return fd_; }
  // False once the process has ended (a zombie has ended).
  bool isRunning() const;
  // Waits up to timeout for the end; true when the process has ended.
  bool waitForExit(std::chrono::milliseconds timeout) const;

 private:
  ProcessHandle(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_ = 0;
  int fd_ = -1;
};

// True while a process with this pid exists and has not ended. A pid names
// whatever process has that number now; hold a ProcessHandle to follow one.
bool isProcessRunning(pid_t pid);
// Waits up to timeout for the process with this pid to end; true when it has
// ended (or never existed).
bool waitForProcessExit(pid_t pid, std::chrono::milliseconds timeout);
// The real path of the program the process runs now (/proc/PID/exe), when it
// can be read.
std::optional<std::string> processExecutablePath(pid_t pid);

// The processes that run now and were started by one of roots or by one of
// their descendants, roots included when they still run; ended processes
// (zombies too) are left out. A descendant whose parent has ended is found
// only while it is still in roots: callers pass back what they saw last.
// Nothing when /proc cannot be read. At most limit processes.
std::optional<std::vector<pid_t>> livingProcessTree(const std::vector<pid_t>& roots, std::size_t limit = 4096);

// The processes, other than those in excluding and this process, whose
// program (/proc/PID/exe) is one of programs or lies inside one of folders
// ("FOLDER/..."). Unreadable processes (other users') are skipped.
std::vector<pid_t> processesRunning(const std::vector<std::string>& programs, const std::vector<std::string>& folders,
                                    const std::vector<pid_t>& excluding);

}  // namespace platform
