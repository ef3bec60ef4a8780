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
// runs/PID, says so on its standard error (with a control character), then
// stays until runs/quit-PID or runs/quit-all appears (30 s at most).
const char* const kEditorScript = R"(#!/bin/sh
out="$VLA_TEST_RUNS"
printf '%s\n' "$$" "$PPID" "$@" > "$out/.$$" && mv "$out/.$$" "$out/$$"
printf 'editor %s listo\033\n' "$$" >&2
i=0
while [ -d "$out" ] && [ ! -e "$out/quit-$$" ] && [ ! -e "$out/quit-all" ] && [ $i -lt 600 ]; do
  sleep 0.05
  i=$((i+1))
done
)";

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
    d.root = tmpl, d.home = d.root + "/home", d.editorDir = d.root + "/apps/my editor",
    d.editor = d.editorDir + "/editor.sh";
    d.runs = d.root + "/runs", d.launcherDir = d.root + "/apps/launcher", d.docs = d.root + "/docs";
    for (const auto& dir : {d.home + "/.local/bin", d.runs, d.docs, d.root + "/links", d.root + "/run"})
      fs::create_directories(dir);
    ::chmod((d.root + "/run").c_str(), 0700);

    const std::string path = d.root + "/bin:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"HOME", d.home},
                                      {"XDG_DATA_HOME", d.home + "/.local/share"},
                                      {"XDG_CONFIG_HOME", d.home + "/.config"},
                                      {"XDG_CACHE_HOME", d.home + "/.cache"},
                                      {"XDG_DATA_DIRS", d.root + "/share"},
                                      {"XDG_CONFIG_DIRS", d.root + "/etc/xdg"},
                                      {"XDG_RUNTIME_DIR", d.root + "/run"},
                                      {"VLA_TEST_RUNS", d.runs},
                                      {"GIO_USE_VFS", "local"},
                                      {"GSETTINGS_BACKEND", "memory"},
                                      {"PATH", path}}) {
      ::setenv(name, value.c_str(), 1);
    }
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS"})
      ::unsetenv(name);

    // Programs: the stand-in editor in a folder whose name has a space; a
    // launcher script that replaces itself with a program beside it; a
    // program in ~/.local/bin; a symbolic link to the editor; a fake "vla".
    writeFile(d.editor, kEditorScript, 0755);
    writeFile(d.launcherDir + "/launcher.sh", "#!/bin/sh\nexec \"$(dirname \"$0\")/real-editor\" 30\n", 0755);
    fs::copy_file("/bin/sleep", d.launcherDir + "/real-editor");
    writeFile(d.home + "/.local/bin/editor-local", kEditorScript, 0755);
    fs::create_symlink(d.editor, d.root + "/links/linked-editor");
    writeFile(d.root + "/bin/vla", "#!/bin/sh\nexit 0\n", 0755);

    // File types, named by extension only, and the entries that open them.
    const std::string apps = d.root + "/share/applications/";
    std::string types =
        "<?xml version=\"1.0\"?>\n<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
    struct Entry {
      std::string extension, file, name, exec;
      bool opensDoc = false;  // also opens .doc documents
    };
    for (const auto& [extension, file, name, exec, opensDoc] :
         {Entry{"vlatest", "editor", "Editor de prueba", "\"" + d.editor + "\" %f", true},
          Entry{"vlalaunch", "launcher", "Lanzador", d.launcherDir + "/launcher.sh %f"},
          Entry{"vlabin", "cat", "Cat", "cat %f"},
          Entry{"vlalocal", "local", "Editor local", d.home + "/.local/bin/editor-local %f"},
          Entry{"vlaenv", "env", "Editor con entorno", "env VLA_X=1 \"" + d.editor + "\" %f"},
          Entry{"vlalinked", "linked", "Editor enlazado", d.root + "/links/linked-editor %f"},
          Entry{"vlamissing", "missing", "Falta", d.root + "/apps/none/editor %f"}, Entry{"vlaorphan", "", "", ""}}) {
      const std::string type = "application/x-" + extension;
      types += "  <mime-type type=\"" + type + "\"><glob pattern=\"*." + extension + "\"/></mime-type>\n";
      if (file.empty()) continue;
      writeFile(apps + file + ".desktop", "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec +
                                              "\nMimeType=" + type + (opensDoc ? ";application/msword;\n" : ";\n"));
    }
    types += "  <mime-type type=\"application/msword\"><glob pattern=\"*.doc\"/></mime-type>\n</mime-info>\n";
    writeFile(d.root + "/share/mime/packages/vla-test.xml", types);
    fs::copy_file(std::string(VLA_SOURCE_DIR) + "/packaging/vla-mime.xml", d.root + "/share/mime/packages/vla.xml");
    run("update-mime-database '" + d.root + "/share/mime' >/dev/null 2>&1");
    // A second editor for .doc that only mimeapps.list puts behind the first.
    writeFile(apps + "other.desktop",
              "[Desktop Entry]\nType=Application\nName=Otro\nExec=cat %f\nMimeType=application/msword;\n");
    writeFile(d.home + "/.config/mimeapps.list", "[Default Applications]\napplication/msword=editor.desktop;\n");
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
    std::error_code ec;  // nothing to do if it fails
    fs::remove_all(gDesktop.root, ec);
  }
};

[[maybe_unused]] testing::Environment* const gEnvironment =
    testing::AddGlobalTestEnvironment(new PrivateDesktopEnvironment);

}  // namespace

const PrivateDesktop& desktop() { return gDesktop; }

}  // namespace desktoptest
