// The editor lookup and opening documents, against the private desktop of
// PrivateDesktop.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "PrivateDesktop.h"
#include "platform/FileURL.h"
#include "platform/LaunchServices.h"
#include "platform/Log.h"
#include "platform/Processes.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"

namespace {

using desktoptest::desktop;
using platform::LSGetApplicationForInfo;
using testsupport::readText;
using testsupport::runMainLoopUntil;
namespace fs = std::filesystem;

std::string real(const std::string& path) { return fs::canonical(path).string(); }

// What the workspace posts, as an observer sees it.
struct Seen {
  std::string name;
  std::optional<std::string> applicationName;
  std::shared_ptr<const platform::RunningApplication> app;
  bool onMainThread;
};

class WorkspaceEvents {
 public:
  WorkspaceEvents() {
    center().addObserver(
        this,
        [this](const platform::Notification& n) {
          std::lock_guard lock(mutex_);
          seen_.push_back({n.name, n.string(platform::NSApplicationNameKey),
                           n.runningApplication(platform::NSWorkspaceApplicationKey),
                           platform::RunLoop::isMainThread()});
        },
        std::nullopt);
  }
  ~WorkspaceEvents() { center().removeObserver(this); }
  // The notifications of that name (for that process), in order.
  std::vector<Seen> all(const std::string& name, pid_t pid = 0) const {
    std::lock_guard lock(mutex_);
    std::vector<Seen> found;
    std::copy_if(seen_.begin(), seen_.end(), std::back_inserter(found), [&](const Seen& s) {
      return s.name == name && (pid == 0 || (s.app && s.app->processIdentifier == pid));
    });
    return found;
  }
  // Runs the main loop until the first such notification arrives.
  std::optional<Seen> await(const std::string& name, pid_t pid = 0) const {
    if (!runMainLoopUntil([&] { return !all(name, pid).empty(); })) return std::nullopt;
    return all(name, pid).front();
  }

 private:
  static platform::NotificationCenter& center() { return platform::Workspace::sharedWorkspace().notificationCenter(); }
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
};

std::string writeDocument(const std::string& name) {
  const std::string path = desktop().docs + "/" + name;
  return std::ofstream(path) << "contenido", path;
}

TEST(EditorLookup, bundle_is_the_folder_of_the_resolved_program_and_unrunnable_types_find_nothing) {
  struct Case {
    const char* extension;
    std::string bundle;  // empty: nothing found
    const char* desktopId;
  };
  const std::string editor = real(desktop().editorDir);
  for (const auto& [extension, bundle, desktopId] :
       {Case{"vlatest", editor, "editor.desktop"}, Case{"vlalinked", editor, nullptr},  // through a symbolic link
        Case{"vlaenv", editor, nullptr},                                                // behind "env NAME=VALUE"
        Case{"vlabin", real("/bin/cat"), nullptr},  // a shared bin folder: the program itself
        Case{"vlalocal", real(desktop().home + "/.local/bin/editor-local"), nullptr},
        Case{"doc", editor, "editor.desktop"},                            // the mimeapps default wins
        Case{"vldoc", real(desktop().root + "/bin/vla"), "vla.desktop"},  // our own entry
        Case{"vlaorphan", "", nullptr},                                   // nobody opens it
        Case{"vlamissing", "", nullptr},                                  // its program is not there
        Case{"nosuchextension", "", nullptr}, Case{"", "", nullptr}, Case{"a/b", "", nullptr}}) {
    auto ref = LSGetApplicationForInfo(extension);
    EXPECT_EQ(ref ? ref->bundlePath : "", bundle) << extension;
    if (ref && desktopId != nullptr) {
      EXPECT_EQ(ref->desktopId, desktopId) << extension;
    }
    // Nothing to run it with: the document is not opened, and the user is told why.
    if (bundle.empty() && std::string_view(extension).starts_with("vla")) {
      platform::LogCapture log;
      EXPECT_FALSE(platform::Workspace::sharedWorkspace().openFile(writeDocument(std::string("a.") + extension)));
      EXPECT_FALSE(log.lines().empty());
    }
  }
  EXPECT_FALSE(platform::Workspace::sharedWorkspace().openFile(desktop().docs + "/no-existe.vlatest"));
  auto ref = LSGetApplicationForInfo("vlatest");
  ASSERT_TRUE(ref && platform::LSCopyDisplayNameForRef(*ref) == "Editor de prueba");
  // The bundle's address is a text prefix of paths inside it, despite the space.
  const std::string url = platform::CFURLCreateFromFSRef(*ref);
  EXPECT_EQ(platform::fileURLForPath(ref->bundlePath + "/editor.sh").rfind(url, 0), 0u);
  EXPECT_NE(url.find("my%20editor"), std::string::npos);
  EXPECT_EQ(platform::pathForFileURL(url), ref->bundlePath);

  // Our entry (the opener of vldoc, above) is not shown in menus.
  EXPECT_NE(readText(desktop().root + "/share/applications/vla.desktop").find("\nNoDisplay=true\n"), std::string::npos);
}

TEST(FileURL, round_trips_every_byte_and_keeps_stray_percent_signs) {
  std::string path = "/tmp/a b/%41/ñ/#?;=&+";
  path += '\x01';
  const std::string url = platform::fileURLForPath(path);
  EXPECT_EQ(url, "file:///tmp/a%20b/%2541/%C3%B1/%23%3F%3B%3D%26%2B%01");
  EXPECT_EQ(platform::pathForFileURL(url), path);
  EXPECT_EQ(platform::pathForFileURL("file://localhost/x%2"), "/x%2");
  EXPECT_EQ(platform::pathForFileURL("file:///x%zz%4"), "/x%zz%4");
}

TEST(Workspace, opening_a_document_posts_launch_and_end_on_the_main_thread) {
  using platform::NSWorkspaceDidLaunchApplicationNotification, platform::NSWorkspaceDidTerminateApplicationNotification;
  WorkspaceEvents events;
  platform::LogCapture log;
  const std::string doc = writeDocument("informe 1.vlatest");
  {
    platform::LogContext ticket("T-1", "informe 1.vldoc");
    ASSERT_TRUE(platform::Workspace::sharedWorkspace().openFile(doc));
  }
  auto launch = events.await(NSWorkspaceDidLaunchApplicationNotification);
  ASSERT_TRUE(launch && launch->app && launch->onMainThread);
  EXPECT_EQ(launch->applicationName, "Editor de prueba");
  // The launch names the document it was for.
  EXPECT_EQ(launch->app->document, doc);
  const pid_t pid = launch->app->processIdentifier;
  // What the editor writes goes to the log, escaped, never raw to standard error.
  const std::string said = "Salida del editor (editor.sh): editor " + std::to_string(pid) + " listo\\x1b";
  EXPECT_TRUE(runMainLoopUntil([&] { return log.contains(said); })) << testing::PrintToString(log.lines());
  // Run through its interpreter, the script is the executable, in the bundle.
  EXPECT_EQ(launch->app->executablePath(), real(desktop().editor));
  // The editor's record (pid, parent, arguments): it got the document under that pid.
  const std::string record = desktop().runs + "/" + std::to_string(pid);
  ASSERT_TRUE(runMainLoopUntil([&] { return fs::exists(record); }));
  EXPECT_EQ(readText(record).rfind(std::to_string(pid) + "\n", 0), 0u);
  EXPECT_NE(readText(record).find("\n" + doc + "\n"), std::string::npos);
  EXPECT_TRUE(events.all(NSWorkspaceDidTerminateApplicationNotification).empty());

  std::ofstream(desktop().runs + "/quit-" + std::to_string(pid)) << "";
  auto end = events.await(NSWorkspaceDidTerminateApplicationNotification, pid);
  ASSERT_TRUE(end && end->onMainThread && end->app == launch->app);
  EXPECT_FALSE(platform::isProcessRunning(pid));
  EXPECT_EQ(events.all(NSWorkspaceDidLaunchApplicationNotification).size(), 1u);

  // A launcher script that replaces itself: read early it is the script,
  // later the program it became; both are in its bundle.
  WorkspaceEvents later;
  ASSERT_TRUE(platform::Workspace::sharedWorkspace().openFile(writeDocument("a.vlalaunch")));
  launch = later.await(NSWorkspaceDidLaunchApplicationNotification);
  ASSERT_TRUE(launch && launch->app && launch->app->executablePath().starts_with(real(desktop().launcherDir) + "/"));
  ASSERT_EQ(::kill(launch->app->processIdentifier, SIGTERM), 0);
  EXPECT_TRUE(later.await(NSWorkspaceDidTerminateApplicationNotification, launch->app->processIdentifier));
}

}  // namespace
