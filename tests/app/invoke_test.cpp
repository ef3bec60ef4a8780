#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/vlaInvokeApp.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

using namespace app;

namespace {

void post(const char* name, std::optional<std::string> application) {
  platform::UserInfo info;
  if (application) info[platform::NSApplicationNameKey] = *application;
  auto& ws = platform::Workspace::sharedWorkspace();
  ws.notificationCenter().postNotificationName(name, &ws, info);
}

// Runs the main loop until something stops it; a watchdog stops it after a
// bound and reports that it had to.
bool runUntilStopped() {
  std::atomic<bool> done{false};
  std::atomic<bool> watchdogFired{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
      watchdogFired = true;
      platform::RunLoop::main().stop();
    }
  });
  platform::RunLoop::main().run();
  done = true;
  watchdog.join();
  return !watchdogFired;
}

}  // namespace

TEST(vlaInvokeApp, termination_of_the_named_application_stops_the_run_loop_and_another_does_nothing) {
  platform::LogCapture log;
  vlaInvokeApp waiter(platform::Workspace::sharedWorkspace());
  EXPECT_TRUE(log.contains("InvokeTest init\n"));
  waiter.setApplication("Editor");

  bool ranAfterOther = false;
  auto& loop = platform::RunLoop::main();
  loop.perform([] { post(platform::NSWorkspaceDidLaunchApplicationNotification, "Otro"); });
  loop.perform([] { post(platform::NSWorkspaceDidTerminateApplicationNotification, "Otro"); });
  loop.perform([&] { ranAfterOther = true; });
  loop.perform([] { post(platform::NSWorkspaceDidLaunchApplicationNotification, "Editor"); });
  loop.perform([] { post(platform::NSWorkspaceDidTerminateApplicationNotification, "Editor"); });
  ASSERT_TRUE(runUntilStopped());
  EXPECT_TRUE(ranAfterOther) << "another application's termination stopped the loop";
  EXPECT_FALSE(log.contains("launched Otro\n"));
  EXPECT_FALSE(log.contains("terminated Otro\n"));
  EXPECT_EQ(log.count("launched Editor\n"), 1u);
  EXPECT_EQ(log.count("terminated Editor\n"), 1u);
  EXPECT_EQ(log.count("stopping the CFRunLoop\n"), 1u);

  // A second termination stops the loop again; one without a name counts as
  // the named application.
  loop.perform([] { post(platform::NSWorkspaceDidTerminateApplicationNotification, "Editor"); });
  ASSERT_TRUE(runUntilStopped());
  loop.perform([] { post(platform::NSWorkspaceDidTerminateApplicationNotification, std::nullopt); });
  ASSERT_TRUE(runUntilStopped());
  EXPECT_EQ(log.count("stopping the CFRunLoop\n"), 3u);
}

TEST(vlaInvokeApp, a_destroyed_waiter_hears_nothing_more) {
  platform::LogCapture log;
  {
    vlaInvokeApp waiter(platform::Workspace::sharedWorkspace());
    waiter.setApplication("Editor");
  }
  post(platform::NSWorkspaceDidLaunchApplicationNotification, "Editor");
  EXPECT_FALSE(log.contains("launched Editor\n"));
}
