// Wires the desktop platform to the one launcher and runs the event loop.
#include <memory>

#include "platform/terminal/choose_platform.h"
#include "shell/launcher.h"

namespace {

// The application and the launcher live until the process ends; the application's delegate
// reference does not own the launcher, this does.
std::unique_ptr<lumivane::Platform> app;
std::shared_ptr<lumivane::Launcher> launcher;

}  // namespace

int main(int argc, char** argv) {
  app = lumivane::makePlatform(argc, argv);
  launcher = std::make_shared<lumivane::Launcher>(*app);
  app->setDelegate(launcher.get());
  app->setActivationPolicy(lumivane::ActivationPolicy::Accessory);
  app->run();
  return 0;
}
