// What follows when the server child ends: nothing while quitting, otherwise the user decides.
#include "shell/launcher.h"

namespace lumivane {

void Launcher::serverEnded(std::int32_t /*status*/) {
  server.reset();
  if (quitting) return;

  Alert alert;
  alert.messageText = "Lumivane stopped unexpectedly";
  alert.informativeText =
      "Your videos are safe. You can start it again, or look at the log to see what happened.";
  alert.buttons = {"Start Again", "Show Log", "Quit"};
  switch (runAlert(alert)) {
    case kAlertFirstButtonReturn:
      startServer();
      waitForServer(platform.now() + kStartupDeadline);
      break;
    case kAlertSecondButtonReturn:
      platform.activateFileViewerSelectingURLs({logURL()});
      platform.terminate();
      break;
    default:
      platform.terminate();
      break;
  }
}

}  // namespace lumivane
