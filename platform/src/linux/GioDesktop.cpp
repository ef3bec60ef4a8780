// The desktop back end on Linux, through GIO: the default application for a
// file type, opening a file in it, and the launch and end of the processes it
// starts.
//
// The file type comes from the file name only (g_content_type_guess with no
// data), the way the desktop decides for a file it has not read yet; sniffing
// the contents would give other answers for documents that are still being
// downloaded or are empty.
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "DesktopEnvironment.h"
#include "platform/FileURL.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"
#include "platform/Processes.h"
#include "platform/Workspace.h"

namespace platform {
namespace {

// ---------------------------------------------------------------------------
// GLib ownership.

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GStrvFree {
  void operator()(gchar** p) const { g_strfreev(p); }
};
using GStrvPtr = std::unique_ptr<gchar*, GStrvFree>;

struct GErrorFree {
  void operator()(GError* e) const {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct KeyFileFree {
  void operator()(GKeyFile* k) const { g_key_file_free(k); }
};

// ---------------------------------------------------------------------------
// Paths.

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Folders that hold the programs of many applications: a program found in one
// is its own "bundle", since the folder would match every other program too.
bool isSharedBinFolder(const std::string& folder) {
  std::vector<std::string> shared = {"/bin",           "/sbin",
                                     "/usr/bin",       "/usr/sbin",
                                     "/usr/local/bin", "/usr/local/sbin",
                                     "/usr/games",     "/usr/local/games",
                                     "/snap/bin",      "/var/lib/flatpak/exports/bin"};
  if (const char* home = std::getenv("HOME"); home && *home == '/') {
    shared.push_back(std::string(home) + "/.local/bin");
    shared.push_back(std::string(home) + "/bin");
    shared.push_back(std::string(home) + "/.local/share/flatpak/exports/bin");
  }
  // Every folder of the search path is shared by definition.
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string entry = list.substr(start, end - start);
      if (!entry.empty() && entry[0] == '/') shared.push_back(entry);
      start = end + 1;
    }
  }
  for (const auto& candidate : shared) {
    if (candidate == folder) return true;
    if (auto resolved = realPath(candidate); resolved && *resolved == folder) return true;
  }
  return false;
}

// The program that the application's Exec line runs, with symbolic links
// resolved. A leading "env [options] NAME=VALUE..." is looked through.
std::optional<std::string> applicationProgram(GAppInfo* info) {
  const char* commandline = g_app_info_get_commandline(info);
  if (!commandline) return std::nullopt;
  gchar** rawArgv = nullptr;
  if (!g_shell_parse_argv(commandline, nullptr, &rawArgv, nullptr)) return std::nullopt;
  GStrvPtr argv(rawArgv);
  std::size_t i = 0;
  if ((argv.get()[0] != nullptr) && baseName(argv.get()[0]) == "env") {
    ++i;
    while ((argv.get()[i] != nullptr) &&
           (argv.get()[i][0] == '-' || std::string(argv.get()[i]).find('=') != std::string::npos)) {
      ++i;
    }
  }
  if (!argv.get()[i]) return std::nullopt;
  std::string program = argv.get()[i];
  if (program.find('/') == std::string::npos) {
    GCharPtr found(g_find_program_in_path(program.c_str()));
    if (!found) return std::nullopt;
    program = found.get();
  }
  return realPath(program);
}

std::string bundleForProgram(const std::string& program) {
  std::string folder = folderOf(program);
  return isSharedBinFolder(folder) ? program : folder;
}

// The default application for a file name, judged by the name alone.
GObjectPtr<GAppInfo> defaultApplicationForName(const std::string& name) {
  gboolean uncertain = FALSE;
  GCharPtr type(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
  if (!type || g_content_type_is_unknown(type.get())) return nullptr;
  return GObjectPtr<GAppInfo>(g_app_info_get_default_for_type(type.get(), FALSE));
}

std::string displayNameOf(GAppInfo* info) {
  const char* name = g_app_info_get_display_name(info);
  if (!name) name = g_app_info_get_name(info);
  return name ? name : "";
}

// ---------------------------------------------------------------------------
// The launched process's executable.

std::vector<std::string> processArguments(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
  return args;
}

// What the launched process runs: its /proc/PID/exe, except while it is still
// the interpreter of the "#!" program that was launched (a launcher script such
// as an office suite's, which later replaces itself with the real program):
// the kernel then runs "INTERPRETER [ARG] SCRIPT ...", and the process's
// executable is the script.
//
// Before that the process may not have reached the program yet: GLib starts
// programs through its helper "gio-launch-desktop", which replaces itself with
// the program at once, and the child may still be the copy of this process
// between fork and exec. The launch is reported once the process runs the
// program (waiting a second at most; after that, the program it will run).
std::string launchedExecutable(pid_t pid, const std::optional<std::string>& program) {
  const std::optional<std::string> self = processExecutablePath(::getpid());
  auto notThereYet = [&](const std::optional<std::string>& exe) {
    return exe && *exe != program && (baseName(*exe) == "gio-launch-desktop" || exe == self);
  };
  std::optional<std::string> exe = processExecutablePath(pid);
  for (int waited = 0; notThereYet(exe) && waited < 1000; ++waited) {
    ::usleep(1000);
    exe = processExecutablePath(pid);
  }
  if (notThereYet(exe)) return program.value_or(*exe);
  // An interpreter running the program as a script counts as the program. The
  // arguments are read between two reads of the executable, so that both
  // belong to the same image: a launcher script that execs something else
  // may do so in between, and then the pair is read again.
  for (int tries = 0; program && exe && *exe != *program && tries < 10; ++tries) {
    // Right after an exec the arguments may not be readable yet.
    std::vector<std::string> args = processArguments(pid);
    for (int waited = 0; args.empty() && waited < 1000 && isProcessRunning(pid); ++waited) {
      ::usleep(1000);
      args = processArguments(pid);
    }
    const std::optional<std::string> after = processExecutablePath(pid);
    if (after != exe) {
      exe = after;
      continue;
    }
    for (std::size_t i = 1; i < args.size() && i <= 2; ++i) {
      if (!args[i].empty() && args[i][0] == '/' && realPath(args[i]) == program) return *program;
    }
    break;
  }
  if (exe) return *exe;
  return program.value_or("");
}

// ---------------------------------------------------------------------------
// Watching launched processes end, on a thread of its own.

class ExitWatcher {
 public:
  static ExitWatcher& shared() {
    static auto* watcher = new ExitWatcher();  // runs for the whole process
    return *watcher;
  }

  void watch(ProcessHandle process, std::shared_ptr<const RunningApplication> app) {
    {
      std::lock_guard lock(mutex_);
      added_.emplace_back(std::move(process), std::move(app));
    }
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
  }

 private:
  using Entry = std::pair<ProcessHandle, std::shared_ptr<const RunningApplication>>;

  ExitWatcher() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    std::thread([this] { loop(); }).detach();
  }

  void loop() {
    std::vector<Entry> watched;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        for (auto& entry : added_) watched.push_back(std::move(entry));
        added_.clear();
      }
      std::vector<pollfd> fds;
      fds.push_back({wake_, POLLIN, 0});
      for (const auto& [process, app] : watched) fds.push_back({process.fd(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        log("No se puede vigilar el fin de los procesos lanzados: errno " + std::to_string(errno));
        return;
      }
      if (fds[0].revents) {
        uint64_t count;
        [[maybe_unused]] auto n = ::read(wake_, &count, sizeof count);
      }
      std::vector<Entry> still;
      for (std::size_t i = 0; i < watched.size(); ++i) {
        if (fds[i + 1].revents) {
          Workspace::sharedWorkspace().postApplicationTerminated(watched[i].second);
        } else {
          still.push_back(std::move(watched[i]));
        }
      }
      watched = std::move(still);
    }
  }

  int wake_;
  std::mutex mutex_;
  std::vector<Entry> added_;
};

struct LaunchRecord {
  std::vector<pid_t> pids;
};

// What a launched editor writes to its standard output and error goes to the
// log, line by line, under the ticket that launched it: never raw into vla's
// own standard error. A thread of its own reads the pipe until every process
// that holds its other end has ended. Lines are bounded; control characters
// are shown escaped.
void logEditorOutput(int fd, std::pair<std::string, std::string> context, std::string program) {
  std::thread([fd, context = std::move(context), program = std::move(program)] {
    std::optional<LogContext> scope;
    if (!context.first.empty() || !context.second.empty()) scope.emplace(context.first, context.second);
    constexpr std::size_t kMaxLine = 2000;
    constexpr std::size_t kMaxLines = 5000;  // an editor that talks without end is cut off
    std::string line;
    std::size_t lines = 0;
    auto flush = [&] {
      if (line.empty()) return;
      if (lines < kMaxLines) log("Salida del editor (" + program + "): " + line);
      if (++lines == kMaxLines) log("Salida del editor (" + program + "): demasiadas líneas; no se registran más");
      line.clear();
    };
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(buffer[i]);
        if (c == '\n') {
          flush();
        } else if (line.size() < kMaxLine) {
          if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            line += escaped;
          } else {
            line += static_cast<char>(c);
          }
        }
      }
    }
    flush();
    ::close(fd);
  }).detach();
}

void onLaunched(GDesktopAppInfo*, GPid pid, gpointer data) { static_cast<LaunchRecord*>(data)->pids.push_back(pid); }

// Applications activated over D-Bus give no process to follow; launch their
// Exec line instead, which ends up in the same running instance.
GObjectPtr<GDesktopAppInfo> spawnableInfo(GDesktopAppInfo* info) {
  if (!g_desktop_app_info_get_boolean(info, "DBusActivatable")) {
    return GObjectPtr<GDesktopAppInfo>(G_DESKTOP_APP_INFO(g_object_ref(info)));
  }
  const char* file = g_desktop_app_info_get_filename(info);
  std::unique_ptr<GKeyFile, KeyFileFree> keyFile(g_key_file_new());
  if (!file || !g_key_file_load_from_file(keyFile.get(), file, G_KEY_FILE_KEEP_TRANSLATIONS, nullptr)) {
    return GObjectPtr<GDesktopAppInfo>(G_DESKTOP_APP_INFO(g_object_ref(info)));
  }
  g_key_file_remove_key(keyFile.get(), G_KEY_FILE_DESKTOP_GROUP, "DBusActivatable", nullptr);
  GObjectPtr<GDesktopAppInfo> copy(g_desktop_app_info_new_from_keyfile(keyFile.get()));
  if (!copy) return GObjectPtr<GDesktopAppInfo>(G_DESKTOP_APP_INFO(g_object_ref(info)));
  return copy;
}

}  // namespace

std::optional<ApplicationRef> LSGetApplicationForInfo(const std::string& extension) {
  if (extension.empty() || extension.find('/') != std::string::npos) return std::nullopt;
  GObjectPtr<GAppInfo> info = defaultApplicationForName("x." + extension);
  if (!info) return std::nullopt;
  std::optional<std::string> program = applicationProgram(info.get());
  if (!program) return std::nullopt;
  const char* id = g_app_info_get_id(info.get());
  return ApplicationRef{bundleForProgram(*program), displayNameOf(info.get()), id ? id : ""};
}

bool Workspace::openFile(const std::string& path) {
  // An editor given a path where there is nothing would start a new document
  // there instead.
  if (::access(path.c_str(), F_OK) != 0) {
    log("No existe el fichero que se quiere abrir: " + path);
    return false;
  }
  GObjectPtr<GAppInfo> info = defaultApplicationForName(baseName(path));
  if (!info || !G_IS_DESKTOP_APP_INFO(info.get())) {
    log("No hay aplicación para abrir " + path);
    return false;
  }
  GObjectPtr<GDesktopAppInfo> launchable = spawnableInfo(G_DESKTOP_APP_INFO(info.get()));
  const std::string name = displayNameOf(info.get());
  const std::optional<std::string> program = applicationProgram(info.get());

  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  GCharPtr uri(g_file_get_uri(file.get()));
  GList uris{uri.get(), nullptr, nullptr};
  GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
  for (const auto& name : detail::ownEnvironmentVariables()) {
    g_app_launch_context_unsetenv(context.get(), name.c_str());
  }
  LaunchRecord record;
  GError* rawError = nullptr;
  // The editor's output goes through a pipe to the log; without a pipe it
  // goes nowhere rather than into vla's standard error.
  int output[2] = {-1, -1};
  if (::pipe2(output, O_CLOEXEC) != 0) output[0] = output[1] = -1;
  const int sink = output[1] >= 0 ? output[1] : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  gboolean launched = g_desktop_app_info_launch_uris_as_manager_with_fds(
      launchable.get(), &uris, context.get(), G_SPAWN_SEARCH_PATH, nullptr, nullptr, onLaunched, &record, -1, sink,
      sink, &rawError);
  GErrorPtr error(rawError);
  if (sink >= 0) ::close(sink);
  if (output[0] >= 0) {
    if (launched) {
      logEditorOutput(output[0], currentLogContext(), program ? baseName(*program) : name);
    } else {
      ::close(output[0]);
    }
  }
  if (!launched) {
    log("No se puede lanzar " + name + " para " + path + ": " + (error ? error->message : "error desconocido"));
    return false;
  }
  for (pid_t pid : record.pids) {
    auto app = std::make_shared<RunningApplication>();
    app->processIdentifier = pid;
    app->executableURL = fileURLForPath(launchedExecutable(pid, program));
    app->localizedName = name;
    app->document = path;
    // Open the pidfd before announcing the launch, so that a process that ends
    // at once is still followed to its end.
    std::optional<ProcessHandle> process = ProcessHandle::open(pid);
    std::shared_ptr<const RunningApplication> shared = app;
    postApplicationLaunched(shared);
    if (process) {
      ExitWatcher::shared().watch(std::move(*process), shared);
    } else {
      postApplicationTerminated(shared);  // already gone
    }
  }
  return true;
}

}  // namespace platform
