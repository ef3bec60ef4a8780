#include "DesktopEnvironment.h"

#include <cstdlib>
#include <mutex>

namespace platform::detail {
namespace {

std::mutex gMutex;
std::vector<std::string>& names() {
  static std::vector<std::string>* list = new std::vector<std::string>();
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

}  // namespace platform::detail
