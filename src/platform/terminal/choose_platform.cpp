// See choose_platform.h.
#include "platform/terminal/choose_platform.h"

#include "platform/posix/process_info.h"
#include "platform/qt/desktop_platform.h"
#include "platform/terminal/front_end.h"
#include "platform/terminal/terminal_platform.h"

namespace lumivane {

std::unique_ptr<Platform> makePlatform(int& argc, char** argv) {
  switch (chooseFrontEnd(posix::processEnvironment(), canConnectUnix)) {
    case FrontEnd::Desktop:
      return makeDesktopPlatform(argc, argv);
    case FrontEnd::Terminal:
      break;
  }
  return makeTerminalPlatform(argc, argv);
}

}  // namespace lumivane
