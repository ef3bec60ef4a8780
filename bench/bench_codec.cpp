// Base64 and gzip against the references measured in the same run:
//   Base64: OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, and memcpy of the
//           same bytes;
//   gzip:   zlib's compress2 / uncompress, and zlib driven by hand in one call
//           with our stream format (gzip, window bits 31 / 47) into a buffer
//           of the final size with the same huge-page hint as ours.
// Every operation that returns a new buffer is measured with the cost of
// that buffer. The OpenSSL references get their output buffer three ways:
//   openssl          a fresh uninitialised buffer each time (plain malloc);
//   openssl_hinted   the same with the huge-page hint our code gives its own
//                    large buffers (platform::adviseSequentialFill), so the
//                    memory costs the same on both sides;
//   openssl_prealloc one buffer, already touched, reused: no memory cost.
// After the runs a summary prints MB/s (10^6 bytes) and the ratios, and
// before them the peak memory of encoding and decoding 64 MiB, measured in
// a child process from its peak resident set size.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchQuick.h"
#include "codec/Compression.h"
#include "platform/Memory.h"

using platform::Data;
namespace kc = KDXML_Compression;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

Data randomBytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Data d(n);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v = rng();
    std::memcpy(d.data() + i, &v, 8);
  }
  for (; i < n; ++i) d[i] = static_cast<std::uint8_t>(rng());
  return d;
}

// Records with varying names, numbers and attributes, like a real export.
Data xmlLikeText(std::size_t n) {
  static const char* names[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};
  std::mt19937 rng(7);
  std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<catalog>\n";
  for (int i = 0; s.size() < n; ++i) {
    s += "  <record id=\"" + std::to_string(i) + "\" kind=\"" + names[rng() % 8] + "\">\n";
    s += "    <name>" + std::string(names[rng() % 8]) + " " + std::to_string(rng() % 100000) + "</name>\n";
    s += "    <price currency=\"EUR\">" + std::to_string(rng() % 10000) + "." + std::to_string(rng() % 100) +
         "</price>\n";
    s += "    <stock>" + std::to_string(rng() % 500) + "</stock>\n  </record>\n";
  }
  s.resize(n);
  return Data(s.begin(), s.end());
}

struct Inputs {
  Data bytes;
  std::string text;    // Base64 of bytes, one line
  std::string text76;  // Base64 of bytes, 76-character lines
};

const Inputs& base64Inputs(std::size_t size) {
  static std::map<std::size_t, Inputs> cache;
  auto it = cache.find(size);
  if (it == cache.end()) {
    Inputs in;
    in.bytes = randomBytes(size, size);
    in.text = kc::base64Encoding(in.bytes);
    in.text76 = kc::base64EncodingWithLineLength(in.bytes, 76);
    it = cache.emplace(size, std::move(in)).first;
  }
  return it->second;
}

struct GzipInputs {
  Data plain;
  Data gzip;  // ours
  Data zlib;  // compress2
};

const GzipInputs& gzipInputs(const std::string& kind) {
  static std::map<std::string, GzipInputs> cache;
  auto it = cache.find(kind);
  if (it == cache.end()) {
    GzipInputs in;
    in.plain = kind == "xml10MB" ? xmlLikeText(10'000'000) : randomBytes(64'000'000, 99);
    in.gzip = *kc::gzipDeflate(in.plain);
    uLongf len = compressBound(in.plain.size());
    in.zlib.resize(len);
    compress2(in.zlib.data(), &len, in.plain.data(), in.plain.size(), Z_DEFAULT_COMPRESSION);
    in.zlib.resize(len);
    it = cache.emplace(kind, std::move(in)).first;
  }
  return it->second;
}

template <class T>
std::unique_ptr<T[]> uninitialised(std::size_t n) {
  return std::make_unique_for_overwrite<T[]>(n);
}

// ---- Base64 ----

void encodeOurs(benchmark::State& state, std::size_t size, std::uint32_t lineLength) {
  const Inputs& in = base64Inputs(size);
  for (auto _ : state) {
    std::string text = kc::base64EncodingWithLineLength(in.bytes, lineLength);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// How the reference gets its output buffer.
enum class Output { fresh, freshHinted, preallocated };

std::unique_ptr<unsigned char[]> freshBuffer(Output mode, std::size_t size) {
  if (mode == Output::preallocated) return nullptr;
  auto buffer = uninitialised<unsigned char>(size);
  if (mode == Output::freshHinted) platform::adviseSequentialFill(buffer.get(), size);
  return buffer;
}

void encodeOpenSSL(benchmark::State& state, std::size_t size, Output mode) {
  const bool preallocated = mode == Output::preallocated;
  const Inputs& in = base64Inputs(size);
  const std::size_t outSize = 4 * ((size + 2) / 3) + 1;
  auto kept = uninitialised<unsigned char>(outSize);
  std::memset(kept.get(), 0, outSize);
  for (auto _ : state) {
    auto fresh = freshBuffer(mode, outSize);
    unsigned char* out = preallocated ? kept.get() : fresh.get();
    benchmark::DoNotOptimize(EVP_EncodeBlock(out, in.bytes.data(), static_cast<int>(size)));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void copyBytes(benchmark::State& state, std::size_t size) {
  const Inputs& in = base64Inputs(size);
  auto out = uninitialised<unsigned char>(size);
  std::memset(out.get(), 0, size);
  for (auto _ : state) {
    std::memcpy(out.get(), in.bytes.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void decodeOurs(benchmark::State& state, std::size_t size, bool lines) {
  const Inputs& in = base64Inputs(size);
  const std::string& text = lines ? in.text76 : in.text;
  for (auto _ : state) {
    Data d = kc::dataWithBase64EncodedString(text);
    benchmark::DoNotOptimize(d.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void decodeOpenSSL(benchmark::State& state, std::size_t size, Output mode) {
  const bool preallocated = mode == Output::preallocated;
  const Inputs& in = base64Inputs(size);
  const std::size_t outSize = in.text.size() / 4 * 3 + 3;
  auto kept = uninitialised<unsigned char>(outSize);
  std::memset(kept.get(), 0, outSize);
  for (auto _ : state) {
    auto fresh = freshBuffer(mode, outSize);
    unsigned char* out = preallocated ? kept.get() : fresh.get();
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(in.text.data()), static_cast<int>(in.text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.text.size()));
}

void copyText(benchmark::State& state, std::size_t size) {
  const Inputs& in = base64Inputs(size);
  auto out = uninitialised<char>(in.text.size());
  std::memset(out.get(), 0, in.text.size());
  for (auto _ : state) {
    std::memcpy(out.get(), in.text.data(), in.text.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.text.size()));
}

// ---- gzip ----

void deflateOurs(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    auto z = kc::gzipDeflate(in.plain);
    benchmark::DoNotOptimize(z->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

void deflateCompress2(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    uLongf len = compressBound(in.plain.size());
    auto out = uninitialised<Bytef>(len);
    if (compress2(out.get(), &len, in.plain.data(), in.plain.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
      state.SkipWithError("compress2 failed");
    }
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

// zlib with our format, the whole output space offered in one call, the
// buffer hinted like ours.
void deflateOneCall(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    uLong bound = deflateBound(&zs, in.plain.size());
    auto out = uninitialised<Bytef>(bound);
    platform::adviseSequentialFill(out.get(), bound);
    zs.next_in = const_cast<Bytef*>(in.plain.data());
    zs.avail_in = static_cast<uInt>(in.plain.size());
    zs.next_out = out.get();
    zs.avail_out = static_cast<uInt>(bound);
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("deflate failed");
    deflateEnd(&zs);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

void inflateOurs(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    auto d = kc::gzipInflate(in.gzip);
    if (!d || d->size() != in.plain.size()) state.SkipWithError("gzipInflate failed");
    benchmark::DoNotOptimize(d->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

void inflateUncompress(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    uLongf len = in.plain.size();
    auto out = uninitialised<Bytef>(len);
    if (uncompress(out.get(), &len, in.zlib.data(), in.zlib.size()) != Z_OK) state.SkipWithError("uncompress failed");
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

// zlib with our format into an output buffer of the known exact size,
// hinted like ours.
void inflateOneCall(benchmark::State& state, const std::string& kind) {
  const GzipInputs& in = gzipInputs(kind);
  for (auto _ : state) {
    auto out = uninitialised<Bytef>(in.plain.size());
    platform::adviseSequentialFill(out.get(), in.plain.size());
    z_stream zs{};
    inflateInit2(&zs, 47);
    zs.next_in = const_cast<Bytef*>(in.gzip.data());
    zs.avail_in = static_cast<uInt>(in.gzip.size());
    zs.next_out = out.get();
    zs.avail_out = static_cast<uInt>(in.plain.size());
    if (inflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&zs);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.plain.size()));
}

// ---- peak memory ----

long maxRSSKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs the operation in a child process whose resident set at the start is
// the input (prepared by the parent, shared with the child) and reports how
// far the peak rose above that, in KiB; -1 on failure.
long peakIncreaseKiB(const std::function<void()>& operation) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    long before = maxRSSKiB();
    operation();
    long increase = maxRSSKiB() - before;
    if (::write(fds[1], &increase, sizeof increase) != sizeof increase) ::_exit(1);
    ::_exit(0);
  }
  ::close(fds[1]);
  long increase = -1;
  if (::read(fds[0], &increase, sizeof increase) != sizeof increase) increase = -1;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return increase;
}

void reportPeakMemory() {
  const std::size_t size = (benchQuick() ? 1 : 64) * kMiB;
  Data bytes = randomBytes(size, 1);
  std::string text = kc::base64Encoding(bytes);
  Data gz = *kc::gzipDeflate(bytes);
  auto mib = [](double kib) { return kib / 1024.0; };
  std::printf("Peak memory above the input (input and output sizes in MiB):\n");
  std::printf("  %-34s %9s %9s %11s %13s\n", "operation", "input", "output", "peak rise", "rise-output");
  struct Row {
    const char* name;
    double input;
    double output;
    std::function<void()> op;
  };
  const Row rows[] = {
      {"base64Encoding", mib(size / 1024.0), mib(text.size() / 1024.0),
       [&] { benchmark::DoNotOptimize(kc::base64Encoding(bytes).data()); }},
      {"base64EncodingWithLineLength 76", mib(size / 1024.0), mib(text.size() * 77.0 / 76 / 1024.0),
       [&] { benchmark::DoNotOptimize(kc::base64EncodingWithLineLength(bytes, 76).data()); }},
      {"dataWithBase64EncodedString", mib(text.size() / 1024.0), mib(size / 1024.0),
       [&] { benchmark::DoNotOptimize(kc::dataWithBase64EncodedString(text).data()); }},
      {"gzipInflate (random data)", mib(gz.size() / 1024.0), mib(size / 1024.0),
       [&] { benchmark::DoNotOptimize(kc::gzipInflate(gz)->data()); }},
  };
  for (const Row& row : rows) {
    double rise = mib(static_cast<double>(peakIncreaseKiB(row.op)));
    std::printf("  %-34s %9.2f %9.2f %11.2f %13.2f\n", row.name, row.input, row.output, rise, rise - row.output);
  }
  std::printf("\n");
}

// ---- summary ----

// Collects each run's throughput for the ratio table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With --benchmark_repetitions the median stands for the case.
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      if (run.run_type == Run::RT_Iteration) {
        rates_[run.benchmark_name()] = it->second.value / 1e6;
      } else if (run.aggregate_name == "median") {
        rates_[run.run_name.str()] = it->second.value / 1e6;
      }
    }
  }

  void printSummary() const {
    struct Line {
      std::string ours;
      std::string reference;
    };
    const char* sizes[] = {"1MiB", "64MiB"};
    std::vector<Line> lines;
    for (const char* s : sizes) {
      std::string z = s;
      lines.push_back({"base64_encode/ours/" + z, "base64_encode/openssl/" + z});
      lines.push_back({"base64_encode/ours/" + z, "base64_encode/openssl_hinted/" + z});
      lines.push_back({"base64_encode/ours/" + z, "base64_encode/openssl_prealloc/" + z});
      lines.push_back({"base64_encode/ours/" + z, "base64_encode/memcpy/" + z});
      lines.push_back({"base64_encode/ours_76/" + z, "base64_encode/openssl_hinted/" + z});
      lines.push_back({"base64_encode/ours_76/" + z, "base64_encode/openssl_prealloc/" + z});
      lines.push_back({"base64_decode/ours/" + z, "base64_decode/openssl/" + z});
      lines.push_back({"base64_decode/ours/" + z, "base64_decode/openssl_hinted/" + z});
      lines.push_back({"base64_decode/ours/" + z, "base64_decode/openssl_prealloc/" + z});
      lines.push_back({"base64_decode/ours/" + z, "base64_decode/memcpy/" + z});
      lines.push_back({"base64_decode/ours_76/" + z, "base64_decode/openssl_hinted/" + z});
    }
    for (std::string kind : {"xml10MB", "random64MB"}) {
      lines.push_back({"gzip_deflate/ours/" + kind, "gzip_deflate/compress2/" + kind});
      lines.push_back({"gzip_deflate/ours/" + kind, "gzip_deflate/zlib_one_call/" + kind});
      lines.push_back({"gzip_inflate/ours/" + kind, "gzip_inflate/uncompress/" + kind});
      lines.push_back({"gzip_inflate/ours/" + kind, "gzip_inflate/zlib_one_call/" + kind});
    }
    std::printf("\nSummary (MB/s = 10^6 bytes of input per second; ratio = ours / reference)\n");
    std::printf("%-30s %10s   %-40s %10s %7s\n", "ours", "MB/s", "reference", "MB/s", "ratio");
    for (const Line& l : lines) {
      auto a = rates_.find(l.ours);
      auto b = rates_.find(l.reference);
      if (a == rates_.end() || b == rates_.end()) continue;
      std::printf("%-30s %10.1f   %-40s %10.1f %7.2f\n", l.ours.c_str(), a->second, l.reference.c_str(), b->second,
                  a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

void registerAll() {
  const bool quick = benchQuick();  // the smallest input of each kind only
  for (std::size_t size : {1 * kMiB, 64 * kMiB}) {
    if (quick && size != kMiB) continue;
    std::string z = size == kMiB ? "1MiB" : "64MiB";
    benchmark::RegisterBenchmark(("base64_encode/ours/" + z).c_str(), encodeOurs, size, 0u);
    benchmark::RegisterBenchmark(("base64_encode/ours_76/" + z).c_str(), encodeOurs, size, 76u);
    benchmark::RegisterBenchmark(("base64_encode/openssl/" + z).c_str(), encodeOpenSSL, size, Output::fresh);
    benchmark::RegisterBenchmark(("base64_encode/openssl_hinted/" + z).c_str(), encodeOpenSSL, size,
                                 Output::freshHinted);
    benchmark::RegisterBenchmark(("base64_encode/openssl_prealloc/" + z).c_str(), encodeOpenSSL, size,
                                 Output::preallocated);
    benchmark::RegisterBenchmark(("base64_encode/memcpy/" + z).c_str(), copyBytes, size);
    benchmark::RegisterBenchmark(("base64_decode/ours/" + z).c_str(), decodeOurs, size, false);
    benchmark::RegisterBenchmark(("base64_decode/ours_76/" + z).c_str(), decodeOurs, size, true);
    benchmark::RegisterBenchmark(("base64_decode/openssl/" + z).c_str(), decodeOpenSSL, size, Output::fresh);
    benchmark::RegisterBenchmark(("base64_decode/openssl_hinted/" + z).c_str(), decodeOpenSSL, size,
                                 Output::freshHinted);
    benchmark::RegisterBenchmark(("base64_decode/openssl_prealloc/" + z).c_str(), decodeOpenSSL, size,
                                 Output::preallocated);
    benchmark::RegisterBenchmark(("base64_decode/memcpy/" + z).c_str(), copyText, size);
  }
  for (std::string kind : {"xml10MB", "random64MB"}) {
    if (quick && kind != "xml10MB") continue;
    benchmark::RegisterBenchmark(("gzip_deflate/ours/" + kind).c_str(), deflateOurs, kind)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("gzip_deflate/compress2/" + kind).c_str(), deflateCompress2, kind)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("gzip_deflate/zlib_one_call/" + kind).c_str(), deflateOneCall, kind)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("gzip_inflate/ours/" + kind).c_str(), inflateOurs, kind)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("gzip_inflate/uncompress/" + kind).c_str(), inflateUncompress, kind)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("gzip_inflate/zlib_one_call/" + kind).c_str(), inflateOneCall, kind)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  reportPeakMemory();
  registerAll();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary();
  benchmark::Shutdown();
  return 0;
}
