// Notices on systems without the desktop notification service of this back
// end: the log line written by notifyUser is all the user gets.
#include "platform/Notifications.h"

namespace platform {

namespace {

class LogOnlyNotifier : public UserNotifier {
 public:
  void notify(const std::string&, const std::string&) override {}
};

}  // namespace

std::shared_ptr<UserNotifier> makeDesktopNotifier() { return std::make_shared<LogOnlyNotifier>(); }

}  // namespace platform
