#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/Log.h"
#include "platform/Notifications.h"
#include "testsupport/TestSupport.h"

namespace {

// Each notice is logged and reaches the notifier in force; without a desktop
// to talk to (CI has none), the desktop's notifier leaves the notice in the
// log, says why, and neither hangs nor ends the process.
TEST(Notifications, logged_and_handed_to_the_notifier_in_force_even_without_a_session_bus) {
  testsupport::TempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  const char* text = "Su edición está en /tmp/a <b> & c.doc";
  struct Case {
    const char* busAddress;  // nullptr: none in the environment
    const char* expectedLine;
  };
  for (const Case& c : {Case{"", "Aviso: Edición conservada: Su edición está en /tmp/a <b> & c.doc"},
                        Case{nullptr, "Sin bus de sesión: los avisos quedan solo en el registro"},
                        Case{"unix:path=/nonexistent/vla-bus", "No se pudo llegar al bus de sesión: "}}) {
    SCOPED_TRACE(c.expectedLine);
    c.busAddress ? ::setenv("DBUS_SESSION_BUS_ADDRESS", c.busAddress, 1) : ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    platform::LogCapture log;
    auto recorder = std::make_shared<testsupport::RecordingNotifier>();
    std::shared_ptr<platform::UserNotifier> notifier = recorder;
    if (c.busAddress == nullptr || *c.busAddress) notifier = platform::makeDesktopNotifier();
    auto previous = platform::setUserNotifier(notifier);
    platform::notifyUser("Edición conservada", text);
    EXPECT_TRUE(platform::flushNotifications(std::chrono::seconds(30)));
    EXPECT_EQ(platform::setUserNotifier(previous), notifier);
    if (notifier == recorder) {
      EXPECT_EQ(recorder->notices(),
                (std::vector<testsupport::RecordingNotifier::Notice>{{"Edición conservada", text}}));
    }
    bool said = false;
    for (const auto& line : log.lines()) said = said || line.rfind(c.expectedLine, 0) == 0;
    EXPECT_TRUE(said);
  }
}

}  // namespace
