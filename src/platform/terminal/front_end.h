// Which front end the launcher gets: the tray on a desktop, or the terminal where no display
// server can be reached (a login over SSH, a headless machine). Qt's GUI plugins abort the
// process when they cannot connect, so the choice is made before any Qt object exists, from
// the environment and a look at the display servers' sockets.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

namespace lumivane {

enum class FrontEnd { Desktop, Terminal };

// Connects to a Unix stream socket and closes it again. `abstractName`: the name is in the
// abstract namespace (no file), as X servers also listen.
using UnixConnector = std::function<bool(const std::string& socketPath, bool abstractName)>;

// Desktop when QT_QPA_PLATFORM asks for a plugin that needs no display (offscreen, minimal);
// when DISPLAY names a local X server (":N", ":N.S", "unix:N") whose socket
// /tmp/.X11-unix/XN answers, on the file system or in the abstract namespace; when DISPLAY
// names a server on another host (not tried: assumed reachable); or when WAYLAND_DISPLAY
// names a socket that answers ($XDG_RUNTIME_DIR/<name>, or the path itself when absolute).
// Terminal otherwise. Connects only through `canConnectUnix`.
FrontEnd chooseFrontEnd(const Environment& env, const UnixConnector& canConnectUnix);

// The real connector: a non-blocking connect on an AF_UNIX stream socket. False when the path
// does not fit in a socket address.
bool canConnectUnix(const std::string& socketPath, bool abstractName);

}  // namespace lumivane
