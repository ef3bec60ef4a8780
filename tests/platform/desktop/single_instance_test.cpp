// One instance per user: hand-off of paths, election among starters, recovery
// from a dead primary, and the limits of the primary's listener.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/Log.h"
#include "platform/SingleInstance.h"
#include "testsupport/TestSupport.h"

namespace {

using platform::InstanceRole;
using platform::startInstance;

// Paths delivered to an in-process primary (delivery is done when
// startInstance returns to the starter).
struct Inbox {
  std::mutex mutex;
  std::vector<std::string> received;
  platform::InstanceListener::Deliver deliver() {
    return [this](std::vector<std::string> paths) {
      std::lock_guard lock(mutex);
      received.insert(received.end(), paths.begin(), paths.end());
    };
  }
  std::vector<std::string> now() {
    std::lock_guard lock(mutex);
    return received;
  }
};

// An instance_starter process (see instance_starter.cpp) with its standard
// output and input on pipes.
class Starter {
 public:
  Starter(const std::string& folder, const std::string& out, const std::string& mode, const std::string& path = "") {
    int o[2], i[2];
    if (::pipe2(o, O_CLOEXEC) != 0 || ::pipe2(i, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(o[1], 1);
      ::dup2(i[0], 0);
      ::execl(VLA_INSTANCE_STARTER, VLA_INSTANCE_STARTER, folder.c_str(), out.c_str(), mode.c_str(),
              path.empty() ? nullptr : path.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(o[1]);
    ::close(i[0]);
    out_ = o[0];
    in_ = i[1];
  }
  ~Starter() {
    if (pid_ > 0) kill();
    closeInput();
    ::close(out_);
  }
  pid_t pid() const { return pid_; }
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  std::string line() {  // its role
    std::string text;
    char c;
    while (::read(out_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  int wait() {  // its exit status
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void kill() { ::kill(pid_, SIGKILL), wait(); }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};

class SingleInstance : public testing::Test {
 protected:
  // Which starters handled each path ("PID PATH" lines).
  std::multimap<std::string, std::string> handled() {
    std::multimap<std::string, std::string> byPath;
    std::istringstream in(testsupport::readText(out));
    for (std::string line; std::getline(in, line);) {
      byPath.emplace(line.substr(line.find(' ') + 1), line.substr(0, line.find(' ')));
    }
    return byPath;
  }
  platform::SingleInstanceOptions options() const {
    platform::SingleInstanceOptions o;
    o.directory = folder;
    o.messageLimit = std::chrono::milliseconds(500);
    return o;
  }
  testsupport::TempDir dir;
  std::string folder = dir.file("instance"), out = dir.file("handled.txt");
};

TEST_F(SingleInstance, later_starters_hand_their_paths_to_the_primary_in_a_private_folder) {
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ::chmod(folder.c_str(), 0777);
  Inbox inbox;
  auto primary = startInstance({"/a.vldoc"}, inbox.deliver(), options());
  ASSERT_EQ(primary.role, InstanceRole::Primary) << primary.problem;
  struct stat st{};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "a folder open to others is closed";

  auto second = startInstance({"/b.vldoc", "relativo.vldoc"}, nullptr, options());
  EXPECT_EQ(second.role, InstanceRole::Delivered);
  EXPECT_FALSE(second.listener);
  EXPECT_EQ(inbox.now(), (std::vector<std::string>{"/b.vldoc", std::filesystem::current_path() / "relativo.vldoc"}));
  EXPECT_EQ(startInstance({}, nullptr, options()).role, InstanceRole::Delivered);  // nothing sent
  EXPECT_EQ(inbox.now().size(), 2u);

  // Once the primary closes, the next starter is the primary.
  primary.listener->close();
  EXPECT_EQ(startInstance({"/c.vldoc"}, inbox.deliver(), options()).role, InstanceRole::Primary);
  EXPECT_EQ(inbox.now().size(), 2u);

  // A link in place of the folder is not followed.
  auto o = options();
  o.directory = dir.file("enlace");
  ASSERT_EQ(::symlink(dir.path().c_str(), o.directory.c_str()), 0);
  auto refused = startInstance({"/a"}, nullptr, o);
  EXPECT_EQ(refused.role, InstanceRole::Alone);
  EXPECT_FALSE(refused.problem.empty());
}

TEST_F(SingleInstance, a_busy_primary_takes_requests_at_once_and_a_killed_one_is_replaced) {
  Starter busy(folder, out, "hold");
  ASSERT_EQ(busy.line(), "primary");
  Starter second(folder, out, "run", "/x.vldoc");
  EXPECT_EQ(second.line(), "delivered");
  EXPECT_EQ(second.wait(), 0);
  busy.closeInput();  // the primary's work ends; it handles /x first
  const std::string busyPid = std::to_string(busy.pid());
  EXPECT_EQ(busy.wait(), 0);
  ASSERT_EQ(handled().count("/x.vldoc"), 1u);
  EXPECT_EQ(handled().find("/x.vldoc")->second, busyPid);

  // A primary killed outright leaves its socket; its lock goes with it.
  Starter killed(folder, out, "hold");
  ASSERT_EQ(killed.line(), "primary");
  killed.kill();
  Starter next(folder, out, "run", "/c.vldoc");
  EXPECT_EQ(next.line(), "primary");
  EXPECT_EQ(next.wait(), 0);
  EXPECT_EQ(handled().count("/c.vldoc"), 1u);
}

TEST_F(SingleInstance, starters_at_once_are_each_delivered_exactly_once) {
  // Primaries come and go while the starters run: each ends as soon as it is
  // idle, and a starter that reaches one that is ending must not lose its path.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<Starter>> starters;
    for (int i = 0; i < 12; ++i) {
      starters.push_back(std::make_unique<Starter>(folder, out, "run", "/t" + std::to_string(round * 12 + i)));
    }
    std::map<std::string, int> roles;
    for (auto& s : starters) {
      roles[s->line()]++;
      EXPECT_EQ(s->wait(), 0);
    }
    EXPECT_EQ(roles.count("alone"), 0u);
    EXPECT_GE(roles["primary"], 1);
  }
  auto byPath = handled();
  EXPECT_EQ(byPath.size(), 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(byPath.count("/t" + std::to_string(i)), 1u) << i;
}

// A request as starters send it, with a fixed id.
std::string request(const std::vector<std::string>& paths, char id = 'i') {
  std::string out = "VLA1" + std::string(16, id);
  auto length = [&out](std::size_t n) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  };
  length(paths.size());
  for (const auto& p : paths) length(p.size()), out += p;
  return out;
}

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// The primary's answer to a client that sent bytes: 'A', 'R', or 0 when it
// closed the connection without one.
char answerTo(int fd, const std::string& bytes) {
  [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  char c = 0;
  if (::recv(fd, &c, 1, 0) != 1) c = 0;
  ::close(fd);
  return c;
}

TEST_F(SingleInstance, malformed_oversized_slow_and_foreign_requests_are_dropped) {
  Inbox inbox;
  platform::LogCapture log;
  auto o = options();
  o.maxMessageBytes = 1024;
  auto primary = startInstance({}, inbox.deliver(), o);
  ASSERT_EQ(primary.role, InstanceRole::Primary);
  const std::string socket = primary.listener->socketPath();
  struct Case {
    std::string bytes;
    char answer;
  };
  for (const auto& [bytes, answer] : {Case{"basura", 0}, Case{request({"/dos-veces"}, 'd'), 'A'},
                                      Case{request({"/dos-veces"}, 'd'), 'A'},  // a retry: delivered once
                                      Case{request({"rel/x"}), 0}, Case{"VLA1" + std::string(2000, 'x'), 0}}) {
    EXPECT_EQ(answerTo(connectTo(socket), bytes), answer) << bytes.substr(0, 30);
  }
  EXPECT_TRUE(log.contains("Instancia principal: petición demasiado grande descartada"));

  // A starter that stalls halfway is dropped after the time limit, and the
  // next one is served.
  int slow = connectTo(socket);
  ASSERT_EQ(::send(slow, "VLA1", 4, MSG_NOSIGNAL), 4);
  EXPECT_EQ(startInstance({"/tras-el-lento.vldoc"}, nullptr, o).role, InstanceRole::Delivered);
  ::close(slow);

  // Another user is refused. The child runs as user 65534 but keeps
  // file-system access as root, to reach the socket in the private folder.
  if (::geteuid() == 0) {
    const std::string foreign = request({"/z"});
    pid_t child = ::fork();
    if (child == 0) {
      if (::setresuid(0, 65534, 0) != 0) ::_exit(10);
      ::setfsuid(0);
      ::_exit(answerTo(connectTo(socket), foreign) == 'A' ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(log.contains("Instancia principal: rechazada una petición de otro usuario (uid 65534)"));
  }

  // A well-formed request after close is refused.
  int late = connectTo(socket);
  ASSERT_GE(late, 0);
  primary.listener->close();
  EXPECT_NE(answerTo(late, request({"/z"})), 'A');
  EXPECT_EQ(inbox.now(), (std::vector<std::string>{"/dos-veces", "/tras-el-lento.vldoc"}));
}

}  // namespace
