// vla: opens each ticket document given on the command line.
#include <memory>
#include <string>
#include <vector>

#include "app/vlaAppDelegate.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
  platform::Application& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  application.setDelegate(delegate.get());
  application.openFiles(std::vector<std::string>(argv + 1, argv + argc));
  application.run();
  application.setDelegate(nullptr);
  return 0;
}
