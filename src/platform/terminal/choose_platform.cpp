// See choose_platform.h.
#include "platform/terminal/choose_platform.h"

#include <string_view>

#include "platform/qt/desktop_platform.h"
#include "platform/terminal/front_end.h"
#include "platform/terminal/terminal_platform.h"

extern char** environ;

namespace lumivane {

namespace {

Environment ownEnvironment() {
  Environment env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return env;
}

}  // namespace

std::unique_ptr<Platform> makePlatform(int& argc, char** argv) {
  switch (chooseFrontEnd(ownEnvironment(), canConnectUnix)) {
    case FrontEnd::Desktop:
      return makeDesktopPlatform(argc, argv);
    case FrontEnd::Terminal:
      break;
  }
  return makeTerminalPlatform(argc, argv);
}

}  // namespace lumivane
