// The GTK dialogs on a display of their own: each test starts Xvfb, shows a
// dialog through the desktop presenter, takes a screenshot of the screen once
// the dialog is up (written to screenshots/ in the working folder) and then
// answers it the way a user would. Skipped where Xvfb is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "platform/Dialogs.h"
#include "testsupport/TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string findXvfb() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::string candidate = std::string(dir) + "/Xvfb";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// One X server for the whole process: GTK opens its display once, and losing
// it ends the process.
class XServer {
 public:
  static XServer& shared() {
    static XServer server;
    return server;
  }
  ~XServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return !display_.empty(); }

 private:
  XServer() {
    const std::string xvfb = findXvfb();
    if (xvfb.empty()) return;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // The server goes when this process goes, however it ends.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(pipeFds[1], 3);
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      const char* argv[] = {xvfb.c_str(), "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                            "1280x1024x24", nullptr};
      ::execv(xvfb.c_str(), const_cast<char**>(argv));
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string display;
    pollfd p{pipeFds[0], POLLIN, 0};
    char c;
    while (::poll(&p, 1, 10000) == 1 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n') display += c;
    ::close(pipeFds[0]);
    if (display.empty()) return;
    display_ = ":" + display;
    // A private HOME, no accessibility bus, settings in memory: the dialogs
    // leave nothing behind.
    ::setenv("DISPLAY", display_.c_str(), 1);
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_.path() + "/.local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_.path() + "/.config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home_.path() + "/.cache").c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::unsetenv("WAYLAND_DISPLAY");
  }

  testsupport::TempDir home_;
  pid_t pid_ = -1;
  std::string display_;
};

class GtkDialogs : public testing::Test {
 protected:
  void SetUp() override {
    if (findXvfb().empty()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(XServer::shared().running()) << "Xvfb did not start";
    fs::create_directories("screenshots");
  }

  // Once a dialog is on screen, lets prepare() fill it in; a few turns of
  // GTK's loop later (the file chooser ignores an answer given in the same
  // turn as a new name), takes the screenshot and lets answer() reply to it.
  // Gives up (cancelling) after ten seconds.
  void whenDialogShows(const std::string& screenshot, std::function<void(GtkDialog*)> prepare,
                       std::function<void(GtkDialog*)> answer) {
    screenshot_ = screenshot;
    prepare_ = std::move(prepare);
    answer_ = std::move(answer);
    ticks_ = shownTicks_ = 0;
    g_timeout_add(100, &GtkDialogs::tick, this);
  }

  static gboolean tick(gpointer data) {
    auto* self = static_cast<GtkDialogs*>(data);
    GtkDialog* dialog = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
      if (GTK_IS_DIALOG(w->data) && gtk_widget_get_mapped(GTK_WIDGET(w->data))) {
        dialog = GTK_DIALOG(w->data);
      }
    }
    g_list_free(windows);
    if (++self->ticks_ > 100) {
      if (dialog) gtk_dialog_response(dialog, GTK_RESPONSE_CANCEL);
      return G_SOURCE_REMOVE;
    }
    if (!dialog) return G_SOURCE_CONTINUE;
    if (++self->shownTicks_ == 3) self->prepare_(dialog);
    if (self->shownTicks_ < 8) return G_SOURCE_CONTINUE;
    self->capture();
    self->answer_(dialog);
    return G_SOURCE_REMOVE;
  }

  void capture() {
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root),
                                                 gdk_window_get_height(root));
    if (!shot) return;
    gdk_pixbuf_save(shot, screenshot_.c_str(), "png", nullptr, nullptr);
    // Count the colours: a drawn dialog has text, borders and buttons.
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    const int stride = gdk_pixbuf_get_rowstride(shot);
    const int channels = gdk_pixbuf_get_n_channels(shot);
    std::set<unsigned> colours;
    for (int y = 0; y < gdk_pixbuf_get_height(shot); y += 2) {
      for (int x = 0; x < gdk_pixbuf_get_width(shot); x += 2) {
        const guchar* p = pixels + y * stride + x * channels;
        colours.insert(unsigned(p[0]) << 16 | unsigned(p[1]) << 8 | p[2]);
      }
    }
    colours_ = colours.size();
    g_object_unref(shot);
  }

  std::string screenshot_;
  std::function<void(GtkDialog*)> prepare_;
  std::function<void(GtkDialog*)> answer_;
  int ticks_ = 0;
  int shownTicks_ = 0;
  std::size_t colours_ = 0;
};

TEST_F(GtkDialogs, alert_shows_both_texts_and_is_dismissed_with_ok) {
  auto presenter = platform::makeDesktopDialogPresenter();
  whenDialogShows("screenshots/alert.png", [](GtkDialog*) {},
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_OK); });
  EXPECT_EQ(presenter->runAlert("Error subiendo el fichero",
                                "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una "
                                "copia de seguridad y vuelva a adjuntarlo a Velmora Web."),
            platform::ModalResponse::OK);
  EXPECT_GT(colours_, 3u) << "nothing was drawn";
  EXPECT_TRUE(fs::exists("screenshots/alert.png"));
}

TEST_F(GtkDialogs, save_dialog_returns_the_chosen_path_with_the_allowed_type) {
  testsupport::TempDir target;
  auto presenter = platform::makeDesktopDialogPresenter();
  whenDialogShows(
      "screenshots/save.png",
      [](GtkDialog* d) { gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(d), "copia"); },
      [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_ACCEPT); });
  auto outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_EQ(outcome.response, platform::ModalResponse::OK);
  EXPECT_EQ(outcome.filename, target.file("copia.doc"));
  EXPECT_GT(colours_, 3u) << "nothing was drawn";

  whenDialogShows("screenshots/save-cancel.png", [](GtkDialog*) {},
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_CANCEL); });
  outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_EQ(outcome.response, platform::ModalResponse::Cancel);
  EXPECT_EQ(outcome.filename, "");
}

}  // namespace
