// One instance per user: hand-off of paths, election among starters, recovery
// from a dead primary, and the limits of the primary's listener.
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <utility>

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
    return [this](std::vector<std::string> p) {
      std::lock_guard l(mutex);
      received.insert(received.end(), p.begin(), p.end());
    };
  }
  std::vector<std::string> now() {
    std::lock_guard l(mutex);
    return received;
  }
};

// An instance_starter process (see instance_starter.cpp); its standard output
// and input are pipes.
class Starter {
 public:
  Starter(const std::string& folder, const std::string& out, const char* mode, const std::string& path = "") {
    int o[2], i[2];
    if (::pipe2(o, O_CLOEXEC) != 0 || ::pipe2(i, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(o[1], 1), ::dup2(i[0], 0);
      ::execl(VLA_INSTANCE_STARTER, VLA_INSTANCE_STARTER, folder.c_str(), out.c_str(), mode,
              path.empty() ? nullptr : path.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(o[1]), ::close(i[0]);
    out_ = o[0], in_ = i[1];
  }
  ~Starter() { pid_ > 0 ? kill() : void(), closeInput(), ::close(out_); }
  pid_t pid() const { return pid_; }
  void closeInput() { ::close(std::exchange(in_, -1)); }
  std::string role() {
    std::string text;
    for (char c; ::read(out_, &c, 1) == 1 && c != '\n';) text += c;
    return text;
  }
  int wait() {  // its exit status
    int status = 0;
    return ::waitpid(std::exchange(pid_, -1), &status, 0),
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void kill() { ::kill(pid_, SIGKILL), wait(); }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};

class SingleInstance : public testing::Test {
 protected:
  // Which starter handled each path (from the "PID PATH" lines).
  std::multimap<std::string, std::string> handled() {
    std::multimap<std::string, std::string> byPath;
    std::istringstream in(testsupport::readText(out));
    for (std::string pid, path; in >> pid >> path;) byPath.emplace(path, pid);
    return byPath;
  }
  platform::SingleInstanceOptions options() const {
    platform::SingleInstanceOptions o;
    o.directory = folder, o.messageLimit = std::chrono::milliseconds(500), o.maxMessageBytes = 1024;
    return o;
  }
  testsupport::TempDir dir;
  std::string folder = dir.file("instance"), out = dir.file("handled.txt");
};

TEST_F(SingleInstance, a_busy_primary_takes_requests_at_once_and_a_killed_one_is_replaced) {
  Starter busy(folder, out, "hold");
  ASSERT_EQ(busy.role(), "primary");
  Starter second(folder, out, "run", "/x.vldoc");
  EXPECT_EQ(second.role(), "delivered");
  EXPECT_EQ(second.wait(), 0);
  busy.closeInput();  // the primary's work ends; it handles /x first
  const std::string busyPid = std::to_string(busy.pid());
  EXPECT_TRUE(busy.wait() == 0 && handled() == (std::multimap<std::string, std::string>{{"/x.vldoc", busyPid}}));

  // A primary killed outright leaves its socket; its lock goes with it.
  Starter killed(folder, out, "hold");
  ASSERT_EQ(killed.role(), "primary");
  killed.kill();
  Starter next(folder, out, "run", "/c.vldoc");
  EXPECT_EQ(next.role(), "primary");
  EXPECT_TRUE(next.wait() == 0 && handled().count("/c.vldoc") == 1u);
}

TEST_F(SingleInstance, starters_at_once_are_each_delivered_exactly_once) {
  // Primaries come and go while the starters run: each ends as soon as it is
  // idle, and a starter that reaches one that is ending must not lose its path.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<Starter>> starters;
    for (int i = 0; i < 12; ++i)
      starters.push_back(std::make_unique<Starter>(folder, out, "run", "/t" + std::to_string(round * 12 + i)));
    std::map<std::string, int> roles;
    for (auto& s : starters) {
      roles[s->role()]++;
      EXPECT_EQ(s->wait(), 0);
    }
    EXPECT_TRUE(roles.count("alone") == 0 && roles["primary"] >= 1);
  }
  auto byPath = handled();
  EXPECT_EQ(byPath.size(), 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(byPath.count("/t" + std::to_string(i)), 1u) << i;
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
  [[maybe_unused]] auto got = ::recv(fd, &c, 1, 0);  // c stays 0 without an answer
  ::close(fd);
  return c;
}

TEST_F(SingleInstance, the_primary_listens_in_a_private_folder_and_refuses_what_it_must) {
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ::chmod(folder.c_str(), 0777);
  Inbox inbox;
  platform::LogCapture log;
  auto primary = startInstance({"/a.vldoc"}, inbox.deliver(), options());
  ASSERT_EQ(primary.role, InstanceRole::Primary) << primary.problem;
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "a folder open to others is closed";
  EXPECT_EQ(startInstance({"/b.vldoc", "relativo.vldoc"}, nullptr, options()).role, InstanceRole::Delivered);

  const std::string socket = primary.listener->socketPath();
  const std::string twice = platform::encodeSingleInstanceRequest(std::string(16, 'd'), {"/dos-veces"});
  // A retry is acknowledged but delivered once.
  for (const auto& [bytes, answer] : {std::pair{twice, 'A'}, {twice, 'A'}, {"VLA1" + std::string(2000, 'x'), '\0'}})
    EXPECT_EQ(answerTo(connectTo(socket), bytes), answer) << bytes.size();
  EXPECT_TRUE(log.contains("Instancia principal: petición demasiado grande descartada"));

  // A starter that stalls halfway is dropped after the time limit; the next is served.
  int slow = connectTo(socket);
  ASSERT_EQ(::send(slow, "VLA1", 4, MSG_NOSIGNAL), 4);
  EXPECT_EQ(startInstance({"/tras-el-lento.vldoc"}, nullptr, options()).role, InstanceRole::Delivered);
  ::close(slow);

  // Another user is refused. The child runs as user 65534 but keeps
  // file-system access as root, to reach the socket in the private folder.
  const std::string other = platform::encodeSingleInstanceRequest(std::string(16, 'z'), {"/z"});
  if (::geteuid() == 0) {
    pid_t child = ::fork();
    if (child == 0) {
      if (::setresuid(0, 65534, 0) != 0) ::_exit(10);
      ::setfsuid(0);
      ::_exit(answerTo(connectTo(socket), other) == 'A' ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(log.contains("Instancia principal: rechazada una petición de otro usuario (uid 65534)"));
  }

  // A well-formed request after close is refused; the next starter is the primary.
  int late = connectTo(socket);
  ASSERT_GE(late, 0);
  primary.listener->close();
  EXPECT_NE(answerTo(late, other), 'A');
  EXPECT_EQ(startInstance({"/c.vldoc"}, inbox.deliver(), options()).role, InstanceRole::Primary);
  EXPECT_EQ(inbox.now(), (std::vector<std::string>{"/b.vldoc", std::filesystem::current_path() / "relativo.vldoc",
                                                   "/dos-veces", "/tras-el-lento.vldoc"}));

  // A link in place of the folder is not followed.
  auto o = options();
  ASSERT_EQ(::symlink(dir.path().c_str(), (o.directory = dir.file("enlace")).c_str()), 0);
  EXPECT_EQ(startInstance({"/a"}, nullptr, o).role, InstanceRole::Alone);
}

}  // namespace
