// Tickets side by side. Ten tickets wait on their editors (each document held
// by an editor's lock file, looked at every probe interval as the application
// does); meanwhile open requests arrive from another thread, as handed over
// by a second vla. Measured: the time from an open request to its download
// start (median, p99), and the process's CPU time per minute of waiting as a
// share of one core. The reference is the same run with no ticket waiting.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "BenchQuick.h"
#include "app/vlaAppDelegate.h"
#include "platform/Dialogs.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "ticketservice/TicketService.h"

namespace {

using Clock = std::chrono::steady_clock;

class AnswerAtOnce : public platform::DialogPresenter {
 public:
  platform::ModalResponse runAlert(const std::string&, const std::string&) override {
    return platform::ModalResponse::OK;
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>&, const std::string&,
                                          const std::string&) override {
    return {platform::ModalResponse::Cancel, ""};
  }
};

// The editor of every document: launched at once, it leaves its lock file
// beside the document for as long as the run lasts.
class HoldingDesktop : public app::SystemDesktop {
 public:
  std::optional<platform::ApplicationRef> editorFor(const std::string&) override {
    return platform::ApplicationRef{"/opt/editor", "Editor", "editor.desktop"};
  }
  bool openFile(const std::string& path) override {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    std::ofstream(folder + ".~lock." + path.substr(folder.size()) + "#") << "editor";
    auto running = std::make_shared<platform::RunningApplication>();
    running->processIdentifier = 0;
    running->executableURL = "file:///opt/editor/bin/editor";
    running->localizedName = "Editor";
    platform::Workspace::sharedWorkspace().postApplicationLaunched(running);
    return true;
  }
};

double cpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

struct Figures {
  double medianMs = 0, p99Ms = 0, coreShare = 0;
};

// Runs the main loop with `waiting` tickets held by their editors: first the
// open requests (to expired tickets, which end at once), then a quiet
// stretch of `quietSeconds` for the CPU figure.
Figures measure(int waiting, int requests, double quietSeconds) {
  platform::setLogToStandardError(false);
  const std::string folder = [] {
    char tmpl[] = "/tmp/vla-bench-XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  ticketservice::TicketService::Options options;
  options.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
  ticketservice::TicketService service(options);
  service.start();
  auto previous = platform::setDialogPresenter(std::make_shared<AnswerAtOnce>());
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  delegate->setDesktop(std::make_shared<HoldingDesktop>());
  auto& application = platform::Application::sharedApplication();

  // The moment each download address is logged: the download starts next.
  std::mutex mutex;
  std::condition_variable started;
  std::string awaited;
  Clock::time_point startedAt;
  platform::ScopedLogSink sink([&](std::string_view line) {
    std::lock_guard lock(mutex);
    if (!awaited.empty() && line == awaited) {
      startedAt = Clock::now();
      awaited.clear();
      started.notify_all();
    }
  });

  auto ticket = [&](const std::string& name, const std::string& id) {
    const std::string path = folder + "/" + name + ".vldoc";
    std::ofstream(path) << id << "\r\n" << service.baseURL() << "\r\ndoc\r\n7\r\n";
    return path;
  };
  for (int i = 0; i < waiting; ++i) {
    const std::string id =
        service.issue(platform::dataFromString("documento " + std::to_string(i)), "doc", "7", "d.doc");
    const std::string path = ticket("espera-" + std::to_string(i), id);
    platform::RunLoop::main().perform([&, path] { delegate->applicationOpenFile(application, path); });
  }

  std::vector<double> latencies;
  double cpuStart = 0;
  Clock::time_point quietStart;
  std::thread requester([&] {
    // Let the waiting tickets reach their editors (4 s open delay, 1.5 s more).
    std::this_thread::sleep_for(std::chrono::milliseconds(waiting ? 6500 : 0));
    std::mt19937 random(7);
    for (int k = 0; k < requests; ++k) {
      std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<>(5000, 60000)(random)));
      const std::string path = ticket("peticion-" + std::to_string(k), "caducado-" + std::to_string(k));
      std::unique_lock lock(mutex);
      awaited = service.baseURL() + "/Paginas/Tickets/DescargarTicket.aspx?t=caducado-" + std::to_string(k) + "&i=7";
      const Clock::time_point sent = Clock::now();
      platform::RunLoop::main().perform([&, path] { delegate->applicationOpenFile(application, path); });
      started.wait(lock, [&] { return awaited.empty(); });
      latencies.push_back(std::chrono::duration<double, std::milli>(startedAt - sent).count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the expired tickets end
    platform::RunLoop::main().perform([&] {
      cpuStart = cpuSeconds();
      quietStart = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(quietSeconds));
    platform::RunLoop::main().perform([] { platform::RunLoop::main().stop(); });
  });
  platform::RunLoop::main().run();
  const double cpu = cpuSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(Clock::now() - quietStart).count();
  requester.join();

  Figures f;
  f.medianMs = quantile(latencies, 0.5);
  f.p99Ms = quantile(latencies, 0.99);
  f.coreShare = cpu / wall;
  delegate.reset();
  platform::RunLoop::main().drain();
  platform::setDialogPresenter(previous);
  service.stop();
  std::filesystem::remove_all(folder);
  return f;
}

void BM_openRequestWhileTenTicketsWait(benchmark::State& state) {
  for (auto _ : state) {
    const double quiet = benchQuick() ? 0.5 : 10.0;
    const int requests = benchQuick() ? 10 : 100;
    const Figures reference = measure(0, requests, quiet);
    const Figures busy = measure(10, requests, 2 * quiet);
    state.counters["median_ms"] = busy.medianMs;
    state.counters["p99_ms"] = busy.p99Ms;
    state.counters["ref_median_ms"] = reference.medianMs;
    state.counters["ref_p99_ms"] = reference.p99Ms;
    state.counters["median_ratio"] = busy.medianMs / std::max(reference.medianMs, 1e-9);
    state.counters["core_share_pct"] = busy.coreShare * 100;
    state.counters["ref_core_share_pct"] = reference.coreShare * 100;
    state.counters["cpu_s_per_min"] = busy.coreShare * 60;
  }
}
BENCHMARK(BM_openRequestWhileTenTicketsWait)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
