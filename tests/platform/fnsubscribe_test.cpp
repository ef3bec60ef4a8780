#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FNSubscribe.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

using namespace platform;

namespace {

struct Calls {
  std::mutex mutex;
  std::vector<FNSubscriptionRef> handles;
  bool offMainThread = true;
  bool rightMessage = true;
  bool unsubscribeInside = false;

  std::size_t count() {
    std::lock_guard lock(mutex);
    return handles.size();
  }
  std::size_t countFor(FNSubscriptionRef ref) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(handles.begin(), handles.end(), ref));
  }
};

void record(FNMessage message, OptionBits, void* refcon, FNSubscriptionRef subscription) {
  auto* calls = static_cast<Calls*>(refcon);
  bool unsubscribe = false;
  {
    std::lock_guard lock(calls->mutex);
    calls->handles.push_back(subscription);
    calls->offMainThread = calls->offMainThread && !RunLoop::isMainThread();
    calls->rightMessage = calls->rightMessage && message == kFNDirectoryModifiedMessage;
    unsubscribe = calls->unsubscribeInside;
  }
  if (unsubscribe) FNUnsubscribe(subscription);
}

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

TEST(FNSubscribe, changes_are_reported_on_a_thread_of_its_own_until_unsubscribed) {
  testsupport::TempDir dir;
  std::string watched = dir.write("a.txt", "a");
  std::string other = dir.write("b.txt", "b");
  Calls calls;
  FNSubscriptionRef a = nullptr, b = nullptr;
  ASSERT_EQ(FNSubscribeByPath(watched.c_str(), record, &calls, 0, &a), 0);
  ASSERT_EQ(FNSubscribeByPath(other.c_str(), record, &calls, 0, &b), 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a, b);

  append(watched, "x");
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.countFor(a) >= 1; }));
  EXPECT_EQ(FNUnsubscribe(a), 0);
  append(watched, "y");
  append(other, "z");  // reported after anything the first write could still cause
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.countFor(b) >= 1; }));
  EXPECT_EQ(calls.countFor(a), 1u);
  EXPECT_TRUE(calls.offMainThread);
  EXPECT_TRUE(calls.rightMessage);
  EXPECT_EQ(FNUnsubscribe(b), 0);
  EXPECT_LT(FNUnsubscribe(b), 0) << "already ended";
}

TEST(FNSubscribe, a_callback_may_end_its_own_subscription) {
  testsupport::TempDir dir;
  Calls calls;
  calls.unsubscribeInside = true;
  FNSubscriptionRef ref = nullptr;
  ASSERT_EQ(FNSubscribeByPath(dir.path().c_str(), record, &calls, 0, &ref), 0);
  dir.write("new.txt", "x");
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.count() >= 1; }));
  EXPECT_LT(FNUnsubscribe(ref), 0) << "the callback ended it";
}

TEST(FNSubscribe, a_missing_path_fails_with_its_error_number) {
  Calls calls;
  FNSubscriptionRef ref = nullptr;
  EXPECT_EQ(FNSubscribeByPath("/nonexistent/vla-test", record, &calls, 0, &ref), -ENOENT);
  EXPECT_EQ(ref, nullptr);
}

}  // namespace
