#include <gtest/gtest.h>

#include "app/vlaInvokeApp.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

TEST(vlaInvokeApp, only_the_named_applications_termination_stops_the_run_loop) {
  platform::LogCapture log;
  auto& loop = platform::RunLoop::main();
  const auto post = [](const char* name, std::optional<std::string> application) {
    platform::UserInfo info;
    if (application) info[platform::NSApplicationNameKey] = *application;
    platform::Workspace::sharedWorkspace().notificationCenter().postNotificationName(name, nullptr, info);
  };
  const auto launched = platform::NSWorkspaceDidLaunchApplicationNotification;
  const auto terminated = platform::NSWorkspaceDidTerminateApplicationNotification;
  // Runs the queued tasks until something stops the loop; false when the bound had to.
  const auto runUntilStopped = [&] {
    bool bound = false;
    auto timer = loop.performAfter(10, [&] { bound = true, loop.stop(); });
    loop.run();
    return timer.cancel(), !bound;
  };
  {
    app::vlaInvokeApp waiter(platform::Workspace::sharedWorkspace());
    waiter.setApplication("Editor");
    bool ranAfterOther = false;
    loop.perform([&] { post(launched, "Otro"), post(terminated, "Otro"); });
    loop.perform([&] { ranAfterOther = true; });
    loop.perform([&] { post(launched, "Editor"), post(terminated, "Editor"); });
    ASSERT_TRUE(runUntilStopped());
    EXPECT_TRUE(ranAfterOther) << "another application's termination stopped the loop";
    loop.perform([&] { post(terminated, std::nullopt); });  // one without a name counts as the named one
    ASSERT_TRUE(runUntilStopped());
  }
  post(launched, "Editor");  // a destroyed waiter hears nothing more
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"InvokeTest init\n", "launched Editor\n", "terminated Editor\n",
                                      "stopping the CFRunLoop\n", "terminated (null)\n", "stopping the CFRunLoop\n"}));
}
