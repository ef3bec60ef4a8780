#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/KQueue.h"
#include "testsupport/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kAllVnodeFlags = NOTE_DELETE | NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB |
                                         NOTE_LINK | NOTE_RENAME | NOTE_REVOKE;
const std::timespec kNoWait{0, 0};
const std::timespec kLongWait{10, 0};  // bounds every wait for an expected event

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

class KQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kq_ = kqueue();
    ASSERT_GE(kq_, 0);
  }
  void TearDown() override {
    for (int fd : fds_) platform::close(fd);
    if (kq_ >= 0) platform::close(kq_);
  }

  // Opens path for events and registers it; the descriptor.
  int watch(const std::string& path, std::uint32_t mask, void* udata = nullptr) {
    int fd = platform::open(path.c_str(), O_EVTONLY, 0);
    EXPECT_GE(fd, 0) << path;
    fds_.push_back(fd);
    KEvent change{static_cast<std::uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_ENABLE | EV_CLEAR,
                  mask, 0, udata};
    EXPECT_EQ(kevent(kq_, &change, 1, nullptr, 0, &kNoWait), 0);
    return fd;
  }

  // The next event, waiting at most kLongWait; fflags 0 when none came.
  KEvent next() {
    KEvent ev;
    int n = kevent(kq_, nullptr, 0, &ev, 1, &kLongWait);
    EXPECT_EQ(n, 1);
    return ev;
  }

  // Whether an event is ready right now.
  bool anyReady() {
    KEvent ev;
    return kevent(kq_, nullptr, 0, &ev, 1, &kNoWait) != 0;
  }

  testsupport::TempDir dir_;
  int kq_ = -1;
  std::vector<int> fds_;
};

TEST_F(KQueueTest, changes_merge_until_read_and_only_the_mask_is_reported) {
  std::string path = dir_.write("a.txt", "abc");
  int tag = 0;
  int fd = watch(path, NOTE_WRITE | NOTE_ATTRIB, &tag);
  append(path, "d");
  append(path, "e");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);

  KEvent ev = next();
  EXPECT_EQ(ev.ident, static_cast<std::uintptr_t>(fd));
  EXPECT_EQ(ev.filter, EVFILT_VNODE);
  EXPECT_EQ(ev.fflags, NOTE_WRITE | NOTE_ATTRIB);  // no NOTE_EXTEND: not in the mask
  EXPECT_EQ(ev.udata, &tag);
  EXPECT_FALSE(anyReady()) << "EV_CLEAR resets the state once read";
}

TEST_F(KQueueTest, only_growing_writes_extend_the_file) {
  std::string path = dir_.write("a.txt", "abc");
  watch(path, kAllVnodeFlags);
  append(path, "d");
  EXPECT_EQ(next().fflags, NOTE_WRITE | NOTE_EXTEND);

  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f << "x";
  }
  EXPECT_EQ(next().fflags, NOTE_WRITE);
}

TEST_F(KQueueTest, registration_follows_the_file_through_a_rename) {
  std::string path = dir_.write("a.txt", "abc");
  watch(path, kAllVnodeFlags);
  std::string moved = dir_.file("b.txt");
  fs::rename(path, moved);
  EXPECT_EQ(next().fflags, NOTE_RENAME);

  append(moved, "more");
  EXPECT_EQ(next().fflags, NOTE_WRITE | NOTE_EXTEND);
  dir_.write("a.txt", "a new file at the old name");
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, link_count_changes_and_removal_of_the_last_name) {
  std::string path = dir_.write("a.txt", "abc");
  watch(path, kAllVnodeFlags);
  std::string second = dir_.file("second-name.txt");
  fs::create_hard_link(path, second);
  EXPECT_EQ(next().fflags, NOTE_LINK);
  fs::remove(second);
  EXPECT_EQ(next().fflags, NOTE_LINK);
  // Our descriptor keeps the file alive; the removal is still reported.
  fs::remove(path);
  EXPECT_EQ(next().fflags, NOTE_DELETE);
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
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
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

TEST_F(KQueueTest, same_file_through_two_descriptors_reports_to_each_until_closed) {
  std::string path = dir_.write("a.txt", "abc");
  int first = 1, second = 2;
  int fd1 = watch(path, NOTE_WRITE, &first);
  watch(path, NOTE_WRITE, &second);
  append(path, "d");
  KEvent a = next(), b = next();
  EXPECT_EQ(a.udata, &first);
  EXPECT_EQ(b.udata, &second);

  ASSERT_EQ(platform::close(fd1), 0);
  fds_.erase(fds_.begin());
  append(path, "e");
  EXPECT_EQ(next().udata, &second);
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, disabled_registrations_keep_their_changes_and_oneshot_ones_fire_once) {
  std::string path = dir_.write("a.txt", "abc");
  const auto fd = static_cast<std::uintptr_t>(watch(path, NOTE_WRITE));
  append(path, "d");
  std::string other = dir_.write("b.txt", "abc");
  const int once = platform::open(other.c_str(), O_EVTONLY, 0);
  fds_.push_back(once);
  // Registering takes in what inotify holds: the change above is ready now.
  KEvent oneshot{static_cast<std::uintptr_t>(once), EVFILT_VNODE, EV_ADD | EV_ONESHOT, NOTE_WRITE, 0, nullptr};
  ASSERT_EQ(kevent(kq_, &oneshot, 1, nullptr, 0, &kNoWait), 0);
  KEvent toggle{fd, EVFILT_VNODE, EV_DISABLE, 0, 0, nullptr};
  ASSERT_EQ(kevent(kq_, &toggle, 1, nullptr, 0, &kNoWait), 0);
  EXPECT_FALSE(anyReady());
  toggle.flags = EV_ENABLE;
  ASSERT_EQ(kevent(kq_, &toggle, 1, nullptr, 0, &kNoWait), 0);
  EXPECT_EQ(next().ident, fd);

  append(other, "d");
  EXPECT_EQ(next().ident, static_cast<std::uintptr_t>(once));
  append(other, "e");
  EXPECT_FALSE(anyReady());
  oneshot.flags = EV_DELETE;
  EXPECT_EQ(kevent(kq_, &oneshot, 1, nullptr, 0, &kNoWait), -1) << "gone after its event";
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(KQueueTest, a_change_before_registration_is_not_reported) {
  std::string path = dir_.write("a.txt", "abc");
  int fd = watch(path, NOTE_WRITE);
  append(path, "d");
  // A second registration of the same file joins after the change.
  watch(path, NOTE_WRITE);
  KEvent ev = next();
  EXPECT_EQ(ev.ident, static_cast<std::uintptr_t>(fd));
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, folder_reports_entries_coming_and_going) {
  std::string folder = dir_.file("folder");
  fs::create_directory(folder);
  watch(folder, kAllVnodeFlags);
  dir_.write("folder/new.txt", "x");
  EXPECT_EQ(next().fflags & NOTE_WRITE, NOTE_WRITE);
  fs::create_directory(folder + "/sub");
  EXPECT_EQ(next().fflags, NOTE_WRITE | NOTE_LINK);
  // Writing into an entry does not change the folder.
  append(folder + "/new.txt", "y");
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, user_event_wakes_a_waiting_thread) {
  KEvent add{7, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0, nullptr};
  ASSERT_EQ(kevent(kq_, &add, 1, nullptr, 0, &kNoWait), 0);
  auto waiter = std::async(std::launch::async, [this] {
    KEvent ev;
    int n = kevent(kq_, nullptr, 0, &ev, 1, &kLongWait);
    return n == 1 ? ev.filter : 0;
  });
  KEvent trigger{7, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr};
  ASSERT_EQ(kevent(kq_, &trigger, 1, nullptr, 0, &kNoWait), 0);
  EXPECT_EQ(waiter.get(), EVFILT_USER);
  EXPECT_FALSE(anyReady());
}

TEST_F(KQueueTest, closing_the_queue_wakes_its_waiter) {
  std::atomic<int> error{0};
  std::thread waiter([&] {
    KEvent ev;
    if (kevent(kq_, nullptr, 0, &ev, 1, &kLongWait) == -1) error = errno;
  });
  // Give the waiter a chance to be inside its wait; either way it must end.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(platform::close(kq_), 0);
  waiter.join();
  EXPECT_EQ(error.load(), EBADF);
  kq_ = -1;
}

TEST_F(KQueueTest, failed_changes_are_reported_as_error_records_or_errno) {
  std::string path = dir_.write("a.txt", "abc");
  int fd = platform::open(path.c_str(), O_EVTONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(platform::close(fd), 0);
  KEvent change{static_cast<std::uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0,
                nullptr};
  KEvent out;
  ASSERT_EQ(kevent(kq_, &change, 1, &out, 1, &kNoWait), 1);
  EXPECT_EQ(out.flags, EV_ERROR);
  EXPECT_EQ(out.data, EBADF);

  EXPECT_EQ(kevent(kq_, &change, 1, nullptr, 0, &kNoWait), -1);
  EXPECT_EQ(errno, EBADF);

  KEvent removal{99, EVFILT_VNODE, EV_DELETE, 0, 0, nullptr};
  EXPECT_EQ(kevent(kq_, &removal, 1, nullptr, 0, &kNoWait), -1);
  EXPECT_EQ(errno, ENOENT);

  const std::timespec brief{0, 1000 * 1000};
  EXPECT_EQ(kevent(kq_, nullptr, 0, &out, 1, &brief), 0) << "a time-out returns zero";
  EXPECT_EQ(kevent(kq_, nullptr, 0, nullptr, 1, &kNoWait), -1) << "no room for the events";
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(kevent(-5, nullptr, 0, &out, 1, &kNoWait), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_LT(platform::open(dir_.file("missing").c_str(), O_EVTONLY, 0), 0);
}

}  // namespace
