// Following other processes without the main loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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

// The processes a launch started and those they started in turn, while they
// run; the program they run is found elsewhere unless they are excluded.
TEST(Processes, a_process_tree_is_followed_until_all_of_it_has_ended) {
  pid_t shell = 0;
  char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                        const_cast<char*>("/bin/sleep 30 & /bin/sleep 30; exit 0"), nullptr};
  ASSERT_EQ(posix_spawn(&shell, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  std::optional<std::vector<pid_t>> tree;
  for (int i = 0; i < 500 && (!tree || tree->size() < 3); ++i) {
    tree = platform::livingProcessTree({shell});
    ::usleep(10000);
  }
  ASSERT_TRUE(tree && tree->size() == 3u);
  EXPECT_TRUE(std::find(tree->begin(), tree->end(), shell) != tree->end());
  const std::string sleep = platform::processExecutablePath(tree->back()).value_or("");
  std::vector<pid_t> sleeps = *tree;
  std::erase(sleeps, shell);
  const auto found = platform::processesRunning({sleep}, {}, {});
  for (pid_t pid : sleeps) EXPECT_TRUE(std::find(found.begin(), found.end(), pid) != found.end());
  const auto excluded = platform::processesRunning({sleep}, {}, sleeps);
  for (pid_t pid : sleeps) EXPECT_TRUE(std::find(excluded.begin(), excluded.end(), pid) == excluded.end());
  const std::string folder = sleep.substr(0, sleep.rfind('/'));
  EXPECT_FALSE(platform::processesRunning({}, {folder}, {}).empty());

  // The shell ends first: its children are still followed, known by their pids.
  ASSERT_EQ(::kill(shell, SIGKILL), 0);
  ::waitpid(shell, nullptr, 0);
  EXPECT_EQ(platform::livingProcessTree({shell}), std::optional(std::vector<pid_t>{}));
  EXPECT_EQ(platform::livingProcessTree(*tree), std::optional(sleeps));
  for (pid_t pid : sleeps) ::kill(pid, SIGKILL);
  for (int i = 0; i < 500 && !platform::livingProcessTree(sleeps).value_or(sleeps).empty(); ++i) ::usleep(10000);
  EXPECT_EQ(platform::livingProcessTree(sleeps), std::optional(std::vector<pid_t>{}));
}

}  // namespace
