// vla: opens each ticket document given on the command line. The first vla
// of a user handles every ticket; a later one hands its documents to it and
// ends at once. --pendientes, --help and --version answer and end.
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/vlaAppDelegate.h"
#include "platform/Application.h"
#include "platform/Http.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Signals.h"
#include "platform/SingleInstance.h"

int main(int argc, char** argv) {
  // The user's locale, so that the toolkit's own labels speak their language.
  std::setlocale(LC_ALL, "");
  const app::Invocacion invocacion = app::leerArgumentos(std::vector<std::string>(argv + 1, argv + argc));
  if (auto status = app::atenderOpciones(invocacion, std::cout, std::cerr)) return *status;
  // A limit that is not one is a mistake to point out, not to pass over.
  if (const char* limit = std::getenv(platform::kDownloadLimitVariable);
      (limit != nullptr) && !platform::parseDownloadLimit(limit)) {
    std::cerr << "vla: " << platform::kDownloadLimitVariable << " no es un número de bytes válido: «"
              << platform::escapeControlCharacters(limit) << "» (debe ser un número entero mayor que 0)\n";
    return 2;
  }

  platform::Application& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  application.setDelegate(delegate.get());
  // SIGTERM, SIGINT and SIGHUP end the tickets in progress keeping their
  // edits and records, and end vla with status 1.
  platform::handleTerminationSignals([delegate](int signal) { delegate->interrumpir(signal); });
  platform::runSingleInstance(application, invocacion.tickets);
  platform::handleTerminationSignals(nullptr);
  application.setDelegate(nullptr);
  // The last notices (a document sent just before the end) still reach the desktop.
  platform::flushNotifications(std::chrono::seconds(3));
  return delegate->exitStatus();
}
