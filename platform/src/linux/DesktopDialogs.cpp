// Alerts and the save dialog on Linux: GTK 3 when a display can be opened,
// the terminal otherwise, always on the dialog thread.
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "DesktopEnvironment.h"
#include "DialogThread.h"
#include "FileIo.h"
#include "NotificationActions.h"
#include "platform/Dialogs.h"
#include "platform/Log.h"
#include "platform/Questions.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

#if VLA_HAVE_GTK
#include <gtk/gtk.h>
#if VLA_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#endif
#endif

namespace platform {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The chosen name with the first allowed type appended when it has none of
// them (compared without regard to case), as the save dialog promises.
std::string withAllowedType(const std::string& path, const std::vector<std::string>& types) {
  if (types.empty()) return path;
  const std::string name = lower(path.substr(path.rfind('/') + 1));
  for (const auto& type : types) {
    const std::string suffix = "." + lower(type);
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return path;
    }
  }
  return path + "." + types.front();
}

// U+2028 (LINE SEPARATOR) ends a line on the terminal as it does in a dialog.
std::string forTerminal(std::string text) {
  const std::string separator = "\xE2\x80\xA8";
  for (std::size_t at; (at = text.find(separator)) != std::string::npos;) {
    text.replace(at, separator.size(), "\n");
  }
  return text;
}

// ---------------------------------------------------------------------------
// The terminal.

// Reading is possible on a terminal unless this process is a background job
// of it, which the read would stop (SIGTTIN).
bool terminalCanAsk(int input) {
  if (!::isatty(input)) return false;
  const pid_t foreground = ::tcgetpgrp(input);
  // Not our controlling terminal (no job control), or we are its foreground.
  return foreground < 0 || foreground == ::getpgrp();
}

class TerminalPresenter final : public DialogPresenter {
 public:
  TerminalPresenter(int input, int output) : input_(input), output_(output) {}

  ModalResponse runAlert(const std::string& messageText, const std::string& informativeText) override {
    return runAlertWithButtons(messageText, informativeText, {"Aceptar"}).response;
  }

  // One button: Enter dismisses it. Several: numbered from 1; an empty
  // answer or end of input chooses the first, the default.
  AlertOutcome runAlertWithButtons(const std::string& messageText, const std::string& informativeText,
                                   const std::vector<std::string>& buttons) override {
    log("ALERTA: " + messageText + (informativeText.empty() ? "" : " — " + informativeText));
    const bool interactive = canAsk();
    if (interactive || output_ != STDERR_FILENO || !logsToStandardError()) {
      std::string text = "\n" + forTerminal(messageText) + "\n";
      if (!informativeText.empty()) text += forTerminal(informativeText) + "\n";
      write(text);
    }
    if (!interactive) return {};
    if (buttons.size() <= 1) {
      write("Pulse Intro para continuar. ");
      readLine();  // any answer, end of input included, dismisses the alert
      return {ModalResponse::OK, 0};
    }
    std::string choices;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      choices += "  " + std::to_string(i + 1) + ") " + buttons[i] + "\n";
    }
    write(choices);
    for (;;) {
      write("Elija un número [1]: ");
      std::optional<std::string> answer = readLine();
      if (!answer || trimmed(*answer).empty()) return {ModalResponse::OK, 0};
      const std::string number = trimmed(*answer);
      if (number.size() <= 3 &&
          std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); })) {
        const std::size_t chosen = std::stoul(number);
        if (chosen >= 1 && chosen <= buttons.size()) return {ModalResponse::OK, chosen - 1};
      }
      write("Escriba un número del 1 al " + std::to_string(buttons.size()) + ".\n");
    }
  }

  SavePanelOutcome runSavePanel(const std::vector<std::string>& allowedFileTypes, const std::string& directory,
                                const std::string& file) override {
    if (!canAsk()) {
      log("No se puede mostrar el diálogo de guardar: no hay pantalla ni terminal");
      return {ModalResponse::NotShown, {}};
    }
    std::string types;
    for (const auto& type : allowedFileTypes) types += (types.empty() ? "" : ", ") + type;
    const std::string proposal =
        file.empty() ? std::string() : withAllowedType(absolute(file, directory), allowedFileTypes);
    for (;;) {
      std::string prompt = "\nGuardar como";
      if (!types.empty()) prompt += " (tipo " + types + ")";
      if (!proposal.empty()) {
        prompt += ": " + proposal + "\nEscriba otra ruta, «.» para guardar ahí, o nada para cancelar: ";
      } else {
        prompt += "\nEscriba la ruta, o nada para cancelar: ";
      }
      write(prompt);
      // An empty answer or end of input is the user's cancel: the caller
      // keeps the document where it is.
      std::optional<std::string> answer = readLine();
      if (!answer || trimmed(*answer).empty()) return {ModalResponse::Cancel, {}};
      std::string path = trimmed(*answer);
      if (path == ".") {
        if (proposal.empty()) continue;
        path = proposal;
      }
      path = withAllowedType(absolute(path, directory), allowedFileTypes);
      const std::string folder = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
      if (!isFolder(folder)) {
        write("La carpeta " + folder + " no existe.\n");
        continue;
      }
      if (exists(path)) {
        write("Ya existe " + path + ". ¿Reemplazarlo? (s/N): ");
        std::optional<std::string> confirm = readLine();
        if (!confirm) return {ModalResponse::Cancel, {}};
        const std::string yes = lower(trimmed(*confirm));
        if (yes != "s" && yes != "si" && yes != "sí") continue;
      }
      return {ModalResponse::OK, path};
    }
  }

 private:
  bool canAsk() const { return terminalCanAsk(input_); }
  void write(const std::string& text) const { detail::writeAll(output_, text.data(), text.size()); }

  // One line without its end; nothing at end of input.
  std::optional<std::string> readLine() const {
    std::string line;
    for (;;) {
      char c;
      ssize_t n = ::read(input_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
      if (c == '\n') return line;
      if (line.size() < 4096) line += c;
    }
  }

  static std::string absolute(std::string path, const std::string& directory) {
    if (path.rfind("~/", 0) == 0) {
      if (const char* home = std::getenv("HOME"); home && *home) path = home + path.substr(1);
    }
    if (!path.empty() && path[0] == '/') return path;
    std::string base = directory;
    if (base.empty()) {
      std::vector<char> cwd(4096);
      if (::getcwd(cwd.data(), cwd.size())) base = cwd.data();
    }
    return base + "/" + path;
  }

  int input_;
  int output_;
};

// ---------------------------------------------------------------------------
// GTK.

#if VLA_HAVE_GTK

// Prepares the process for GTK once, when a display is named; on the thread
// that makes the desktop presenter (the main thread, at the first dialog),
// before the dialog thread exists, since the environment and the locale are
// the whole process's. Without a session bus there is no accessibility bus
// and no settings service either: GTK would complain about both (the file
// chooser at every change of its settings), so the accessibility bridge is
// turned off and settings are kept in memory. Launched editors get the
// environment without these two. GTK's own texts follow the user's language
// (vla's are Spanish anyway); numbers keep the C format, which the rest of
// the process writes and reads.
bool prepareForGtk() {
  static const bool displayNamed = [] {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!x11 || !*x11) && (!wayland || !*wayland)) return false;
    if (!detail::sessionBusAdvertised()) {
      detail::setOwnEnvironmentVariable("NO_AT_BRIDGE", "1");
      detail::setOwnEnvironmentVariable("GSETTINGS_BACKEND", "memory");
    }
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    return true;
  }();
  return displayNamed;
}

// Opens the display once, on the dialog thread, which then runs GTK for the
// rest of the process. GTK must not set the locale again.
bool gtkAvailable() {
  static const bool available = [] {
    if (!prepareForGtk()) return false;
    gtk_disable_setlocale();
    bool ok = gtk_init_check(nullptr, nullptr) != 0;
    if (!ok) log("No se puede abrir la pantalla; los diálogos irán al terminal");
    return ok;
  }();
  return available;
}

// Lets GTK handle what the closed dialog left (its window disappears now, not
// at the next dialog).
void flushEvents() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

int runDialog(GtkWidget* dialog) {
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_present(GTK_WINDOW(dialog));
  return gtk_dialog_run(GTK_DIALOG(dialog));
}

class GtkPresenter final : public DialogPresenter {
 public:
  ModalResponse runAlert(const std::string& messageText, const std::string& informativeText) override {
    return runAlertWithButtons(messageText, informativeText, {"Aceptar"}).response;
  }

  // The buttons from right to left, the first (the default) rightmost. Every
  // other way of closing the alert chooses the first.
  AlertOutcome runAlertWithButtons(const std::string& messageText, const std::string& informativeText,
                                   const std::vector<std::string>& buttons) override {
    log("ALERTA: " + messageText + (informativeText.empty() ? "" : " — " + informativeText));
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
                                               messageText.c_str());
    if (!informativeText.empty()) {
      gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informativeText.c_str());
    }
    gtk_window_set_title(GTK_WINDOW(dialog), "vla");
    for (std::size_t i = buttons.size(); i-- > 0;) {
      GtkWidget* button = gtk_button_new_with_label(buttons[i].c_str());  // no mnemonic
      gtk_widget_set_can_default(button, TRUE);
      gtk_widget_show(button);
      gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button, static_cast<gint>(i));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    const int response = runDialog(dialog);
    gtk_widget_destroy(dialog);
    flushEvents();
    if (response < 0 || static_cast<std::size_t>(response) >= buttons.size()) return {ModalResponse::OK, 0};
    return {ModalResponse::OK, static_cast<std::size_t>(response)};
  }

  SavePanelOutcome runSavePanel(const std::vector<std::string>& allowedFileTypes, const std::string& directory,
                                const std::string& file) override {
    GtkWidget* dialog =
        gtk_file_chooser_dialog_new("Guardar una copia", nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancelar",
                                    GTK_RESPONSE_CANCEL, "_Guardar", GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    if (!allowedFileTypes.empty()) {
      GtkFileFilter* filter = gtk_file_filter_new();  // the chooser takes it
      std::string label;
      for (const auto& type : allowedFileTypes) {
        gtk_file_filter_add_pattern(filter, ("*." + lower(type)).c_str());
        std::string upper = type;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        gtk_file_filter_add_pattern(filter, ("*." + upper).c_str());
        label += (label.empty() ? "" : ", ") + ("*." + type);
      }
      gtk_file_filter_set_name(filter, label.c_str());
      gtk_file_chooser_add_filter(chooser, filter);
    }
    if (!directory.empty()) gtk_file_chooser_set_current_folder(chooser, directory.c_str());
    if (!file.empty()) gtk_file_chooser_set_current_name(chooser, file.c_str());

    SavePanelOutcome outcome{ModalResponse::Cancel, {}};
    for (;;) {
      if (runDialog(dialog) != GTK_RESPONSE_ACCEPT) break;
      gchar* chosen = gtk_file_chooser_get_filename(chooser);
      if (!chosen) continue;  // not a local file: ask again
      std::string path = chosen;
      g_free(chosen);
      std::string final = withAllowedType(path, allowedFileTypes);
      // The chooser confirmed overwriting the name as typed; a name that the
      // appended type turns into an existing file is confirmed here.
      if (final != path && exists(final) && !confirmReplace(dialog, final)) continue;
      outcome = {ModalResponse::OK, final};
      break;
    }
    gtk_widget_destroy(dialog);
    flushEvents();
    return outcome;
  }

 private:
  static bool confirmReplace(GtkWidget* parent, const std::string& path) {
    GtkWidget* ask = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                            GTK_BUTTONS_NONE, "Ya existe «%s». ¿Reemplazarlo?", path.c_str());
    gtk_dialog_add_buttons(GTK_DIALOG(ask), "_Cancelar", GTK_RESPONSE_CANCEL, "_Reemplazar", GTK_RESPONSE_ACCEPT,
                           nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(ask), GTK_RESPONSE_CANCEL);
    bool yes = gtk_dialog_run(GTK_DIALOG(ask)) == GTK_RESPONSE_ACCEPT;
    gtk_widget_destroy(ask);
    return yes;
  }
};

#endif  // VLA_HAVE_GTK

// GTK when the display opened at the first dialog, the terminal otherwise;
// either way on the dialog thread, the only thread that runs GTK.
class DesktopPresenter final : public DialogPresenter {
 public:
  DesktopPresenter() {
#if VLA_HAVE_GTK
    prepareForGtk();
#endif
  }

  ModalResponse runAlert(const std::string& messageText, const std::string& informativeText) override {
    return runAlertWithButtons(messageText, informativeText, {"Aceptar"}).response;
  }

  AlertOutcome runAlertWithButtons(const std::string& messageText, const std::string& informativeText,
                                   const std::vector<std::string>& buttons) override {
    AlertOutcome outcome;
    detail::dialogLoop().performAndWait(
        [&] { outcome = choose().runAlertWithButtons(messageText, informativeText, buttons); });
    return outcome;
  }

  SavePanelOutcome runSavePanel(const std::vector<std::string>& allowedFileTypes, const std::string& directory,
                                const std::string& file) override {
    SavePanelOutcome outcome;
    detail::dialogLoop().performAndWait([&] { outcome = choose().runSavePanel(allowedFileTypes, directory, file); });
    return outcome;
  }

 private:
  DialogPresenter& choose() {
#if VLA_HAVE_GTK
    if (gtkAvailable()) return gtk_;
#endif
    return terminal_;
  }

#if VLA_HAVE_GTK
  GtkPresenter gtk_;
#endif
  TerminalPresenter terminal_{STDIN_FILENO, STDERR_FILENO};
};

// ---------------------------------------------------------------------------
// Quiet questions (Questions.h).

// On a terminal: only the whole text of a button, typed on a line of its own,
// answers; the line goes to the question shown last. One reader thread, which
// also waits on an event descriptor so that it can stop reading when no
// question is left.
class TerminalQuestions final : public QuestionPresenter {
 public:
  TerminalQuestions(int input, int output) : state_(std::make_shared<State>(input, output)) {}

  bool show(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) override {
    if (!state_->canAsk()) return false;
    std::string text = "\n" + forTerminal(question.summary) + "\n" + forTerminal(question.body) + "\n";
    std::string names;
    for (const auto& button : question.buttons) names += (names.empty() ? "«" : ", «") + button + "»";
    text += "Para responder, escriba el texto entero de una opción (" + names + ") y pulse Intro.\n";
    state_->write(text);
    std::lock_guard lock(state_->mutex);
    state_->live.push_back({id, question.buttons, std::move(answered)});
    if (!state_->reading) {
      state_->reading = true;
      // The thread shares the state, so it may outlive the presenter.
      std::thread([state = state_] { state->readLoop(); }).detach();
    }
    return true;
  }

  void withdraw(std::uint64_t id) override {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->live, [&](const Live& l) { return l.id == id; });
  }

 private:
  struct Live {
    std::uint64_t id;
    std::vector<std::string> buttons;
    std::function<void(std::size_t)> answered;
  };

  struct State {
    State(int in, int out) : input(in), output(out) {}

    bool canAsk() const { return terminalCanAsk(input); }
    void write(const std::string& text) const { detail::writeAll(output, text.data(), text.size()); }

    // Reads lines while questions are live; looks twice a second whether any
    // is left, so that it never keeps reading for nothing.
    void readLoop() {
      std::string line;
      for (;;) {
        {
          std::lock_guard lock(mutex);
          if (live.empty()) {
            reading = false;
            return;
          }
        }
        pollfd p{input, POLLIN, 0};
        const int n = ::poll(&p, 1, 500);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char c;
        const ssize_t got = ::read(input, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {  // end of input: nothing can be answered here any more
          std::lock_guard lock(mutex);
          reading = false;
          return;
        }
        if (c != '\n') {
          if (line.size() < 4096) line += c;
          continue;
        }
        answer(lower(trimmed(line)));
        line.clear();
      }
    }

    void answer(const std::string& typed) {
      std::function<void(std::size_t)> answered;
      std::size_t chosen = 0;
      {
        std::lock_guard lock(mutex);
        if (live.empty() || typed.empty()) return;
        Live& last = live.back();
        for (std::size_t i = 0; i < last.buttons.size(); ++i) {
          if (lower(last.buttons[i]) == typed) {
            answered = last.answered;
            chosen = i;
          }
        }
        if (!answered) {
          write("Eso no es ninguna de las opciones; la pregunta sigue en pie.\n");
          return;
        }
        live.pop_back();
      }
      answered(chosen);
    }

    const int input;
    const int output;
    std::mutex mutex;
    std::vector<Live> live;
    bool reading = false;
  };

  std::shared_ptr<State> state_;
};

#if VLA_HAVE_GTK

// A small window in a corner that never takes the keyboard: it does not accept
// focus, is not focused when it appears, and none of its buttons can be
// focused or is a default, so typing never reaches it; only a click answers.
// Closing it answers nothing. It lives on the dialog thread, which lets GTK
// handle its events while any such window is open.
class GtkQuestions {
 public:
  void show(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* w = GTK_WINDOW(window);
    gtk_window_set_title(w, "vla");
    gtk_window_set_accept_focus(w, FALSE);
    gtk_window_set_focus_on_map(w, FALSE);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_set_keep_above(w, TRUE);
    gtk_window_set_resizable(w, FALSE);
    gtk_window_set_gravity(w, GDK_GRAVITY_SOUTH_EAST);
    gtk_container_set_border_width(GTK_CONTAINER(window), 12);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    GtkWidget* summary = gtk_label_new(question.summary.c_str());
    PangoAttrList* bold = pango_attr_list_new();
    pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    gtk_label_set_attributes(GTK_LABEL(summary), bold);
    pango_attr_list_unref(bold);
    gtk_label_set_xalign(GTK_LABEL(summary), 0);
    GtkWidget* body = gtk_label_new(question.body.c_str());  // plain text, never markup
    gtk_label_set_line_wrap(GTK_LABEL(body), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(body), 60);
    gtk_label_set_xalign(GTK_LABEL(body), 0);
    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 6);
    auto shared = std::make_shared<std::function<void(std::size_t)>>(std::move(answered));
    for (std::size_t i = 0; i < question.buttons.size(); ++i) {
      GtkWidget* button = gtk_button_new_with_label(question.buttons[i].c_str());  // no mnemonic
      gtk_widget_set_can_focus(button, FALSE);
      gtk_widget_set_can_default(button, FALSE);
      auto* click = new Click{this, id, i, shared};
      g_signal_connect_data(
          button, "clicked", G_CALLBACK(&GtkQuestions::clicked), click,
          [](gpointer data, GClosure*) { delete static_cast<Click*>(data); }, GConnectFlags(0));
      gtk_container_add(GTK_CONTAINER(buttons), button);
    }
    gtk_box_pack_start(GTK_BOX(box), summary, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), body, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    // Closing the window hides it without answering.
    g_signal_connect(window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    gtk_widget_show_all(window);
    if (GdkDisplay* display = gdk_display_get_default()) {
      if (GdkMonitor* monitor = gdk_display_get_primary_monitor(display) ? gdk_display_get_primary_monitor(display)
                                                                         : gdk_display_get_monitor(display, 0)) {
        GdkRectangle area{};
        gdk_monitor_get_workarea(monitor, &area);
        int width = 0;
        int height = 0;
        gtk_window_get_size(w, &width, &height);
        gtk_window_move(w, area.x + area.width - width - 16, area.y + area.height - height - 16);
      }
    }
    windows_[id] = window;
    pump();
  }

  void withdraw(std::uint64_t id) {
    auto it = windows_.find(id);
    if (it == windows_.end()) return;
    gtk_widget_destroy(it->second);
    windows_.erase(it);
    flushEvents();
  }

 private:
  struct Click {
    GtkQuestions* owner;
    std::uint64_t id;
    std::size_t button;
    std::shared_ptr<std::function<void(std::size_t)>> answered;
  };

  static void clicked(GtkButton*, gpointer data) {
    auto* click = static_cast<Click*>(data);
    auto answered = click->answered;
    const std::size_t button = click->button;
    GtkQuestions* owner = click->owner;
    const std::uint64_t id = click->id;
    // The window goes once this handler has returned (it owns click).
    detail::dialogLoop().perform([owner, id] { owner->withdraw(id); });
    (*answered)(button);
  }

  // Lets GTK handle the windows' events while any is open.
  void pump() {
    if (pumping_) return;
    pumping_ = true;
    detail::dialogLoop().performAfter(0.05, [this] {
      pumping_ = false;
      flushEvents();
      if (!windows_.empty()) pump();
    });
  }

  std::map<std::uint64_t, GtkWidget*> windows_;
  bool pumping_ = false;
};

#endif  // VLA_HAVE_GTK

#if VLA_HAVE_GTK && VLA_HAVE_X11

// The top-level windows of the processes whose title holds title, brought
// forward by asking the window manager (_NET_ACTIVE_WINDOW, as a pager asks:
// window managers honour it) and raised. Windows are found through the window
// manager's list (_NET_CLIENT_LIST) or, without one, the root's children;
// windows that go away meanwhile are passed over.
std::size_t raiseWindows(const std::vector<pid_t>& pids, const std::string& title) {
  GdkDisplay* gdkDisplay = gdk_display_get_default();
  if (!gdkDisplay || !GDK_IS_X11_DISPLAY(gdkDisplay) || title.empty()) return 0;
  Display* x = gdk_x11_display_get_xdisplay(gdkDisplay);
  const Window root = DefaultRootWindow(x);
  const Atom clientList = XInternAtom(x, "_NET_CLIENT_LIST", False);
  const Atom wmPid = XInternAtom(x, "_NET_WM_PID", False);
  const Atom wmName = XInternAtom(x, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(x, "UTF8_STRING", False);
  const Atom activeWindow = XInternAtom(x, "_NET_ACTIVE_WINDOW", False);
  gdk_x11_display_error_trap_push(gdkDisplay);

  // One property of a window, as bytes; nothing when it is not there.
  auto property = [&](Window w, Atom name, Atom type) -> std::optional<std::vector<unsigned char>> {
    Atom actual = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x, w, name, 0, 1 << 16, False, type, &actual, &format, &items, &after, &data) != Success ||
        !data) {
      return std::nullopt;
    }
    const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    std::vector<unsigned char> bytes(data, data + items * unit);
    XFree(data);
    return bytes;
  };

  std::vector<Window> windows;
  if (auto list = property(root, clientList, XA_WINDOW); list && !list->empty()) {
    for (std::size_t i = 0; i + sizeof(long) <= list->size(); i += sizeof(long)) {
      long w = 0;
      std::memcpy(&w, list->data() + i, sizeof w);
      windows.push_back(static_cast<Window>(w));
    }
  } else {
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(x, root, &rootReturn, &parent, &children, &count) && children) {
      windows.assign(children, children + count);
      XFree(children);
    }
  }
  std::size_t asked = 0;
  for (Window w : windows) {
    auto pidBytes = property(w, wmPid, XA_CARDINAL);
    if (!pidBytes || pidBytes->size() < sizeof(long)) continue;
    long pid = 0;
    std::memcpy(&pid, pidBytes->data(), sizeof pid);
    if (std::find(pids.begin(), pids.end(), static_cast<pid_t>(pid)) == pids.end()) continue;
    auto name = property(w, wmName, utf8);
    if (!name) name = property(w, XA_WM_NAME, XA_STRING);
    if (!name || std::string(name->begin(), name->end()).find(title) == std::string::npos) continue;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = activeWindow;
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // asked by a pager: honoured
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XRaiseWindow(x, w);
    ++asked;
  }
  XFlush(x);
  gdk_x11_display_error_trap_pop_ignored(gdkDisplay);
  return asked;
}

#endif

// The desktop's: a window that takes no focus when a display opens, the
// terminal otherwise; everything on the dialog thread.
class DesktopQuestions final : public QuestionPresenter {
 public:
  DesktopQuestions() {
#if VLA_HAVE_GTK
    prepareForGtk();
#endif
  }

  bool show(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) override {
    // A notification with actions first: it never takes the keyboard.
    if (detail::notificationServiceMayAsk()) {
      detail::askByNotification(id, question, answered, [this, id, question, answered](bool shown) {
        if (!shown) showHere(id, question, answered);
      });
      return true;
    }
    return showHere(id, question, std::move(answered));
  }

  void withdraw(std::uint64_t id) override {
    if (detail::notificationServiceMayAsk()) detail::withdrawNotification(id);
    terminal_.withdraw(id);
#if VLA_HAVE_GTK
    detail::dialogLoop().perform([this, id] {
      if (gtkAvailable()) gtk_.withdraw(id);
    });
#endif
  }

 private:
  // A window that takes no focus, or the terminal.
  bool showHere(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) {
    bool display = false;
#if VLA_HAVE_GTK
    display = prepareForGtk();
#endif
    if (!display) return terminal_.show(id, question, std::move(answered));
    detail::dialogLoop().perform([this, id, question, answered = std::move(answered)]() mutable {
#if VLA_HAVE_GTK
      if (gtkAvailable()) {
        gtk_.show(id, question, std::move(answered));
        return;
      }
#endif
      if (!terminal_.show(id, question, std::move(answered))) {
        log("No se puede mostrar la pregunta: no hay pantalla ni terminal");
      }
    });
    return true;
  }

#if VLA_HAVE_GTK
  GtkQuestions gtk_;  // dialog thread only
#endif
  TerminalQuestions terminal_{STDIN_FILENO, STDERR_FILENO};
};

}  // namespace

std::shared_ptr<DialogPresenter> makeDesktopDialogPresenter() { return std::make_shared<DesktopPresenter>(); }

std::shared_ptr<DialogPresenter> makeTerminalDialogPresenter(int input, int output) {
  return std::make_shared<TerminalPresenter>(input, output);
}

void Workspace::bringWindowsForward(const std::vector<pid_t>& pids, const std::string& title,
                                    std::function<void(std::size_t)> done) {
#if VLA_HAVE_GTK && VLA_HAVE_X11
  // The environment and locale are prepared here, on the caller's thread,
  // never on the dialog thread.
  const bool display = prepareForGtk();
#else
  const bool display = false;
#endif
  detail::dialogLoop().perform([pids, title, display, done = std::move(done)] {
    std::size_t asked = 0;
#if VLA_HAVE_GTK && VLA_HAVE_X11
    if (display && gtkAvailable()) asked = raiseWindows(pids, title);
#else
    (void)display;
    (void)pids;
    (void)title;
#endif
    RunLoop::main().perform([done, asked] {
      if (done) done(asked);
    });
  });
}

std::shared_ptr<QuestionPresenter> makeDesktopQuestionPresenter() {
  // Made once and kept for the whole process: the dialog thread may still
  // hold tasks that refer to it.
  static auto* presenter = new std::shared_ptr<QuestionPresenter>(std::make_shared<DesktopQuestions>());
  return *presenter;
}

std::shared_ptr<QuestionPresenter> makeTerminalQuestionPresenter(int input, int output) {
  return std::make_shared<TerminalQuestions>(input, output);
}

}  // namespace platform
