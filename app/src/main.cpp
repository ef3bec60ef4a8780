// vla: opens each ticket document given on the command line. The first vla
// of a user handles every ticket; a later one hands its documents to it and
// ends at once.
#include <memory>
#include <string>
#include <vector>

#include "app/vlaAppDelegate.h"
#include "platform/Application.h"
#include "platform/SingleInstance.h"

int main(int argc, char** argv) {
  platform::Application& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  application.setDelegate(delegate.get());
  platform::runSingleInstance(application, std::vector<std::string>(argv + 1, argv + argc));
  application.setDelegate(nullptr);
  return 0;
}
