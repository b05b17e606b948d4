// The test process of the desktop backend tests. One application object may exist per
// process, so one platform is made here for every test, on the offscreen display, with a
// private session bus (set before the application connects to any bus) and, first on PATH,
// an xdg-open that only records what it was asked to open.
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "platform/qt/desktop_platform.h"
#include "qt_support.h"

namespace lumivane::qt::testing {

namespace {

int gArgc = 1;
char gProgramName[] = "qt_backend_tests";
char* gArgv[] = {gProgramName, nullptr};

class DesktopEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    directory_ = std::make_unique<TemporaryDirectory>();
    const auto bin = directory_->path() / "bin";
    std::filesystem::create_directories(bin);

    const auto fifo = directory_->path() / "opened";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Read and write ends in one: the FIFO never reads as closed between two openers.
    opener_ = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(opener_, 0);
    writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" + fifo.string() + "'\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);

    const char* path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("SESSION_MANAGER");

    if (PrivateBus::available()) {
      bus_ = std::make_unique<PrivateBus>(directory_->path());
      busAddress_ = bus_->address();
    }
    // Without a daemon, an address that leads nowhere: never the desktop's own bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS",
             busAddress_.empty() ? ("unix:path=" + (directory_->path() / "no-bus").string()).c_str()
                                 : busAddress_.c_str(),
             1);

    platform_ = makeDesktopPlatform(gArgc, gArgv);
  }

  void TearDown() override {
    platform_.reset();
    bus_.reset();
    if (opener_ >= 0) ::close(opener_);
    directory_.reset();
  }

  std::unique_ptr<TemporaryDirectory> directory_;
  std::unique_ptr<PrivateBus> bus_;
  std::string busAddress_;
  int opener_ = -1;
  std::unique_ptr<Platform> platform_;
};

DesktopEnvironment* gEnvironment = nullptr;

}  // namespace

Platform& desktop() { return *gEnvironment->platform_; }
const std::string& desktopBusAddress() { return gEnvironment->busAddress_; }
int openerLog() { return gEnvironment->opener_; }

}  // namespace lumivane::qt::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using lumivane::qt::testing::DesktopEnvironment;
  lumivane::qt::testing::gEnvironment = new DesktopEnvironment;
  ::testing::AddGlobalTestEnvironment(lumivane::qt::testing::gEnvironment);
  return RUN_ALL_TESTS();
}
