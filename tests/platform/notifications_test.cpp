#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "platform/Log.h"
#include "platform/Notifications.h"
#include "testsupport/TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(Notifications, each_notice_is_logged_and_reaches_the_notifier_in_force) {
  platform::LogCapture log;
  auto recorder = std::make_shared<testsupport::RecordingNotifier>();
  auto previous = platform::setUserNotifier(recorder);
  platform::notifyUser("Documento enviado", "«informe.doc» ha llegado al servidor.");
  platform::notifyUser("Edición conservada", "Su edición está en /tmp/a <b> & c.doc");
  EXPECT_EQ(platform::setUserNotifier(previous), recorder);

  const std::vector<testsupport::RecordingNotifier::Notice> expected{
      {"Documento enviado", "«informe.doc» ha llegado al servidor."},
      {"Edición conservada", "Su edición está en /tmp/a <b> & c.doc"}};
  EXPECT_EQ(recorder->notices(), expected);
  EXPECT_TRUE(log.contains("Aviso: Documento enviado: «informe.doc» ha llegado al servidor."));
  EXPECT_TRUE(log.contains("Aviso: Edición conservada: Su edición está en /tmp/a <b> & c.doc"));
}

// Without a desktop to talk to (CI has none), the desktop's notifier leaves
// the notice in the log, says why once, and neither hangs nor ends the process.
TEST(Notifications, the_desktop_notifier_without_a_session_bus_logs_and_returns) {
  testsupport::TempDir runtime;
  struct Case {
    const char* busAddress;  // nullptr: none in the environment
    const char* expectedLine;
  };
  for (const Case& c : {Case{nullptr, "Sin bus de sesión: los avisos quedan solo en el registro"},
                        Case{"unix:path=/nonexistent/vla-bus", "No se pudo llegar al bus de sesión: "}}) {
    SCOPED_TRACE(c.busAddress ? c.busAddress : "no address");
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    if (c.busAddress) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", c.busAddress, 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    platform::LogCapture log;
    auto previous = platform::setUserNotifier(platform::makeDesktopNotifier());
    platform::notifyUser("Documento enviado", "«informe.doc» ha llegado al servidor.");
    EXPECT_TRUE(platform::flushNotifications(30s));
    platform::setUserNotifier(previous);
    bool said = false;
    for (const auto& line : log.lines()) said = said || line.rfind(c.expectedLine, 0) == 0;
    EXPECT_TRUE(said) << c.expectedLine;
  }
}

}  // namespace
