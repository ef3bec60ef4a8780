// One instance per user: an flock elects the primary, a Unix socket carries
// later invocations' paths to it.
//
// A request is "VLA1", a random request id of 16 bytes, the number of paths
// and each path (lengths as 32-bit little-endian numbers), after which the
// starter shuts down its sending side; the primary answers one byte: 'A' when
// the paths have been queued, 'R' when it is closing. Anything else (no
// answer, end of stream) means "try again". A starter that tries again sends
// the same id, and a primary that has queued that id already only answers
// 'A': an answer that came too late for the starter does not deliver its
// paths twice.
#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "UniqueFd.h"
#include "platform/Application.h"
#include "platform/Log.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kMagic[] = {'V', 'L', 'A', '1'};
constexpr char kAccepted = 'A';
constexpr char kRefused = 'R';
constexpr std::size_t kIdBytes = 16;
constexpr std::size_t kHeaderBytes = sizeof kMagic + kIdBytes + 4;
constexpr std::size_t kMaxPaths = 65536;
constexpr std::size_t kRememberedIds = 1024;

using Fd = detail::UniqueFd;

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Waits until fd is ready for events, the deadline passes (false) or, when
// wake is given, wake becomes readable (false).
bool waitFor(int fd, short events, Clock::time_point deadline, int wake = -1) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    int n = ::poll(fds, wake >= 0 ? 2 : 1, millisecondsLeft(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (wake >= 0 && fds[1].revents) return false;
    return true;
  }
}

bool writeAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

void putLength(std::string& out, uint32_t n) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
}

uint32_t getLength(const std::string& in, std::size_t at) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return n;
}

std::string newRequestId() {
  std::string id(kIdBytes, '\0');
  if (::getrandom(id.data(), id.size(), 0) != static_cast<ssize_t>(id.size())) {
    // No entropy source: time and pid are unique enough among one user's
    // starters.
    std::string fallback = std::to_string(Clock::now().time_since_epoch().count()) + "-" + std::to_string(::getpid());
    id = fallback.substr(0, kIdBytes);
    id.resize(kIdBytes, '\0');
  }
  return id;
}

std::string encodeRequest(const std::string& id, const std::vector<std::string>& paths) {
  std::string out(kMagic, sizeof kMagic);
  out += id;
  putLength(out, static_cast<uint32_t>(paths.size()));
  for (const auto& path : paths) {
    putLength(out, static_cast<uint32_t>(path.size()));
    out += path;
  }
  return out;
}

struct Request {
  std::string id;
  std::vector<std::string> paths;
};

// A request; nothing when it is malformed. Paths are absolute, not empty,
// without NUL bytes.
std::optional<Request> decodeRequest(const std::string& in) {
  if (in.size() < kHeaderBytes || in.compare(0, 4, kMagic, 4) != 0) return std::nullopt;
  Request request;
  request.id = in.substr(sizeof kMagic, kIdBytes);
  uint32_t count = getLength(in, sizeof kMagic + kIdBytes);
  if (count > kMaxPaths) return std::nullopt;
  std::vector<std::string>& paths = request.paths;
  std::size_t at = kHeaderBytes;
  for (uint32_t i = 0; i < count; ++i) {
    if (in.size() - at < 4) return std::nullopt;
    uint32_t length = getLength(in, at);
    at += 4;
    if (length == 0 || in.size() - at < length) return std::nullopt;
    std::string path = in.substr(at, length);
    at += length;
    if (path[0] != '/' || path.find('\0') != std::string::npos) return std::nullopt;
    paths.push_back(std::move(path));
  }
  if (at != in.size()) return std::nullopt;
  return request;
}

std::optional<uid_t> peerUid(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials.uid;
}

bool socketAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The folder exists (made if missing), is a folder and not a link, belongs to
// this user and is closed to everyone else.
bool makePrivateFolder(const std::string& path, std::string* problem) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (problem) *problem = "no se puede crear " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    if (problem) *problem = path + " no es una carpeta propia";
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
    if (problem) *problem = path + " no se puede cerrar a otros usuarios";
    return false;
  }
  return true;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> cwd(4096);
  if (!::getcwd(cwd.data(), cwd.size())) return path;
  return std::string(cwd.data()) + "/" + path;
}

enum class Handed { Accepted, TryAgain };

// Hands paths to the primary listening at socketPath.
Handed handToPrimary(const std::string& socketPath, const std::string& request, std::chrono::milliseconds limit) {
  sockaddr_un address;
  if (!socketAddress(socketPath, address)) return Handed::TryAgain;
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return Handed::TryAgain;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Handed::TryAgain;  // none yet, or a stale socket of one that has gone
  }
  // Only a primary of this same user gets the paths.
  auto uid = peerUid(fd.get());
  if (!uid || *uid != ::geteuid()) return Handed::TryAgain;
  const auto deadline = Clock::now() + limit;
  if (!writeAll(fd.get(), request, deadline)) return Handed::TryAgain;
  ::shutdown(fd.get(), SHUT_WR);
  // The primary serves one starter at a time, each within the limit: wait
  // for one slow starter ahead of this one, then ask again (with the same id).
  char answer = 0;
  if (!waitFor(fd.get(), POLLIN, deadline + limit)) return Handed::TryAgain;
  if (::recv(fd.get(), &answer, 1, 0) != 1) return Handed::TryAgain;
  return answer == kAccepted ? Handed::Accepted : Handed::TryAgain;
}

}  // namespace

// ---------------------------------------------------------------------------

InstanceListener::InstanceListener(int lockFd, int listenFd, int wakeFd, std::string socketPath, Deliver deliver,
                                   SingleInstanceOptions options)
    : lockFd_(lockFd),
      listenFd_(listenFd),
      wakeFd_(wakeFd),
      socketPath_(std::move(socketPath)),
      deliver_(std::move(deliver)),
      options_(std::move(options)) {
  thread_ = std::thread([this] { listen(); });
}

InstanceListener::~InstanceListener() { close(); }

void InstanceListener::close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    accepting_ = false;  // from here on, requests are refused
  }
  uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  // Remove the socket while still holding the lock: only the lock holder
  // touches the socket's name, so a newer primary's socket is never removed.
  ::unlink(socketPath_.c_str());
  ::close(listenFd_);
  ::close(wakeFd_);
  ::close(lockFd_);
}

void InstanceListener::listen() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log("Instancia principal: no se puede esperar peticiones: errno " + std::to_string(errno));
      return;
    }
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) continue;
    serve(connection);
    ::close(connection);
  }
}

void InstanceListener::serve(int connection) {
  auto uid = peerUid(connection);
  if (!uid || *uid != ::geteuid()) {
    log("Instancia principal: rechazada una petición de otro usuario (uid " +
        (uid ? std::to_string(*uid) : std::string("desconocido")) + ")");
    return;
  }
  // The whole request must come within the time limit; a starter that is
  // slower, or sends too much, is dropped and tries again on its own.
  const auto deadline = Clock::now() + options_.messageLimit;
  std::string request;
  char buffer[4096];
  for (;;) {
    if (!waitFor(connection, POLLIN, deadline, wakeFd_)) return;
    ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return;
    if (n == 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
    if (request.size() > options_.maxMessageBytes) {
      log("Instancia principal: petición demasiado grande descartada");
      return;
    }
  }
  std::optional<Request> decoded = decodeRequest(request);
  if (!decoded) {
    log("Instancia principal: petición mal formada descartada");
    return;
  }
  char answer;
  {
    std::lock_guard lock(mutex_);
    if (!accepting_) {
      answer = kRefused;
    } else {
      answer = kAccepted;
      if (std::find(recentIds_.begin(), recentIds_.end(), decoded->id) == recentIds_.end()) {
        deliver_(std::move(decoded->paths));
        recentIds_.push_back(decoded->id);
        if (recentIds_.size() > kRememberedIds) recentIds_.pop_front();
      }
    }
  }
  // The answer fits any socket buffer: it never blocks.
  [[maybe_unused]] auto sent = ::send(connection, &answer, 1, MSG_NOSIGNAL);
}

// ---------------------------------------------------------------------------

std::optional<std::string> defaultInstanceDirectory(std::string* problem) {
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    struct stat st {};
    if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
      folder = std::string(runtime) + "/vla";
    }
  }
  if (folder.empty()) folder = "/tmp/vla-" + std::to_string(::geteuid());
  if (!makePrivateFolder(folder, problem)) return std::nullopt;
  return folder;
}

InstanceStart startInstance(const std::vector<std::string>& paths, InstanceListener::Deliver deliver,
                            const SingleInstanceOptions& options) {
  InstanceStart start;
  std::string folder = options.directory;
  if (folder.empty()) {
    auto found = defaultInstanceDirectory(&start.problem);
    if (!found) return start;
    folder = *found;
  } else if (!makePrivateFolder(folder, &start.problem)) {
    return start;
  }
  const std::string lockPath = folder + "/vla.lock";
  const std::string socketPath = folder + "/vla.sock";
  sockaddr_un address;
  if (!socketAddress(socketPath, address)) {
    start.problem = "la ruta del socket es demasiado larga: " + socketPath;
    return start;
  }
  // The descriptors are closed on exec: a launched editor must not inherit
  // the primary's lock or socket.
  Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (lock.get() < 0) {
    start.problem = "no se puede abrir " + lockPath + ": " + std::strerror(errno);
    return start;
  }

  std::vector<std::string> absolute;
  for (const auto& path : paths) {
    if (!path.empty() && path.find('\0') == std::string::npos) absolute.push_back(absolutePath(path));
  }
  const std::string request = encodeRequest(newRequestId(), absolute);
  const auto deadline = Clock::now() + options.handOffLimit;
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
      // The primary now. Whatever socket is there belongs to one that has
      // gone (it released the lock): replace it.
      ::unlink(socketPath.c_str());
      Fd listenFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
      if (listenFd.get() < 0 || wake.get() < 0 ||
          ::bind(listenFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          ::chmod(socketPath.c_str(), 0600) != 0 || ::listen(listenFd.get(), 64) != 0) {
        start.problem = "no se puede escuchar en " + socketPath + ": " + std::strerror(errno);
        ::unlink(socketPath.c_str());
        return start;  // the lock goes with its descriptor
      }
      start.listener.reset(new InstanceListener(lock.release(), listenFd.release(), wake.release(), socketPath,
                                                std::move(deliver), options));
      start.role = InstanceRole::Primary;
      return start;
    }
    if (absolute.empty()) {
      start.role = InstanceRole::Delivered;  // a primary runs and there is nothing to hand it
      return start;
    }
    if (handToPrimary(socketPath, request, options.messageLimit) == Handed::Accepted) {
      start.role = InstanceRole::Delivered;
      return start;
    }
    if (Clock::now() >= deadline) {
      start.problem = "la instancia principal no responde";
      return start;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

InstanceRole runSingleInstance(Application& application, const std::vector<std::string>& paths,
                               const SingleInstanceOptions& options) {
  InstanceStart start = startInstance(
      paths, [&application](const std::vector<std::string>& received) { application.openFiles(received); }, options);
  if (start.role == InstanceRole::Delivered) return start.role;
  if (start.role == InstanceRole::Alone) {
    log("Se trabaja sin instancia principal: " + start.problem);
  }
  InstanceListener* listener = start.listener.get();
  application.setIntakeCloser([listener] {
    if (listener) listener->close();
  });
  application.openFiles(paths);
  application.run();
  application.setIntakeCloser(nullptr);
  return start.role;
}

std::string encodeSingleInstanceRequest(const std::string& id, const std::vector<std::string>& paths) {
  return encodeRequest(id, paths);
}

std::optional<SingleInstanceRequest> decodeSingleInstanceRequest(const std::string& bytes) {
  std::optional<Request> decoded = decodeRequest(bytes);
  if (!decoded) return std::nullopt;
  return SingleInstanceRequest{std::move(decoded->id), std::move(decoded->paths)};
}

}  // namespace platform
