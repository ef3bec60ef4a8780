#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

using namespace platform;

TEST(RunLoop, waited_tasks_run_on_main_and_their_exceptions_reach_the_sender) {
  ASSERT_TRUE(RunLoop::isMainThread());
  int value = 0;
  performOnMainThread([&] { value = 1; }, true);  // from main: at once
  EXPECT_EQ(value, 1);
  EXPECT_EQ(RunLoop::main().pendingTasks(), 0u);

  std::atomic<bool> ranOnMain{false}, caught{false}, senderDone{false};
  std::thread sender([&] {
    EXPECT_FALSE(RunLoop::isMainThread());
    performOnMainThread([&] { ranOnMain = RunLoop::isMainThread(); }, true);
    try {
      RunLoop::main().performAndWait([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
    senderDone = true;
  });
  EXPECT_TRUE(testsupport::runMainLoopUntil([&] { return senderDone.load(); }));
  sender.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(caught);
}

TEST(RunLoop, stop_current_ends_the_innermost_run_only) {
  std::vector<int> order;
  auto& loop = RunLoop::main();
  loop.perform([&] {
    order.push_back(1);
    loop.perform([&] {
      order.push_back(2);
      RunLoop::stopCurrent();  // ends the nested run below
    });
    loop.run();
    order.push_back(3);
    loop.stop();  // ends the outer run
  });
  loop.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(RunLoop, worker_thread_loop_is_its_own) {
  std::atomic<bool> ran{false};
  std::thread worker([&] {
    RunLoop& mine = RunLoop::current();
    EXPECT_NE(&mine, &RunLoop::main());
    mine.perform([&] {
      ran = true;
      RunLoop::stopCurrent();
    });
    mine.run();
  });
  worker.join();
  EXPECT_TRUE(ran);
}

// Timers run on their loop's thread, earliest first (equal times in the order
// they were made), never once cancelled; a loop with only timers sleeps until
// they are due and does not end for lack of tasks.
TEST(RunLoop, timers_run_on_their_loops_thread_in_due_order_unless_cancelled) {
  std::vector<std::string> order;
  bool onLoopThread = true;
  std::thread worker([&] {
    platform::RunLoop& loop = platform::RunLoop::current();
    auto note = [&](std::string what) {
      return [&, what] {
        onLoopThread &= loop.isCurrent();
        order.push_back(what);
      };
    };
    loop.performAfter(0.06, note("c"));
    platform::Timer cancelled = loop.performAfter(0.01, note("cancelado"));
    loop.performAfter(0.03, note("b1"));
    loop.performAfter(0.03, note("b2"));
    loop.performAfter(0.0, note("a"));
    loop.performAfter(0.08, [&loop] { loop.stop(); });
    EXPECT_TRUE(cancelled.isPending());
    cancelled.cancel();
    EXPECT_FALSE(cancelled.isPending());
    loop.run();
  });
  worker.join();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b1", "b2", "c"}));
  EXPECT_TRUE(onLoopThread);
}

TEST(NotificationCenter, name_filter_object_filter_and_removal_during_post) {
  NotificationCenter center;
  int a = 0, b = 0, all = 0;
  int tokenA = 0, tokenB = 0, tokenAll = 0;
  int sender1 = 0, sender2 = 0;
  center.addObserver(&tokenA, [&](const Notification&) { ++a; }, std::string("A"));
  center.addObserver(&tokenB, [&](const Notification&) { ++b; }, std::string("A"), &sender1);
  center.addObserver(&tokenAll, [&](const Notification& n) {
    ++all;
    if (n.name == "remove") center.removeObserver(&tokenA);
  }, std::nullopt);

  center.postNotificationName("A", &sender2);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(all, 1);
  center.postNotificationName("A", &sender1);
  EXPECT_EQ(b, 1);
  center.postNotificationName("remove", nullptr);
  center.postNotificationName("A", nullptr);
  EXPECT_EQ(a, 2) << "removed observer must not hear later posts";
  EXPECT_EQ(all, 4);

  // An observer removed by an earlier one is skipped in the same post.
  int first = 0, second = 0, secondCalls = 0;
  center.addObserver(&first, [&](const Notification&) { center.removeObserver(&second); }, std::nullopt);
  center.addObserver(&second, [&](const Notification&) { ++secondCalls; }, std::nullopt);
  center.postNotificationName("X", nullptr);
  EXPECT_EQ(secondCalls, 0);
}

TEST(Log, long_lines_are_cut_with_a_marker_and_never_inside_a_character) {
  std::string shortLine(100, 'x');
  EXPECT_EQ(limitLogLine(shortLine), shortLine);
  std::string exact(kMaxLogLineBytes, 'y');
  EXPECT_EQ(limitLogLine(exact), exact);

  std::string longLine;
  while (longLine.size() < 3 * kMaxLogLineBytes) longLine += "ñ";  // two bytes each
  std::string cut = limitLogLine(longLine);
  EXPECT_LE(cut.size(), kMaxLogLineBytes);
  auto marker = cut.find(" [... ");
  ASSERT_NE(marker, std::string::npos);
  EXPECT_TRUE(isValidUTF8(cut));
  std::size_t kept = marker;
  EXPECT_NE(cut.find(std::to_string(longLine.size() - kept) + " bytes left out]"), std::string::npos);
  LogCapture capture;
  log("100% %s %n %@");  // format characters are data
  EXPECT_TRUE(capture.contains("100% %s %n %@"));
}

TEST(Files, equality_dates_moves_and_removal) {
  testsupport::TempDir dir;
  std::string a = dir.write("a", "same"), b = dir.write("b", "same"), c = dir.write("c", "samf");
  EXPECT_TRUE(contentsEqual(a, b));
  EXPECT_FALSE(contentsEqual(a, c));
  EXPECT_FALSE(contentsEqual(a, dir.file("none")));
  EXPECT_TRUE(modificationDate(a).has_value());
  EXPECT_FALSE(modificationDate(dir.file("none")).has_value());
  EXPECT_FALSE(moveItem(a, b)) << "a move never overwrites";
  EXPECT_TRUE(moveItem(a, dir.file("moved")));
  EXPECT_FALSE(fileExists(a));
  EXPECT_TRUE(removeItem(dir.file("moved")));
  EXPECT_FALSE(fileExists(dir.file("moved")));
  EXPECT_FALSE(readFile(dir.path()).has_value()) << "a folder is not a file";

  ASSERT_TRUE(writeAtomically(b, dataFromString("new contents")));
  EXPECT_EQ(testsupport::readText(b), "new contents");
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 2) << "no temporary is left";
  EXPECT_FALSE(writeAtomically(dir.file("missing/folder/x"), dataFromString("x")));
}

TEST(Resources, placeholder_is_found_in_the_build_tree) {
  auto p = pathForResource("caducado.doc");
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(fileExists(*p));
  EXPECT_FALSE(pathForResource("caducado", "xls").has_value());
  EXPECT_FALSE(pathForResource("../CMakeCache.txt").has_value());
}

namespace {
class CountingDelegate : public ApplicationDelegate {
 public:
  std::vector<std::string> opened;
  bool launched = false;
  bool applicationOpenFile(Application&, const std::string& path) override {
    EXPECT_TRUE(RunLoop::isMainThread());
    opened.push_back(path);
    return true;
  }
  bool applicationOpenFileWithoutUI(Application&, const std::string&) override { return true; }
  void applicationDidFinishLaunching(const Notification&) override { launched = true; }
  bool applicationShouldTerminateAfterLastWindowClosed(Application&) override { return true; }
};
}  // namespace

TEST(Application, delivers_each_path_then_ends_when_no_activity_is_left) {
  CountingDelegate delegate;
  Application& app = Application::sharedApplication();
  app.setDelegate(&delegate);
  Activity held = app.beginActivity("test");
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    performOnMainThread([&] { held.reset(); }, false);
  });
  app.openFiles({"/a.vldoc", "/b.vldoc"});
  app.run();  // returns only once the activity has ended
  releaser.join();
  app.setDelegate(nullptr);
  EXPECT_TRUE(delegate.launched);
  EXPECT_EQ(delegate.opened, (std::vector<std::string>{"/a.vldoc", "/b.vldoc"}));
  EXPECT_EQ(app.activeCount(), 0);
}
