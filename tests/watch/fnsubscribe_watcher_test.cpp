#include <gtest/gtest.h>

#include "WatchTestSupport.h"
#include "platform/Log.h"
#include "watch/WQFNSubscribeFileWatcher.h"

using namespace watch;
using namespace watchtest;

namespace {

class WQFNSubscribeFileWatcherTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQFNSubscribeFileWatcher> watcher_ = WQFNSubscribeFileWatcher::create();
  CentreObserver centre_{journal_, watcher_.get()};
};

TEST_F(WQFNSubscribeFileWatcherTest, each_change_is_posted_then_sent_to_the_delegate_until_the_path_is_removed) {
  std::string path = dir_.write("doc.txt", "abc");
  std::string other = dir_.write("other.txt", "abc");
  watcher_->addPath(path);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  append(path, "d");
  ASSERT_TRUE(journal_->waitFor(path, 2));
  const Heard centre{"centre", WQKQueueFileWrittenToNotification, path};
  const Heard delegate{"delegate", WQKQueueFileWrittenToNotification, path};
  EXPECT_EQ(journal_->about(path), (std::vector<Heard>{centre, delegate}));
  EXPECT_FALSE(journal_->about(path)[1].onMainThread) << "delivered on the platform's thread";

  // Adding again replaces the subscription: one report each, not two.
  watcher_->addPath(path);
  watcher_->addPath(other);
  append(path, "e");
  ASSERT_TRUE(journal_->waitFor(path, 4));
  append(other, "d");  // reported after anything the change of path causes
  ASSERT_TRUE(journal_->waitFor(other, 2));
  EXPECT_EQ(journal_->about(path), (std::vector<Heard>{centre, delegate, centre, delegate}));

  watcher_->removePath(dir_.file("never-added"));
  watcher_->removePath(path);
  EXPECT_EQ(watcher_->subscriptions().count(path), 0u);
  append(path, "f");
  append(other, "e");
  ASSERT_TRUE(journal_->waitFor(other, 4));
  EXPECT_EQ(journal_->about(path).size(), 4u);
}

TEST_F(WQFNSubscribeFileWatcherTest, failures_unknown_callbacks_and_a_destroyed_watcher_report_nothing) {
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
  WQFileSubscriptionProc(platform::kFNDirectoryModifiedMessage, 0, watcher_.get(),
                         reinterpret_cast<platform::FNSubscriptionRef>(&log));
  EXPECT_TRUE(journal_->about("").empty()) << "a handle the watcher does not know";
  WQFileSubscriptionProc(platform::kFNDirectoryModifiedMessage, 0, watcher_.get(), handle);
  EXPECT_EQ(journal_->about(path).size(), 2u);

  // Once destroyed, a change of its path reaches no one; another watcher
  // shows when the change would have been reported.
  watcher_.reset();
  auto witness = WQFNSubscribeFileWatcher::create();
  CentreObserver witnessCentre(journal_, witness.get());
  std::string other = dir_.write("other.txt", "abc");
  witness->addPath(other);
  append(path, "d");
  append(other, "d");
  ASSERT_TRUE(journal_->waitFor(other, 1));
  EXPECT_EQ(journal_->about(path).size(), 2u);
}

}  // namespace
