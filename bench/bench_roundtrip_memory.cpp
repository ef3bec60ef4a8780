// Peak memory of the real vla executable over a whole round trip of one
// ticket against the stand-in ticket service: download of a 1, 50 or 200 MB
// document, the expired-ticket check, the scripted editor's edit and save
// (a copy renamed over the document, as LibreOffice saves), the upload and
// its reply. vla runs in a private desktop environment (its own HOME, XDG
// folders, MIME database and default editor), as tools/demo.sh sets up.
//
// Counters: the document's size, vla's peak resident size from the kernel's
// accounting at its end (wait4's ru_maxrss, which also covers the editor
// processes it reaped: a shell, cp and perl, all far smaller), and the
// highest VmHWM of vla itself sampled from /proc while it ran.
//
// VLA_BENCH_QUICK=1 (what CI sets) runs only the 1 MB document;
// VLA_BENCH_EXECUTABLE=PATH measures another vla executable (an older build,
// say) instead of the one built beside this benchmark.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchQuick.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr long kMB = 1000 * 1000;
const char kEditorText[] = "\\par Párrafo añadido por el editor de prueba.\\par";

std::string vlaExecutable() {
  const char* other = std::getenv("VLA_BENCH_EXECUTABLE");
  return other != nullptr && *other != '\0' ? other : VLA_EXECUTABLE;
}

// Starts argv with the given environment; the child's pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Nobody answers a question on the terminal.
    const int none = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (none >= 0) ::dup2(none, 0);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Runs argv to its end; true when it exits with 0.
bool runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out) {
  const pid_t pid = spawn(argv, env, out);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<long> vmHWMKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    long kib = 0;
    if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kib) == 1) return kib;
  }
  return std::nullopt;
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A document of n bytes that compresses badly (as real documents do).
bool writeDocument(const fs::path& path, long n) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  std::uint64_t x = 0x9e3779b97f4a7c15ull;
  for (long left = n; left > 0;) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x);
    }
    const long now = std::min<long>(left, static_cast<long>(block.size()));
    out.write(block.data(), now);
    left -= now;
  }
  return static_cast<bool>(out.flush());
}

// The private desktop and the running service, shared by every size.
class World {
 public:
  static World& get() {
    static World world;
    return world;
  }

  bool ready() const { return !base_.empty(); }
  const std::string& failure() const { return failure_; }
  const fs::path& root() const { return root_; }
  const std::string& base() const { return base_; }
  const std::vector<std::string>& env() const { return env_; }

  ~World() {
    if (service_ > 0) {
      ::kill(service_, SIGTERM);
      ::waitpid(service_, nullptr, 0);
    }
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }

 private:
  World() {
    char pattern[] = "/tmp/vla-bench-roundtrip-XXXXXX";
    if (!::mkdtemp(pattern)) {
      failure_ = "no temporary folder";
      return;
    }
    root_ = pattern;
    const fs::path home = root_ / "home";
    const fs::path config = home / ".config", data = home / ".local/share", run = root_ / "run";
    for (const fs::path& p : {config, data / "applications", data / "mime/packages", home / ".cache",
                              home / ".local/state", run, root_ / "editor", root_ / "service", root_ / "Descargas"}) {
      fs::create_directories(p);
    }
    ::chmod(run.c_str(), 0700);
    const fs::path editor = root_ / "editor/scripted-editor";
    std::error_code ec;
    fs::copy_file(VLA_SCRIPTED_EDITOR, editor, ec);
    ::chmod(editor.c_str(), 0755);
    writeText(data / "applications/vla-editor-de-prueba.desktop",
              "[Desktop Entry]\nType=Application\nName=Editor de prueba\nExec=" + editor.string() +
                  " %f\nMimeType=application/msword;\nNoDisplay=true\n");
    writeText(config / "mimeapps.list", "[Default Applications]\napplication/msword=vla-editor-de-prueba.desktop\n");

    env_ = {"HOME=" + home.string(),
            "XDG_CONFIG_HOME=" + config.string(),
            "XDG_DATA_HOME=" + data.string(),
            "XDG_CACHE_HOME=" + (home / ".cache").string(),
            "XDG_STATE_HOME=" + (home / ".local/state").string(),
            "XDG_DATA_DIRS=" + data.string() + ":/usr/share",
            "XDG_CONFIG_DIRS=/etc/xdg",
            "XDG_RUNTIME_DIR=" + run.string(),
            "PATH=/usr/local/bin:/usr/bin:/bin",
            "LANG=C.UTF-8",
            std::string("SCRIPTED_EDITOR_TEXT=") + kEditorText,
            "SCRIPTED_EDITOR_OPEN_SECONDS=3",
            "SCRIPTED_EDITOR_AFTER_SECONDS=1",
            "SCRIPTED_EDITOR_LOG=" + (root_ / "editor.log").string()};
    const std::string log = (root_ / "setup.log").string();
    if (!runToEnd({"/usr/bin/update-mime-database", (data / "mime").string()}, env_, log)) {
      failure_ = "update-mime-database failed";
      return;
    }

    const fs::path portFile = root_ / "port";
    service_ = spawn({VLA_TICKET_SERVICE, "serve", "--port", "0", "--data", (root_ / "service").string(), "--port-file",
                      portFile.string()},
                     env_, (root_ / "service.log").string());
    for (int i = 0; i < 200 && service_ > 0; ++i) {
      std::ifstream in(portFile);
      std::string port;
      if (in >> port && !port.empty()) {
        base_ = "http://127.0.0.1:" + port;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    failure_ = "the stand-in service did not start";
  }

  fs::path root_;
  std::string base_;
  std::string failure_;
  std::vector<std::string> env_;
  pid_t service_ = -1;
};

struct RoundTrip {
  bool ok = false;
  std::string failure;
  long maxRssKiB = 0;  // wait4
  long vmHWMKiB = 0;   // sampled
  double seconds = 0;
};

RoundTrip roundTrip(World& world, long size) {
  RoundTrip r;
  const fs::path source = world.root() / "informe-original.doc";
  const fs::path ticket = world.root() / "Descargas/informe.vldoc";
  const std::string log = (world.root() / "vla.log").string();
  std::error_code ec;
  fs::remove(ticket, ec);
  for (const auto& entry : fs::directory_iterator(world.root() / "service/uploads", ec)) fs::remove(entry.path(), ec);
  if (!writeDocument(source, size)) {
    r.failure = "cannot write the document";
    return r;
  }
  if (!runToEnd({VLA_TICKET_SERVICE, "issue", "--server", world.base(), "--instance", "7", "--out", ticket.string(),
                 source.string()},
                world.env(), log)) {
    r.failure = "the service did not issue a ticket";
    return r;
  }
  fs::remove(source);

  const auto start = Clock::now();
  const pid_t pid = spawn({vlaExecutable(), ticket.string()}, world.env(), log);
  if (pid <= 0) {
    r.failure = "cannot start vla";
    return r;
  }
  int status = 0;
  rusage usage{};
  for (;;) {
    if (auto hwm = vmHWMKiB(pid)) r.vmHWMKiB = std::max(r.vmHWMKiB, *hwm);
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) {
      r.failure = "wait4 failed";
      return r;
    }
    if (Clock::now() - start > std::chrono::minutes(5)) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      r.failure = "vla did not end within 5 minutes";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.maxRssKiB = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    r.failure = "vla ended with status " + std::to_string(status) + " (log: " + log + ")";
    return r;
  }
  // The edit reached the service: the document plus the editor's line.
  std::uintmax_t uploaded = 0;
  for (const auto& entry : fs::directory_iterator(world.root() / "service/uploads", ec)) {
    uploaded = entry.file_size(ec);
    fs::remove(entry.path(), ec);
  }
  const std::uintmax_t expected = static_cast<std::uintmax_t>(size) + std::strlen(kEditorText) + 1;
  if (uploaded != expected) {
    r.failure = "the upload has " + std::to_string(uploaded) + " bytes, not " + std::to_string(expected);
    return r;
  }
  r.ok = true;
  return r;
}

void BM_vlaRoundTripPeakMemory(benchmark::State& state) {
  World& world = World::get();
  if (!world.ready()) {
    state.SkipWithError(world.failure().c_str());
    return;
  }
  const long size = state.range(0) * kMB;
  RoundTrip last;
  for (auto _ : state) {
    last = roundTrip(world, size);
    if (!last.ok) {
      state.SkipWithError(last.failure.c_str());
      return;
    }
    state.SetIterationTime(last.seconds);
  }
  state.counters["document_MB"] = static_cast<double>(state.range(0));
  state.counters["peak_RSS_MiB"] = last.maxRssKiB / 1024.0;
  state.counters["VmHWM_MiB"] = last.vmHWMKiB / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  auto* b = benchmark::RegisterBenchmark("vla_round_trip_peak_memory", BM_vlaRoundTripPeakMemory);
  b->Arg(1);
  if (!benchQuick()) b->Arg(50)->Arg(200);
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
