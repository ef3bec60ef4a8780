#include <gtest/gtest.h>

#include "WatchTestSupport.h"
#include "platform/Log.h"
#include "watch/WQFNSubscribeFileWatcher.h"

using namespace watch;
using namespace watchtest;
using testsupport::runMainLoopUntil;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

class WQFNSubscribeFileWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watcher_ = WQFNSubscribeFileWatcher::create();
    centre_ = std::make_unique<CentreObserver>(journal_, watcher_.get());
  }

  bool heardAbout(const std::string& path, std::size_t n) {
    return runMainLoopUntil([&] { return journal_->about(path).size() >= n; }, kBound);
  }

  testsupport::TempDir dir_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQFNSubscribeFileWatcher> watcher_;
  std::unique_ptr<CentreObserver> centre_;
};

TEST_F(WQFNSubscribeFileWatcherTest, each_change_is_posted_then_sent_to_the_delegate_until_the_path_is_removed) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  append(path, "d");
  ASSERT_TRUE(heardAbout(path, 2));
  append(path, "e");
  ASSERT_TRUE(heardAbout(path, 4));
  const char* written = WQKQueueFileWrittenToNotification;
  const Heard centre{"centre", written, path}, delegate{"delegate", written, path};
  EXPECT_EQ(journal_->about(path), (std::vector<Heard>{centre, delegate, centre, delegate}));
  EXPECT_FALSE(journal_->entries()[1].onMainThread) << "delivered on the platform's thread";

  // Adding again replaces the subscription; removing ends it.
  std::string other = dir_.write("other.txt", "abc");
  auto first = watcher_->subscriptions().at(path);
  watcher_->addPath(path);
  EXPECT_NE(watcher_->subscriptions().at(path), first);
  watcher_->addPath(other);
  append(path, "f");
  ASSERT_TRUE(heardAbout(path, 6));
  append(other, "d");  // reported after anything the first change causes
  ASSERT_TRUE(heardAbout(other, 2));
  EXPECT_EQ(journal_->about(path).size(), 6u) << "one subscription, one report to each";

  auto before = watcher_->subscriptions();
  watcher_->removePath(dir_.file("never-added"));
  EXPECT_EQ(watcher_->subscriptions(), before);
  watcher_->removePath(path);
  EXPECT_EQ(watcher_->subscriptions().count(path), 0u);
  append(path, "g");
  append(other, "e");
  ASSERT_TRUE(heardAbout(other, 4));
  EXPECT_EQ(journal_->about(path).size(), 6u);
}

TEST_F(WQFNSubscribeFileWatcherTest, failures_and_unknown_callbacks_are_logged_or_ignored) {
  platform::LogCapture log;
  watcher_->addPath("/nonexistent/vla-doc");
  EXPECT_TRUE(log.contains(
      "WQFNSubscribeFileWatcher addPath: /nonexistent/vla-doc failed due to error ID=-2."));
  EXPECT_TRUE(watcher_->subscriptions().empty());

  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  auto handle = watcher_->subscriptions().at(path);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  WQFileSubscriptionProc(2, 0, watcher_.get(), handle);
  EXPECT_TRUE(log.contains("WQFileSubscriptionProc: Unknown message 2"));
  // A handle the watcher does not know reports nothing.
  WQFileSubscriptionProc(platform::kFNDirectoryModifiedMessage, 0, watcher_.get(),
                         reinterpret_cast<platform::FNSubscriptionRef>(&log));
  EXPECT_TRUE(journal_->entries().empty());
  // The known one reports, here on the calling thread.
  WQFileSubscriptionProc(platform::kFNDirectoryModifiedMessage, 0, watcher_.get(), handle);
  EXPECT_EQ(journal_->about(path).size(), 2u);
}

TEST_F(WQFNSubscribeFileWatcherTest, a_destroyed_watcher_hears_nothing_more) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  watcher_.reset();
  auto witness = WQFNSubscribeFileWatcher::create();
  CentreObserver witnessCentre(journal_, witness.get());
  std::string other = dir_.write("other.txt", "abc");
  witness->addPath(other);
  append(path, "d");
  append(other, "d");
  ASSERT_TRUE(heardAbout(other, 1));
  EXPECT_TRUE(journal_->about(path).empty());
}

}  // namespace
