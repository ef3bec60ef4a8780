// Following other processes without the main loop.
#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"
#include "platform/Processes.h"

namespace {

TEST(Processes, a_handle_sees_its_process_run_and_end_and_zombies_have_ended) {
  desktoptest::ChildProcess child("/", desktoptest::Hold::Nothing);
  ASSERT_TRUE(child.ready());
  auto handle = platform::ProcessHandle::open(child.pid());
  ASSERT_TRUE(handle);
  EXPECT_TRUE(handle->isRunning() && platform::isProcessRunning(child.pid()));
  EXPECT_FALSE(handle->waitForExit(std::chrono::milliseconds(0)));
  ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
  EXPECT_TRUE(handle->waitForExit(std::chrono::seconds(10)));
  // Not reaped yet: a zombie, which has ended.
  EXPECT_FALSE(handle->isRunning() || platform::isProcessRunning(child.pid()));
  EXPECT_FALSE(platform::ProcessHandle::open(0) || platform::isProcessRunning(-1));
}

}  // namespace
