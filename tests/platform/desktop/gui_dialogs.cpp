// The GTK dialogs on a display of their own (Xvfb): each test shows a dialog
// through the desktop presenter or the dialog queue, looks at it once it is
// up and answers it the way a user would. GTK runs on the dialog thread, so
// the checks inside a dialog run there too. Skipped where Xvfb is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Dialogs.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const char* const kXvfb = "/usr/bin/Xvfb";

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
      const char* argv[] = {kXvfb, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                            "1280x1024x24", nullptr};
      ::execv(kXvfb, const_cast<char**>(argv));
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

// The text of the button that gives the response, without its mnemonic mark.
std::string buttonLabel(GtkDialog* dialog, int response) {
  GtkWidget* widget = gtk_dialog_get_widget_for_response(dialog, response);
  if (!widget || !GTK_IS_BUTTON(widget) || !gtk_button_get_label(GTK_BUTTON(widget))) return {};
  std::string label = gtk_button_get_label(GTK_BUTTON(widget));
  label.erase(std::remove(label.begin(), label.end(), '_'), label.end());
  return label;
}

std::string taken(gchar* text) {
  std::string s = text ? text : "";
  g_free(text);
  return s;
}

// Runs the main loop until a queued dialog's answer has arrived.
void runUntil(const bool& answered) {
  while (!answered) platform::RunLoop::main().run();
}

class GtkDialogs : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kXvfb, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(XServer::shared().running()) << "Xvfb did not start";
  }

  // Once a dialog is on screen, lets prepare() fill it in; a few turns of
  // GTK's loop later (the file chooser ignores an answer given in the same
  // turn as a new name), lets answer() reply to it.
  // Gives up (cancelling) after ten seconds.
  void whenDialogShows(std::function<void(GtkDialog*)> prepare, std::function<void(GtkDialog*)> answer) {
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
    self->answer_(dialog);
    return G_SOURCE_REMOVE;
  }

  std::function<void(GtkDialog*)> prepare_;
  std::function<void(GtkDialog*)> answer_;
  int ticks_ = 0;
  int shownTicks_ = 0;
};

TEST_F(GtkDialogs, alerts_show_both_texts_and_their_spanish_buttons) {
  auto presenter = platform::makeDesktopDialogPresenter();
  std::string label;
  whenDialogShows([&](GtkDialog* d) { label = buttonLabel(d, 0); },
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_DELETE_EVENT); });
  EXPECT_EQ(presenter->runAlert("Error subiendo el fichero",
                                "No se puede acceder al fichero original.\xE2\x80\xA8 Guarde una "
                                "copia de seguridad y vuelva a adjuntarlo a Velmora Web."),
            platform::ModalResponse::OK);
  EXPECT_EQ(label, "Aceptar");

  // Queued, with buttons of its own: the second is clicked.
  std::vector<std::string> labels;
  whenDialogShows([&](GtkDialog* d) { labels = {buttonLabel(d, 0), buttonLabel(d, 1)}; },
      [](GtkDialog* d) { gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(d, 1))); });
  platform::Alert alert;
  alert.setMessageText("¿Qué hacemos con carta.odt?");
  alert.addButtonWithTitle("Conservar");
  alert.addButtonWithTitle("Descartar los cambios");
  bool answered = false;
  std::optional<std::size_t> chosen;
  alert.beginModal([&](platform::ModalResponse, std::optional<std::size_t> button) {
    chosen = button;
    answered = true;
    platform::RunLoop::main().stop();
  });
  runUntil(answered);
  EXPECT_EQ(labels, (std::vector<std::string>{"Conservar", "Descartar los cambios"}));
  EXPECT_EQ(chosen, 1u);
}

TEST_F(GtkDialogs, save_dialog_proposes_folder_and_name_and_keeps_or_adds_the_type) {
  testsupport::TempDir target;
  auto presenter = platform::makeDesktopDialogPresenter();
  whenDialogShows([](GtkDialog* d) { gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(d), "copia"); },
      [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_ACCEPT); });
  auto outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_EQ(outcome.response, platform::ModalResponse::OK);
  EXPECT_EQ(outcome.filename, target.file("copia.doc"));

  // Queued, proposing the document's own name in its folder, accepted as is.
  std::vector<std::string> seen;
  whenDialogShows([&](GtkDialog* d) {
        auto* chooser = GTK_FILE_CHOOSER(d);
        seen = {taken(gtk_file_chooser_get_current_folder(chooser)),
                taken(gtk_file_chooser_get_current_name(chooser)),
                buttonLabel(d, GTK_RESPONSE_CANCEL), buttonLabel(d, GTK_RESPONSE_ACCEPT)};
      },
      [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_ACCEPT); });
  platform::SavePanel panel;
  panel.setAllowedFileTypes({"odt"});
  bool answered = false;
  std::string chosen;
  panel.beginModalForDirectory(target.path(), "carta.odt",
                               [&](platform::ModalResponse, std::string filename) {
                                 chosen = filename;
                                 answered = true;
                                 platform::RunLoop::main().stop();
                               });
  runUntil(answered);
  EXPECT_EQ(seen, (std::vector<std::string>{fs::canonical(target.path()).string(), "carta.odt",
                                            "Cancelar", "Guardar"}));
  EXPECT_EQ(chosen, fs::canonical(target.path()).string() + "/carta.odt");

  whenDialogShows([](GtkDialog*) {},
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_CANCEL); });
  outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_EQ(outcome.response, platform::ModalResponse::Cancel);
  EXPECT_EQ(outcome.filename, "");
}

}  // namespace
