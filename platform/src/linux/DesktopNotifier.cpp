// The desktop's notifier: libnotify, which speaks the desktop notification
// protocol over the session bus. libnotify keeps global state and makes
// blocking bus calls, so every call into it is made on one thread of the
// notifier's own; callers only queue.
#include <gio/gio.h>
#include <libnotify/notify.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/Log.h"
#include "platform/Notifications.h"

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

// What the caller and the delivering thread share.
struct NoticeQueue {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Notice> notices;
  bool delivering = false;  // a notice is with the desktop right now
  bool stopping = false;    // the notifier is gone: end once the queue is empty
};

// Whether a session bus can be found without starting one: its address in
// the environment, or the user's bus socket in the runtime folder. GLib
// would otherwise try to launch a bus of its own.
bool sessionBusAdvertised() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st {};
  std::string socket = std::string(runtime) + "/bus";
  return ::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Texts on the bus must be UTF-8; a path need not be.
GText validUtf8(const std::string& text) { return GText(g_utf8_make_valid(text.c_str(), -1)); }

// The delivering thread's connection to the desktop.
class Delivery {
 public:
  void show(const Notice& notice) {
    if (!connect()) return;
    GText summary = validUtf8(notice.summary);
    GText body = validUtf8(notice.body);
    // A service that reads markup in the body would take "<" or "&" in a
    // path as markup.
    if (bodyMarkup_) body.reset(g_markup_escape_text(body.get(), -1));
    std::unique_ptr<NotifyNotification, GObjectUnref> notification(
        notify_notification_new(summary.get(), body.get(), nullptr));
    notify_notification_set_hint(notification.get(), "desktop-entry", g_variant_new_string("vla"));
    GError* raw = nullptr;
    if (!notify_notification_show(notification.get(), &raw)) {
      GErrorPtr error(raw);
      log(std::string("No se pudo mostrar el aviso en el escritorio: ") +
          (error ? error->message : "sin motivo"));
    }
    // Replies and signals for this thread's calls arrive on its own context.
    while (g_main_context_iteration(g_main_context_get_thread_default(), FALSE)) {
    }
  }

 private:
  bool connect() {
    if (connection_ && !g_dbus_connection_is_closed(connection_.get())) return true;
    connection_.reset();
    if (!sessionBusAdvertised()) {
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
      }
      g_list_free_full(capabilities, g_free);
    }
    return true;
  }

  std::unique_ptr<GDBusConnection, GObjectUnref> connection_;
  bool saidNoBus_ = false;
  bool askedCapabilities_ = false;
  bool bodyMarkup_ = false;
};

void deliverNotices(std::shared_ptr<NoticeQueue> queue) {
  std::unique_ptr<GMainContext, GMainContextRelease> context(g_main_context_new());
  g_main_context_push_thread_default(context.get());
  Delivery delivery;
  std::unique_lock lock(queue->mutex);
  for (;;) {
    queue->changed.wait(lock, [&] { return !queue->notices.empty() || queue->stopping; });
    if (queue->notices.empty()) return;
    Notice notice = std::move(queue->notices.front());
    queue->notices.pop_front();
    queue->delivering = true;
    lock.unlock();
    delivery.show(notice);
    lock.lock();
    queue->delivering = false;
    queue->changed.notify_all();
  }
}

class DesktopNotifier : public UserNotifier {
 public:
  ~DesktopNotifier() override {
    std::lock_guard lock(queue_->mutex);
    queue_->stopping = true;
    queue_->changed.notify_all();
  }

  void notify(const std::string& summary, const std::string& body) override {
    std::lock_guard lock(queue_->mutex);
    queue_->notices.push_back({summary, body});
    if (!started_) {
      // Detached: a bus call that never returns must not hold the end of
      // the process; the thread keeps the queue alive.
      std::thread(deliverNotices, queue_).detach();
      started_ = true;
    }
    queue_->changed.notify_all();
  }

  bool flush(std::chrono::milliseconds limit) override {
    std::unique_lock lock(queue_->mutex);
    return queue_->changed.wait_for(lock, limit,
                                    [&] { return queue_->notices.empty() && !queue_->delivering; });
  }

 private:
  std::shared_ptr<NoticeQueue> queue_ = std::make_shared<NoticeQueue>();
  bool started_ = false;  // guarded by queue_->mutex
};

}  // namespace

std::shared_ptr<UserNotifier> makeDesktopNotifier() { return std::make_shared<DesktopNotifier>(); }

}  // namespace platform
