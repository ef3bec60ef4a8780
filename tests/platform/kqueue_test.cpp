// The kqueue layer over inotify, against real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "platform/KQueue.h"
#include "testsupport/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kAll =
    NOTE_DELETE | NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_RENAME | NOTE_REVOKE;
const std::timespec kNoWait{0, 0};
const std::timespec kLongWait{10, 0};  // bounds every wait for an expected event

using testsupport::append;

class KQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(kq_ = kqueue(), 0); }
  void TearDown() override {
    for (int fd : fds_) platform::close(fd);
    if (kq_ >= 0) platform::close(kq_);
  }
  int change(std::uintptr_t ident, short filter, std::uint16_t flags, std::uint32_t fflags, void* udata = nullptr) {
    KEvent c{ident, filter, flags, fflags, 0, udata};
    return kevent(kq_, &c, 1, nullptr, 0, &kNoWait);
  }
  // Opens path for events and registers it (EV_CLEAR unless flags say otherwise).
  int watch(const std::string& path, std::uint32_t mask, void* udata = nullptr,
            std::uint16_t flags = EV_ADD | EV_ENABLE | EV_CLEAR) {
    int fd = platform::open(path.c_str(), O_EVTONLY, 0);
    EXPECT_GE(fd, 0) << path;
    fds_.push_back(fd);
    EXPECT_EQ(change(static_cast<std::uintptr_t>(fd), EVFILT_VNODE, flags, mask, udata), 0);
    return fd;
  }
  KEvent next() {  // fflags 0 when nothing came
    KEvent ev{};
    EXPECT_EQ(kevent(kq_, nullptr, 0, &ev, 1, &kLongWait), 1);
    return ev;
  }
  bool anyReady() {
    KEvent ev;
    return kevent(kq_, nullptr, 0, &ev, 1, &kNoWait) != 0;
  }

  testsupport::TempDir dir_;
  int kq_ = -1;
  std::vector<int> fds_;
};

TEST_F(KQueueTest, a_file_reports_masked_merged_changes_through_its_whole_life) {
  std::string path = dir_.write("a.txt", "abc");
  int tag = 0;
  int masked = watch(path, NOTE_WRITE | NOTE_ATTRIB, &tag);
  append(path, "d");
  append(path, "e");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  KEvent ev = next();
  EXPECT_EQ(ev.ident, static_cast<std::uintptr_t>(masked));
  EXPECT_EQ(ev.filter, EVFILT_VNODE);
  EXPECT_EQ(ev.fflags, NOTE_WRITE | NOTE_ATTRIB);  // merged until read; no NOTE_EXTEND
  EXPECT_EQ(ev.udata, &tag);
  EXPECT_FALSE(anyReady()) << "EV_CLEAR resets the state once read";
  ASSERT_EQ(platform::close(masked), 0);
  fds_.clear();

  watch(path, kAll);
  std::string moved = dir_.file("b.txt"), second = dir_.file("second.txt");
  // Each step and what it reports; the registration follows the file.
  const std::pair<std::function<void()>, std::uint32_t> steps[] = {
      {[&] { append(path, "d"); }, NOTE_WRITE | NOTE_EXTEND},
      {[&] { std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "y"; }, NOTE_WRITE},
      {[&] { fs::rename(path, moved); }, NOTE_RENAME},
      {[&] { append(moved, "more"); }, NOTE_WRITE | NOTE_EXTEND},
      {[&] { fs::create_hard_link(moved, second); }, NOTE_LINK},
      {[&] { fs::remove(second); }, NOTE_LINK},
      {[&] { fs::remove(moved); }, NOTE_DELETE},  // our descriptor keeps the file alive
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    EXPECT_EQ(next().fflags, steps[i].second) << "step " << i;
    if (i == 2) {
      dir_.write("a.txt", "a new file at the old name");
      EXPECT_FALSE(anyReady());
    }
  }
}

TEST_F(KQueueTest, a_change_whose_event_the_kernel_dropped_in_an_overflow_is_still_reported) {
  std::string doc = dir_.write("doc.txt", "abc");
  int docFd = watch(doc, NOTE_WRITE | NOTE_EXTEND);
  // Fill the kernel's queue with writes alternating between two other files
  // (identical events in a row would be merged into one).
  int capacity = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> capacity;
  if (capacity <= 0 || capacity > (1 << 20)) GTEST_SKIP() << "queue capacity " << capacity;
  int writers[2];
  for (int& fd : writers) {
    std::string path = dir_.write("filler" + std::to_string(&fd - writers), "");
    watch(path, NOTE_WRITE);
    ASSERT_GE(fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC), 0);
  }
  for (int i = 0; i <= capacity / 2; ++i) {
    for (int fd : writers) ASSERT_EQ(::write(fd, "x", 1), 1);
  }
  for (int fd : writers) ::close(fd);
  append(doc, "d");  // no room left for its event
  KEvent events[8];
  int n = kevent(kq_, nullptr, 0, events, 8, &kNoWait);
  std::uint32_t docFlags = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].ident == static_cast<std::uintptr_t>(docFd)) docFlags = events[i].fflags;
  }
  EXPECT_EQ(docFlags, NOTE_WRITE | NOTE_EXTEND);
}

TEST_F(KQueueTest, registrations_of_one_file_are_independent_and_start_at_registration) {
  std::string path = dir_.write("a.txt", "abc");
  int first = 1, second = 2;
  int fd1 = watch(path, NOTE_WRITE, &first);
  append(path, "d");
  watch(path, NOTE_WRITE, &second);  // joins after the change
  EXPECT_EQ(next().udata, &first);
  EXPECT_FALSE(anyReady());
  append(path, "e");
  EXPECT_EQ(next().udata, &first);
  EXPECT_EQ(next().udata, &second);
  ASSERT_EQ(platform::close(fd1), 0);
  fds_.erase(fds_.begin());
  append(path, "f");
  EXPECT_EQ(next().udata, &second);
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, disabled_registrations_keep_their_changes_and_oneshot_ones_fire_once) {
  const auto fd = static_cast<std::uintptr_t>(watch(dir_.write("a.txt", "abc"), NOTE_WRITE));
  append(dir_.file("a.txt"), "d");
  std::string other = dir_.write("b.txt", "abc");
  // Registering takes in what inotify holds: the change above is ready now.
  const auto once = static_cast<std::uintptr_t>(watch(other, NOTE_WRITE, nullptr, EV_ADD | EV_ONESHOT));
  ASSERT_EQ(change(fd, EVFILT_VNODE, EV_DISABLE, 0), 0);
  EXPECT_FALSE(anyReady());
  ASSERT_EQ(change(fd, EVFILT_VNODE, EV_ENABLE, 0), 0);
  EXPECT_EQ(next().ident, fd);

  append(other, "d");
  EXPECT_EQ(next().ident, once);
  append(other, "e");
  EXPECT_FALSE(anyReady());
  EXPECT_EQ(change(once, EVFILT_VNODE, EV_DELETE, 0), -1) << "gone after its event";
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(KQueueTest, folder_reports_entries_coming_and_going_only) {
  std::string folder = dir_.file("folder");
  fs::create_directory(folder);
  watch(folder, kAll);
  dir_.write("folder/new.txt", "x");
  EXPECT_EQ(next().fflags & NOTE_WRITE, NOTE_WRITE);
  fs::create_directory(folder + "/sub");
  EXPECT_EQ(next().fflags, NOTE_WRITE | NOTE_LINK);
  append(folder + "/new.txt", "y");
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, a_waiting_thread_is_woken_by_a_user_event_and_by_closing) {
  ASSERT_EQ(change(7, EVFILT_USER, EV_ADD | EV_CLEAR, 0), 0);
  auto wait = [this] {
    KEvent ev;
    int n = kevent(kq_, nullptr, 0, &ev, 1, &kLongWait);
    return n == 1 ? int(ev.filter) : n == -1 ? -errno : 0;
  };
  auto waiter = std::async(std::launch::async, wait);
  ASSERT_EQ(change(7, EVFILT_USER, 0, NOTE_TRIGGER), 0);
  EXPECT_EQ(waiter.get(), EVFILT_USER);
  EXPECT_FALSE(anyReady());

  waiter = std::async(std::launch::async, wait);
  // The waiter may or may not be inside its wait yet; either way it must end.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(platform::close(kq_), 0);
  EXPECT_EQ(waiter.get(), -EBADF);
  kq_ = -1;
}

TEST_F(KQueueTest, failed_changes_are_reported_as_error_records_or_errno) {
  int fd = platform::open(dir_.write("a.txt", "abc").c_str(), O_EVTONLY, 0);
  ASSERT_EQ(platform::close(fd), 0);
  KEvent c{static_cast<std::uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0, nullptr};
  KEvent out;
  ASSERT_EQ(kevent(kq_, &c, 1, &out, 1, &kNoWait), 1);
  EXPECT_EQ(out.flags, EV_ERROR);
  EXPECT_EQ(out.data, EBADF);
  auto error = [](int result) { return result == -1 ? errno : 0; };
  EXPECT_EQ(error(kevent(kq_, &c, 1, nullptr, 0, &kNoWait)), EBADF);
  EXPECT_EQ(error(change(99, EVFILT_VNODE, EV_DELETE, 0)), ENOENT);
  EXPECT_EQ(error(kevent(kq_, nullptr, 0, nullptr, 1, &kNoWait)), EINVAL) << "no room for events";
  EXPECT_EQ(error(kevent(-5, nullptr, 0, &out, 1, &kNoWait)), EBADF);
  const std::timespec brief{0, 1000 * 1000};
  EXPECT_EQ(kevent(kq_, nullptr, 0, &out, 1, &brief), 0) << "a time-out returns zero";
  EXPECT_LT(platform::open(dir_.file("missing").c_str(), O_EVTONLY, 0), 0);
}

}  // namespace
