// See front_end.h.
#include "platform/terminal/front_end.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

namespace lumivane {

namespace {

std::string valueOf(const Environment& env, const std::string& name) {
  const auto found = env.find(name);
  return found == env.end() ? std::string() : found->second;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A parsed DISPLAY: the display number of a local server, or none for a remote one.
struct XDisplay {
  bool local = true;
  std::string number;
};

// "host:N[.S]", with "", "unix" and "localhost"-less forms as local. Empty when malformed.
std::optional<XDisplay> parseDisplay(std::string_view display) {
  const auto colon = display.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = display.substr(0, colon);
  std::string_view rest = display.substr(colon + 1);
  // DECnet's "host::N" is not for us.
  if (!host.empty() && host.back() == ':') return std::nullopt;
  const auto dot = rest.find('.');
  std::string_view number = rest.substr(0, dot);
  if (dot != std::string_view::npos && !allDigits(rest.substr(dot + 1))) return std::nullopt;
  if (!allDigits(number)) return std::nullopt;
  XDisplay parsed;
  parsed.number = std::string(number);
  parsed.local = host.empty() || host == "unix";
  return parsed;
}

bool displayReachable(const std::string& display, const UnixConnector& canConnect) {
  const std::optional<XDisplay> parsed = parseDisplay(display);
  if (!parsed) return false;
  if (!parsed->local) return true;
  const std::string socket = "/tmp/.X11-unix/X" + parsed->number;
  return canConnect(socket, false) || canConnect(socket, true);
}

bool waylandReachable(const Environment& env, const UnixConnector& canConnect) {
  const std::string name = valueOf(env, "WAYLAND_DISPLAY");
  if (name.empty()) return false;
  if (name.front() == '/') return canConnect(name, false);
  const std::string runtime = valueOf(env, "XDG_RUNTIME_DIR");
  if (runtime.empty() || runtime.front() != '/') return false;
  return canConnect(runtime + "/" + name, false);
}

}  // namespace

FrontEnd chooseFrontEnd(const Environment& env, const UnixConnector& canConnectUnix) {
  const std::string plugin = valueOf(env, "QT_QPA_PLATFORM");
  // The plugin may carry options: "offscreen:fontengine=freetype".
  const std::string pluginName = plugin.substr(0, plugin.find(':'));
  if (pluginName == "offscreen" || pluginName == "minimal") return FrontEnd::Desktop;
  const std::string display = valueOf(env, "DISPLAY");
  if (!display.empty() && displayReachable(display, canConnectUnix)) return FrontEnd::Desktop;
  if (waylandReachable(env, canConnectUnix)) return FrontEnd::Desktop;
  return FrontEnd::Terminal;
}

bool canConnectUnix(const std::string& socketPath, bool abstractName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name starts with a NUL byte and is not NUL-terminated.
  const std::size_t offset = abstractName ? 1 : 0;
  const std::size_t room = sizeof(address.sun_path) - offset - (abstractName ? 0 : 1);
  if (socketPath.empty() || socketPath.size() > room) return false;
  std::memcpy(address.sun_path + offset, socketPath.data(), socketPath.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + socketPath.size() + (abstractName ? 0 : 1));

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (result != 0 && errno == EINTR);
  // A listening server with a full backlog says EAGAIN: it is there.
  const bool connected = result == 0 || errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return connected;
}

}  // namespace lumivane
