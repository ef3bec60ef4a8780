// Whether the desktop would run a file of a given extension, from the MIME
// type GIO guesses for the name alone.
#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "platform/LaunchServices.h"

namespace platform {

namespace {

// Extensions that are programs or launchers on some desktop, whatever the
// installed MIME database knows of them.
constexpr std::array<std::string_view, 21> kRunnableExtensions = {
    "desktop", "kdelnk", "sh",  "bash", "zsh", "csh", "ksh", "fish", "run", "bin", "appimage",
    "exe",     "com",    "bat", "cmd",  "msi", "scr", "pif", "cpl",  "jar", "so"};

// Types that launch something when opened, beyond what derives from
// application/x-executable.
constexpr std::array<const char*, 9> kRunnableTypes = {
    "application/x-executable",        "application/x-desktop",    "application/x-shellscript",
    "application/x-ms-dos-executable", "application/x-msdownload", "application/x-msi",
    "application/x-java-archive",      "application/x-sharedlib",  "application/vnd.appimage",
};

struct GFreeDeleter {
  void operator()(gchar* p) const { g_free(p); }
};

}  // namespace

bool isExecutableExtension(const std::string& extension) {
  std::string lower = extension;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (std::find(kRunnableExtensions.begin(), kRunnableExtensions.end(), lower) != kRunnableExtensions.end()) {
    return true;
  }
  const std::string name = "documento." + extension;
  std::unique_ptr<gchar, GFreeDeleter> type(g_content_type_guess(name.c_str(), nullptr, 0, nullptr));
  if (!type) return false;
  // can_be_executable alone also holds for every text/plain kind; only the
  // kinds that derive from an executable type, or launch something, count.
  if (g_content_type_can_be_executable(type.get()) && g_content_type_is_a(type.get(), "application/x-executable")) {
    return true;
  }
  for (const char* runnable : kRunnableTypes) {
    if (g_content_type_is_a(type.get(), runnable)) return true;
  }
  return false;
}

}  // namespace platform
