#pragma once
// A child process that takes hold of a file and keeps it until killed (by the
// destructor; it ends itself after 60 s in any case). Between fork and its end
// the child makes only system calls.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace desktoptest {

enum class Hold { Nothing, Open, PosixLock, OfdLock, OfdReadLock, Flock };

class ChildProcess {
 public:
  ChildProcess(const std::string& path, Hold how) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const char* file = path.c_str();
    if ((pid_ = ::fork()) == 0) {
      ::alarm(60);
      bool ok = true;
      if (how != Hold::Nothing) {
        int fd = ::open(file, how == Hold::Open || how == Hold::OfdReadLock ? O_RDONLY : O_RDWR);
        struct flock lock {};  // the whole file
        lock.l_type = how == Hold::OfdReadLock ? F_RDLCK : F_WRLCK;
        ok = fd >= 0 && (how == Hold::PosixLock ? ::fcntl(fd, F_SETLK, &lock) == 0
                         : how == Hold::Flock   ? ::flock(fd, LOCK_EX | LOCK_NB) == 0
                         : how == Hold::Open    ? true
                                                : ::fcntl(fd, F_OFD_SETLK, &lock) == 0);
      }
      char c = ok ? 'y' : 'n';
      [[maybe_unused]] auto n = ::write(ready[1], &c, 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 'n';
    if (pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1) ready_ = c == 'y';
    ::close(ready[0]);
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool ready() const { return ready_; }  // the child holds the file as asked
  pid_t pid() const { return pid_; }
  void stop() {  // kills the child and waits for it
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(std::exchange(pid_, -1), nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace desktoptest
