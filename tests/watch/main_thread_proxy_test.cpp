#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "WatchTestSupport.h"
#include "platform/RunLoop.h"
#include "watch/WQKQueue.h"
#include "watch/WQMainThreadProxy.h"

using namespace watch;
using namespace watchtest;
using platform::RunLoop;

namespace {

// Answers "answer:" by name: records where it ran and returns an object.
class Answering : public platform::Object, public SelectorTarget {
 public:
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "answer:";
  }
  std::shared_ptr<platform::Object> performSelector(
      std::string_view, std::shared_ptr<platform::Object> withObject) override {
    ranOnMain = RunLoop::isMainThread();
    argument = withObject;
    return std::make_shared<TextObject>("the answer");
  }
  std::atomic<bool> ranOnMain{false};
  std::shared_ptr<platform::Object> argument;
};

// Stands in for the watcher argument; the proxy never uses it itself.
class NoWatcher : public WQFileWatcher {
 public:
  void addPath(const std::string&) override {}
  void removePath(const std::string&) override {}
  std::shared_ptr<platform::Object> delegate() const override { return nullptr; }
  void setDelegate(std::shared_ptr<platform::Object>) override {}
};

TEST(WQMainThreadProxy, forwarded_message_runs_on_main_thread_while_the_sender_waits) {
  auto journal = std::make_shared<Journal>();
  std::atomic<bool> methodReturned{false};
  auto target = std::make_shared<Recorder>(journal, [&](auto&, auto&, auto&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    methodReturned = true;
  });
  auto proxy = mainThreadProxy(target);
  NoWatcher w;
  std::atomic<bool> sawReturnFirst{false};
  std::atomic<bool> senderDone{false};
  std::thread sender([&] {
    proxy->watcher(w, WQKQueueFileWrittenToNotification, "/some/path");
    sawReturnFirst = methodReturned.load();
    senderDone = true;
  });
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return senderDone.load(); }));
  sender.join();
  EXPECT_TRUE(sawReturnFirst);
  auto heard = journal->entries();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0], (Heard{"delegate", WQKQueueFileWrittenToNotification, "/some/path"}));
  EXPECT_TRUE(heard[0].onMainThread);
}

TEST(WQMainThreadProxy, a_failure_of_the_target_reaches_the_sender) {
  auto target = std::make_shared<Recorder>(std::make_shared<Journal>(), [](auto&, auto&, auto&) {
    throw std::runtime_error("target failed");
  });
  auto proxy = mainThreadProxy(target);
  NoWatcher w;
  auto sent = std::async(std::launch::async, [&] { proxy->watcher(w, "n", "p"); });
  ASSERT_TRUE(testsupport::runMainLoopUntil(
      [&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  EXPECT_THROW(sent.get(), std::runtime_error);
}

TEST(WQMainThreadProxy, main_thread_sender_runs_the_call_at_once) {
  auto journal = std::make_shared<Journal>();
  auto proxy = mainThreadProxy(std::make_shared<Recorder>(journal));
  NoWatcher w;
  proxy->watcher(w, "n", "p");
  EXPECT_EQ(journal->entries().size(), 1u);
  EXPECT_EQ(RunLoop::main().pendingTasks(), 0u);
}

TEST(WQMainThreadProxy, unrecognised_message_fails_on_the_sending_thread_without_main) {
  NoWatcher w;
  for (auto target : {std::make_shared<platform::Object>(), std::shared_ptr<platform::Object>()}) {
    WQMainThreadProxy proxy(target);
    // The main run loop is not turned here: the failure must not need it.
    auto sent = std::async(std::launch::async, [&] { proxy.watcher(w, "n", "p"); });
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_THROW(sent.get(), platform::UnrecognizedSelector);
    EXPECT_EQ(RunLoop::main().pendingTasks(), 0u);
    EXPECT_FALSE(proxy.respondsToSelector(kWatcherReceivedNotificationForPath));
    EXPECT_THROW(proxy.performSelector("answer:"), platform::UnrecognizedSelector);
  }
}

TEST(WQMainThreadProxy, a_proxy_is_never_wrapped_again) {
  auto target = std::make_shared<Answering>();
  auto proxy = mainThreadProxy(target);
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->target(), target);
  EXPECT_EQ(mainThreadProxy(proxy), proxy);
  EXPECT_EQ(copyMainThreadProxy(proxy), proxy);
  auto second = copyMainThreadProxy(target);
  EXPECT_NE(second, proxy);
  EXPECT_EQ(second->target(), target);
  EXPECT_EQ(copyMainThreadProxy(nullptr), nullptr);
}

}  // namespace
