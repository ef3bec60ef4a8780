// One instance per user: hand-off of paths, recovery from a dead primary,
// and the limits of the primary's listener.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "testsupport/TestSupport.h"

extern char** environ;

namespace {

using platform::InstanceRole;
using platform::SingleInstanceOptions;
using platform::startInstance;

// Paths delivered to an in-process primary.
class Inbox {
 public:
  platform::InstanceListener::Deliver deliver() {
    return [this](std::vector<std::string> paths) {
      std::lock_guard lock(mutex_);
      for (auto& p : paths) received_.push_back(std::move(p));
      changed_.notify_all();
    };
  }
  // Waits (10 s at most) until n paths have come.
  std::vector<std::string> waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= n; });
    return received_;
  }
  std::vector<std::string> now() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> received_;
};

// An instance_starter process with its standard output (and input) on pipes.
class Starter {
 public:
  explicit Starter(const std::vector<std::string>& args) {
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    std::vector<char*> argv;
    std::string program = VLA_INSTANCE_STARTER;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    out_ = out[0];
    in_ = in[1];
  }
  ~Starter() {
    closeInput();
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  // The first line of output (10 s at most).
  std::string line() {
    std::string text;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (::poll(&p, 1, 10000) == 1 && ::read(out_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  // The exit status once it has ended (30 s at most; -1 when it has not).
  int wait() {
    for (int i = 0; i < 3000 && pid_ > 0; ++i) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10000);
    }
    return -1;
  }
  void kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
};

// "PID PATH" lines written by the starters that handled paths.
std::multimap<std::string, std::string> handled(const std::string& file) {
  std::multimap<std::string, std::string> byPath;
  std::istringstream in(testsupport::readText(file));
  for (std::string line; std::getline(in, line);) {
    auto space = line.find(' ');
    byPath.emplace(line.substr(space + 1), line.substr(0, space));
  }
  return byPath;
}

class SingleInstance : public testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string folder = dir.file("instance");
  std::string out = dir.file("handled.txt");
  SingleInstanceOptions options() const {
    SingleInstanceOptions o;
    o.directory = folder;
    o.messageLimit = std::chrono::milliseconds(500);
    return o;
  }
};

TEST_F(SingleInstance, later_starters_hand_their_paths_to_the_primary) {
  Inbox inbox;
  auto primary = startInstance({"/a.vldoc"}, inbox.deliver(), options());
  ASSERT_EQ(primary.role, InstanceRole::Primary) << primary.problem;
  struct stat st{};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  auto second = startInstance({"/b.vldoc", "relativo.vldoc"}, nullptr, options());
  EXPECT_EQ(second.role, InstanceRole::Delivered);
  EXPECT_FALSE(second.listener);
  char cwd[4096];
  ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
  EXPECT_EQ(inbox.now(),
            (std::vector<std::string>{"/b.vldoc", std::string(cwd) + "/relativo.vldoc"}));
  // Nothing to hand over: nothing is sent.
  EXPECT_EQ(startInstance({}, nullptr, options()).role, InstanceRole::Delivered);
  EXPECT_EQ(inbox.now().size(), 2u);

  // Once the primary closes, the next starter is the primary.
  primary.listener->close();
  auto next = startInstance({"/c.vldoc"}, inbox.deliver(), options());
  EXPECT_EQ(next.role, InstanceRole::Primary);
  EXPECT_EQ(inbox.now().size(), 2u);
}

TEST_F(SingleInstance, a_primary_killed_outright_is_replaced) {
  // A primary killed outright leaves its socket; its lock goes with it.
  Starter killed({folder, out, "hold"});
  ASSERT_EQ(killed.line(), "primary");
  killed.kill();
  Starter next({folder, out, "run", "/c.vldoc"});
  EXPECT_EQ(next.line(), "primary");
  EXPECT_EQ(next.wait(), 0);
  EXPECT_EQ(handled(out).count("/c.vldoc"), 1u);
}

TEST_F(SingleInstance, starters_at_once_are_each_delivered_exactly_once) {
  // Primaries come and go while the starters run: each ends as soon as it is
  // idle, and a starter that reaches one that is ending must not lose its
  // path.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<Starter>> starters;
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) {
      paths.push_back("/ticket-" + std::to_string(round) + "-" + std::to_string(i) + ".vldoc");
      starters.push_back(std::make_unique<Starter>(std::vector<std::string>{folder, out, "run", paths.back()}));
    }
    std::map<std::string, int> roles;
    for (auto& s : starters) {
      roles[s->line()]++;
      EXPECT_EQ(s->wait(), 0);
    }
    EXPECT_EQ(roles.count("alone"), 0u);
    EXPECT_GE(roles["primary"], 1);
    auto byPath = handled(out);
    for (const auto& path : paths) EXPECT_EQ(byPath.count(path), 1u) << path;
  }
  EXPECT_EQ(handled(out).size(), 24u);
}

TEST_F(SingleInstance, a_primary_busy_for_long_still_takes_requests_at_once) {
  Starter holder({folder, out, "hold"});
  ASSERT_EQ(holder.line(), "primary");
  const std::string holderPid = std::to_string(holder.pid());
  Starter second({folder, out, "run", "/x.vldoc"});
  EXPECT_EQ(second.line(), "delivered");
  EXPECT_EQ(second.wait(), 0);
  holder.closeInput();  // the primary's work ends; it handles /x first
  EXPECT_EQ(holder.wait(), 0);
  auto byPath = handled(out);
  ASSERT_EQ(byPath.count("/x.vldoc"), 1u);
  EXPECT_EQ(byPath.find("/x.vldoc")->second, holderPid);
}

// A request as starters send it, with a fixed id.
std::string request(const std::vector<std::string>& paths, char id = 'i') {
  std::string out = "VLA1" + std::string(16, id);
  auto length = [&out](std::size_t n) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  };
  length(paths.size());
  for (const auto& p : paths) {
    length(p.size());
    out += p;
  }
  return out;
}

// A raw client of the primary's socket.
int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The primary's answer to a client that sent bytes: 'A', 'R', or 0 when it
// closed the connection without one.
char answerTo(int fd, const std::string& bytes) {
  [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  if (::poll(&p, 1, 10000) != 1 || ::recv(fd, &c, 1, 0) != 1) c = 0;
  ::close(fd);
  return c;
}

TEST_F(SingleInstance, malformed_oversized_and_slow_requests_are_dropped) {
  Inbox inbox;
  platform::LogCapture log;
  auto o = options();
  o.maxMessageBytes = 1024;
  auto primary = startInstance({}, inbox.deliver(), o);
  ASSERT_EQ(primary.role, InstanceRole::Primary);
  const std::string socket = primary.listener->socketPath();

  EXPECT_EQ(answerTo(connectTo(socket), "basura"), 0);
  // The same request twice (a starter trying again) is delivered once.
  EXPECT_EQ(answerTo(connectTo(socket), request({"/dos-veces"}, 'd')), 'A');
  EXPECT_EQ(answerTo(connectTo(socket), request({"/dos-veces"}, 'd')), 'A');
  EXPECT_EQ(answerTo(connectTo(socket), request({"rel/x"})), 0);
  EXPECT_EQ(answerTo(connectTo(socket), "VLA1" + std::string(2000, 'x')), 0);
  EXPECT_TRUE(log.contains("Instancia principal: petición demasiado grande descartada"));

  // A starter that stalls halfway is dropped after the time limit, and the
  // next one is served.
  int slow = connectTo(socket);
  ASSERT_GE(slow, 0);
  ASSERT_EQ(::send(slow, "VLA1", 4, MSG_NOSIGNAL), 4);
  EXPECT_EQ(startInstance({"/tras-el-lento.vldoc"}, nullptr, o).role, InstanceRole::Delivered);
  ::close(slow);
  EXPECT_EQ(inbox.now(), (std::vector<std::string>{"/dos-veces", "/tras-el-lento.vldoc"}));

  // A well-formed request after close is refused.
  int late = connectTo(socket);
  ASSERT_GE(late, 0);
  std::thread closer([&] { primary.listener->close(); });
  closer.join();
  EXPECT_NE(answerTo(late, request({"/z"})), 'A');
  EXPECT_EQ(inbox.now().size(), 2u);
}

TEST_F(SingleInstance, a_peer_of_another_user_is_refused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  Inbox inbox;
  platform::LogCapture log;
  auto primary = startInstance({}, inbox.deliver(), options());
  ASSERT_EQ(primary.role, InstanceRole::Primary);
  const std::string socket = primary.listener->socketPath();
  const std::string request = ::request({"/z"});
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket.c_str());

  // The child runs as user 65534 but keeps file-system access as root, so
  // that it can reach the socket inside the private folder; the primary sees
  // the connecting user, 65534.
  pid_t child = ::fork();
  if (child == 0) {
    if (::setresuid(0, 65534, 0) != 0) ::_exit(10);
    ::setfsuid(0);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(11);
    [[maybe_unused]] auto n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char c;
    ::_exit(::recv(fd, &c, 1, 0) == 1 && c == 'A' ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10/11: the child could not connect";
  EXPECT_TRUE(inbox.now().empty());
  EXPECT_TRUE(log.contains("Instancia principal: rechazada una petición de otro usuario (uid 65534)"));
}

TEST_F(SingleInstance, folder_open_to_others_is_closed_and_a_foreign_one_refused) {
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ::chmod(folder.c_str(), 0777);
  Inbox inbox;
  auto primary = startInstance({}, inbox.deliver(), options());
  EXPECT_EQ(primary.role, InstanceRole::Primary);
  struct stat st{};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link in place of the folder is not followed.
  std::string link = dir.file("enlace");
  ASSERT_EQ(::symlink(dir.path().c_str(), link.c_str()), 0);
  auto o = options();
  o.directory = link;
  auto refused = startInstance({"/a"}, nullptr, o);
  EXPECT_EQ(refused.role, InstanceRole::Alone);
  EXPECT_FALSE(refused.problem.empty());
}

class Recording final : public platform::ApplicationDelegate {
 public:
  std::vector<std::string> opened;
  bool applicationOpenFile(platform::Application&, const std::string& path) override {
    opened.push_back(path);
    return true;
  }
  bool applicationOpenFileWithoutUI(platform::Application&, const std::string&) override { return true; }
  void applicationDidFinishLaunching(const platform::Notification&) override {}
  bool applicationShouldTerminateAfterLastWindowClosed(platform::Application&) override { return true; }
};

TEST(ApplicationIntake, requests_that_come_in_while_the_intake_closes_are_still_handled) {
  auto& application = platform::Application::sharedApplication();
  Recording delegate;
  application.setDelegate(&delegate);
  int closes = 0;
  application.setIntakeCloser([&] {
    // The listener had just queued one more request when the run went idle.
    if (++closes == 1) application.openFiles({"/tarde.vldoc"});
  });
  application.openFiles({"/primero.vldoc"});
  application.run();
  application.setIntakeCloser(nullptr);
  application.setDelegate(nullptr);
  EXPECT_EQ(delegate.opened, (std::vector<std::string>{"/primero.vldoc", "/tarde.vldoc"}));
  EXPECT_EQ(closes, 2);
}

}  // namespace
