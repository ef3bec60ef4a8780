#include "platform/Resources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#ifndef VLA_INSTALL_RESOURCES_DIR
#define VLA_INSTALL_RESOURCES_DIR "/usr/local/share/vla/resources"
#endif

namespace platform {
namespace {

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string executableFolder() {
  std::vector<char> buf(4096);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string exe(buf.data(), static_cast<std::size_t>(n));
  auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

std::optional<std::string> resourcesDirectory() {
  if (const char* env = std::getenv("VLA_RESOURCES_DIR"); env != nullptr && *env != '\0' && isFolder(env)) {
    return std::string(env);
  }
  const std::string exeDir = executableFolder();
  if (!exeDir.empty()) {
    // Build tree: the executable sits in build/app or build/tests/<lib>, and
    // the build copies resources to build/resources.
    for (const char* rel : {"/resources", "/../resources", "/../../resources"}) {
      std::string candidate = exeDir + rel;
      if (isFolder(candidate)) return candidate;
    }
    // Installed: <prefix>/bin/vla and <prefix>/share/vla/resources.
    std::string installed = exeDir + "/../share/vla/resources";
    if (isFolder(installed)) return installed;
  }
  if (isFolder(VLA_INSTALL_RESOURCES_DIR)) return std::string(VLA_INSTALL_RESOURCES_DIR);
  return std::nullopt;
}

std::optional<std::string> pathForResource(const std::string& name, const std::string& type) {
  auto dir = resourcesDirectory();
  if (!dir || name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  std::string path = *dir + "/" + name;
  if (!type.empty()) path += "." + type;
  if (!isFile(path)) return std::nullopt;
  return path;
}

}  // namespace platform
