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
  std::string path_ = dir_.write("doc.txt", "abc"), other_ = dir_.write("other.txt", "abc");
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQFNSubscribeFileWatcher> watcher_ = WQFNSubscribeFileWatcher::create();
  CentreObserver centre_{journal_, watcher_.get()};
};

TEST_F(WQFNSubscribeFileWatcherTest, each_change_is_posted_then_sent_to_the_delegate_until_the_path_is_removed) {
  watcher_->addPath(path_);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  append(path_, "d");
  ASSERT_TRUE(journal_->waitFor(path_, 2));
  const Heard centre{"centre", WQKQueueFileWrittenToNotification, path_};
  const Heard delegate{"delegate", WQKQueueFileWrittenToNotification, path_};
  EXPECT_FALSE(journal_->about(path_)[1].onMainThread) << "delivered on the platform's thread";

  // Adding again replaces the subscription: one report each, not two.
  watcher_->addPath(path_);
  watcher_->addPath(other_);
  append(path_, "e");
  ASSERT_TRUE(journal_->waitFor(path_, 4));
  append(other_, "d");  // reported after anything the change of path causes
  ASSERT_TRUE(journal_->waitFor(other_, 2));
  EXPECT_EQ(journal_->about(path_), (std::vector<Heard>{centre, delegate, centre, delegate}));

  // A delegate may remove the path it is told about, inside its own call.
  watcher_->removePath(dir_.file("never-added"));
  watcher_->setDelegate(std::make_shared<Recorder>(journal_, [](WQFileWatcher& w, auto& p) { w.removePath(p); }));
  append(path_, "f");
  ASSERT_TRUE(journal_->waitFor(path_, 6));
  append(path_, "g");
  append(other_, "e");
  ASSERT_TRUE(journal_->waitFor(other_, 4));
  EXPECT_EQ(journal_->about(path_).size(), 6u);
  EXPECT_EQ(watcher_->subscriptions().count(path_), 0u);
}

TEST_F(WQFNSubscribeFileWatcherTest, failures_unknown_callbacks_and_a_destroyed_watcher_report_nothing) {
  platform::LogCapture log;
  watcher_->addPath("/nonexistent/vla-doc");
  EXPECT_TRUE(log.contains("WQFNSubscribeFileWatcher addPath: /nonexistent/vla-doc failed due to error ID=-2."));
  watcher_->addPath(path_);
  ASSERT_EQ(watcher_->subscriptions().size(), 1u);
  auto handle = watcher_->subscriptions().at(path_);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  WQFileSubscriptionProc(2, 0, watcher_.get(), handle);
  EXPECT_TRUE(log.contains("WQFileSubscriptionProc: Unknown message 2"));
  auto notItsHandle = reinterpret_cast<platform::FNSubscriptionRef>(&log);
  WQFileSubscriptionProc(platform::kFNDirectoryModifiedMessage, 0, watcher_.get(), notItsHandle);
  EXPECT_TRUE(journal_->about("").empty());

  // Once destroyed, its path's change reaches no one; another watcher shows
  // when the change would have been reported.
  watcher_.reset();
  auto witness = WQFNSubscribeFileWatcher::create();
  CentreObserver witnessCentre(journal_, witness.get());
  witness->addPath(other_);
  append(path_, "d");
  append(other_, "d");
  ASSERT_TRUE(journal_->waitFor(other_, 1));
  EXPECT_TRUE(journal_->about(path_).empty());
}

}  // namespace
