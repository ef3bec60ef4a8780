// The run loop, the application's intake, notifications, the log and files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

using namespace platform;

TEST(RunLoop, stopCurrent_ends_the_innermost_run_only) {
  std::vector<int> order;
  auto& loop = RunLoop::main();
  loop.perform([&] {
    order.push_back(1);
    loop.perform([&] { order.push_back(2), RunLoop::stopCurrent(); });
    loop.run();
    order.push_back(3);
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

namespace {
class Recording final : public ApplicationDelegate {
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

TEST(Application, runs_until_idle_and_handles_requests_that_come_while_the_intake_closes) {
  auto& app = Application::sharedApplication();
  Recording delegate;
  app.setDelegate(&delegate);
  Activity held = app.beginActivity("test");
  performOnMainThread([&] { held.reset(); }, false);
  int closes = 0;
  app.setIntakeCloser([&] {
    // The listener had just queued one more request when the run went idle.
    if (++closes == 1) app.openFiles({"/tarde.vldoc"});
  });
  app.openFiles({"/a.vldoc", "/b.vldoc"});
  app.run();
  app.setIntakeCloser(nullptr);
  app.setDelegate(nullptr);
  EXPECT_TRUE(delegate.launched);
  EXPECT_EQ(delegate.opened, (std::vector<std::string>{"/a.vldoc", "/b.vldoc", "/tarde.vldoc"}));
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(app.activeCount(), 0);
}

TEST(NotificationCenter, filters_and_removal_during_a_post) {
  NotificationCenter center;
  int a = 0, b = 0, all = 0, late = 0, sender1 = 0, sender2 = 0;
  int tokenA = 0, tokenB = 0, tokenAll = 0, tokenLate = 0;
  std::function<void()> alsoDo;  // what the observer of every name does after counting
  const auto counting = [](int& n) { return [&n](const Notification&) { ++n; }; };
  const auto everything = [&](const Notification&) {
    ++all;
    if (alsoDo) alsoDo();
  };
  center.addObserver(&tokenA, counting(a), std::string("A"));
  center.addObserver(&tokenB, counting(b), std::string("A"), &sender1);
  center.addObserver(&tokenAll, everything, std::nullopt);
  center.addObserver(&tokenLate, counting(late), std::nullopt);
  center.postNotificationName("A", &sender2);
  EXPECT_EQ(std::tuple(a, b, all, late), std::tuple(1, 0, 1, 1));
  center.postNotificationName("A", &sender1);
  EXPECT_EQ(std::tuple(a, b, all, late), std::tuple(2, 1, 2, 2));
  // An observer removed by an earlier one is skipped in the same post.
  alsoDo = [&] { center.removeObserver(&tokenA), center.removeObserver(&tokenLate); };
  center.postNotificationName("B", nullptr);
  alsoDo = nullptr;
  center.postNotificationName("A", nullptr);
  EXPECT_EQ(std::tuple(a, b, all, late), std::tuple(2, 1, 4, 2));
}

TEST(Log, long_lines_are_cut_with_a_marker_and_never_inside_a_character) {
  std::string exact(kMaxLogLineBytes, 'y');
  EXPECT_EQ(limitLogLine(exact), exact);
  std::string longLine;
  while (longLine.size() < 3 * kMaxLogLineBytes) longLine += "ñ";  // two bytes each
  std::string cut = limitLogLine(longLine);
  EXPECT_LE(cut.size(), kMaxLogLineBytes);
  EXPECT_TRUE(isValidUTF8(cut));
  auto marker = cut.find(" [... ");
  ASSERT_NE(marker, std::string::npos);
  EXPECT_NE(cut.find(std::to_string(longLine.size() - marker) + " bytes left out]"), std::string::npos);
  LogCapture capture;
  log("100% %s %n %@");  // format characters are data
  EXPECT_TRUE(capture.contains("100% %s %n %@"));
}

// Text from outside shown on a terminal: controls, C1 and bytes that are not
// UTF-8 are escaped; other characters (U+2028 of the app's own texts too) stay.
TEST(Log, control_characters_and_invalid_utf8_are_escaped) {
  const struct {
    std::string in, out;
    bool keepLineFeeds;
  } cases[] = {
      {"plano ñ \xE2\x80\xA8 fin", "plano ñ \xE2\x80\xA8 fin", false},
      {"\x1b]0;t\x07\x7f", "\\x1b]0;t\\x07\\x7f", false},
      {"a\r\nb\tc", "a\\r\\nb\\tc", false},
      {"a\nb", "a\nb", true},
      {"c1 \xC2\x9B x \xC2\xA0", "c1 \\xc2\\x9b x \xC2\xA0", false},
      {"\xff \xC0\x80 \xED\xA0\x80 \xE2\x82", "\\xff \\xc0\\x80 \\xed\\xa0\\x80 \\xe2\\x82", false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::escapeControlCharacters(c.in, c.keepLineFeeds), c.out) << c.in;
  platform::LogCapture capture;
  platform::setLogToStandardError(false);
  platform::log("respuesta \x1b[2J\nfalsa\n");
  platform::setLogToStandardError(true);
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"respuesta \\x1b[2J\\nfalsa\n"});
}

TEST(Http, a_download_limit_is_a_whole_number_of_bytes) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"1", 1},
      {"1048576", 1048576},
      {"18446744073709551615", 18446744073709551615ull},
      {"0", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {"10k", std::nullopt},
      {" 5", std::nullopt},
      {"18446744073709551616", std::nullopt}};
  for (const auto& [text, limit] : cases) EXPECT_EQ(platform::parseDownloadLimit(text), limit) << text;
}

TEST(Files, nothing_is_replaced_or_read_through_a_link_and_temporaries_go) {
  testsupport::TempDir dir;
  const std::string target = dir.write("target", "secret"), link = dir.file("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(pathKind(link), PathKind::SymbolicLink);
  EXPECT_FALSE(isAbsentOrRegularFile(link));
  EXPECT_FALSE(isAbsentOrRegularFile(dir.path()));
  EXPECT_EQ(ReadableFile::open(link).second, OpenFailure::NotRegular);
  EXPECT_FALSE(readFile(dir.path()).has_value()) << "a folder is not a file";

  // A move never replaces what is at the destination, a link included.
  const std::string from = dir.write("from", "new");
  EXPECT_EQ(moveWithoutReplacing(from, link), MoveOutcome::DestinationExists);
  EXPECT_EQ(moveWithoutReplacing(from, target), MoveOutcome::DestinationExists);
  EXPECT_FALSE(moveItem(from, target));
  EXPECT_EQ(moveWithoutReplacing(from, dir.file("to")), MoveOutcome::Moved);
  EXPECT_FALSE(fileExists(from));

  // A temporary file is gone unless committed; commit never replaces.
  std::string tempPath;
  {
    auto temp = TemporaryFile::createBeside(target);
    ASSERT_TRUE(temp);
    tempPath = temp->path();
    EXPECT_EQ(temp->write(reinterpret_cast<const std::uint8_t*>("x"), 1), 0);
    EXPECT_EQ(temp->commit(target), MoveOutcome::DestinationExists);
  }
  EXPECT_FALSE(fileExists(tempPath));
  EXPECT_EQ(readFile(target), dataFromString("secret"));
  ASSERT_TRUE(writeAtomically(dir.write("same", "old"), dataFromString("new contents")));
  EXPECT_EQ(testsupport::readText(dir.file("same")), "new contents");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 4)
      << "no temporary is left";
  EXPECT_FALSE(writeAtomically(dir.file("missing/folder/x"), dataFromString("x")));

  EXPECT_TRUE(pathForResource("caducado.doc"));
  EXPECT_FALSE(pathForResource("../CMakeCache.txt"));
}

// Sizes first, then the bytes a block at a time: a difference anywhere is
// found, and nothing is compared through a link or with a folder.
TEST(Files, contentsEqual_finds_any_difference_and_never_reads_through_a_link) {
  testsupport::TempDir dir;
  const std::string big = std::string(200 * 1024 + 7, 'v');  // several blocks and a part of one
  std::string lastByte = big, early = big;
  lastByte.back() = 'w';
  early[10] = 'w';
  struct Case {
    std::string what, a, b;
    bool equal;
  };
  const Case cases[] = {{"iguales", big, big, true},
                        {"vacios", "", "", true},
                        {"ultimo", big, lastByte, false},
                        {"primero", big, early, false},
                        {"prefijo", big, big.substr(0, big.size() - 1), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string a = dir.write(c.what + ".a", c.a), b = dir.write(c.what + ".b", c.b);
    EXPECT_EQ(contentsEqual(a, b), c.equal);
    EXPECT_EQ(contentsEqual(b, a), c.equal);
  }
  const std::string same = dir.write("same", big), link = dir.file("link");
  ASSERT_EQ(::symlink(dir.file("iguales.a").c_str(), link.c_str()), 0);
  EXPECT_FALSE(contentsEqual(link, same)) << "a link is never followed";
  EXPECT_FALSE(contentsEqual(same, link));
  EXPECT_FALSE(contentsEqual(dir.path(), dir.path())) << "a folder is not a file";
  EXPECT_FALSE(contentsEqual(dir.file("missing"), dir.file("missing")));
}

// Across file systems a move copies (in the kernel where it can, by hand
// otherwise), keeps every byte, replaces nothing at the destination, and
// removes the original only once the copy is in place.
TEST(Files, moveItem_across_file_systems_copies_every_byte_and_replaces_nothing) {
  testsupport::TempDir dir;
  char pattern[] = "/dev/shm/vla-move-XXXXXX";
  struct stat here {
  }, there{};
  if (::stat("/dev/shm", &there) != 0 || ::stat(dir.path().c_str(), &here) != 0 || here.st_dev == there.st_dev ||
      ::mkdtemp(pattern) == nullptr) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::string other = pattern;
  std::string content(3 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 2654435761u >> 13);

  const std::string from = dir.write("doc", content), to = other + "/doc";
  EXPECT_TRUE(moveItem(from, to));
  EXPECT_FALSE(fileExists(from));
  EXPECT_TRUE(testsupport::readText(to) == content);

  const std::string second = dir.write("second", "nuevo");
  EXPECT_EQ(moveWithoutReplacing(second, to), MoveOutcome::DestinationExists) << "told before anything is copied";
  EXPECT_FALSE(moveItem(second, to)) << "the destination is there";
  EXPECT_FALSE(moveItem(second, other + "/no/such/folder/doc"));
  EXPECT_EQ(testsupport::readText(second), "nuevo") << "a failed move keeps the original";
  EXPECT_TRUE(testsupport::readText(to) == content);
  EXPECT_EQ(folderEntries(other), std::vector<std::string>{"doc"}) << "no temporary is left";
  std::filesystem::remove_all(other);

  // A copy takes what is left from the file's position on.
  auto source = ReadableFile::open(dir.write("source", "0123456789")).first;
  ASSERT_TRUE(source);
  std::uint8_t skipped[4];
  ASSERT_EQ(source->read(skipped, sizeof skipped), 4u);
  auto copy = TemporaryFile::createBeside(dir.file("copy"));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->copyFrom(*source), 0);
  EXPECT_EQ(copy->commit(dir.file("copy")), MoveOutcome::Moved);
  EXPECT_EQ(testsupport::readText(dir.file("copy")), "456789");
}
