#pragma once
// One running instance per user. The first invocation becomes the primary: it
// holds an flock on a lock file and listens on a Unix socket beside it, in a
// folder only the user can enter. A later invocation hands its paths to the
// primary, which delivers them as open-file requests, and ends at once.
//
// Hand-off: the primary answers a request only once its paths are queued, and
// closes its intake (refusing, then releasing the lock) before it ends, so a
// starter whose paths were not acknowledged tries again, becoming the primary
// itself if the old one has gone. Paths are never lost to a primary that is
// ending.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class Application;

struct SingleInstanceOptions {
  // Folder of the lock file and the socket; empty: defaultInstanceDirectory().
  std::string directory;
  // How long a starter keeps trying to become the primary or to hand over its
  // paths before it runs on its own.
  std::chrono::milliseconds handOffLimit{10000};
  // How long the primary waits for one request to arrive whole; a starter
  // waits twice as long for the primary's answer.
  std::chrono::milliseconds messageLimit{2000};
  // Largest request the primary reads.
  std::size_t maxMessageBytes = 1 << 20;
};

enum class InstanceRole {
  Primary,    // this process is the primary and listens
  Delivered,  // the paths went to the running primary (or there were none)
  Alone,      // neither worked (see InstanceStart::problem): handle them here
};

// The primary's listener: a thread of its own accepts requests, reads each
// (time- and size-limited; peers of another user are refused) and hands the
// paths to its delivery function, on that thread.
class InstanceListener {
 public:
  using Deliver = std::function<void(std::vector<std::string>)>;
  ~InstanceListener();
  InstanceListener(const InstanceListener&) = delete;
  InstanceListener& operator=(const InstanceListener&) = delete;

  // Stops taking requests and gives up being the primary: a request being
  // read is refused (its starter tries again), the socket is removed and the
  // lock released. Returns once the listener thread has ended; after that the
  // delivery function is never called again. Idempotent; any thread.
  void close();
  const std::string& socketPath() const { return socketPath_; }

 private:
  friend struct InstanceStart startInstance(const std::vector<std::string>&, Deliver, const SingleInstanceOptions&);
  InstanceListener(int lockFd, int listenFd, int wakeFd, std::string socketPath, Deliver deliver,
                   SingleInstanceOptions options);
  void listen();
  void serve(int connection);

  int lockFd_;
  int listenFd_;
  int wakeFd_;
  std::string socketPath_;
  Deliver deliver_;
  SingleInstanceOptions options_;
  std::mutex mutex_;  // guards accepting_, recentIds_ and each delivery
  bool accepting_ = true;
  std::deque<std::string> recentIds_;  // ids of the requests delivered last
  bool closed_ = false;
  std::thread thread_;
};

struct InstanceStart {
  InstanceRole role = InstanceRole::Alone;
  std::unique_ptr<InstanceListener> listener;  // the primary's, while it is one
  std::string problem;                         // why the role is Alone
};

// Becomes the primary (paths are then this process's own to handle; later
// starters' paths go to deliver, which must only queue them, e.g.
// Application::openFiles) or hands paths (made absolute) to the primary.
InstanceStart startInstance(const std::vector<std::string>& paths, InstanceListener::Deliver deliver,
                            const SingleInstanceOptions& options = {});

// "$XDG_RUNTIME_DIR/vla" when that folder is the user's, else "/tmp/vla-UID";
// made with mode 0700 when missing. Nothing when it cannot be made private.
std::optional<std::string> defaultInstanceDirectory(std::string* problem = nullptr);

// The whole life of an invocation: hands the paths to a running primary and
// returns Delivered, or (as primary or alone) queues them as open-file
// requests, runs the application until it is idle, closes the intake before
// the run ends and returns the role it had. Call on the main thread.
InstanceRole runSingleInstance(Application& application, const std::vector<std::string>& paths,
                               const SingleInstanceOptions& options = {});

// The request a starter sends the primary: its id and its paths.
struct SingleInstanceRequest {
  std::string id;
  std::vector<std::string> paths;
};
// Encodes a request as the primary reads it.
std::string encodeSingleInstanceRequest(const std::string& id, const std::vector<std::string>& paths);
// Decodes what a starter sent; nothing when it is malformed (bad header, more
// paths than allowed, a path that is empty, relative or holds a NUL byte,
// lengths that do not add up).
std::optional<SingleInstanceRequest> decodeSingleInstanceRequest(const std::string& bytes);

}  // namespace platform
