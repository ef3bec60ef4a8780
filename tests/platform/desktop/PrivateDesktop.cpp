#include "PrivateDesktop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "testsupport/TestSupport.h"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;

PrivateDesktop gDesktop;

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

// A stand-in editor: records its pid, its parent and its arguments in
// runs/PID, then stays until runs/quit-PID or runs/quit-all appears (30 s at
// most).
const char* const kEditorScript = R"(#!/bin/sh
out="$VLA_TEST_RUNS"
printf '%s\n' "$$" "$PPID" "$@" > "$out/.$$" && mv "$out/.$$" "$out/$$"
i=0
while [ -d "$out" ] && [ ! -e "$out/quit-$$" ] && [ ! -e "$out/quit-all" ] && [ $i -lt 600 ]; do
  sleep 0.05
  i=$((i+1))
done
)";

std::string desktopEntry(const std::string& name, const std::string& exec,
                         const std::string& types) {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec +
         "\nMimeType=" + types + "\nTerminal=false\n";
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

class PrivateDesktopEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vla-desktop-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    PrivateDesktop& d = gDesktop;
    d.root = tmpl;
    d.home = d.root + "/home";
    d.editorDir = d.root + "/apps/my editor";
    d.editor = d.editorDir + "/editor.sh";
    d.runs = d.root + "/runs";
    d.launcherDir = d.root + "/apps/launcher";
    d.docs = d.root + "/docs";
    for (const auto& dir : {d.home + "/.config", d.home + "/.local/bin", d.home + "/.cache",
                            d.runs, d.docs, d.root + "/bin", d.root + "/links",
                            d.root + "/run"}) {
      fs::create_directories(dir);
    }
    ::chmod((d.root + "/run").c_str(), 0700);

    ::setenv("HOME", d.home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (d.home + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (d.home + "/.config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (d.home + "/.cache").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (d.root + "/share").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (d.root + "/etc/xdg").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (d.root + "/run").c_str(), 1);
    ::setenv("VLA_TEST_RUNS", d.runs.c_str(), 1);
    ::setenv("GIO_USE_VFS", "local", 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    std::string path = d.root + "/bin:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    ::setenv("PATH", path.c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                             "DBUS_SESSION_BUS_ADDRESS"}) {
      ::unsetenv(name);
    }

    // Programs: the stand-in editor in a folder whose name has a space; a
    // launcher script that replaces itself with a program beside it; a
    // program in ~/.local/bin; a symbolic link to the editor; a fake "vla".
    writeFile(d.editor, kEditorScript, 0755);
    writeFile(d.launcherDir + "/launcher.sh",
              "#!/bin/sh\nexec \"$(dirname \"$0\")/real-editor\" 30\n", 0755);
    fs::copy_file("/bin/sleep", d.launcherDir + "/real-editor");
    ::chmod((d.launcherDir + "/real-editor").c_str(), 0755);
    writeFile(d.home + "/.local/bin/editor-local", kEditorScript, 0755);
    fs::create_symlink(d.editor, d.root + "/links/linked-editor");
    writeFile(d.root + "/bin/vla", "#!/bin/sh\nexit 0\n", 0755);

    // File types, named by extension only.
    std::string types = R"(<?xml version="1.0" encoding="UTF-8"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
)";
    for (const auto& [type, glob] : std::initializer_list<std::pair<std::string, std::string>>{
             {"application/x-vla-test", "*.vlatest"},
             {"application/msword", "*.doc"},
             {"application/x-vla-launch", "*.vlalaunch"},
             {"application/x-vla-bin", "*.vlabin"},
             {"application/x-vla-local", "*.vlalocal"},
             {"application/x-vla-env", "*.vlaenv"},
             {"application/x-vla-linked", "*.vlalinked"},
             {"application/x-vla-missing", "*.vlamissing"},
             {"application/x-vla-orphan", "*.vlaorphan"}}) {
      types += "  <mime-type type=\"" + type + "\"><glob pattern=\"" + glob + "\"/></mime-type>\n";
    }
    types += "</mime-info>\n";
    writeFile(d.root + "/share/mime/packages/vla-test.xml", types);
    fs::copy_file(std::string(VLA_SOURCE_DIR) + "/packaging/vla-mime.xml",
                  d.root + "/share/mime/packages/vla.xml");
    run("update-mime-database '" + d.root + "/share/mime' >/dev/null 2>&1");

    const std::string apps = d.root + "/share/applications/";
    writeFile(apps + "editor.desktop",
              desktopEntry("Editor de prueba", "\"" + d.editor + "\" %f",
                           "application/x-vla-test;application/msword;"));
    writeFile(apps + "launcher.desktop",
              desktopEntry("Lanzador", d.launcherDir + "/launcher.sh %f",
                           "application/x-vla-launch;"));
    writeFile(apps + "cat.desktop", desktopEntry("Cat", "cat %f", "application/x-vla-bin;"));
    writeFile(apps + "local.desktop",
              desktopEntry("Editor local", d.home + "/.local/bin/editor-local %f",
                           "application/x-vla-local;"));
    writeFile(apps + "env.desktop",
              desktopEntry("Editor con entorno", "env VLA_X=1 \"" + d.editor + "\" %f",
                           "application/x-vla-env;"));
    writeFile(apps + "linked.desktop",
              desktopEntry("Editor enlazado", d.root + "/links/linked-editor %f",
                           "application/x-vla-linked;"));
    writeFile(apps + "missing.desktop",
              desktopEntry("Falta", d.root + "/apps/none/editor %f", "application/x-vla-missing;"));
    // A second editor for .doc that only mimeapps.list puts behind the first.
    writeFile(apps + "other.desktop", desktopEntry("Otro", "cat %f", "application/msword;"));
    writeFile(d.home + "/.config/mimeapps.list",
              "[Default Applications]\napplication/msword=editor.desktop;\n");
    // vla's entry as an install into ROOT writes it: it names ROOT/bin/vla.
    std::string entry = testsupport::readText(std::string(VLA_SOURCE_DIR) + "/packaging/vla.desktop.in");
    for (const char* key : {"@VLA_DESKTOP_TRYEXEC@", "@VLA_DESKTOP_EXEC@"}) {
      entry.replace(entry.find(key), std::string_view(key).size(), d.root + "/bin/vla");
    }
    writeFile(apps + "vla.desktop", entry);
    // GIO finds the applications of a type through this index only.
    run("update-desktop-database '" + apps + "' >/dev/null 2>&1");
  }

  void TearDown() override {
    std::ofstream(gDesktop.runs + "/quit-all") << "";
    std::error_code ec;
    if (!std::getenv("VLA_KEEP_DESKTOP")) fs::remove_all(gDesktop.root, ec);
  }
};

[[maybe_unused]] testing::Environment* const gEnvironment =
    testing::AddGlobalTestEnvironment(new PrivateDesktopEnvironment);

}  // namespace

const PrivateDesktop& desktop() { return gDesktop; }

}  // namespace desktoptest
