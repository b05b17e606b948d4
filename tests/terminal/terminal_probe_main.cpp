// The program as main wires it, with the platform chosen for the session: the end-to-end
// tests run it in a terminal without a display.
#include <memory>

#include "platform/terminal/choose_platform.h"
#include "shell/launcher.h"

namespace {

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
