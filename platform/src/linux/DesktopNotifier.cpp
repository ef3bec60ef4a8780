// The desktop's notifier: libnotify, which speaks the desktop notification
// protocol over the session bus. libnotify keeps global state and makes
// blocking bus calls, so every call into it is made on one thread of the
// notifier's own; callers only queue.
#include <gio/gio.h>
#include <libnotify/notify.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DesktopEnvironment.h"
#include "NotificationActions.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Questions.h"

namespace platform {

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GMainContextRelease {
  void operator()(GMainContext* context) const {
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }
};
using GText = std::unique_ptr<gchar, GFree>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct Notice {
  std::string summary;
  std::string body;
};

// Texts on the bus must be UTF-8; a path need not be.
GText validUtf8(const std::string& text) { return GText(g_utf8_make_valid(text.c_str(), -1)); }

// A question shown as a notification with actions, while it is up.
struct ShownQuestion {
  std::unique_ptr<NotifyNotification, GObjectUnref> notification;
  std::function<void(std::size_t)> answered;
};

// The delivering thread's connection to the desktop. libnotify keeps one
// connection for the whole process and delivers the signals of the service
// (an action clicked, a notification closed) on the context of the thread
// that made it: everything happens on this one thread.
class Delivery {
 public:
  void show(const Notice& notice) {
    if (!connect()) return;
    GText summary = validUtf8(notice.summary);
    GText body = bodyText(notice.body);
    std::unique_ptr<NotifyNotification, GObjectUnref> notification(
        notify_notification_new(summary.get(), body.get(), nullptr));
    notify_notification_set_hint(notification.get(), "desktop-entry", g_variant_new_string("vla"));
    GError* raw = nullptr;
    if (!notify_notification_show(notification.get(), &raw)) {
      GErrorPtr error(raw);
      log(std::string("No se pudo mostrar el aviso en el escritorio: ") + (error ? error->message : "sin motivo"));
    }
  }

  // Shows the question with one action per button (and no default action, so
  // that a click on the notice itself answers nothing); false when the
  // service offers no actions or cannot be reached.
  bool ask(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) {
    if (!connect() || !actions_) return false;
    GText summary = validUtf8(question.summary);
    GText body = bodyText(question.body);
    ShownQuestion shown{
        std::unique_ptr<NotifyNotification, GObjectUnref>(notify_notification_new(summary.get(), body.get(), nullptr)),
        std::move(answered)};
    NotifyNotification* n = shown.notification.get();
    notify_notification_set_hint(n, "desktop-entry", g_variant_new_string("vla"));
    notify_notification_set_hint(n, "resident", g_variant_new_boolean(TRUE));
    notify_notification_set_timeout(n, NOTIFY_EXPIRES_NEVER);
    notify_notification_set_urgency(n, NOTIFY_URGENCY_CRITICAL);  // stays until answered
    for (std::size_t i = 0; i < question.buttons.size(); ++i) {
      GText label = validUtf8(question.buttons[i]);
      const std::string action = "vla-" + std::to_string(i);
      auto* click = new Click{this, id, i};
      notify_notification_add_action(n, action.c_str(), label.get(), &Delivery::clicked, click,
                                     [](gpointer data) { delete static_cast<Click*>(data); });
    }
    GError* raw = nullptr;
    if (!notify_notification_show(n, &raw)) {
      GErrorPtr error(raw);
      log(std::string("No se pudo mostrar la pregunta en el escritorio: ") + (error ? error->message : "sin motivo"));
      return false;
    }
    questions_[id] = std::move(shown);
    return true;
  }

  void withdraw(std::uint64_t id) {
    auto it = questions_.find(id);
    if (it == questions_.end()) return;
    notify_notification_close(it->second.notification.get(), nullptr);
    questions_.erase(it);
  }

  bool questionsUp() const { return !questions_.empty(); }

 private:
  struct Click {
    Delivery* owner;
    std::uint64_t id;
    std::size_t button;
  };

  static void clicked(NotifyNotification*, char*, gpointer data) {
    auto* click = static_cast<Click*>(data);
    Delivery* owner = click->owner;
    auto it = owner->questions_.find(click->id);
    if (it == owner->questions_.end()) return;
    auto answered = std::move(it->second.answered);
    const std::size_t button = click->button;
    // The notification goes when this thread comes back to its queue (it
    // owns click, which is in use now).
    owner->answeredIds_.push_back(click->id);
    if (answered) answered(button);
  }

 public:
  // Drops the questions answered since the last call.
  void dropAnswered() {
    for (std::uint64_t id : answeredIds_) questions_.erase(id);
    answeredIds_.clear();
  }

 private:
  GText bodyText(const std::string& text) const {
    GText body = validUtf8(text);
    // A service that reads markup in the body would take "<" or "&" in a
    // path as markup.
    if (bodyMarkup_) body.reset(g_markup_escape_text(body.get(), -1));
    return body;
  }

  bool connect() {
    if (connection_ && !g_dbus_connection_is_closed(connection_.get())) return true;
    connection_.reset();
    if (!detail::sessionBusAdvertised()) {
      if (!saidNoBus_) log("Sin bus de sesión: los avisos quedan solo en el registro");
      saidNoBus_ = true;
      return false;
    }
    GError* raw = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    GErrorPtr error(raw);
    if (!connection) {
      log(std::string("No se pudo llegar al bus de sesión: ") + (error ? error->message : "sin motivo"));
      return false;
    }
    // GLib's shared connection ends the process when the bus goes away;
    // losing the desktop's notices must not end a ticket being edited.
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    connection_.reset(connection);
    if (!notify_is_initted() && !notify_init("vla")) {
      log("No se pudo preparar el servicio de avisos del escritorio");
      return false;
    }
    if (!askedCapabilities_) {
      askedCapabilities_ = true;
      GList* capabilities = notify_get_server_caps();
      for (GList* item = capabilities; item; item = item->next) {
        if (g_strcmp0(static_cast<const char*>(item->data), "body-markup") == 0) bodyMarkup_ = true;
        if (g_strcmp0(static_cast<const char*>(item->data), "actions") == 0) actions_ = true;
      }
      g_list_free_full(capabilities, g_free);
    }
    return true;
  }

  std::unique_ptr<GDBusConnection, GObjectUnref> connection_;
  bool saidNoBus_ = false;
  bool askedCapabilities_ = false;
  bool bodyMarkup_ = false;
  bool actions_ = false;
  std::map<std::uint64_t, ShownQuestion> questions_;
  std::vector<std::uint64_t> answeredIds_;
};

// The one thread that talks to the notification service, and its queue of
// work. It runs for the whole process once started (detached: a bus call that
// never returns must not hold the end of the process). While questions are up
// it looks at the bus ten times a second for their answers.
class BusThread {
 public:
  using Work = std::function<void(Delivery&)>;

  static BusThread& shared() {
    static auto* thread = new BusThread();
    return *thread;
  }

  void post(Work work) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    if (!started_) {
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    changed_.notify_all();
  }

  bool flush(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return queue_.empty() && !working_; });
  }

 private:
  void run() {
    std::unique_ptr<GMainContext, GMainContextRelease> context(g_main_context_new());
    g_main_context_push_thread_default(context.get());
    Delivery delivery;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (delivery.questionsUp()) {
        changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue_.empty(); });
      } else {
        changed_.wait(lock, [&] { return !queue_.empty(); });
      }
      std::deque<Work> work;
      work.swap(queue_);
      working_ = true;
      lock.unlock();
      for (auto& w : work) w(delivery);
      // Replies and signals for this thread's calls arrive on its own context.
      while (g_main_context_iteration(context.get(), FALSE)) {
      }
      delivery.dropAnswered();
      lock.lock();
      working_ = false;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Work> queue_;
  bool working_ = false;
  bool started_ = false;
};

class DesktopNotifier : public UserNotifier {
 public:
  void notify(const std::string& summary, const std::string& body) override {
    BusThread::shared().post([notice = Notice{summary, body}](Delivery& d) { d.show(notice); });
  }

  bool flush(std::chrono::milliseconds limit) override { return BusThread::shared().flush(limit); }
};

}  // namespace

std::shared_ptr<UserNotifier> makeDesktopNotifier() { return std::make_shared<DesktopNotifier>(); }

namespace detail {

bool notificationServiceMayAsk() { return sessionBusAdvertised(); }

void askByNotification(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered,
                       std::function<void(bool)> shown) {
  BusThread::shared().post([id, question, answered = std::move(answered), shown = std::move(shown)](
                               Delivery& d) mutable { shown(d.ask(id, question, std::move(answered))); });
}

void withdrawNotification(std::uint64_t id) {
  BusThread::shared().post([id](Delivery& d) { d.withdraw(id); });
}

}  // namespace detail

}  // namespace platform
