#include "platform/NotificationCenter.h"

#include <algorithm>
#include <cstdio>

#include "platform/FileURL.h"

namespace platform {
namespace {

std::string pointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

}  // namespace

std::string RunningApplication::description() const {
  return "<RunningApplication: pid=" + std::to_string(processIdentifier) + " name=" + localizedName +
         " executable=" + executableURL + ">";
}

std::string RunningApplication::executablePath() const { return pathForFileURL(executableURL); }

std::string Notification::description() const {
  std::string out = "<Notification name = " + name + "; object = " + pointerText(object) + "; userInfo = {";
  bool firstEntry = true;
  for (const auto& [key, value] : userInfo) {
    out += firstEntry ? " " : "; ";
    firstEntry = false;
    out += key + " = ";
    if (const auto* text = std::get_if<std::string>(&value)) {
      out += *text;
    } else if (const auto& app = std::get<std::shared_ptr<const RunningApplication>>(value)) {
      out += app->description();
    } else {
      out += "(null)";
    }
  }
  out += firstEntry ? "}>" : " }>";
  return out;
}

std::optional<std::string> Notification::string(const std::string& key) const {
  auto it = userInfo.find(key);
  if (it == userInfo.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
  return std::nullopt;
}

std::shared_ptr<const RunningApplication> Notification::runningApplication(const std::string& key) const {
  auto it = userInfo.find(key);
  if (it == userInfo.end()) return nullptr;
  if (const auto* app = std::get_if<std::shared_ptr<const RunningApplication>>(&it->second)) {
    return *app;
  }
  return nullptr;
}

void NotificationCenter::addObserver(const void* observer, Callback callback, std::optional<std::string> name,
                                     const void* object) {
  std::lock_guard lock(mutex_);
  registrations_.push_back(
      {nextId_++, observer, std::make_shared<Callback>(std::move(callback)), std::move(name), object});
}

void NotificationCenter::removeObserver(const void* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::postNotification(const Notification& notification) {
  // Snapshot the matching registrations, then call each one that is still
  // registered when its turn comes: observers may add or remove registrations
  // from inside their callbacks.
  std::vector<std::pair<std::size_t, std::shared_ptr<Callback>>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& r : registrations_) {
      if (r.name && *r.name != notification.name) continue;
      if (r.object && r.object != notification.object) continue;
      matching.emplace_back(r.id, r.callback);
    }
  }
  for (auto& [id, callback] : matching) {
    {
      std::lock_guard lock(mutex_);
      bool stillRegistered = std::any_of(registrations_.begin(), registrations_.end(),
                                         [id = id](const Registration& r) { return r.id == id; });
      if (!stillRegistered) continue;
    }
    (*callback)(notification);
  }
}

void NotificationCenter::postNotificationName(std::string name, const void* object, UserInfo userInfo) {
  postNotification(Notification{std::move(name), object, std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(mutex_);
  return registrations_.size();
}

}  // namespace platform
