// The streamed upload body (head, Base64 of the file read in blocks, tail)
// against the Base64 encoder alone on the same bytes in memory: the price of
// streaming from disk in pieces.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/Envelopes.h"
#include "codec/Compression.h"
#include "platform/Files.h"

namespace {

constexpr std::size_t kSize = 16 << 20;

const platform::Data& document() {
  static const platform::Data data = [] {
    platform::Data d(kSize);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    return d;
  }();
  return data;
}

const std::string& documentPath() {
  static const std::string path = [] {
    std::string p = "/tmp/vla-bench-upload-" + std::to_string(::getpid());
    platform::writeAtomically(p, document());
    return p;
  }();
  return path;
}

void BM_Base64EncoderAlone(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(KDXML_Compression::base64Encoding(document()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_Base64EncoderAlone)->Unit(benchmark::kMillisecond);

void BM_StreamedUploadBody(benchmark::State& state) {
  const std::string& path = documentPath();
  std::vector<std::uint8_t> buffer(64 * 1024);  // libcurl's upload buffer size
  for (auto _ : state) {
    auto file = std::shared_ptr<platform::ReadableFile>(platform::ReadableFile::open(path).first);
    auto source = app::sobreSubirFicheroEnPiezas("7", "T", file);
    std::uint64_t total = 0;
    while (auto n = source->pull(buffer.data(), buffer.size())) {
      if (*n == 0) break;
      total += *n;
      benchmark::DoNotOptimize(buffer.data());
    }
    if (total != source->length) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_StreamedUploadBody)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(documentPath().c_str());
  return 0;
}
