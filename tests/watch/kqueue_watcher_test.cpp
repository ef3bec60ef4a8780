#include <gtest/gtest.h>

#include <filesystem>

#include "WatchTestSupport.h"
#include "platform/KQueue.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "watch/WQKQueue.h"

using namespace watch;
using namespace watchtest;
using platform::RunLoop;
using testsupport::runMainLoopUntil;
namespace fs = std::filesystem;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

Heard delegateHeard(const char* name, const std::string& path) { return {"delegate", name, path}; }
Heard centreHeard(const char* name, const std::string& path) { return {"centre", name, path}; }

class WQKQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watcher_ = WQKQueue::create();
    ASSERT_NE(watcher_, nullptr);
    centre_ = std::make_unique<CentreObserver>(journal_, watcher_.get());
  }
  void TearDown() override {
    if (watcher_) {
      watcher_->stop();
      EXPECT_TRUE(watcher_->waitUntilStopped(kBound));
    }
  }

  // Waits (turning the main loop) until the journal holds n entries about path.
  bool heardAbout(const std::string& path, std::size_t n) {
    return runMainLoopUntil([&] { return journal_->about(path).size() >= n; }, kBound);
  }

  // Makes a change to a watched file of its own and waits until it was
  // reported: every change made before it has then been handled completely.
  void settle() {
    if (sentinel_.empty()) {
      sentinel_ = dir_.write("sentinel", "");
      watcher_->addPath(sentinel_);
    }
    std::size_t before = journal_->about(sentinel_).size();
    append(sentinel_, "x");
    ASSERT_TRUE(heardAbout(sentinel_, before + 1));
  }

  std::vector<Heard> heardExceptSentinel() {
    std::vector<Heard> out;
    for (const Heard& h : journal_->entries()) {
      if (h.path != sentinel_) out.push_back(h);
    }
    return out;
  }

  testsupport::TempDir dir_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQKQueue> watcher_;
  std::unique_ptr<CentreObserver> centre_;
  std::string sentinel_;
};

TEST_F(WQKQueueTest, several_changes_of_one_event_are_reported_in_table_order) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  append(path, "d");
  // The watcher thread now waits for the main thread to take the first
  // report; what happens meanwhile builds up in the queue as one event.
  ASSERT_TRUE(waitWithoutMainLoop([] { return RunLoop::main().pendingTasks() > 0; }));
  fs::rename(path, dir_.file("renamed.txt"));
  fs::permissions(dir_.file("renamed.txt"), fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(heardAbout(path, 3));
  EXPECT_EQ(journal_->about(path),
            (std::vector<Heard>{delegateHeard(WQKQueueFileWrittenToNotification, path),
                                delegateHeard(WQKQueueFileRenamedNotification, path),
                                delegateHeard(WQKQueueFileAttributesChangedNotification, path)}));
  for (const Heard& h : journal_->entries()) EXPECT_TRUE(h.onMainThread);
}

TEST_F(WQKQueueTest, what_is_reported_under_each_mask_and_under_the_path_as_added) {
  std::string plain = dir_.write("plain.txt", "abc");
  std::string everything = dir_.write("everything.txt", "abc");
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(plain);
  watcher_->addPathToQueue(everything, 0x7F);
  watcher_->addPath(path);
  append(plain, "d");
  append(everything, "d");
  fs::remove(plain);  // deleted, and its link count dropped: only the deletion is in the mask
  std::string moved = dir_.file("moved.txt");
  fs::rename(path, moved);
  ASSERT_TRUE(heardAbout(path, 1));
  append(moved, "more");
  ASSERT_TRUE(heardAbout(path, 2));
  fs::remove(moved);  // the watcher still holds the file: a deletion all the same
  ASSERT_TRUE(heardAbout(path, 3));
  settle();
  EXPECT_EQ(journal_->about(path),
            (std::vector<Heard>{centreHeard(WQKQueueFileRenamedNotification, path),
                                centreHeard(WQKQueueFileWrittenToNotification, path),
                                centreHeard(WQKQueueFileDeletedNotification, path)}));
  EXPECT_EQ(journal_->about(plain),
            (std::vector<Heard>{centreHeard(WQKQueueFileWrittenToNotification, plain),
                                centreHeard(WQKQueueFileDeletedNotification, plain)}));
  EXPECT_EQ(journal_->about(everything),
            (std::vector<Heard>{centreHeard(WQKQueueFileWrittenToNotification, everything),
                                centreHeard(WQKQueueFileSizeIncreasedNotification, everything)}));
}

TEST_F(WQKQueueTest, centre_and_delegate_follow_the_delegate_and_always_notify) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);

  append(path, "1");  // no delegate: the centre only
  ASSERT_TRUE(heardAbout(path, 1));

  auto recorder = std::make_shared<Recorder>(journal_);
  watcher_->setDelegate(recorder);
  EXPECT_EQ(watcher_->delegate(), recorder);
  append(path, "2");  // delegate, alwaysNotify NO: the delegate only
  ASSERT_TRUE(heardAbout(path, 2));
  settle();

  watcher_->setAlwaysNotify(true);
  append(path, "3");  // both, the delegate first
  ASSERT_TRUE(heardAbout(path, 4));

  watcher_->setAlwaysNotify(false);
  watcher_->setDelegate(nullptr);  // back to the centre
  EXPECT_EQ(watcher_->delegate(), nullptr);
  append(path, "4");
  ASSERT_TRUE(heardAbout(path, 5));
  settle();

  const char* written = WQKQueueFileWrittenToNotification;
  EXPECT_EQ(journal_->about(path),
            (std::vector<Heard>{centreHeard(written, path), delegateHeard(written, path),
                                delegateHeard(written, path), centreHeard(written, path),
                                centreHeard(written, path)}));
  for (const Heard& h : journal_->about(path)) {
    EXPECT_EQ(h.onMainThread, h.by == "delegate") << h;
  }
}

TEST_F(WQKQueueTest, delegate_that_clears_itself_in_its_callback_gets_the_change_posted_too) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  // Only the watcher holds the delegate: clearing it leaves the proxy of the
  // running call as the last owner.
  watcher_->setDelegate(std::make_shared<Recorder>(
      journal_, [](WQFileWatcher& w, const std::string&, const std::string&) {
        w.setDelegate(nullptr);
      }));
  append(path, "d");
  ASSERT_TRUE(heardAbout(path, 2));
  append(path, "e");
  ASSERT_TRUE(heardAbout(path, 3));
  const char* written = WQKQueueFileWrittenToNotification;
  EXPECT_EQ(journal_->about(path),
            (std::vector<Heard>{delegateHeard(written, path), centreHeard(written, path),
                                centreHeard(written, path)}));
}

TEST_F(WQKQueueTest, a_path_added_twice_reports_twice_removal_takes_the_first_entry_and_remove_all_closes_all) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->addPath(path);
  std::vector<int> fds = watcher_->watchedFDs();
  ASSERT_EQ(fds.size(), 2u);
  EXPECT_NE(fds[0], fds[1]);
  EXPECT_EQ(watcher_->watchedPaths(), (std::vector<std::string>{path, path}));

  append(path, "d");
  ASSERT_TRUE(heardAbout(path, 2));

  watcher_->removePath(dir_.file("not-watched"));
  EXPECT_EQ(watcher_->watchedFDs(), fds);

  watcher_->removePath(path);
  EXPECT_EQ(watcher_->watchedFDs(), std::vector<int>{fds[1]});
  append(path, "e");
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);

  watcher_->removePath(path);
  append(path, "f");
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);

  // Removing all closes everything; the watcher keeps running.
  watcher_->addPath(path);
  watcher_->addPath(dir_.file("missing.txt"));  // cannot be opened: ignored
  EXPECT_EQ(watcher_->watchedPaths(), (std::vector<std::string>{sentinel_, path}));
  watcher_->removeAllPathsFromQueue();
  EXPECT_TRUE(watcher_->watchedPaths().empty());
  EXPECT_TRUE(watcher_->watchedFDs().empty());
  append(path, "g");
  sentinel_.clear();  // watched afresh
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);
}

TEST_F(WQKQueueTest, a_watcher_dropped_by_its_owner_keeps_delivering) {
  std::string path = dir_.write("doc.txt", "abc");
  std::weak_ptr<WQKQueue> weak;
  {
    auto owned = WQKQueue::create();
    ASSERT_NE(owned, nullptr);
    owned->addPath(path);
    owned->setDelegate(std::make_shared<Recorder>(journal_));
    weak = owned;
  }
  ASSERT_FALSE(weak.expired());
  append(path, "d");
  ASSERT_TRUE(heardAbout(path, 1));
  EXPECT_EQ(journal_->about(path)[0], delegateHeard(WQKQueueFileWrittenToNotification, path));

  platform::LogCapture log;
  auto again = weak.lock();
  ASSERT_NE(again, nullptr);
  again->stop();
  ASSERT_TRUE(again->waitUntilStopped(kBound));
  again.reset();
  EXPECT_TRUE(weak.expired()) << "the thread let go of it when it ended";
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(WQKQueueTest, unrecognised_delegate_is_logged_on_the_watcher_thread_and_skips_the_centre) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->setDelegate(std::make_shared<platform::Object>());
  platform::LogCapture log;
  const std::string line =
      "Error in WQKQueue watcherThread: unrecognized selector sent to instance: "
      "watcher:receivedNotification:forPath:";
  append(path, "d");
  // No main loop here: the failure never reaches the main thread.
  ASSERT_TRUE(waitWithoutMainLoop([&] { return log.contains(line); }));
  watcher_->setDelegate(nullptr);
  append(path, "e");  // the watcher still runs
  ASSERT_TRUE(heardAbout(path, 1));
  EXPECT_EQ(journal_->about(path),
            (std::vector<Heard>{centreHeard(WQKQueueFileWrittenToNotification, path)}));
  EXPECT_EQ(log.count(line), 1u);
}

}  // namespace
