// Waiting for a freshly started server to answer, and opening the main page when it does.
#include "shell/launcher.h"

namespace lumivane {

void Launcher::waitForServer(TimePoint until) {
  serverAnswers([self = shared_from_this(), until](bool answered) {
    Launcher& launcher = *self;
    if (answered) {
      // Only the first wait that sees the server opens the page, across restarts too.
      if (!launcher.opened) {
        launcher.opened = true;
        launcher.open("/");
      }
      return;
    }
    // The child is gone: its exit was reported on its own; end silently.
    if (!launcher.server) return;
    if (launcher.platform.now() > until) {
      Alert alert;
      alert.messageText = "Lumivane is taking a long time to start";
      alert.informativeText =
          "It may still be loading. Choose Open Lumivane from the menu bar in a minute, or Show "
          "Log to see what's happening.";
      launcher.runAlert(alert);
      return;
    }
    launcher.platform.asyncAfter(kReprobePause, [self, until] { self->waitForServer(until); });
  });
}

}  // namespace lumivane
