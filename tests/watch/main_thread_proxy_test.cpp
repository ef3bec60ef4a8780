#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "WatchTestSupport.h"
#include "watch/WQFNSubscribeFileWatcher.h"
#include "watch/WQMainThreadProxy.h"

using namespace watch;
using namespace watchtest;
using platform::RunLoop;

namespace {

TEST(WQMainThreadProxy, a_message_runs_on_the_main_thread_while_the_sender_waits_and_its_failure_reaches_the_sender) {
  auto journal = std::make_shared<Journal>();
  std::atomic<bool> methodReturned{false};
  auto proxy = mainThreadProxy(std::make_shared<Recorder>(journal, [&](auto&, const std::string& path) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    methodReturned = true;
    if (path == "fail") throw std::runtime_error("target failed");
  }));
  auto watcher = WQFNSubscribeFileWatcher::create();  // the proxy passes it on, unused
  WQFileWatcher& w = *watcher;
  for (std::string path : {"/some/path", "fail"}) {
    methodReturned = false;
    auto sent = std::async(std::launch::async, [&] {
      proxy->watcher(w, WQKQueueFileWrittenToNotification, path);
      return methodReturned.load();  // the sender resumes only after the call
    });
    ASSERT_TRUE(eventually([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    if (path == "fail") {
      EXPECT_THROW(sent.get(), std::runtime_error);
    } else {
      EXPECT_TRUE(sent.get());
    }
  }
  // From the main thread the call runs at once.
  proxy->watcher(w, "n", "p");
  EXPECT_EQ(RunLoop::main().pendingTasks(), 0u);
  const std::string written = WQKQueueFileWrittenToNotification;
  EXPECT_EQ(journal->about(""), (std::vector<Heard>{{"delegate", written, "/some/path"},
                                                    {"delegate", written, "fail"},
                                                    {"delegate", "n", "p"}}));
  for (const Heard& h : journal->about("")) EXPECT_TRUE(h.onMainThread);
}

TEST(WQMainThreadProxy, an_unrecognised_message_fails_on_the_sender_and_a_proxy_is_never_wrapped_again) {
  auto watcher = WQFNSubscribeFileWatcher::create();
  WQFileWatcher& w = *watcher;
  for (auto target : {std::make_shared<platform::Object>(), std::shared_ptr<platform::Object>()}) {
    WQMainThreadProxy proxy(target);
    // The main run loop is not turned here: the failure must not need it.
    auto sent = std::async(std::launch::async, [&] { proxy.watcher(w, "n", "p"); });
    ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready);
    EXPECT_THROW(sent.get(), platform::UnrecognizedSelector);
    EXPECT_EQ(RunLoop::main().pendingTasks(), 0u);
    EXPECT_FALSE(proxy.respondsToSelector(kWatcherReceivedNotificationForPath));
  }
  auto target = std::make_shared<Recorder>(std::make_shared<Journal>());
  auto proxy = mainThreadProxy(target);
  EXPECT_EQ(proxy->target(), target);
  EXPECT_EQ(mainThreadProxy(proxy), proxy);
  EXPECT_EQ(copyMainThreadProxy(proxy), proxy);
  EXPECT_NE(copyMainThreadProxy(target), proxy);
  EXPECT_EQ(copyMainThreadProxy(nullptr), nullptr);
}

}  // namespace
