// Handing a path to the primary instance (lock file, connect, peer check,
// request, acknowledgement), beside a bare Unix-socket exchange of the same
// shape with a thread that answers at once.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/SingleInstance.h"

namespace {

std::string tempFolder() {
  char tmpl[] = "/tmp/vla-bench-XXXXXX";
  return ::mkdtemp(tmpl);
}

void BM_handPathToPrimary(benchmark::State& state) {
  const std::string folder = tempFolder();
  platform::SingleInstanceOptions options;
  options.directory = folder + "/instance";
  std::atomic<long> delivered{0};
  auto primary = platform::startInstance(
      {}, [&](std::vector<std::string> paths) { delivered += static_cast<long>(paths.size()); }, options);
  for (auto _ : state) {
    auto start = platform::startInstance({"/tmp/ticket.vldoc"}, nullptr, options);
    benchmark::DoNotOptimize(start.role);
  }
  primary.listener->close();
  state.counters["delivered"] = static_cast<double>(delivered.load());
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_handPathToPrimary)->Unit(benchmark::kMicrosecond);

void BM_reference_bare_unix_socket_exchange(benchmark::State& state) {
  const std::string folder = tempFolder();
  const std::string path = folder + "/echo.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 64);
  std::thread server([listener] {
    char buffer[4096];
    for (;;) {
      int c = ::accept(listener, nullptr, nullptr);
      if (c < 0) return;
      while (::recv(c, buffer, sizeof buffer, 0) > 0) {
      }
      ::send(c, "A", 1, MSG_NOSIGNAL);
      ::close(c);
    }
  });
  const std::string request = "VLA1" + std::string(16, 'i') + std::string(8, '\0') + "/tmp/ticket.vldoc";
  for (auto _ : state) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char answer;
    benchmark::DoNotOptimize(::recv(fd, &answer, 1, 0));
    ::close(fd);
  }
  ::shutdown(listener, SHUT_RDWR);
  ::close(listener);
  server.join();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_reference_bare_unix_socket_exchange)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
