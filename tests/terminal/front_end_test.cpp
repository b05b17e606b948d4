// The choice of front end from the environment, against a fake connector that knows which
// sockets listen; and the real connector against real sockets.
#include "platform/terminal/front_end.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace lumivane {
namespace {

using Socket = std::pair<std::string, bool>;  // path, abstract

struct ChoiceCase {
  const char* name;
  Environment env;
  std::set<Socket> listening;
  FrontEnd expected;
};

class ChooseFrontEnd : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseFrontEnd, FollowsTheEnvironmentAndTheSockets) {
  const ChoiceCase& c = GetParam();
  const UnixConnector fake = [&](const std::string& path, bool abstractName) {
    return c.listening.count({path, abstractName}) > 0;
  };
  EXPECT_EQ(chooseFrontEnd(c.env, fake), c.expected);
}

const std::string kX0 = "/tmp/.X11-unix/X0";
const std::string kWayland = "/run/user/1000/wayland-0";

INSTANTIATE_TEST_SUITE_P(
    Table, ChooseFrontEnd,
    testing::Values(
        ChoiceCase{"Nothing", {}, {}, FrontEnd::Terminal},
        ChoiceCase{"Offscreen", {{"QT_QPA_PLATFORM", "offscreen"}}, {}, FrontEnd::Desktop},
        ChoiceCase{"Minimal", {{"QT_QPA_PLATFORM", "minimal"}}, {}, FrontEnd::Desktop},
        ChoiceCase{"OffscreenWithOptions", {{"QT_QPA_PLATFORM", "offscreen:fontengine=freetype"}}, {},
                   FrontEnd::Desktop},
        ChoiceCase{"XcbWithoutServer", {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":0"}}, {},
                   FrontEnd::Terminal},
        ChoiceCase{"LocalDisplayFile", {{"DISPLAY", ":0"}}, {{kX0, false}}, FrontEnd::Desktop},
        ChoiceCase{"LocalDisplayAbstract", {{"DISPLAY", ":0"}}, {{kX0, true}}, FrontEnd::Desktop},
        ChoiceCase{"DisplayWithScreen", {{"DISPLAY", ":1.0"}}, {{"/tmp/.X11-unix/X1", false}},
                   FrontEnd::Desktop},
        ChoiceCase{"UnixDisplay", {{"DISPLAY", "unix:12"}}, {{"/tmp/.X11-unix/X12", true}},
                   FrontEnd::Desktop},
        ChoiceCase{"LocalDisplayGone", {{"DISPLAY", ":0"}}, {}, FrontEnd::Terminal},
        ChoiceCase{"OtherDisplayListens", {{"DISPLAY", ":0"}}, {{"/tmp/.X11-unix/X1", false}},
                   FrontEnd::Terminal},
        ChoiceCase{"RemoteDisplay", {{"DISPLAY", "build-host:10.0"}}, {}, FrontEnd::Desktop},
        ChoiceCase{"MalformedDisplay", {{"DISPLAY", "nonsense"}}, {{kX0, false}}, FrontEnd::Terminal},
        ChoiceCase{"DisplayWithoutNumber", {{"DISPLAY", ":"}}, {{kX0, false}}, FrontEnd::Terminal},
        ChoiceCase{"BadScreen", {{"DISPLAY", ":0.x"}}, {{kX0, false}}, FrontEnd::Terminal},
        ChoiceCase{"WaylandInRuntimeDir",
                   {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
                   {{kWayland, false}}, FrontEnd::Desktop},
        ChoiceCase{"WaylandWithoutRuntimeDir", {{"WAYLAND_DISPLAY", "wayland-0"}}, {{kWayland, false}},
                   FrontEnd::Terminal},
        ChoiceCase{"WaylandAbsolute", {{"WAYLAND_DISPLAY", "/srv/compositor.sock"}},
                   {{"/srv/compositor.sock", false}}, FrontEnd::Desktop},
        ChoiceCase{"WaylandNotAbstract",
                   {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
                   {{kWayland, true}}, FrontEnd::Terminal},
        ChoiceCase{"DeadDisplayLiveWayland",
                   {{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
                   {{kWayland, false}}, FrontEnd::Desktop},
        ChoiceCase{"BothGone",
                   {{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
                   {}, FrontEnd::Terminal}),
    [](const testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

// A listening Unix socket for the real connector, closed when it goes.
class Listener {
 public:
  Listener(const std::string& name, bool abstractName) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstractName ? 1 : 0;
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size() +
                                               (abstractName ? 0 : 1));
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
             ::listen(fd_, 4) == 0;
  }
  ~Listener() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool bound() const { return bound_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class RealConnector : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivane-connect-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(RealConnector, ReachesAListeningSocketFile) {
  const std::string path = (dir_ / "X0").string();
  Listener listener(path, false);
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(canConnectUnix(path, false));
  // The same name in the abstract namespace is another socket.
  EXPECT_FALSE(canConnectUnix(path, true));
}

TEST_F(RealConnector, ReachesAnAbstractName) {
  const std::string name = (dir_ / "abstract-X0").string();
  Listener listener(name, true);
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(canConnectUnix(name, true));
  EXPECT_FALSE(canConnectUnix(name, false));
}

TEST_F(RealConnector, RefusesASocketNobodyListensOn) {
  const std::string path = (dir_ / "X1").string();
  Listener listener(path, false);
  ASSERT_TRUE(listener.bound());
  listener.close();
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_FALSE(canConnectUnix(path, false));
}

TEST_F(RealConnector, RefusesWhatIsNoSocket) {
  EXPECT_FALSE(canConnectUnix((dir_ / "missing").string(), false));
  EXPECT_FALSE(canConnectUnix(dir_.string(), false));
  EXPECT_FALSE(canConnectUnix("", false));
  EXPECT_FALSE(canConnectUnix("/" + std::string(200, 'x'), false));
}

}  // namespace
}  // namespace lumivane
