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
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Dialogs.h"
#include "platform/Questions.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const char* const kXvfb = "/usr/bin/Xvfb";

// One X server for the whole process (GTK opens its display once, and losing
// it ends the process); it goes when this process goes, however it ends.
bool xServerRunning() {
  static const bool running = [] {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(fds[1], 3), ::dup2(devnull, 1), ::dup2(devnull, 2);
      ::execl(kXvfb, kXvfb, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1280x1024x24", nullptr);
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string display = ":";
    pollfd p{fds[0], POLLIN, 0};
    for (char c; ::poll(&p, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n';) display += c;
    ::close(fds[0]);
    // A private HOME, no accessibility bus, settings in memory: the dialogs
    // leave nothing behind.
    static testsupport::TempDir home;
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"DISPLAY", display},
                                      {"HOME", home.path()},
                                      {"XDG_DATA_HOME", home.file("data")},
                                      {"XDG_CONFIG_HOME", home.file("config")},
                                      {"XDG_CACHE_HOME", home.file("cache")},
                                      {"NO_AT_BRIDGE", "1"},
                                      {"GSETTINGS_BACKEND", "memory"}}) {
      ::setenv(name, value.c_str(), 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    return display.size() > 1;
  }();
  return running;
}

// The text of the button that gives the response, without its mnemonic mark.
std::string buttonLabel(GtkDialog* dialog, int response) {
  GtkWidget* widget = gtk_dialog_get_widget_for_response(dialog, response);
  const char* text = widget && GTK_IS_BUTTON(widget) ? gtk_button_get_label(GTK_BUTTON(widget)) : nullptr;
  std::string label = text ? text : "";
  std::erase(label, '_');
  return label;
}

// The last mapped top-level window that is a dialog (or, asked for none, that is not one).
GtkWindow* shownWindow(bool dialog) {
  GtkWindow* shown = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) {
    if (static_cast<bool>(GTK_IS_DIALOG(w->data)) == dialog && gtk_widget_get_mapped(GTK_WIDGET(w->data)))
      shown = GTK_WINDOW(w->data);
  }
  g_list_free(windows);
  return shown;
}

std::string taken(gchar* text) {
  std::string s = text ? text : "";
  return g_free(text), s;
}

class GtkDialogs : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kXvfb, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(xServerRunning()) << "Xvfb did not start";
  }

  // Once a dialog is up, prepare() fills it in; answer() replies a few turns
  // later (the file chooser ignores an answer in the turn of a new name).
  // Gives up (cancelling) after ten seconds.
  void whenDialogShows(std::function<void(GtkDialog*)> prepare, std::function<void(GtkDialog*)> answer) {
    prepare_ = std::move(prepare), answer_ = std::move(answer), ticks_ = shownTicks_ = 0;
    g_timeout_add(100, &GtkDialogs::tick, this);
  }

  // For a queued dialog's answer: notes it and ends the main loop's run.
  void answered() { answered_ = true, platform::RunLoop::main().stop(); }
  void runUntilAnswered() {
    while (!answered_) platform::RunLoop::main().run();
    answered_ = false;
  }

  static gboolean tick(gpointer data) {
    auto* self = static_cast<GtkDialogs*>(data);
    GtkWindow* window = shownWindow(true);
    GtkDialog* dialog = window ? GTK_DIALOG(window) : nullptr;
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

  std::function<void(GtkDialog*)> prepare_, answer_;
  int ticks_ = 0, shownTicks_ = 0;
  bool answered_ = false;
};

TEST_F(GtkDialogs, alerts_show_both_texts_and_their_spanish_buttons) {
  auto presenter = platform::makeDesktopDialogPresenter();
  std::string label;
  whenDialogShows([&](GtkDialog* d) { label = buttonLabel(d, 0); },
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_DELETE_EVENT); });
  EXPECT_EQ(presenter->runAlert("Error subiendo el fichero", "Guarde una copia"), platform::ModalResponse::OK);
  EXPECT_EQ(label, "Aceptar");

  // Queued, with buttons of its own: the second is clicked.
  std::vector<std::string> labels;
  whenDialogShows(
      [&](GtkDialog* d) {
        labels = {buttonLabel(d, 0), buttonLabel(d, 1)};
      },
      [](GtkDialog* d) { gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(d, 1))); });
  platform::Alert alert;
  alert.setMessageText("¿Qué hacemos con carta.odt?");
  alert.addButtonWithTitle("Conservar");
  alert.addButtonWithTitle("Descartar los cambios");
  std::optional<std::size_t> chosen;
  alert.beginModal([&](platform::ModalResponse, std::optional<std::size_t> button) { chosen = button, answered(); });
  runUntilAnswered();
  EXPECT_EQ(labels, (std::vector<std::string>{"Conservar", "Descartar los cambios"}));
  EXPECT_EQ(chosen, 1u);
}

TEST_F(GtkDialogs, save_dialog_proposes_folder_and_name_and_keeps_or_adds_the_type) {
  testsupport::TempDir target;
  auto presenter = platform::makeDesktopDialogPresenter();
  whenDialogShows([](GtkDialog* d) { gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(d), "copia"); },
                  [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_ACCEPT); });
  auto outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_TRUE(outcome.response == platform::ModalResponse::OK && outcome.filename == target.file("copia.doc"));

  // Queued, proposing the document's own name in its folder, accepted as is.
  std::vector<std::string> seen;
  whenDialogShows(
      [&](GtkDialog* d) {
        auto* chooser = GTK_FILE_CHOOSER(d);
        seen = {taken(gtk_file_chooser_get_current_folder(chooser)), taken(gtk_file_chooser_get_current_name(chooser)),
                buttonLabel(d, GTK_RESPONSE_CANCEL), buttonLabel(d, GTK_RESPONSE_ACCEPT)};
      },
      [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_ACCEPT); });
  platform::SavePanel panel;
  panel.setAllowedFileTypes({"odt"});
  std::string chosen;
  panel.beginModalForDirectory(target.path(), "carta.odt",
                               [&](platform::ModalResponse, std::string filename) { chosen = filename, answered(); });
  runUntilAnswered();
  EXPECT_EQ(seen,
            (std::vector<std::string>{fs::canonical(target.path()).string(), "carta.odt", "Cancelar", "Guardar"}));
  EXPECT_EQ(chosen, fs::canonical(target.path()).string() + "/carta.odt");

  whenDialogShows([](GtkDialog*) {}, [](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_CANCEL); });
  outcome = presenter->runSavePanel({"doc"}, target.path(), "");
  EXPECT_TRUE(outcome.response == platform::ModalResponse::Cancel && outcome.filename.empty());
}

// A quiet question without a notification service: a small window that takes
// no focus, has no default and no focusable button, so Enter or typing reach
// nothing in it; a click answers, and the window goes.
TEST_F(GtkDialogs, a_quiet_question_takes_no_focus_and_only_a_click_answers_it) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::unsetenv("XDG_RUNTIME_DIR");
  auto presenter = platform::makeDesktopQuestionPresenter();
  struct Seen {
    bool acceptsFocus = true, focusOnMap = true, activatedDefault = true, focusableButton = true;
    std::vector<std::string> labels;
    int ticks = 0;
  } seen;
  std::optional<std::size_t> answer;
  ASSERT_TRUE(presenter->show(
      7, {"¿Ha terminado de editar «informe.doc»?", "vla no puede saber...", {"Enviar ahora", "Descartar"}},
      [&](std::size_t b) {
        answer = b;
        platform::RunLoop::main().perform([&] { answered(); });
      }));
  g_timeout_add(
      100,
      [](gpointer data) -> gboolean {
        auto* seen = static_cast<Seen*>(data);
        GtkWindow* question = shownWindow(false);
        if (!question) return ++seen->ticks < 100;
        seen->acceptsFocus = gtk_window_get_accept_focus(question);
        seen->focusOnMap = gtk_window_get_focus_on_map(question);
        // Enter (the default) and the focused widget's key binding do nothing.
        seen->activatedDefault = gtk_window_activate_default(question) || gtk_window_activate_focus(question);
        std::vector<GtkWidget*> buttons;
        std::function<void(GtkWidget*)> collect = [&](GtkWidget* widget) {
          if (GTK_IS_BUTTON(widget)) buttons.push_back(widget);
          if (GTK_IS_CONTAINER(widget)) {
            GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
            for (GList* c = children; c; c = c->next) collect(GTK_WIDGET(c->data));
            g_list_free(children);
          }
        };
        collect(GTK_WIDGET(question));
        seen->focusableButton = false;
        for (GtkWidget* b : buttons) {
          seen->labels.push_back(gtk_button_get_label(GTK_BUTTON(b)));
          seen->focusableButton = seen->focusableButton || gtk_widget_get_can_focus(b) || gtk_widget_get_can_default(b);
        }
        if (buttons.size() == 2) gtk_button_clicked(GTK_BUTTON(buttons[1]));
        return G_SOURCE_REMOVE;
      },
      &seen);
  runUntilAnswered();
  EXPECT_EQ(answer, 1u);
  EXPECT_FALSE(seen.acceptsFocus || seen.focusOnMap || seen.activatedDefault || seen.focusableButton);
  EXPECT_EQ(seen.labels, (std::vector<std::string>{"Enviar ahora", "Descartar"}));
  presenter->withdraw(7);
}

}  // namespace
