// A stand-in for vla in the single-instance tests, printing its role first:
//   instance_starter DIR OUTFILE run PATH...  hand the paths over or be the primary,
//       appending "PID PATH" to OUTFILE per path handled, and end when idle
//   instance_starter DIR OUTFILE hold         be the primary until stdin closes
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

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
    platform::sleepForTimeInterval(0.01);  // so that starters arrive while a primary is busy or ending
    return true;
  }
  bool applicationOpenFileWithoutUI(platform::Application&, const std::string&) override { return true; }
  void applicationDidFinishLaunching(const platform::Notification&) override {}
  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application&) override { return true; }

 private:
  std::string out_;
};

void say(platform::InstanceRole role) {
  using enum platform::InstanceRole;
  std::printf("%s\n", role == Primary ? "primary" : role == Delivered ? "delivered" : "alone"), std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  platform::SingleInstanceOptions options;
  options.directory = argv[1];
  auto& application = platform::Application::sharedApplication();
  Recorder recorder(argv[2]);
  application.setDelegate(&recorder);
  if (std::string(argv[3]) == "run") {
    say(platform::runSingleInstance(application, {argv + 4, argv + argc}, options));
    application.setDelegate(nullptr);
    return 0;
  }
  auto start = platform::startInstance(
      {}, [&](std::vector<std::string> p) { application.openFiles(p); }, options);
  say(start.role);
  if (start.role != platform::InstanceRole::Primary) return 1;
  platform::Activity holding = application.beginActivity("held by the test");
  std::thread([&holding] {
    for (char c; ::read(STDIN_FILENO, &c, 1) > 0;) continue;
    platform::performOnMainThread([&holding] { holding.reset(); }, false);
  }).detach();
  application.setIntakeCloser([&start] { start.listener->close(); });
  application.run();
  return 0;
}
