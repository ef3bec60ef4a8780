// Change subscriptions by path: a thread of their own, until unsubscribed
// (failures and the end of reports are checked through the watcher).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/FNSubscribe.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

using namespace platform;

namespace {

// The subscriptions a callback was called for, and whether every call came
// off the main thread with the message for a changed folder or file.
struct Calls {
  std::mutex mutex;
  std::vector<FNSubscriptionRef> handles;
  bool rightCalls = true, unsubscribeInside = false;
  std::size_t countFor(FNSubscriptionRef ref) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(handles.begin(), handles.end(), ref));
  }
};

void record(FNMessage message, OptionBits, void* refcon, FNSubscriptionRef subscription) {
  auto* calls = static_cast<Calls*>(refcon);
  {
    std::lock_guard lock(calls->mutex);
    calls->handles.push_back(subscription);
    calls->rightCalls = calls->rightCalls && !RunLoop::isMainThread() && message == kFNDirectoryModifiedMessage;
  }
  if (calls->unsubscribeInside) FNUnsubscribe(subscription);
}

TEST(FNSubscribe, changes_are_reported_on_a_thread_of_its_own_until_unsubscribed) {
  testsupport::TempDir dir;
  std::string watched = dir.write("a.txt", "a");
  Calls calls;
  FNSubscriptionRef a = nullptr;
  ASSERT_EQ(FNSubscribeByPath(watched.c_str(), record, &calls, 0, &a), 0);
  std::ofstream(watched, std::ios::app) << "x";
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return calls.countFor(a) >= 1; }));
  EXPECT_TRUE(calls.rightCalls);
  EXPECT_EQ(FNUnsubscribe(a), 0);
  EXPECT_LT(FNUnsubscribe(a), 0) << "already ended";

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
