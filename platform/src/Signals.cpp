#include "platform/Signals.h"

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>

#include "platform/RunLoop.h"

namespace platform {
namespace {

int gWriteEnd = -1;

std::mutex& callbackMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(int)>& callback() {
  static std::function<void(int)> onSignal;
  return onSignal;
}

extern "C" void onTerminationSignal(int signal) {
  const int saved = errno;
  const auto number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(gWriteEnd, &number, 1);
  errno = saved;
}

void readSignals(int readEnd) {
  for (;;) {
    unsigned char number = 0;
    const ssize_t n = ::read(readEnd, &number, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    RunLoop::main().perform([signal = static_cast<int>(number)] {
      std::function<void(int)> onSignal;
      {
        std::lock_guard lock(callbackMutex());
        onSignal = callback();
      }
      if (onSignal) onSignal(signal);
    });
  }
}

}  // namespace

void handleTerminationSignals(std::function<void(int)> onSignal) {
  {
    std::lock_guard lock(callbackMutex());
    callback() = std::move(onSignal);
  }
  static const bool installed = [] {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    gWriteEnd = ends[1];
    // The handler never blocks: a full pipe already holds a signal to act on.
    ::fcntl(gWriteEnd, F_SETFL, O_NONBLOCK);
    std::thread(readSignals, ends[0]).detach();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
    return true;
  }();
  (void)installed;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: {
      static thread_local std::string name;
      name = "señal " + std::to_string(signal);
      return name.c_str();
    }
  }
}

}  // namespace platform
