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
  std::atomic<bool> methodReturned{false}, fail{false};
  auto proxy = mainThreadProxy(std::make_shared<Recorder>(journal, [&](auto&, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    methodReturned = true;
    if (fail) throw std::runtime_error("target failed");
  }));
  auto watcher = WQFNSubscribeFileWatcher::create();  // passed on, unused
  const struct {
    std::string path;
    bool fails;  // the target throws
  } cases[] = {{"/some/path", false}, {"fail", true}};
  for (const auto& c : cases) {
    methodReturned = false, fail = c.fails;
    auto sent = std::async(std::launch::async, [&] {
      proxy->watcher(*watcher, WQKQueueFileWrittenToNotification, c.path);
      return methodReturned.load();  // the sender resumes only after the call
    });
    ASSERT_TRUE(eventually([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    if (c.fails) {
      EXPECT_THROW(sent.get(), std::runtime_error);
    } else {
      EXPECT_TRUE(sent.get());
    }
  }
  fail = false;
  // From the main thread the call runs at once.
  proxy->watcher(*watcher, "n", "p");
  EXPECT_EQ(platform::RunLoop::main().pendingTasks(), 0u);
  const std::string written = WQKQueueFileWrittenToNotification;
  EXPECT_EQ(
      journal->about(""),
      (std::vector<Heard>{{"delegate", written, "/some/path"}, {"delegate", written, "fail"}, {"delegate", "n", "p"}}));
  for (const Heard& h : journal->about("")) EXPECT_TRUE(h.onMainThread);
}

}  // namespace
