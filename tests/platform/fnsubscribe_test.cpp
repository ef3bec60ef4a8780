// Change subscriptions by path: a thread of their own, until unsubscribed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/FNSubscribe.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

using namespace platform;

namespace {

struct Calls {
  std::mutex mutex;
  std::vector<FNSubscriptionRef> handles;
  bool offMainThread = true, rightMessage = true, unsubscribeInside = false;
  std::size_t countFor(FNSubscriptionRef ref) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(handles.begin(), handles.end(), ref));
  }
};

void record(FNMessage message, OptionBits, void* refcon, FNSubscriptionRef subscription) {
  auto* calls = static_cast<Calls*>(refcon);
  std::unique_lock lock(calls->mutex);
  calls->handles.push_back(subscription);
  calls->offMainThread = calls->offMainThread && !RunLoop::isMainThread();
  calls->rightMessage = calls->rightMessage && message == kFNDirectoryModifiedMessage;
  const bool unsubscribe = calls->unsubscribeInside;
  lock.unlock();
  if (unsubscribe) FNUnsubscribe(subscription);
}

TEST(FNSubscribe, changes_are_reported_on_a_thread_of_its_own_until_unsubscribed) {
  testsupport::TempDir dir;
  std::string watched = dir.write("a.txt", "a"), other = dir.write("b.txt", "b");
  Calls calls;
  FNSubscriptionRef a = nullptr, b = nullptr, missing = nullptr;
  EXPECT_EQ(FNSubscribeByPath("/nonexistent/vla-test", record, &calls, 0, &missing), -ENOENT);
  EXPECT_EQ(missing, nullptr);
  ASSERT_EQ(FNSubscribeByPath(watched.c_str(), record, &calls, 0, &a), 0);
  ASSERT_EQ(FNSubscribeByPath(other.c_str(), record, &calls, 0, &b), 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a, b);

  std::ofstream(watched, std::ios::app) << "x";
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.countFor(a) >= 1; }));
  EXPECT_EQ(FNUnsubscribe(a), 0);
  std::ofstream(watched, std::ios::app) << "y";
  std::ofstream(other, std::ios::app) << "z";  // reported after anything the first write could cause
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.countFor(b) >= 1; }));
  EXPECT_EQ(calls.countFor(a), 1u);
  EXPECT_TRUE(calls.offMainThread);
  EXPECT_TRUE(calls.rightMessage);
  EXPECT_EQ(FNUnsubscribe(b), 0);
  EXPECT_LT(FNUnsubscribe(b), 0) << "already ended";

  // A callback may end its own subscription.
  Calls ending;
  ending.unsubscribeInside = true;
  FNSubscriptionRef folder = nullptr;
  ASSERT_EQ(FNSubscribeByPath(dir.path().c_str(), record, &ending, 0, &folder), 0);
  dir.write("new.txt", "x");
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return ending.countFor(folder) >= 1; }));
  EXPECT_LT(FNUnsubscribe(folder), 0) << "the callback ended it";
}

}  // namespace
