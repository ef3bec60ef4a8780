#include "DesktopEnvironment.h"

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

namespace platform::detail {
namespace {

std::mutex gMutex;
std::vector<std::string>& names() {
  static auto* list = new std::vector<std::string>();
  return *list;
}

}  // namespace

void setOwnEnvironmentVariable(const char* name, const char* value) {
  std::lock_guard lock(gMutex);
  if (std::getenv(name)) return;
  ::setenv(name, value, 0);
  names().emplace_back(name);
}

std::vector<std::string> ownEnvironmentVariables() {
  std::lock_guard lock(gMutex);
  return names();
}

bool sessionBusAdvertised() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st {};
  const std::string socket = std::string(runtime) + "/bus";
  return ::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace platform::detail

// GLib's locks and one-time initialisations are futexes that the sanitizers'
// interceptors cannot see, and its caches live for the whole process: their
// reports under ThreadSanitizer and LeakSanitizer are not ours. These hooks
// only matter in sanitized builds; everything that uses GLib here links this
// file.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libgio-2.0.so.0\n"
         "race:libgobject-2.0.so.0\n"
         "race:libgtk-3.so.0\n"
         "race:libgdk-3.so.0\n";
}

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so.0\n"
         "leak:libgio-2.0.so.0\n"
         "leak:libgobject-2.0.so.0\n"
         "leak:libgtk-3.so.0\n"
         "leak:libgdk-3.so.0\n"
         "leak:libfontconfig.so.1\n"
         "leak:libpango\n"
         "leak:libcairo.so.2\n"
         "leak:libX11.so.6\n"
         "leak:libharfbuzz.so.0\n"
         "leak:libgdk_pixbuf-2.0.so.0\n";
}
