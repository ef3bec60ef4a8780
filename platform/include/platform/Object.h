#pragma once
// The root object class: what every object of the system can do. Objects
// that take part in delegation (watcher delegates, proxy targets) derive from
// it and are held by std::shared_ptr; the messages they understand are the
// small interfaces they also derive from, so "does not implement a message"
// is a failed dynamic_cast.

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

namespace platform {

class Object {
 public:
  virtual ~Object() = default;
  // A text form for logs: "<ClassName: 0x…>" unless a class says more.
  virtual std::string description() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(this));
    return "<" + className() + ": " + buf + ">";
  }
  // The class's name as it appears in descriptions.
  virtual std::string className() const { return "Object"; }
};

// The error raised when an object is sent a message it does not implement
// (the unrecognised-selector error).
class UnrecognizedSelector : public std::exception {
 public:
  explicit UnrecognizedSelector(std::string selector)
      : message_("unrecognized selector sent to instance: " + std::move(selector)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace platform
