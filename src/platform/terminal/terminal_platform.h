// The factory of the terminal front end: the platform interface where no display server can
// be reached. The event loop, the main queue, timers, HTTP, processes, files and signals are
// the desktop backend's; the status item becomes a line of keys on standard error, read one
// key press at a time while standard input is a terminal, alerts become numbered prompts,
// and pages are printed for the user to open.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace lumivane {

// Creates the (non-GUI) application object; call once, on the main thread, before anything
// else of the platform. `argc` and `argv` must outlive the platform. Also installs the
// handlers that turn SIGTERM, SIGINT (Ctrl-C) and SIGHUP into termination requests.
std::unique_ptr<Platform> makeTerminalPlatform(int& argc, char** argv);

}  // namespace lumivane
