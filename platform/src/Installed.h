#pragma once
// One process-wide object that tests may replace: the dialog and question
// presenters. The desktop's own is made on first use, so a process that never
// shows anything never touches the display.

#include <memory>
#include <mutex>

namespace platform::detail {

template <typename T>
class Installed {
 public:
  using Maker = std::shared_ptr<T> (*)();
  constexpr explicit Installed(Maker makeDefault) : makeDefault_(makeDefault) {}

  std::shared_ptr<T> get() {
    std::lock_guard lock(mutex_);
    if (!current_) current_ = makeDefault_();
    return current_;
  }

  // Installs replacement (null: the desktop's own again, on next use) and
  // returns what was installed before.
  std::shared_ptr<T> replace(std::shared_ptr<T> replacement) {
    std::lock_guard lock(mutex_);
    auto previous = std::move(current_);
    current_ = std::move(replacement);
    return previous;
  }

 private:
  Maker makeDefault_;
  std::mutex mutex_;
  std::shared_ptr<T> current_;  // guarded by mutex_
};

}  // namespace platform::detail
