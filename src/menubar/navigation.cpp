// Opening the served application's pages in the default browser.
#include "menubar/handoff_url.h"
#include "shell/launcher.h"

namespace lumivane {

void Launcher::open(const std::string& path) {
  const std::string direct = base + path;
  // Read afresh every time: the served application rewrites the file as it pleases.
  const std::optional<std::string> contents =
      fm.contentsOfFile(appHome() / "data/launch.json", kHandOffFileMaxBytes);
  const std::optional<std::string> handOff = handOffURL(contents, path);
  platform.openURL(handOff ? *handOff : direct);
}

void Launcher::openMain() { open("/"); }

void Launcher::openPairing() { open("/?pair=1"); }

// The credits page needs no login, so it is always opened directly.
void Launcher::openCredits() { platform.openURL(base + "/licenses"); }

}  // namespace lumivane
