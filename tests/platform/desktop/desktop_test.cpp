// The editor lookup and opening documents, against the private desktop of
// PrivateDesktop.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// What the workspace posts, as the observer saw it.
struct Seen {
  std::string name;
  std::optional<std::string> applicationName;
  std::shared_ptr<const platform::RunningApplication> app;
  bool onMainThread;
};

class WorkspaceEvents {
 public:
  WorkspaceEvents() {
    auto& center = platform::Workspace::sharedWorkspace().notificationCenter();
    center.addObserver(this, [this](const platform::Notification& n) { record(n); }, std::nullopt);
  }
  ~WorkspaceEvents() { platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this); }

  std::optional<Seen> find(const std::string& name, pid_t pid = 0) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : seen_) {
      if (s.name == name && (pid == 0 || (s.app && s.app->processIdentifier == pid))) return s;
    }
    return std::nullopt;
  }
  std::size_t count(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return std::count_if(seen_.begin(), seen_.end(), [&](const Seen& s) { return s.name == name; });
  }

 private:
  void record(const platform::Notification& n) {
    std::lock_guard lock(mutex_);
    seen_.push_back({n.name, n.string(platform::NSApplicationNameKey),
                     n.runningApplication(platform::NSWorkspaceApplicationKey),
                     platform::RunLoop::isMainThread()});
  }
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
};

std::string writeDocument(const std::string& name) {
  std::string path = desktop().docs + "/" + name;
  std::ofstream(path) << "contenido";
  return path;
}

// The record the stand-in editor wrote for pid: pid, parent pid, arguments.
std::vector<std::string> editorRun(pid_t pid) {
  const std::string file = desktop().runs + "/" + std::to_string(pid);
  std::vector<std::string> lines;
  if (!runMainLoopUntil([&] { return fs::exists(file); })) return lines;
  std::istringstream in(readText(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void quitEditor(pid_t pid) {
  std::ofstream(desktop().runs + "/quit-" + std::to_string(pid)) << "";
}

TEST(EditorLookup, bundle_is_the_folder_of_the_resolved_program_and_unrunnable_types_find_nothing) {
  struct Case {
    const char* extension;
    std::string bundle;  // empty: nothing found
    const char* desktopId;
  };
  const std::string editor = real(desktop().editorDir);
  for (const auto& [extension, bundle, desktopId] : {
           Case{"vlatest", editor, "editor.desktop"},
           Case{"vlalinked", editor, nullptr},  // through a symbolic link
           Case{"vlaenv", editor, nullptr},     // behind "env NAME=VALUE"
           Case{"vlabin", real("/bin/cat"), nullptr},  // a shared bin folder: the program itself
           Case{"vlalocal", real(desktop().home + "/.local/bin/editor-local"), nullptr},
           Case{"doc", editor, "editor.desktop"},  // the mimeapps default wins
           Case{"vldoc", real(desktop().root + "/bin/vla"), "vla.desktop"},  // our own entry
           Case{"vlaorphan", "", nullptr},         // nobody opens it
           Case{"vlamissing", "", nullptr},        // its program is not there
           Case{"nosuchextension", "", nullptr}, Case{"", "", nullptr}, Case{"a/b", "", nullptr}}) {
    auto ref = LSGetApplicationForInfo(extension);
    EXPECT_EQ(ref ? ref->bundlePath : "", bundle) << extension;
    if (ref && desktopId != nullptr) {
      EXPECT_EQ(ref->desktopId, desktopId) << extension;
    }
  }
  auto ref = LSGetApplicationForInfo("vlatest");
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->displayName, "Editor de prueba");
  EXPECT_EQ(platform::LSCopyDisplayNameForRef(*ref), "Editor de prueba");
  // The bundle's address is a text prefix of paths inside it, despite the space.
  const std::string url = platform::CFURLCreateFromFSRef(*ref);
  EXPECT_EQ(platform::fileURLForPath(ref->bundlePath + "/editor.sh").rfind(url, 0), 0u);
  EXPECT_NE(url.find("my%20editor"), std::string::npos);
  EXPECT_EQ(platform::pathForFileURL(url), ref->bundlePath);

  // Our entry makes vla the opener of vldoc without showing it in menus.
  const std::string entry = readText(desktop().root + "/share/applications/vla.desktop");
  for (std::string line : {"Exec=" + desktop().root + "/bin/vla %F", std::string("MimeType=application/x-vldoc;"),
                           std::string("NoDisplay=true")}) {
    EXPECT_NE(entry.find("\n" + line + "\n"), std::string::npos) << line;
  }
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
  WorkspaceEvents events;
  const std::string doc = writeDocument("informe 1.vlatest");
  ASSERT_TRUE(platform::Workspace::sharedWorkspace().openFile(doc));

  ASSERT_TRUE(runMainLoopUntil(
      [&] { return events.find(platform::NSWorkspaceDidLaunchApplicationNotification).has_value(); }));
  Seen launch = *events.find(platform::NSWorkspaceDidLaunchApplicationNotification);
  EXPECT_TRUE(launch.onMainThread);
  EXPECT_EQ(launch.applicationName, "Editor de prueba");
  ASSERT_TRUE(launch.app);
  const pid_t pid = launch.app->processIdentifier;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(launch.app->localizedName, "Editor de prueba");
  // The process runs the script (through its interpreter): the script is
  // its executable, inside the bundle that the lookup names.
  EXPECT_EQ(launch.app->executablePath(), real(desktop().editor));

  // The editor got the document, and the pid is really its process.
  std::vector<std::string> run = editorRun(pid);
  ASSERT_GE(run.size(), 3u);
  EXPECT_EQ(run[0], std::to_string(pid));
  EXPECT_EQ(run[2], doc);
  EXPECT_TRUE(platform::isProcessRunning(pid));
  EXPECT_FALSE(events.find(platform::NSWorkspaceDidTerminateApplicationNotification, pid));

  quitEditor(pid);
  ASSERT_TRUE(runMainLoopUntil([&] {
    return events.find(platform::NSWorkspaceDidTerminateApplicationNotification, pid).has_value();
  }));
  Seen end = *events.find(platform::NSWorkspaceDidTerminateApplicationNotification, pid);
  EXPECT_TRUE(end.onMainThread);
  EXPECT_EQ(end.applicationName, "Editor de prueba");
  EXPECT_EQ(end.app, launch.app);
  EXPECT_TRUE(platform::waitForProcessExit(pid, std::chrono::seconds(5)));
  EXPECT_FALSE(platform::isProcessRunning(pid));
  EXPECT_EQ(events.count(platform::NSWorkspaceDidLaunchApplicationNotification), 1u);

  // A launcher script that replaces itself: read early it is the script,
  // later the program it became; both are in its bundle.
  WorkspaceEvents later;
  ASSERT_TRUE(platform::Workspace::sharedWorkspace().openFile(writeDocument("a.vlalaunch")));
  ASSERT_TRUE(runMainLoopUntil([&] { return later.find(platform::NSWorkspaceDidLaunchApplicationNotification).has_value(); }));
  auto app = later.find(platform::NSWorkspaceDidLaunchApplicationNotification)->app;
  ASSERT_TRUE(app);
  EXPECT_EQ(app->executablePath().rfind(real(desktop().launcherDir) + "/", 0), 0u) << app->executablePath();
  ASSERT_EQ(::kill(app->processIdentifier, SIGTERM), 0);
  EXPECT_TRUE(runMainLoopUntil([&] {
    return later.find(platform::NSWorkspaceDidTerminateApplicationNotification, app->processIdentifier).has_value();
  }));
}

TEST(Workspace, document_without_a_runnable_application_is_not_opened) {
  WorkspaceEvents events;
  platform::LogCapture log;
  for (std::string doc : {writeDocument("a.vlaorphan"), writeDocument("a.vlamissing"),
                          writeDocument("a.unknownext"), desktop().docs + "/no-existe.vlatest"}) {
    EXPECT_FALSE(platform::Workspace::sharedWorkspace().openFile(doc)) << doc;
  }
  platform::RunLoop::main().drain();
  EXPECT_EQ(events.count(platform::NSWorkspaceDidLaunchApplicationNotification), 0u);
  EXPECT_FALSE(log.lines().empty());
}

}  // namespace
