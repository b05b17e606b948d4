// Starting the served application as a child process, its output appended to the server log.
#include <memory>
#include <string>

#include "shell/launcher.h"
#include "supervision/child_environment.h"
#include "supervision/log_header.h"

namespace lumivane {

namespace {

constexpr unsigned kLogPermissions = 0600;

}  // namespace

void Launcher::startServer() {
  ProcessDescription task;
  task.executableURL = resources / "python/bin/python3";
  task.arguments = {"-m", "app", "--no-browser"};
  task.currentDirectoryURL = resources / "lumivane";
  task.environment = childEnvironment(platform.environment(), resources / "models");

  // Prepare the log. Each failure here is deliberately silent: without a log the server still
  // starts, writing to the launcher's own output.
  const std::filesystem::path& log = logURL();
  fm.createDirectory(log.parent_path(), /*withIntermediates=*/true);
  if (!fm.fileExistsAtPath(log)) fm.createFileAtPath(log, "", kLogPermissions);
  if (std::shared_ptr<FileHandle> handle = fm.fileHandleForWritingToURL(log)) {
    // A header that cannot be written (a full disk) does not stop the launch: the server's
    // own output may still fit, and the user is better served by a running server.
    if (handle->seekToEndOfFile()) handle->writeData(logHeader(platform.now()));
    task.standardOutput = handle;
    task.standardError = handle;
  }

  // Runs on a background thread: it holds the launcher weakly and only posts to the main
  // queue, where the status is read.
  Platform* p = &platform;
  task.terminationHandler = [p, weak = weak_from_this()](std::shared_ptr<Process> ended) {
    p->async([weak, ended = std::move(ended)] {
      if (std::shared_ptr<Launcher> self = weak.lock()) self->serverEnded(ended->terminationStatus());
    });
  };

  LaunchResult launched = platform.launch(std::move(task));
  if (launched.process) {
    server = std::move(launched.process);
    return;
  }

  Alert alert;
  alert.messageText = "Lumivane couldn't start";
  alert.informativeText = launched.localizedDescription + "\n\nTry downloading Lumivane again.";
  runAlert(alert);
  platform.terminate();
}

}  // namespace lumivane
