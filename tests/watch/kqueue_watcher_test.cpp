#include <gtest/gtest.h>

#include <filesystem>

#include "WatchTestSupport.h"
#include "platform/Log.h"
#include "watch/WQKQueue.h"

using namespace watch;
using namespace watchtest;
using platform::RunLoop;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kEverything = 0x7F;

class WQKQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(watcher_, nullptr); }
  void TearDown() override {
    watcher_->stop();
    EXPECT_TRUE(watcher_->waitUntilStopped(kBound));
  }

  bool heard(const std::string& path, std::size_t n) {
    return eventually([&] { return journal_->about(path).size() >= n; });
  }

  // Changes a watched file of its own and waits for its report: every change
  // made before it has then been reported completely.
  void settle() {
    if (sentinel_.empty()) {
      sentinel_ = dir_.write("sentinel", "");
      watcher_->addPath(sentinel_);
    }
    std::size_t before = journal_->about(sentinel_).size();
    append(sentinel_, "x");
    ASSERT_TRUE(heard(sentinel_, before + 1));
  }

  testsupport::TempDir dir_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQKQueue> watcher_ = WQKQueue::create();
  CentreObserver centre_{journal_, watcher_.get()};
  std::string sentinel_;
};

TEST_F(WQKQueueTest, each_change_reaches_the_delegate_on_the_main_thread_with_its_path) {
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  struct Row {
    const char* action;
    std::uint32_t mask;
    std::function<void(const std::string&)> act;
    std::vector<std::string> expected;
  };
  const auto chmod = [](const std::string& p) {
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
  };
  const Row rows[] = {
      {"append", WQKQueueDefaultEventMask, [](auto& p) { append(p, "d"); },
       {WQKQueueFileWrittenToNotification}},
      {"append", kEverything, [](auto& p) { append(p, "d"); },
       {WQKQueueFileWrittenToNotification, WQKQueueFileSizeIncreasedNotification}},
      {"rename", WQKQueueDefaultEventMask, [](auto& p) { fs::rename(p, p + ".moved"); },
       {WQKQueueFileRenamedNotification}},
      {"chmod", WQKQueueDefaultEventMask, chmod, {WQKQueueFileAttributesChangedNotification}},
      {"remove", WQKQueueDefaultEventMask, [](auto& p) { fs::remove(p); },
       {WQKQueueFileDeletedNotification}},
      {"hard link", kEverything, [](auto& p) { fs::create_hard_link(p, p + ".link"); },
       {WQKQueueFileLinkCountChangedNotification}},
      {"hard link", WQKQueueDefaultEventMask, [](auto& p) { fs::create_hard_link(p, p + ".link"); },
       {}},
      // While the first report waits for the main thread, the next changes
      // build up into one event, reported in the order of the names.
      {"append, then chmod and rename at once", WQKQueueDefaultEventMask,
       [&](auto& p) {
         append(p, "d");
         ASSERT_TRUE(eventually([] { return RunLoop::main().pendingTasks() > 0; }, false));
         chmod(p);
         fs::rename(p, p + ".moved");
       },
       {WQKQueueFileWrittenToNotification, WQKQueueFileRenamedNotification,
        WQKQueueFileAttributesChangedNotification}},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.action) + " under mask " + std::to_string(row.mask));
    std::string path = dir_.write("doc" + std::to_string(n++), "abc");
    watcher_->addPathToQueue(path, row.mask);
    row.act(path);
    ASSERT_TRUE(heard(path, row.expected.size()));
    settle();
    std::vector<std::string> names;
    for (const Heard& h : journal_->about(path)) {
      names.push_back(h.name);
      EXPECT_EQ(h.by, "delegate");
      EXPECT_TRUE(h.onMainThread);
    }
    EXPECT_EQ(names, row.expected);
  }
}

TEST_F(WQKQueueTest, reports_go_to_the_delegate_or_the_centre_as_set) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  struct Row {
    const char* delegate;
    bool alwaysNotify;
    std::vector<std::string> by;
  };
  const Row rows[] = {
      {"none", false, {"centre"}},
      {"recorder", false, {"delegate"}},
      {"recorder", true, {"delegate", "centre"}},
      // Only the watcher holds this one: clearing itself leaves the running
      // call as its last owner, and the change is posted too.
      {"clears itself", false, {"delegate", "centre"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.delegate);
    std::string kind = row.delegate;
    watcher_->setDelegate(kind == "none" ? nullptr
                          : kind == "recorder"
                              ? std::make_shared<Recorder>(journal_)
                              : std::make_shared<Recorder>(journal_, [](WQFileWatcher& w, auto&) {
                                  w.setDelegate(nullptr);
                                }));
    watcher_->setAlwaysNotify(row.alwaysNotify);
    std::size_t before = journal_->about(path).size();
    append(path, "d");
    ASSERT_TRUE(heard(path, before + row.by.size()));
    settle();
    std::vector<Heard> now = journal_->about(path);
    std::vector<std::string> by;
    for (auto h = now.begin() + before; h != now.end(); ++h) {
      by.push_back(h->by);
      EXPECT_EQ(h->name, WQKQueueFileWrittenToNotification);
      EXPECT_EQ(h->onMainThread, h->by == "delegate");
    }
    EXPECT_EQ(by, row.by);
  }

  // A delegate without the method: logged on the watcher thread (the main
  // loop is not turned), nothing posted, and the watcher runs on.
  watcher_->setAlwaysNotify(false);
  watcher_->setDelegate(std::make_shared<platform::Object>());
  platform::LogCapture log;
  const std::string line =
      "Error in WQKQueue watcherThread: unrecognized selector sent to instance: "
      "watcher:receivedNotification:forPath:";
  std::size_t before = journal_->about(path).size();
  append(path, "e");
  ASSERT_TRUE(eventually([&] { return log.contains(line); }, false));
  watcher_->setDelegate(nullptr);
  append(path, "f");
  ASSERT_TRUE(heard(path, before + 1));
  settle();
  EXPECT_EQ(journal_->about(path).size(), before + 1);
  EXPECT_EQ(log.count(line), 1u);
}

TEST_F(WQKQueueTest, a_removed_path_reports_no_more) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  watcher_->addPath(path);  // each entry reports
  watcher_->addPath(dir_.file("missing.txt"));  // cannot be opened: ignored
  EXPECT_EQ(watcher_->watchedPaths(), (std::vector<std::string>{path, path}));
  append(path, "d");
  ASSERT_TRUE(heard(path, 2));

  watcher_->removePath(dir_.file("not-watched"));
  watcher_->removePath(path);  // the first entry only
  append(path, "e");
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);

  watcher_->removePath(path);
  append(path, "f");
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);

  watcher_->addPath(path);
  watcher_->removeAllPathsFromQueue();
  EXPECT_TRUE(watcher_->watchedFDs().empty());
  append(path, "g");
  sentinel_.clear();  // watched afresh
  settle();
  EXPECT_EQ(journal_->about(path).size(), 3u);
}

TEST_F(WQKQueueTest, a_dropped_watcher_delivers_until_stopped_then_lets_go_of_everything) {
  std::string path = dir_.write("doc.txt", "abc");
  std::weak_ptr<WQKQueue> watcher;
  std::weak_ptr<Recorder> delegate;
  {
    auto owned = WQKQueue::create();
    auto recorder = std::make_shared<Recorder>(journal_);
    owned->addPath(path);
    owned->setDelegate(recorder);
    watcher = owned;
    delegate = recorder;
  }
  append(path, "d");
  ASSERT_TRUE(heard(path, 1));
  EXPECT_EQ(journal_->about(path)[0],
            (Heard{"delegate", WQKQueueFileWrittenToNotification, path}));

  auto again = watcher.lock();
  ASSERT_NE(again, nullptr);
  again->stop();
  ASSERT_TRUE(again->waitUntilStopped(kBound));
  again.reset();
  EXPECT_TRUE(watcher.expired()) << "its thread ended and let go of it";
  EXPECT_TRUE(delegate.expired());
}

}  // namespace
