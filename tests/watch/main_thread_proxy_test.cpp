#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "WatchTestSupport.h"
#include "watch/WQFNSubscribeFileWatcher.h"
#include "watch/WQMainThreadProxy.h"

using namespace watch;
using namespace watchtest;

namespace {

TEST(WQMainThreadProxy, a_message_runs_on_the_main_thread_while_the_sender_waits_and_failures_reach_the_sender) {
  auto journal = std::make_shared<Journal>();
  std::atomic<bool> methodReturned{false};
  auto recorder = std::make_shared<Recorder>(journal, [&](auto&, const std::string& path) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    methodReturned = true;
    if (path == "fail") throw std::runtime_error("target failed");
  });
  auto watcher = WQFNSubscribeFileWatcher::create();  // passed on, unused
  const struct {
    std::shared_ptr<platform::Object> target;
    std::string path;
    const char* outcome;
  } rows[] = {
      {recorder, "/some/path", "returned after the call"},
      {recorder, "fail", "its failure"},
      // Without the method there is nothing to run: the failure must not
      // need the main run loop.
      {std::make_shared<platform::Object>(), "p", "unrecognised"},
      {nullptr, "p", "unrecognised"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.outcome);
    auto proxy = std::make_shared<WQMainThreadProxy>(row.target);
    methodReturned = false;
    auto sent = std::async(std::launch::async, [&] {
      proxy->watcher(*watcher, WQKQueueFileWrittenToNotification, row.path);
      return methodReturned.load();  // the sender resumes only after the call
    });
    const std::string outcome = row.outcome;
    auto done = [&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    ASSERT_TRUE(eventually(done, outcome != "unrecognised"));
    std::string got;
    try {
      got = sent.get() ? "returned after the call" : "returned before the call";
    } catch (const platform::UnrecognizedSelector&) {
      got = "unrecognised";
    } catch (const std::runtime_error&) {
      got = "its failure";
    }
    EXPECT_EQ(got, outcome);
  }
  // From the main thread the call runs at once.
  auto proxy = mainThreadProxy(recorder);
  proxy->watcher(*watcher, "n", "p");
  EXPECT_EQ(platform::RunLoop::main().pendingTasks(), 0u);
  const std::string written = WQKQueueFileWrittenToNotification;
  EXPECT_EQ(journal->about(""), (std::vector<Heard>{{"delegate", written, "/some/path"},
                                                    {"delegate", written, "fail"},
                                                    {"delegate", "n", "p"}}));
  for (const Heard& h : journal->about("")) EXPECT_TRUE(h.onMainThread);
}

}  // namespace
