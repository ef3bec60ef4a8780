#include <gtest/gtest.h>

#include <filesystem>

#include "WatchTestSupport.h"
#include "platform/Log.h"
#include "watch/WQKQueue.h"

using namespace watch;
using namespace watchtest;
namespace fs = std::filesystem;

namespace {

const std::string kWritten = WQKQueueFileWrittenToNotification;
const std::string kRenamed = WQKQueueFileRenamedNotification;
const std::string kDeleted = WQKQueueFileDeletedNotification;
const std::string kAttributes = WQKQueueFileAttributesChangedNotification;
const std::string kGrown = WQKQueueFileSizeIncreasedNotification;
const std::string kLinks = WQKQueueFileLinkCountChangedNotification;
constexpr std::uint32_t kDefault = WQKQueueDefaultEventMask, kEverything = 0x7F;

class WQKQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(watcher_, nullptr); }
  void TearDown() override {
    if (watcher_) watcher_->stop();
    EXPECT_TRUE(!watcher_ || watcher_->waitUntilStopped(kBound));
  }

  bool heard(const std::string& path, std::size_t n) {
    return eventually([&] { return journal_->about(path).size() >= n; });
  }

  // Changes a watched file of its own and waits for its report: every change
  // made before it has then been reported completely.
  void settle() {
    if (sentinel_.empty()) watcher_->addPath(sentinel_ = dir_.write("sentinel", ""));
    std::size_t before = journal_->about(sentinel_).size();
    append(sentinel_, "x");
    ASSERT_TRUE(heard(sentinel_, before + 1));
  }

  // "by name" of each report about path after the first `from`; a delegate
  // hears on the main thread, the centre on the watcher thread.
  std::vector<std::string> heardSince(const std::string& path, std::size_t from) {
    std::vector<Heard> all = journal_->about(path);
    std::vector<std::string> out;
    for (auto h = all.begin() + from; h != all.end(); ++h) {
      EXPECT_EQ(h->onMainThread, h->by == "delegate") << *h;
      out.push_back(h->by + " " + h->name);
    }
    return out;
  }

  testsupport::TempDir dir_;
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  std::shared_ptr<WQKQueue> watcher_ = WQKQueue::create();
  CentreObserver centre_{journal_, watcher_.get()};
  std::string sentinel_;
};

TEST_F(WQKQueueTest, each_change_reaches_the_delegate_on_the_main_thread_with_its_path) {
  watcher_->setDelegate(std::make_shared<Recorder>(journal_));
  const auto append1 = [](const std::string& p) { append(p, "d"); };
  const auto chmod = [](const std::string& p) { fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write); };
  const auto link = [](const std::string& p) { fs::create_hard_link(p, p + ".link"); };
  const struct {
    const char* action;
    std::uint32_t mask;
    std::function<void(const std::string&)> act;
    std::vector<std::string> expected;
  } rows[] = {
      {"append", kDefault, append1, {kWritten}},
      {"append", kEverything, append1, {kWritten, kGrown}},
      {"rename", kDefault, [](auto& p) { fs::rename(p, p + ".moved"); }, {kRenamed}},
      {"chmod", kDefault, chmod, {kAttributes}},
      {"remove", kDefault, [](auto& p) { fs::remove(p); }, {kDeleted}},
      {"hard link", kEverything, link, {kLinks}},
      {"hard link", kDefault, link, {}},
      // While the first report waits for the main thread, the next changes
      // build up into one event, reported in the order of the names.
      {"append, then chmod and rename at once",
       kDefault,
       [&](auto& p) {
         append(p, "d");
         auto waiting = [] { return platform::RunLoop::main().pendingTasks() > 0; };
         ASSERT_TRUE(eventually(waiting, false));
         chmod(p);
         fs::rename(p, p + ".moved");
       },
       {kWritten, kRenamed, kAttributes}},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.action) + " under mask " + std::to_string(row.mask));
    std::string path = dir_.write("doc" + std::to_string(n++), "abc");
    watcher_->addPathToQueue(path, row.mask);
    row.act(path);
    ASSERT_TRUE(heard(path, row.expected.size()));
    settle();
    std::vector<std::string> expected;
    for (const std::string& name : row.expected) expected.push_back("delegate " + name);
    EXPECT_EQ(heardSince(path, 0), expected);
  }
}

TEST_F(WQKQueueTest, reports_go_to_the_delegate_or_the_centre_as_set) {
  std::string path = dir_.write("doc.txt", "abc");
  watcher_->addPath(path);
  platform::LogCapture log;
  const std::string noMethod =
      "Error in WQKQueue watcherThread: unrecognized selector sent to instance: "
      "watcher:receivedNotification:forPath:";
  using Make = std::function<std::shared_ptr<platform::Object>()>;
  const Make recorder = [&] { return std::make_shared<Recorder>(journal_); };
  const struct {
    const char* delegate;
    Make make;
    bool alwaysNotify;
    std::vector<std::string> heard;
  } rows[] = {
      {"none", [] { return nullptr; }, false, {"centre " + kWritten}},
      {"recorder", recorder, false, {"delegate " + kWritten}},
      {"recorder", recorder, true, {"delegate " + kWritten, "centre " + kWritten}},
      // Logged on the watcher thread (the main loop is not turned), not posted.
      {"without the method", [] { return std::make_shared<platform::Object>(); }, false, {}},
      // Only the watcher holds it: clearing itself leaves the running call as
      // its last owner, and the change is posted too.
      {"clears itself",
       [&] { return std::make_shared<Recorder>(journal_, [](WQFileWatcher& w, auto&) { w.setDelegate(nullptr); }); },
       false,
       {"delegate " + kWritten, "centre " + kWritten}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.delegate);
    watcher_->setDelegate(row.make());
    watcher_->setAlwaysNotify(row.alwaysNotify);
    std::size_t before = journal_->about(path).size();
    append(path, "d");
    if (row.heard.empty()) {
      ASSERT_TRUE(eventually([&] { return log.count(noMethod) == 1; }, false));
    } else {
      ASSERT_TRUE(heard(path, before + row.heard.size()));
      settle();
    }
    EXPECT_EQ(heardSince(path, before), row.heard);
  }
  EXPECT_EQ(log.count(noMethod), 1u);
}

TEST_F(WQKQueueTest, a_removed_path_reports_no_more) {
  std::string path = dir_.write("doc.txt", "abc");
  auto changeAndCount = [&] {
    append(path, "d");
    settle();
    return journal_->about(path).size();
  };
  watcher_->addPath(path);
  watcher_->addPath(path);                      // each entry reports
  watcher_->addPath(dir_.file("missing.txt"));  // cannot be opened: ignored
  EXPECT_EQ(watcher_->watchedPaths(), (std::vector<std::string>{path, path}));
  EXPECT_EQ(changeAndCount(), 2u);
  watcher_->removePath(dir_.file("not-watched"));
  EXPECT_EQ(changeAndCount(), 4u);
  watcher_->removePath(path);  // the first entry only
  EXPECT_EQ(changeAndCount(), 5u);
  watcher_->removePath(path);
  EXPECT_EQ(changeAndCount(), 5u);
  watcher_->addPath(path);
  watcher_->removeAllPathsFromQueue();
  sentinel_.clear();  // watched afresh
  EXPECT_EQ(changeAndCount(), 5u);
}

TEST_F(WQKQueueTest, a_dropped_watcher_delivers_until_stopped_then_lets_go_of_everything) {
  std::string path = dir_.write("doc.txt", "abc");
  auto recorder = std::make_shared<Recorder>(journal_);
  std::weak_ptr<Recorder> delegate = recorder;
  std::weak_ptr<WQKQueue> watcher = watcher_;
  watcher_->addPath(path);
  watcher_->setDelegate(std::move(recorder));
  watcher_.reset();
  append(path, "d");
  ASSERT_TRUE(heard(path, 1));
  watcher_ = watcher.lock();
  ASSERT_NE(watcher_, nullptr);
  watcher_->stop();
  ASSERT_TRUE(watcher_->waitUntilStopped(kBound));
  watcher_.reset();
  EXPECT_TRUE(watcher.expired()) << "its thread ended and let go of it";
  EXPECT_TRUE(delegate.expired());
}

}  // namespace
