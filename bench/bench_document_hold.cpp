// The cost of one end-of-editing probe (lock files, F_OFD_GETLK, /proc/locks
// and the /proc/PID/fd scan of every process), beside the probe it stands in
// for: opening the document with an exclusive, non-blocking advisory lock and
// closing it again.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/DocumentHold.h"

namespace {

struct Document {
  Document() {
    char tmpl[] = "/tmp/vla-bench-XXXXXX";
    folder = ::mkdtemp(tmpl);
    path = folder + "/informe.doc";
    std::ofstream(path) << "contenido";
  }
  ~Document() { std::filesystem::remove_all(folder); }
  std::string folder;
  std::string path;
};

void BM_probeDocumentHold(benchmark::State& state) {
  Document doc;
  for (auto _ : state) {
    auto report = platform::probeDocumentHold(doc.path);
    benchmark::DoNotOptimize(report);
  }
}
BENCHMARK(BM_probeDocumentHold)->Unit(benchmark::kMicrosecond);

void BM_reference_exclusive_lock_open(benchmark::State& state) {
  Document doc;
  for (auto _ : state) {
    int fd = ::open(doc.path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    benchmark::DoNotOptimize(free);
    if (fd >= 0) ::close(fd);
  }
}
BENCHMARK(BM_reference_exclusive_lock_open)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
