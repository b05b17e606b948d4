// The factory of the desktop backend: the platform interface on a Linux desktop, built on Qt
// (application, event loop, tray, alerts, HTTP, D-Bus) and the POSIX helpers beside it
// (processes, files, signals, the instance lock). Qt stays behind this header.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace lumivane {

// Creates the application object; call once, on the main thread, before anything else of the
// platform. `argc` and `argv` must outlive the platform (main's own do). Also installs the
// handlers that turn SIGTERM, SIGINT and SIGHUP into termination requests.
std::unique_ptr<Platform> makeDesktopPlatform(int& argc, char** argv);

}  // namespace lumivane
