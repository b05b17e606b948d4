// Waiting for a freshly started server to answer, and opening the main page when it does.
#include "shell/launcher.h"

namespace lumivane {

void Launcher::waitForServer(TimePoint until) {
  serverAnswers([this, until](bool answered) {
    if (answered) {
      // Only the first wait that sees the server opens the page, across restarts too.
      if (!opened) {
        opened = true;
        open("/");
      }
      return;
    }
    // The child is gone: its exit was reported on its own; end silently.
    if (!server) return;
    if (platform.now() > until) {
      Alert alert;
      alert.messageText = "Lumivane is taking a long time to start";
      alert.informativeText =
          "It may still be loading. Choose Open Lumivane from the menu bar in a minute, or Show "
          "Log to see what's happening.";
      runAlert(alert);
      return;
    }
    platform.asyncAfter(kReprobePause, [this, until] { waitForServer(until); });
  });
}

}  // namespace lumivane
