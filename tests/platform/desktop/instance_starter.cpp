// A stand-in for vla in the single-instance tests:
//   instance_starter DIR OUTFILE run PATH...   like vla: hand the paths over, or
//       be the primary (or alone), handle every path by appending
//       "PID PATH" to OUTFILE, and end when idle
//   instance_starter DIR OUTFILE hold          be the primary until standard
//       input closes; print "primary" once listening
// It prints its role ("primary", "delivered", "alone") and exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/RunLoop.h"
#include "platform/SingleInstance.h"

namespace {

class Recorder final : public platform::ApplicationDelegate {
 public:
  explicit Recorder(std::string out) : out_(std::move(out)) {}
  bool applicationOpenFile(platform::Application&, const std::string& path) override {
    // One write to a file opened for appending: lines of starters never mix.
    std::string line = std::to_string(::getpid()) + " " + path + "\n";
    int fd = ::open(out_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    [[maybe_unused]] auto n = ::write(fd, line.data(), line.size());
    ::close(fd);
    // Handling takes a while, so that starters arrive while a primary is
    // busy and while it is ending.
    platform::sleepForTimeInterval(0.01);
    return true;
  }
  bool applicationOpenFileWithoutUI(platform::Application&, const std::string&) override { return true; }
  void applicationDidFinishLaunching(const platform::Notification&) override {}
  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application&) override { return true; }

 private:
  std::string out_;
};

const char* roleName(platform::InstanceRole role) {
  return role == platform::InstanceRole::Primary ? "primary"
         : role == platform::InstanceRole::Delivered ? "delivered" : "alone";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  platform::SingleInstanceOptions options;
  options.directory = argv[1];
  const std::string mode = argv[3];
  std::vector<std::string> paths(argv + 4, argv + argc);
  auto& application = platform::Application::sharedApplication();
  Recorder recorder(argv[2]);
  application.setDelegate(&recorder);

  if (mode == "hold") {
    auto start = platform::startInstance(
        {}, [&](std::vector<std::string> p) { application.openFiles(p); }, options);
    std::printf("%s\n", roleName(start.role));
    std::fflush(stdout);
    if (start.role != platform::InstanceRole::Primary) return 1;
    platform::Activity holding = application.beginActivity("held by the test");
    std::thread([&holding] {
      char c;
      while (::read(STDIN_FILENO, &c, 1) > 0) {
      }
      platform::performOnMainThread([&holding] { holding.reset(); }, false);
    }).detach();
    application.setIntakeCloser([&start] { start.listener->close(); });
    application.run();
    return 0;
  }

  platform::InstanceRole role = platform::runSingleInstance(application, paths, options);
  std::printf("%s\n", roleName(role));
  application.setDelegate(nullptr);
  return 0;
}
