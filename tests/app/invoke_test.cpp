#include <gtest/gtest.h>

#include "app/vlaInvokeApp.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

using namespace app;

namespace {
constexpr auto kLaunched = platform::NSWorkspaceDidLaunchApplicationNotification;
constexpr auto kTerminated = platform::NSWorkspaceDidTerminateApplicationNotification;
void post(const char* name, std::optional<std::string> application) {
  platform::UserInfo info;
  if (application) info[platform::NSApplicationNameKey] = *application;
  platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(name, nullptr, info);
}
}  // namespace

TEST(vlaInvokeApp, only_the_named_applications_termination_stops_the_run_loop) {
  platform::LogCapture log;
  auto& loop = platform::RunLoop::main();
  // Runs the queued tasks until something stops the loop; false when a bound had to.
  const auto runUntilStopped = [&] {
    bool bound = false;
    auto timer = loop.performAfter(10, [&] { bound = true, loop.stop(); });
    loop.run();
    timer.cancel();
    return !bound;
  };
  {
    vlaInvokeApp waiter(platform::Workspace::sharedWorkspace());
    waiter.setApplication("Editor");
    bool ranAfterOther = false;
    loop.perform([] { post(kLaunched, "Otro"), post(kTerminated, "Otro"); });
    loop.perform([&] { ranAfterOther = true; });
    loop.perform([] { post(kLaunched, "Editor"), post(kTerminated, "Editor"); });
    ASSERT_TRUE(runUntilStopped());
    EXPECT_TRUE(ranAfterOther) << "another application's termination stopped the loop";
    loop.perform([] { post(kTerminated, std::nullopt); });  // one without a name counts as the named one
    ASSERT_TRUE(runUntilStopped());
  }
  post(kLaunched, "Editor");  // a destroyed waiter hears nothing more
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"InvokeTest init\n", "launched Editor\n", "terminated Editor\n",
                                                   "stopping the CFRunLoop\n", "terminated (null)\n",
                                                   "stopping the CFRunLoop\n"}));
}
