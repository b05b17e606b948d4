// The platform for this session: the desktop backend where a display server answers, the
// terminal front end where none does.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace lumivane {

// Decides from this process's environment and the display servers' sockets, then makes the
// platform as makeDesktopPlatform or makeTerminalPlatform do, with their conditions.
std::unique_ptr<Platform> makePlatform(int& argc, char** argv);

}  // namespace lumivane
