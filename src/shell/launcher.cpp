// The launcher's state, its two per-user paths, and its answers to the application's events.
#include "shell/launcher.h"

namespace lumivane {

const std::int64_t port = 8000;
const std::string base = "http://localhost:" + std::to_string(port);

Launcher::Launcher(Platform& platform)
    : platform(platform), resources(platform.resourceURL()), fm(platform.defaultManager()) {}

LauncherState Launcher::state() const {
  return LauncherState{item != nullptr, server != nullptr, quitting, opened};
}

namespace {

// The first directory of a kind in the user's domain, with `relative` appended. A platform
// that knows no such directory is a broken installation; the path then stays relative to
// nothing and every use of it fails quietly, as a missing file would.
std::filesystem::path userDirectory(FileManager& fm, SearchPathDirectory kind,
                                    const char* relative) {
  const std::vector<std::filesystem::path> found = fm.urlsForDirectory(kind, SearchPathDomain::User);
  return (found.empty() ? std::filesystem::path() : found.front()) / relative;
}

}  // namespace

const std::filesystem::path& Launcher::appHome() {
  if (!storedAppHome) {
    storedAppHome = userDirectory(fm, SearchPathDirectory::ApplicationSupport, "Lumivane");
  }
  return *storedAppHome;
}

const std::filesystem::path& Launcher::logURL() {
  if (!storedLogURL) {
    storedLogURL = userDirectory(fm, SearchPathDirectory::Library, "Logs/Lumivane/lumivane.log");
  }
  return *storedLogURL;
}

int Launcher::runAlert(const Alert& alert) {
  // The launcher has no window of its own: bring the alert in front of whatever has focus.
  platform.activateIgnoringOtherApps();
  return platform.runModal(alert);
}

void Launcher::applicationDidFinishLaunching() {
  buildMenu();
  // Pending work holds the launcher strongly, so it can never run on a launcher that is gone.
  serverAnswers([self = shared_from_this()](bool answered) {
    if (answered) {
      // Something already serves the port: use it, start nothing.
      self->open("/");
      return;
    }
    self->startServer();
    self->waitForServer(self->platform.now() + kStartupDeadline);
  });
}

bool Launcher::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  open("/");
  return false;
}

TerminateReply Launcher::applicationShouldTerminate() {
  quitting = true;
  if (!server || !server->isRunning()) return TerminateReply::Now;

  server->interrupt();
  // The one place the main thread sleeps: at most the grace period plus one poll.
  const TimePoint deadline = platform.now() + kGracePeriod;
  while (server->isRunning() && platform.now() < deadline) {
    platform.sleepFor(kPollInterval);
  }
  if (server->isRunning()) server->terminate();
  return TerminateReply::Now;
}

}  // namespace lumivane
